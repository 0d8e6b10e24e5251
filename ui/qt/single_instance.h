#pragma once
// The single-instance rule: while the main dialog is shown, the program
// listens on a local socket of the user's own; every start first tries to
// reach it and, when an instance answers, asks it to bring its window back
// and stops.
//
// The socket lives in $XDG_RUNTIME_DIR, or failing that in a directory of
// the user's own under the temporary directory, and is reachable by the user
// alone. A socket left behind by an instance that crashed answers nobody; the
// next instance to listen removes it.

#include <QLocalServer>
#include <QString>
#include <functional>

namespace veldar {

class Os;

// The socket's name (a path); empty when no place of the user's own exists,
// in which case there is no instance check.
QString InstanceSocketName(Os& os);

// Connects to the instance listening on `name` and asks it to show its
// window. True when an instance was there (it accepted the connection); false
// when none answers. Waits at most about `timeoutMs` for each step.
bool AskRunningInstanceToShow(const QString& name, int timeoutMs = 2000);

class InstanceServer {
 public:
  // `onShowRequested` runs on the interface thread for every request.
  explicit InstanceServer(std::function<void()> onShowRequested);
  ~InstanceServer();

  enum class ListenResult {
    kListening,        // this is the instance now
    kAnotherInstance,  // one was found listening and has been asked to show
    kFailed,           // the socket could not be made; no instance check
  };
  ListenResult Listen(const QString& name);
  QString errorString() const { return server_.errorString(); }

 private:
  void Accept();
  std::function<void()> onShowRequested_;
  QLocalServer server_;
};

}  // namespace veldar
