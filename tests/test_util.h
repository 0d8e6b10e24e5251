#pragma once
// Helpers shared by the tests: a scoped temporary directory, recording
// doubles of the user-message and settings interfaces, and small file helpers
// that use the system directly (so that they check the engine independently of
// its own OS layer).

#include <algorithm>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "engine/settings_store.h"
#include "engine/user_messages.h"
#include "platform/os_paths.h"

namespace veldar {

// A status in a test's failure message: its code and kind.
inline std::ostream& operator<<(std::ostream& out, const Status& status) {
  return out << status.code() << " (kind " << static_cast<int>(status.kind()) << ")";
}

}  // namespace veldar

namespace veldar::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + separator + relative, written with the system's separator (a
  // '/' in `relative` becomes '\\' on Windows), as the engine writes paths.
  std::string operator/(const std::string& relative) const {
#ifdef _WIN32
    std::string joined = path_ + "\\" + relative;
    std::replace(joined.begin() + static_cast<std::ptrdiff_t>(path_.size()), joined.end(), '/', '\\');
    return joined;
#else
    return path_ + "/" + relative;
#endif
  }

 private:
  std::string path_;
};

// Records every message; answers questions with `answer`.
class RecordingMessages : public UserMessages {
 public:
  void Show(const std::string& text) override { shown.push_back(text); }
  bool AskOkCancel(const std::string& text) override {
    asked.push_back(text);
    return answer;
  }
  std::vector<std::string> shown;
  std::vector<std::string> asked;
  bool answer = true;
};

// Settings held in memory, keyed "SECTION/KEY"; records every write.
class MemorySettings : public SettingsStore {
 public:
  std::string Read(const std::string& section, const std::string& key) override;
  void Write(const std::string& section, const std::string& key, const std::string& value) override;
  std::map<std::string, std::string> values;
  std::vector<std::string> writes;  // "KEY=VALUE" in order
};

// Creates the file (and its missing parent directories) with `content`.
void WriteFile(const std::string& path, const std::string& content);
// The file's content; empty when it cannot be read.
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);  // without following a final link
bool IsDir(const std::string& path);
void MakeDirs(const std::string& path);
// Sets the last-write time (seconds since the epoch, and nanoseconds, which
// Windows keeps to 100 ns) without following links.
void SetMtime(const std::string& path, std::int64_t seconds, std::uint32_t nanoseconds = 0);
std::int64_t Mtime(const std::string& path);
// Waits until the clock the file systems stamp entries with has moved on, so
// that everything created afterwards is strictly newer than everything
// created before.
void WaitForNewTimestamps();
// Names in the directory, sorted, without "." and "..".
std::vector<std::string> ListNames(const std::string& directory);
// Everything below `root` by its path relative to it ('/' between names):
// a file with its content, a directory with "/" after its path and no
// content. Empty when `root` is missing.
std::map<std::string, std::string> Contents(const std::string& root);
// Sets an environment variable of this process (and, for "TZ", the time
// zone the C library converts with).
void SetEnv(const std::string& name, const std::string& value);
// Makes `path` a symbolic link to `target` (a directory link on Windows when
// `directory`). False where the system or the process cannot make links.
bool MakeLink(const std::string& target, const std::string& path, bool directory = false);
// True when the tests run under Wine rather than on Windows or Linux: where
// Wine differs from Windows, a test says so and skips.
bool UnderWine();
// Runs a shell command; returns its exit status and fills `output` with what
// it printed to standard output.
int RunCommand(const std::string& command, std::string* output = nullptr);
// POSIX: puts an empty directory over the home directory the password
// database gives this user, for this thread and the processes it starts
// from now on (a mount namespace of their own), so that a test may make
// what the program keeps there without touching the real one. Returns that
// home directory; empty where the system does not allow it (not root).
std::string IsolateHome();
// Splits the text into lines (without their line ends, "\n" or "\r\n").
std::vector<std::string> Lines(const std::string& text);

}  // namespace veldar::testing
