#include "platform/instance_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <thread>

#include "platform/os.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

// A listening socket at `path`, made with plain calls as any server would.
int Listen(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  EXPECT_EQ(listen(fd, 4), 0);
  return fd;
}

TEST(InstanceSocketTest, AnInstanceIsThereWhenItTakesTheConnection) {
  testing::TempDir dir;
  const std::string path = dir / "instance";
  enum Server { kNone, kLeftBehind, kAnswers, kSilent, kOtherUser };
  const struct {
    Server server;
    bool found;
  } cases[] = {{kNone, false}, {kLeftBehind, false}, {kAnswers, true}, {kSilent, true}, {kOtherUser, false}};
  for (const auto& c : cases) {
    unlink(path.c_str());
    pid_t otherUser = -1;
    if (c.server == kOtherUser) {
      // Another user's listener where this user's programs look: no instance.
      if (geteuid() != 0) continue;
      chmod(dir.path().c_str(), 0777);
      int ready[2];
      ASSERT_EQ(pipe(ready), 0);
      otherUser = fork();
      if (otherUser == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
        Listen(path);
        struct stat made;
        const char listening = stat(path.c_str(), &made) == 0 && S_ISSOCK(made.st_mode) ? '1' : '0';
        if (write(ready[1], &listening, 1) != 1) _exit(1);
        pause();
        _exit(0);
      }
      close(ready[1]);
      char listening = '0';
      ASSERT_EQ(read(ready[0], &listening, 1), 1);
      close(ready[0]);
      ASSERT_EQ(listening, '1') << "the other user's listener";
    }
    int fd = c.server == kNone || c.server == kOtherUser ? -1 : Listen(path);
    if (c.server == kLeftBehind) close(fd), fd = -1;  // the socket file stays, nobody listens
    std::string request;
    std::thread answering;
    if (c.server == kAnswers) {
      answering = std::thread([fd, &request] {
        const int connection = accept(fd, nullptr, nullptr);
        char buffer[16];
        const ssize_t got = read(connection, buffer, sizeof buffer);
        if (got > 0) request.assign(buffer, static_cast<std::size_t>(got));
        EXPECT_EQ(write(connection, kShownReply.data(), kShownReply.size()),
                  static_cast<ssize_t>(kShownReply.size()));
        close(connection);
      });
    }
    EXPECT_EQ(AskRunningInstanceToShow(path, 300), c.found) << c.server;
    if (answering.joinable()) answering.join();
    if (c.server == kAnswers) {
      EXPECT_EQ(request, kShowRequest);
    }
    if (fd >= 0) close(fd);
    if (otherUser > 0) kill(otherUser, SIGKILL), waitpid(otherUser, nullptr, 0);
  }
  EXPECT_FALSE(AskRunningInstanceToShow(""));
  EXPECT_FALSE(AskRunningInstanceToShow("/" + std::string(200, 'x'))) << "longer than a socket address";
}

// The socket is where every process of the user looks, whatever its
// environment: a cron job (no XDG_RUNTIME_DIR, another TMPDIR or HOME) finds
// the dialog of the desktop session.
TEST(InstanceSocketTest, SocketIsTheUsersWhateverTheEnvironment) {
  const std::string home = testing::IsolateHome();
  if (home.empty()) GTEST_SKIP() << "needs a home directory of the test's own (root)";
  testing::TempDir dir;
  testing::MakeDirs(dir / "run");
  chmod((dir / "run").c_str(), 0700);
  auto os = MakeSystemOs();
  const std::string expected = home + "/.local/state/VELDAR2/veldar2-instance";
  const struct {
    const char* runtime;  // XDG_RUNTIME_DIR, TMPDIR and HOME; null: unset
    const char* tmp;
    const char* home;
  } environments[] = {{"run", "tmp", "home"}, {nullptr, nullptr, nullptr}, {nullptr, "run", "run"}};
  const char* names[] = {"XDG_RUNTIME_DIR", "TMPDIR", "HOME"};
  std::string saved[3];
  bool present[3];
  for (int i = 0; i < 3; ++i) {
    present[i] = std::getenv(names[i]) != nullptr;
    if (present[i]) saved[i] = std::getenv(names[i]);
  }
  for (const auto& e : environments) {
    const char* values[] = {e.runtime, e.tmp, e.home};
    for (int i = 0; i < 3; ++i) values[i] ? setenv(names[i], (dir / values[i]).c_str(), 1) : unsetenv(names[i]);
    EXPECT_EQ(InstanceSocketPath(*os), expected) << (e.runtime ? "with" : "without") << " XDG_RUNTIME_DIR";
  }
  for (int i = 0; i < 3; ++i) present[i] ? setenv(names[i], saved[i].c_str(), 1) : unsetenv(names[i]);

  struct stat st;
  ASSERT_EQ(stat((home + "/.local/state/VELDAR2").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A directory others may write in is not used.
  chmod((home + "/.local/state/VELDAR2").c_str(), 0777);
  EXPECT_EQ(InstanceSocketPath(*os), "");
}

}  // namespace
}  // namespace veldar
