#include "ui/single_instance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QLocalSocket>

namespace veldar {
namespace {

constexpr char kRequest[] = "SHOW\n";
constexpr char kReply[] = "OK\n";
constexpr qint64 kMaxRequest = 64;

// A directory that only the current user can enter: owned by the user, no
// rights for group or others, and not a link.
bool IsPrivateDirectory(const QString& path) {
  struct stat st;
  if (lstat(QFile::encodeName(path).constData(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

}  // namespace

QString InstanceSocketName() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && IsPrivateDirectory(runtime)) {
    return QDir(runtime).filePath(QStringLiteral("veldar2-instance"));
  }
  const QString own = QDir(QDir::tempPath()).filePath(QStringLiteral("veldar2-%1").arg(getuid()));
  mkdir(QFile::encodeName(own).constData(), 0700);  // an existing one is checked below
  if (IsPrivateDirectory(own)) return QDir(own).filePath(QStringLiteral("instance"));
  return QString();
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
