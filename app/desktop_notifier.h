#pragma once
// Desktop notifications for batch runs that nobody watches: a failed run
// started by a timer or cron without a terminal tells the user's desktop, so
// that it does not pass unseen. The batch run gets a Notifier passed in;
// tests give it one that records.
//
// On Linux the notification goes through the freedesktop notification
// service by running notify-send (libnotify), so the program links no
// D-Bus library: only where a session bus exists (DBUS_SESSION_BUS_ADDRESS
// set) and notify-send is on PATH. Everywhere else, Windows included,
// nothing is shown.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veldar {

class Notifier {
 public:
  virtual ~Notifier() = default;
  // Shows `summary` (one line) with `body` as a notification of a failure.
  // True: the desktop took it. False, nothing shown: there is no desktop to
  // tell, or it refused. Never waits more than a few seconds.
  virtual bool NotifyFailure(const std::string& summary, const std::string& body) = 0;
};

// The notifier through notify-send, with what it needs of the system passed
// in: `environment` reads a variable (none when unset), `run` runs a command
// looked up on PATH with no standard input or output and returns its exit
// status, or -1 when it could not be started or did not end in time.
class NotifySendNotifier : public Notifier {
 public:
  using Environment = std::function<std::optional<std::string>(const std::string& name)>;
  using Runner = std::function<int(const std::vector<std::string>& command)>;

  NotifySendNotifier(Environment environment, Runner run)
      : environment_(std::move(environment)), run_(std::move(run)) {}

  // Runs notify-send (critical urgency, the program's name and icon) when a
  // session bus exists; true when it exited with 0. The texts go as valid
  // UTF-8 (a stray byte becomes U+FFFD) and the body with &, < and >
  // escaped, since notification services read it as markup.
  bool NotifyFailure(const std::string& summary, const std::string& body) override;

 private:
  Environment environment_;
  Runner run_;
};

// The system's notifier: notify-send on POSIX (the environment of the
// process, the command run for at most five seconds), one that shows
// nothing on Windows.
std::unique_ptr<Notifier> MakeDesktopNotifier();

}  // namespace veldar
