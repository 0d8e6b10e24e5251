#include "platform/instance_socket.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/os.h"

namespace veldar {

std::string InstanceSocketPath(Os& os) {
  const std::string directory = os.PrivateRuntimeDir();
  if (directory.empty()) return {};
  return os.Paths().Join(directory, "veldar2-instance");
}

bool AskRunningInstanceToShow(const std::string& path, int timeoutMs) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // The time limits bound every blocking step: a connection the listener's
  // backlog has no room for yet, the request and the answer.
  timeval limit{timeoutMs / 1000, static_cast<suseconds_t>(timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  int connected;
  do {
    connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (connected != 0 && errno == EINTR);
  // Only a listener of this user's is an instance: one that another user
  // (root aside) made where this user's programs look must not stop them.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (connected != 0 || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != geteuid()) {
    close(fd);
    return false;
  }
  // The answer only says the request was handled; it is read so that the
  // instance has shown its window before this start ends, not checked.
  if (send(fd, kShowRequest.data(), kShowRequest.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(kShowRequest.size())) {
    char answer[16];
    std::size_t got = 0;
    while (got < sizeof answer) {
      const ssize_t n = recv(fd, answer + got, sizeof answer - got, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
      if (std::memchr(answer, '\n', got)) break;
    }
  }
  close(fd);
  return true;
}

}  // namespace veldar
