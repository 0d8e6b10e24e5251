#include "platform/instance_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

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
    if (c.server == kOtherUser && geteuid() != 0) continue;
    int fd = c.server == kNone ? -1 : Listen(path);
    if (c.server == kLeftBehind) close(fd), fd = -1;  // the socket file stays, nobody listens
    std::string request;
    std::thread answering;
    if (c.server == kAnswers) {
      answering = std::thread([fd, &request] {
        const int connection = accept(fd, nullptr, nullptr);
        char buffer[16];
        const ssize_t got = read(connection, buffer, sizeof buffer);
        if (got > 0) request.assign(buffer, static_cast<std::size_t>(got));
        EXPECT_EQ(write(connection, kShownReply.data(), kShownReply.size()), static_cast<ssize_t>(kShownReply.size()));
        close(connection);
      });
    }
    if (c.server == kOtherUser) {
      // Asked by another user, whom the socket lets in: the listener is not theirs.
      chmod(dir.path().c_str(), 0777);
      chmod(path.c_str(), 0777);
      const pid_t asker = fork();
      if (asker == 0)
        _exit(setgid(65534) == 0 && setuid(65534) == 0 && access(path.c_str(), W_OK) == 0 &&
                      !AskRunningInstanceToShow(path, 300)
                  ? 0
                  : 1);
      int status = -1;
      waitpid(asker, &status, 0);
      EXPECT_EQ(status, 0) << "another user's listener taken for an instance";
    } else {
      EXPECT_EQ(AskRunningInstanceToShow(path, 300), c.found) << c.server;
    }
    if (answering.joinable()) answering.join();
    if (c.server == kAnswers) {
      EXPECT_EQ(request, kShowRequest);
    }
    if (fd >= 0) close(fd);
  }
  EXPECT_FALSE(AskRunningInstanceToShow(""));
  EXPECT_FALSE(AskRunningInstanceToShow("/" + std::string(200, 'x'))) << "longer than a socket address";
}

// Every process of the user looks in the same place, whatever its
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
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "HOME"}) setenv(name, (dir / "run").c_str(), 1);
  EXPECT_EQ(InstanceSocketPath(*os), expected);
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "HOME"}) unsetenv(name);
  EXPECT_EQ(InstanceSocketPath(*os), expected);
  setenv("HOME", home.c_str(), 1);

  struct stat st;
  ASSERT_EQ(stat((home + "/.local/state/VELDAR2").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A directory others may write in is not used.
  chmod((home + "/.local/state/VELDAR2").c_str(), 0777);
  EXPECT_EQ(InstanceSocketPath(*os), "");
}

}  // namespace
}  // namespace veldar
