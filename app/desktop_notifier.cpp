#include "app/desktop_notifier.h"

#include <cstdlib>

#include "engine/utf8.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;
#endif

namespace veldar {
namespace {

// `text` as valid UTF-8: notify-send refuses anything else.
std::string ValidUtf8(const std::string& text) {
  std::string valid;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8CharLength(text, i);
    if (length == 0) {
      valid += "\xEF\xBF\xBD";
      ++i;
    } else {
      valid.append(text, i, length);
      i += length;
    }
  }
  return valid;
}

std::string EscapeMarkup(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '&')
      escaped += "&amp;";
    else if (c == '<')
      escaped += "&lt;";
    else if (c == '>')
      escaped += "&gt;";
    else
      escaped += c;
  }
  return escaped;
}

#ifndef _WIN32
// Runs `command` found on PATH with standard input and output on /dev/null;
// its exit status, or -1 when it cannot be started or is still running
// after `timeout` (then it is killed).
int RunQuietly(const std::vector<std::string>& command, std::chrono::milliseconds timeout) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  for (int fd : {0, 1, 2})
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (true) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}
#endif

#ifdef _WIN32
class SilentNotifier : public Notifier {
 public:
  bool NotifyFailure(const std::string&, const std::string&) override { return false; }
};
#endif

}  // namespace

bool NotifySendNotifier::NotifyFailure(const std::string& summary, const std::string& body) {
  const std::optional<std::string> bus = environment_("DBUS_SESSION_BUS_ADDRESS");
  if (!bus || bus->empty()) return false;
  // "--" keeps a text that begins with "-" from being read as an option.
  return run_({"notify-send", "--app-name=Veldar", "--urgency=critical", "--icon=veldar2", "--", ValidUtf8(summary),
               EscapeMarkup(ValidUtf8(body))}) == 0;
}

std::unique_ptr<Notifier> MakeDesktopNotifier() {
#ifdef _WIN32
  return std::make_unique<SilentNotifier>();
#else
  return std::make_unique<NotifySendNotifier>(
      [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        return value ? std::optional<std::string>(value) : std::nullopt;
      },
      [](const std::vector<std::string>& command) { return RunQuietly(command, std::chrono::seconds(5)); });
#endif
}

}  // namespace veldar
