#include "tests/test_util.h"

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#endif

namespace veldar::testing {

#ifdef _WIN32
namespace {

// Paths are UTF-8: std::filesystem takes them as such only through char8_t.
std::filesystem::path PathOf(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

std::string TextOf(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

TempDir::TempDir() {
  std::string base;
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      base = value;
      break;
    }
  }
  if (base.empty()) throw std::runtime_error("no TEMP directory");
  static int counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string candidate = base + "/veldar2-test-" + std::to_string(GetCurrentProcessId()) +
                                  "-" + std::to_string(counter++);
    std::error_code error;
    if (std::filesystem::create_directory(PathOf(candidate), error)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory under " + base);
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Read-only entries would stop the cleanup.
  for (auto it = std::filesystem::recursive_directory_iterator(PathOf(path_), ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(PathOf(path_), ignored);
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

void MemorySettings::Write(const std::string& section, const std::string& key,
                           const std::string& value) {
  values[section + "/" + key] = value;
  writes.push_back(key + "=" + value);
}

#ifdef _WIN32
void WriteFile(const std::string& path, const std::string& content) {
  const std::filesystem::path target = PathOf(path);
  if (target.has_parent_path()) MakeDirs(TextOf(target.parent_path()));
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(PathOf(path), std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

bool Exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(PathOf(path), error));
}

bool IsDir(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(std::filesystem::symlink_status(PathOf(path), error));
}

void MakeDirs(const std::string& path) {
  std::error_code ignored;
  std::filesystem::create_directories(PathOf(path), ignored);
}

namespace {
// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 116444736000000000LL;
}  // namespace

void SetMtime(const std::string& path, std::int64_t seconds) {
  const HANDLE handle = CreateFileW(PathOf(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  const std::uint64_t ticks = static_cast<std::uint64_t>(seconds * 10000000LL + kEpochDifference);
  FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const BOOL done = SetFileTime(handle, nullptr, &time, &time);
  CloseHandle(handle);
  if (!done) throw std::runtime_error("cannot set the time of " + path);
}

std::int64_t Mtime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(PathOf(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  const std::int64_t ticks = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime);
  return (ticks - kEpochDifference) / 10000000LL;
}

std::vector<std::string> ListNames(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(PathOf(directory), error))
    names.push_back(TextOf(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

// Runs the command through cmd.exe.
int RunCommand(const std::string& command, std::string* output) {
  std::wstring wide(command.size(), L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(
      CP_UTF8, 0, command.data(), static_cast<int>(command.size()), wide.data(),
      static_cast<int>(wide.size()))));
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
void WriteFile(const std::string& path, const std::string& content) {
  auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeDirs(path.substr(0, slash));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void MakeDirs(const std::string& path) {
  std::error_code ignored;
  std::filesystem::create_directories(path, ignored);
}

void SetMtime(const std::string& path, std::int64_t seconds) {
  struct timespec times[2];
  times[0].tv_sec = seconds;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    throw std::runtime_error("cannot set the time of " + path);
}

std::int64_t Mtime(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return -1;
  return st.st_mtim.tv_sec;
}

std::vector<std::string> ListNames(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
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
#endif

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace veldar::testing
