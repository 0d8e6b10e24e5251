#include "ui/qt/single_instance.h"

#include <QByteArray>
#include <QLocalSocket>

#include "platform/os.h"

namespace veldar {
namespace {

constexpr char kRequest[] = "SHOW\n";
constexpr char kReply[] = "OK\n";
constexpr qint64 kMaxRequest = 64;

}  // namespace

QString InstanceSocketName(Os& os) {
  const std::string directory = os.PrivateRuntimeDir();
  if (directory.empty()) return QString();
  return QString::fromStdString(os.Paths().Join(directory, "veldar2-instance"));
}

bool AskRunningInstanceToShow(const QString& name, int timeoutMs) {
  if (name.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kRequest);
  socket.waitForBytesWritten(timeoutMs);
  // The answer only says the request was handled; an instance that is there
  // but slow to answer is still there.
  socket.waitForReadyRead(timeoutMs);
  socket.disconnectFromServer();
  return true;
}

InstanceServer::InstanceServer(std::function<void()> onShowRequested)
    : onShowRequested_(std::move(onShowRequested)) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this] { Accept(); });
}

InstanceServer::~InstanceServer() { server_.close(); }

InstanceServer::ListenResult InstanceServer::Listen(const QString& name) {
  if (name.isEmpty()) return ListenResult::kFailed;
  if (server_.listen(name)) return ListenResult::kListening;
  if (server_.serverError() != QAbstractSocket::AddressInUseError) return ListenResult::kFailed;
  // Someone got there first, or a crashed instance left its socket behind.
  if (AskRunningInstanceToShow(name)) return ListenResult::kAnotherInstance;
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
      if (line == kRequest) {
        if (onShowRequested_) onShowRequested_();
        socket->write(kReply);
        socket->flush();
      }
      socket->disconnectFromServer();
    });
  }
}

}  // namespace veldar
