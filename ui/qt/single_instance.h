#pragma once
// The dialog program's side of the single-instance rule
// (platform/instance_socket.h): while the main dialog is shown it listens on the
// user's instance socket and brings its window back for every start that
// asks. A socket left behind by an instance that crashed answers nobody; the
// next instance to listen removes it. The socket is reachable by the user
// alone.

#include <QLocalServer>
#include <QString>
#include <functional>
#include <string>

namespace veldar {

class InstanceServer {
 public:
  // `onShowRequested` runs on the interface thread for every request.
  explicit InstanceServer(std::function<void()> onShowRequested);
  ~InstanceServer();

  enum class ListenResult {
    kListening,        // this is the instance now
    kAnotherInstance,  // one was found listening and has been asked to show
    kFailed,           // the socket could not be made (or `path` is empty); no instance check
  };
  ListenResult Listen(const std::string& path);
  QString errorString() const { return server_.errorString(); }

 private:
  void Accept();
  std::function<void()> onShowRequested_;
  QLocalServer server_;
};

}  // namespace veldar
