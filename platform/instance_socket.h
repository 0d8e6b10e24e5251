#pragma once
// The single-instance rule on Linux, as both programs speak it: while the
// main dialog is shown, the dialog program listens on a local (AF_UNIX,
// stream) socket of the user's own, and every start of either program first
// connects to it; when an instance is there, the start asks it to bring its
// window back and stops. The request is the line kShowRequest; the instance
// answers kShownReply once its window is back, then closes the connection.
//
// The command-line program asks with plain sockets (this file), so that it
// loads no toolkit; the dialog program listens with Qt's local server
// (ui/qt/single_instance.h), which makes the same kind of socket.

#include <string>
#include <string_view>

namespace veldar {

class Os;

inline constexpr std::string_view kShowRequest = "SHOW\n";
inline constexpr std::string_view kShownReply = "OK\n";

// The socket's path: "veldar2-instance" in the user's private directory
// (Os::PrivateRuntimeDir), which every process of the user finds, whatever
// its environment (a cron job's too). Empty when there is no such
// directory; there is then no instance check.
std::string InstanceSocketPath(Os& os);

// Connects to the instance listening at `path` and asks it to show its
// window. True when an instance of this user's was there (it took the
// connection, and the listener runs as this process's effective user), whether
// or not its answer came within `timeoutMs`: an instance that is slow to
// answer is still there. False when none listens: no socket, a socket left
// behind by an instance that ended, a listener of another user's, an empty
// path, or a path too long for a socket address. Each step (connecting, sending, reading the answer) waits
// at most about `timeoutMs`.
bool AskRunningInstanceToShow(const std::string& path, int timeoutMs = 2000);

}  // namespace veldar
