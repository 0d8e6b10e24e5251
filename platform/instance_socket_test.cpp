#include "platform/instance_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
  enum Server { kNone, kLeftBehind, kAnswers, kSilent };
  const struct {
    Server server;
    bool found;
  } cases[] = {{kNone, false}, {kLeftBehind, false}, {kAnswers, true}, {kSilent, true}};
  for (const auto& c : cases) {
    unlink(path.c_str());
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
  }
  EXPECT_FALSE(AskRunningInstanceToShow(""));
  EXPECT_FALSE(AskRunningInstanceToShow("/" + std::string(200, 'x'))) << "longer than a socket address";
}

TEST(InstanceSocketTest, SocketLivesInAPrivateRuntimeDirectory) {
  testing::TempDir dir;
  auto os = MakeSystemOs();
  testing::MakeDirs(dir / "run");
  testing::MakeDirs(dir / "tmp");
  chmod((dir / "run").c_str(), 0700);
  const char* savedRuntime = std::getenv("XDG_RUNTIME_DIR");
  const char* savedTmp = std::getenv("TMPDIR");
  const std::string runtime = savedRuntime ? savedRuntime : "", tmp = savedTmp ? savedTmp : "";
  setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
  setenv("TMPDIR", (dir / "tmp").c_str(), 1);
  const std::string own = InstanceSocketPath(*os);
  // A runtime directory others may enter is not used.
  chmod((dir / "run").c_str(), 0755);
  const std::string fallback = InstanceSocketPath(*os);
  savedRuntime ? setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
  savedTmp ? setenv("TMPDIR", tmp.c_str(), 1) : unsetenv("TMPDIR");

  EXPECT_EQ(own, dir / "run/veldar2-instance");
  EXPECT_EQ(fallback, dir / ("tmp/veldar2-" + std::to_string(geteuid()) + "/veldar2-instance"));
  struct stat st;
  ASSERT_EQ(stat((dir / ("tmp/veldar2-" + std::to_string(geteuid()))).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace veldar
