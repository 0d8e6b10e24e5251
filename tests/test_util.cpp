#include "tests/test_util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>

#include "platform/win32_text.h"
#else
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace veldar::testing {
namespace {

// A path from UTF-8 text on every platform (a narrow string is not read as
// UTF-8 on Windows).
std::filesystem::path P(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

}  // namespace

#ifdef _WIN32
TempDir::TempDir() {
  std::random_device random;
  for (int attempt = 0; path_.empty(); ++attempt) {
    const auto candidate = std::filesystem::temp_directory_path() /
                           ("veldar2-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(random()));
    std::error_code code;
    if (std::filesystem::create_directory(candidate, code)) {
      const std::u8string text = candidate.u8string();
      path_.assign(text.begin(), text.end());
    } else if (attempt > 100) {
      throw std::runtime_error("cannot make a temporary directory");
    }
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Read-only entries would stop the cleanup.
  for (auto it = std::filesystem::recursive_directory_iterator(P(path_), ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(P(path_), ignored);
}
#else
TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/veldar2-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Make everything writable first, so read-only entries do not stop the cleanup.
  RunCommand("chmod -R u+rwx '" + path_ + "' 2>/dev/null");
  std::filesystem::remove_all(path_, ignored);
}
#endif

std::string MemorySettings::Read(const std::string& section, const std::string& key) {
  auto found = values.find(section + "/" + key);
  return found == values.end() ? std::string() : found->second;
}

void MemorySettings::Write(const std::string& section, const std::string& key, const std::string& value) {
  values[section + "/" + key] = value;
  writes.push_back(key + "=" + value);
}

void WriteFile(const std::string& path, const std::string& content) {
  const std::filesystem::path file = P(path);
  std::error_code ignored;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ignored);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(P(path), std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

bool Exists(const std::string& path) {
  std::error_code code;
  return std::filesystem::symlink_status(P(path), code).type() != std::filesystem::file_type::not_found && !code;
}

bool IsDir(const std::string& path) {
  std::error_code code;
  return std::filesystem::symlink_status(P(path), code).type() == std::filesystem::file_type::directory;
}

void MakeDirs(const std::string& path) {
  std::error_code ignored;
  std::filesystem::create_directories(P(path), ignored);
}

std::vector<std::string> ListNames(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator(P(directory), code)) {
    const std::u8string name = entry.path().filename().u8string();
    names.emplace_back(name.begin(), name.end());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, std::string> Contents(const std::string& root) {
  std::map<std::string, std::string> contents;
  std::error_code code;
  for (auto it = std::filesystem::recursive_directory_iterator(P(root), code);
       !code && it != std::filesystem::recursive_directory_iterator(); it.increment(code)) {
    const std::u8string relative = it->path().lexically_relative(P(root)).generic_u8string();
    std::string path(relative.begin(), relative.end());
    if (it->is_directory() && !it->is_symlink()) {
      contents[path + "/"];
    } else {
      const std::u8string full = it->path().u8string();
      contents[path] = ReadFile(std::string(full.begin(), full.end()));
    }
  }
  return contents;
}

#ifdef _WIN32
namespace {
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 116444736000000000LL;

HANDLE OpenForTimes(const std::string& path, DWORD access) {
  std::wstring wide;
  if (!Utf8ToWide(path, &wide)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}
}  // namespace

void SetMtime(const std::string& path, std::int64_t seconds, std::uint32_t nanoseconds) {
  HANDLE file = OpenForTimes(path, FILE_WRITE_ATTRIBUTES);
  const std::int64_t ticks = seconds * 10000000LL + nanoseconds / 100 + kEpochDifference;
  FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const bool done = file != INVALID_HANDLE_VALUE && SetFileTime(file, nullptr, &time, &time);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!done) throw std::runtime_error("cannot set the time of " + path);
}

std::int64_t Mtime(const std::string& path) {
  HANDLE file = OpenForTimes(path, FILE_READ_ATTRIBUTES);
  if (file == INVALID_HANDLE_VALUE) return -1;
  FILETIME time;
  const bool done = GetFileTime(file, nullptr, nullptr, &time);
  CloseHandle(file);
  if (!done) return -1;
  const std::int64_t ticks =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (ticks - kEpochDifference) / 10000000LL;
}

void WaitForNewTimestamps() {
  // Windows stamps entries from its clock tick (15.6 ms by default); under
  // Wine the Linux file system stamps them from its coarse clock (at most
  // 10 ms a tick). Sleeping past both is enough for either.
  Sleep(20);
}

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void SetEnv(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
  if (name == "TZ") _tzset();
}

bool MakeLink(const std::string& target, const std::string& path, bool directory) {
  std::wstring wideTarget, widePath;
  if (!Utf8ToWide(target, &wideTarget) || !Utf8ToWide(path, &widePath)) return false;
  for (wchar_t& c : wideTarget) c = c == L'/' ? L'\\' : c;
  const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  if (!CreateSymbolicLinkW(widePath.c_str(), wideTarget.c_str(), flags)) return false;
  // Wine says yes and makes nothing: only a link that is there counts.
  const DWORD attributes = GetFileAttributesW(widePath.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

int RunCommand(const std::string& command, std::string* output) {
  std::wstring wide;
  if (!Utf8ToWide(command, &wide)) return -1;
  FILE* pipe = _wpopen(wide.c_str(), L"rb");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  const int status = _pclose(pipe);
  if (output) *output = text;
  return status;
}
#else
void SetMtime(const std::string& path, std::int64_t seconds, std::uint32_t nanoseconds) {
  struct timespec times[2];
  times[0].tv_sec = seconds;
  times[0].tv_nsec = nanoseconds;
  times[1] = times[0];
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    throw std::runtime_error("cannot set the time of " + path);
}

std::int64_t Mtime(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return -1;
  return st.st_mtim.tv_sec;
}

void WaitForNewTimestamps() {
  // File systems stamp entries from the coarse clock, or (multigrain
  // timestamps, Linux 6.13 and later) from the fine one, which runs ahead of
  // the coarse clock by up to a tick. Waiting until the coarse clock has
  // passed the fine one's reading now puts every stamp given before this call
  // strictly before every stamp given after it, whichever clock either came
  // from.
  struct timespec fine, now;
  clock_gettime(CLOCK_REALTIME, &fine);
  do {
    sched_yield();
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
  } while (now.tv_sec < fine.tv_sec || (now.tv_sec == fine.tv_sec && now.tv_nsec <= fine.tv_nsec));
}

bool UnderWine() { return false; }

void SetEnv(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
  if (name == "TZ") tzset();
}

bool MakeLink(const std::string& target, const std::string& path, bool) {
  return symlink(target.c_str(), path.c_str()) == 0;
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string IsolateHome() {
  const passwd* user = getpwuid(geteuid());
  if (!user || !user->pw_dir || user->pw_dir[0] != '/') return std::string();
  const std::string home = user->pw_dir;
  // Mounts made from here on stay in this thread's namespace and its children's.
  if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", home.c_str(), "tmpfs", 0, "mode=0755") != 0)
    return std::string();
  return home;
}
#endif

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string::size_type length = end - start;
    if (length > 0 && text[start + length - 1] == '\r') --length;  // CRLF line ends
    lines.push_back(text.substr(start, length));
    start = end + 1;
  }
  return lines;
}

}  // namespace veldar::testing
