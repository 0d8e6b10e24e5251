#include "ui/qt/single_instance.h"

#include <QByteArray>
#include <QLocalSocket>

#include "platform/instance_socket.h"

namespace veldar {
namespace {

constexpr qint64 kMaxRequest = 64;

}  // namespace

InstanceServer::InstanceServer(std::function<void()> onShowRequested) : onShowRequested_(std::move(onShowRequested)) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this] { Accept(); });
}

InstanceServer::~InstanceServer() { server_.close(); }

InstanceServer::ListenResult InstanceServer::Listen(const std::string& path) {
  if (path.empty()) return ListenResult::kFailed;
  const QString name = QString::fromStdString(path);
  if (server_.listen(name)) return ListenResult::kListening;
  if (server_.serverError() != QAbstractSocket::AddressInUseError) return ListenResult::kFailed;
  // Someone got there first, or a crashed instance left its socket behind.
  if (AskRunningInstanceToShow(path)) return ListenResult::kAnotherInstance;
  QLocalServer::removeServer(name);
  return server_.listen(name) ? ListenResult::kListening : ListenResult::kFailed;
}

void InstanceServer::Accept() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxRequest) socket->abort();
        return;
      }
      const QByteArray line = socket->readLine(kMaxRequest);
      if (line == QByteArray(kShowRequest.data(), static_cast<qsizetype>(kShowRequest.size()))) {
        if (onShowRequested_) onShowRequested_();
        socket->write(kShownReply.data(), static_cast<qint64>(kShownReply.size()));
        socket->flush();
      }
      socket->disconnectFromServer();
    });
  }
}

}  // namespace veldar
