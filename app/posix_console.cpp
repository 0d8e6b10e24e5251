#include "app/posix_console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include "app/app.h"

namespace veldar {
namespace {

// The run a signal asks to stop: set while it runs. The request is one
// atomic store, which a signal handler may make.
RunProgress* stopTarget = nullptr;

void AskToStop(int) {
  if (stopTarget) stopTarget->RequestCancel();
}

int TerminalColumns() {
  if (!isatty(STDERR_FILENO)) return 0;
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

void ConnectBatchToProcess(CVELDAR2App& app) {
  app.progressColumns = TerminalColumns();
  app.standardOutputIsTerminal = isatty(STDOUT_FILENO) == 1;
  app.onBatchRun = [&app](bool running) {
    stopTarget = running ? &app.batchProgress : nullptr;
    struct sigaction action {};
    action.sa_handler = running ? AskToStop : SIG_DFL;
    action.sa_flags = SA_RESETHAND;  // the second signal takes the default action
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
  };
}

}  // namespace veldar
