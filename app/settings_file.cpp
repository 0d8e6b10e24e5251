#include "app/settings_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "res/string_table.h"
#include "res/translation.h"

namespace veldar {
namespace {

constexpr std::string_view kBlanks = " \t\r\f\v";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool IsHexDigit(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string Hex(unsigned value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value % 16]);
    value /= 16;
  } while (value);
  return digits;
}

// Whether `text` is well-formed UTF-8: no stray continuation byte, no
// overlong form, no surrogate, nothing past U+10FFFF. QSettings stores any
// other bytes as @ByteArray(...).
bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t length;
    char32_t code;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xc2 && c <= 0xdf) {
      length = 2, code = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      length = 3, code = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      length = 4, code = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = code << 6 | (next & 0x3f);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) ||
        (length == 4 && (code < 0x10000 || code > 0x10ffff)))
      return false;
    i += length;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x110000) {
    out += static_cast<char>(0xf0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3f));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// One line of an INI text: where it starts, where its content ends (before
// "\r\n" or "\n") and where the next line starts.
struct Line {
  std::size_t begin, end, next;
};

// A UTF-8 byte-order mark at the start of a text, as Windows editors write
// it: no part of the first line. QSettings skips it too.
constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";

std::size_t MarkLength(std::string_view text) { return text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0; }

std::vector<Line> Lines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t begin = MarkLength(text);
  while (begin < text.size()) {
    std::size_t newline = text.find('\n', begin);
    const std::size_t next = newline == std::string_view::npos ? text.size() : newline + 1;
    std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    if (end > begin && text[end - 1] == '\r') --end;
    lines.push_back({begin, end, next});
    begin = next;
  }
  return lines;
}

// What one line of an INI text holds, as QSettings reads it.
struct Entry {
  enum Kind { kOther, kGroup, kKey } kind = kOther;
  std::string_view name;    // the group's or the key's
  std::size_t valueAt = 0;  // a key's value: where it starts in the text
};

Entry ReadLine(std::string_view text, const Line& line) {
  const std::string_view content = text.substr(line.begin, line.end - line.begin);
  const std::string_view trimmed = Trim(content);
  Entry entry;
  if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') return entry;
  if (trimmed[0] == '[') {
    const std::size_t close = trimmed.rfind(']');
    entry.kind = Entry::kGroup;
    entry.name = Trim(trimmed.substr(1, close == std::string_view::npos ? close : close - 1));
    return entry;
  }
  const std::size_t equals = content.find('=');
  if (equals == std::string_view::npos) return entry;
  entry.kind = Entry::kKey;
  entry.name = Trim(content.substr(0, equals));
  const std::size_t value = content.find_first_not_of(kBlanks, equals + 1);
  entry.valueAt = line.begin + (value == std::string_view::npos ? content.size() : value);
  return entry;
}

// Where a key's line and its group are in a text.
struct Place {
  std::optional<std::size_t> keyLine;    // the key's last line
  std::optional<std::size_t> groupLine;  // the group's last key line, else its last heading
};

Place Find(std::string_view text, const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Place place;
  bool inSection = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Entry entry = ReadLine(text, lines[i]);
    if (entry.kind == Entry::kGroup) {
      inSection = entry.name == section;
      if (inSection) place.groupLine = i;
    } else if (entry.kind == Entry::kKey && inSection) {
      place.groupLine = i;
      if (entry.name == key) place.keyLine = i;
    }
  }
  return place;
}

// A character of a written value once its escape is undone: a byte of the
// file as it stands, or the code an escape gives (\x, an octal number, \n).
struct Unit {
  char32_t code;
  bool escaped;
};

std::vector<Unit> Unescaped(std::string_view written) {
  std::vector<Unit> units;
  for (std::size_t i = 0; i < written.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(written[i]);
    if (c == '"') continue;  // quotes keep blanks and separators; they are no part of the value
    if (c != '\\' || i + 1 == written.size()) {
      units.push_back({c, false});
      continue;
    }
    const unsigned char e = static_cast<unsigned char>(written[++i]);
    char32_t code = e;
    switch (e) {
      case 'a':
        code = '\a';
        break;
      case 'b':
        code = '\b';
        break;
      case 'f':
        code = '\f';
        break;
      case 'n':
        code = '\n';
        break;
      case 'r':
        code = '\r';
        break;
      case 't':
        code = '\t';
        break;
      case 'v':
        code = '\v';
        break;
      case 'x':
        // As many hex digits as follow: the writer escapes a hex digit that
        // comes after such an escape, so the number ends where they do.
        code = 0;
        while (i + 1 < written.size() && IsHexDigit(static_cast<unsigned char>(written[i + 1]))) {
          const char d = written[++i];
          code = (code << 4) | static_cast<char32_t>(d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10);
          code &= 0x1fffff;
        }
        break;
      default:
        if (e >= '0' && e <= '7') {
          code = e - '0';
          while (i + 1 < written.size() && written[i + 1] >= '0' && written[i + 1] <= '7') {
            code = ((code << 3) | static_cast<char32_t>(written[++i] - '0')) & 0x1fffff;
          }
        }
        // Any other escaped character stands for itself ('"', '\\', "\;").
        break;
    }
    units.push_back({code, true});
  }
  return units;
}

bool StartsWith(const std::vector<Unit>& units, std::string_view prefix) {
  if (units.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (units[i].code != static_cast<unsigned char>(prefix[i])) return false;
  }
  return true;
}

// The units from `first` to `last` (not included) as text: bytes of the
// file as they are, escaped codes in UTF-8 or, for bytes, as one byte each.
std::string Join(const std::vector<Unit>& units, std::size_t first, std::size_t last, bool bytes) {
  std::string out;
  for (std::size_t i = first; i < last; ++i) {
    if (!units[i].escaped || bytes)
      out += static_cast<char>(units[i].code & 0xff);
    else
      AppendUtf8(out, units[i].code);
  }
  return out;
}

}  // namespace

std::string IniEscape(std::string_view value) {
  // Text goes as text; other bytes as @ByteArray(...), whose characters
  // are the bytes one by one.
  const bool text = IsUtf8(value);
  std::string source;
  if (!text)
    source = "@ByteArray(" + std::string(value) + ")";
  else if (value.find('\0') != std::string_view::npos)
    source = "@String(" + std::string(value) + ")";
  else if (!value.empty() && value[0] == '@')
    source = "@" + std::string(value);
  else
    source = value;

  std::string result;
  bool needsQuotes = false;
  bool escapeNextIfHexDigit = false;
  for (const char ch : source) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == ';' || c == ',' || c == '=') needsQuotes = true;
    // A hex digit right after a \x or \0 escape would be read as part of it.
    if (escapeNextIfHexDigit && IsHexDigit(c)) {
      result += "\\x" + Hex(c);
      continue;
    }
    escapeNextIfHexDigit = false;
    switch (c) {
      case '\0':
        result += "\\0";
        escapeNextIfHexDigit = true;
        break;
      case '\a':
        result += "\\a";
        break;
      case '\b':
        result += "\\b";
        break;
      case '\f':
        result += "\\f";
        break;
      case '\n':
        result += "\\n";
        break;
      case '\r':
        result += "\\r";
        break;
      case '\t':
        result += "\\t";
        break;
      case '\v':
        result += "\\v";
        break;
      case '"':
      case '\\':
        result += '\\';
        result += ch;
        break;
      default:
        // In text, bytes from 0x7f up are UTF-8 and go as they are; in
        // @ByteArray(...) they are escaped, so the file stays UTF-8.
        if (c <= 0x1f || (c >= 0x7f && !text)) {
          result += "\\x" + Hex(c);
          escapeNextIfHexDigit = true;
        } else {
          result += ch;
        }
    }
  }
  if (needsQuotes || (!result.empty() && (result.front() == ' ' || result.back() == ' ')))
    result = "\"" + result + "\"";
  return result;
}

std::string IniUnescape(std::string_view written) {
  const std::vector<Unit> units = Unescaped(written);
  const auto closed = [&] { return !units.empty() && units.back().code == ')'; };
  if (StartsWith(units, "@@")) return Join(units, 1, units.size(), false);
  if (StartsWith(units, "@ByteArray(") && closed()) return Join(units, 11, units.size() - 1, true);
  if (StartsWith(units, "@String(") && closed()) return Join(units, 8, units.size() - 1, false);
  // The other types QSettings stores hold nothing the settings use.
  for (std::string_view type : {"@Invalid(", "@Variant(", "@DateTime(", "@Rect(", "@Size(", "@Point("}) {
    if (StartsWith(units, type) && closed()) return {};
  }
  return Join(units, 0, units.size(), false);
}

std::optional<std::string> IniValue(std::string_view text, std::string_view section, std::string_view key) {
  const std::vector<Line> lines = Lines(text);
  const Place place = Find(text, lines, section, key);
  if (!place.keyLine) return std::nullopt;
  const Line& line = lines[*place.keyLine];
  const std::size_t at = ReadLine(text, line).valueAt;
  return IniUnescape(Trim(text.substr(at, line.end - at)));
}

std::string IniWithValue(std::string_view text, std::string_view section, std::string_view key,
                         std::string_view value) {
  const std::vector<Line> lines = Lines(text);
  const Place place = Find(text, lines, section, key);
  const std::string written = IniEscape(value);
  std::string result(text);
  if (place.keyLine) {
    const Line& line = lines[*place.keyLine];
    const std::size_t at = ReadLine(text, line).valueAt;
    return result.replace(at, line.end - at, written);
  }
  const std::string entry = std::string(key) + "=" + written;
  if (place.groupLine) {
    // After that line, ended as it is ended ("\r\n" or "\n"); a last line
    // with no end gets one first.
    const Line& line = lines[*place.groupLine];
    const bool ended = text[line.next - 1] == '\n';
    const std::string end = line.end < line.next && text[line.end] == '\r' ? "\r\n" : "\n";
    if (!ended) return result.insert(line.next, (end == "\r\n" ? "\n" : end) + entry + end);
    return result.insert(line.next, entry + end);
  }
  // A new group, after a blank line as QSettings separates groups.
  if (lines.empty()) return result + "[" + std::string(section) + "]\n" + entry + "\n";
  if (result.back() != '\n') result += '\n';
  if (Trim(text.substr(lines.back().begin)).size() != 0) result += '\n';
  return result + "[" + std::string(section) + "]\n" + entry + "\n";
}

std::string SettingsFilePath(const char* xdgConfigHome, const std::string& home) {
  const std::string base = xdgConfigHome && *xdgConfigHome ? std::string(xdgConfigHome) : home + "/.config";
  return base + "/" + LoadString(IDS_COMPANY) + "/VELDAR2.conf";
}

std::string SettingsFilePathOfProcess() {
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* user = getpwuid(getuid());
    home = user && user->pw_dir ? user->pw_dir : "";
  }
  return SettingsFilePath(std::getenv("XDG_CONFIG_HOME"), home);
}

namespace {

// The whole of the regular file at `path` (a link to one is followed), or
// nullopt with errno set: ENOENT where there is nothing, EINVAL for anything
// but a regular file. Such a thing is never read, and not even opened where
// it was seen first: opening a FIFO waits for a writer, opening a device may
// act on it.
std::optional<std::string> ReadWhole(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return std::nullopt;
  if (!S_ISREG(status.st_mode)) {
    errno = EINVAL;
    return std::nullopt;
  }
  // It may have been swapped since: opened without waiting, and read only
  // while it is still a regular file.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    errno = EINVAL;
    return std::nullopt;
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int error = errno;
      close(fd);
      if (got < 0) {
        errno = error;
        return std::nullopt;
      }
      return text;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

bool WriteWhole(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t put = write(fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Makes `directory` and what is missing above it.
void MakeDirectories(const std::string& directory) {
  for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
    mkdir(directory.substr(0, slash).c_str(), 0777);
    if (slash == std::string::npos) return;
  }
}

// Holds the directory's lock while it lives. Every writer of the settings
// takes it before reading the file it will replace, so that two processes
// writing different keys at once both keep their value. Waits up to five
// seconds for another writer, then goes on without the lock: a writer that
// hangs must not stop a backup run from storing its paths. A lock on the
// directory, rather than on a lock file, leaves nothing behind and ends
// with the process that holds it.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& directory)
      : fd_(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) return;
    for (int attempt = 0; attempt < 500; ++attempt) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return;
      }
      if (errno != EWOULDBLOCK) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) close(fd_);
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // No other writer of the settings is between reading and replacing them.
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_ = false;
};

// What a settings file that is no regular file is, in the line that says so.
const char* KindOf(mode_t mode) {
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "デバイス";
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISDIR(mode)) return "ディレクトリ";
  if (S_ISSOCK(mode)) return "ソケット";
  return "特殊なファイル";
}

// The writer's process id in `name` when it is a temporary file of Replace
// beside the file named `file`: `file` "." pid "-" attempt ".new". 0 for any
// other name.
long TemporaryWriterOf(std::string_view name, std::string_view file) {
  constexpr std::string_view kSuffix = ".new";
  if (!name.starts_with(file) || !name.ends_with(kSuffix)) return 0;
  name = name.substr(file.size(), name.size() - file.size() - kSuffix.size());
  const std::size_t dash = name.find('-');
  if (name.size() < 4 || name[0] != '.' || dash == std::string_view::npos || dash < 2 || dash > 10 ||
      dash + 1 == name.size() || name.size() - dash > 4)
    return 0;
  long pid = 0;
  for (std::size_t i = 1; i < name.size(); ++i) {
    if (i == dash) continue;
    if (name[i] < '0' || name[i] > '9') return 0;
    if (i < dash) pid = pid * 10 + (name[i] - '0');
  }
  return pid;
}

// Removes the temporary files that killed writers left beside `file`: names
// of Replace's form whose process is gone, and only regular files of this
// user's. Each is looked at and removed by its name in the directory, never
// through a link. Called with the directory's lock held, while no writer of
// this program is between making such a file and giving it its name; a
// writer that went on without the lock is still alive, and its file stays.
void RemoveAbandonedTemporaries(const std::string& file) {
  const int fd = open(DirectoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  const int listed = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  DIR* listing = listed < 0 ? nullptr : fdopendir(listed);
  if (!listing) {
    if (listed >= 0) close(listed);
    close(fd);
    return;
  }
  const std::string name = NameOf(file);
  while (const dirent* entry = readdir(listing)) {
    const long pid = TemporaryWriterOf(entry->d_name, name);
    if (pid <= 0 || pid > INT_MAX) continue;
    struct stat status;
    if (fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != geteuid())
      continue;
    // A process of that number that lives (a reused number too) keeps it.
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    unlinkat(fd, entry->d_name, 0);
  }
  closedir(listing);
  close(fd);
}

}  // namespace

// Where a write of the settings goes.
struct SettingsFile::Target {
  std::string path;     // the settings file, or where its link leads
  bool exists = false;  // false: nothing has the name; a write makes the file
  mode_t mode = 0;      // the existing file's permissions
};

std::optional<SettingsFile::Target> SettingsFile::FindTarget() {
  const auto refuse = [this](const std::string& what, mode_t mode) {
    if (told_ || !onNotWritten) return;
    told_ = true;
    onNotWritten(FormatText(Translate(language, "設定を保存しません: %1 は通常のファイルではありません（%2）"),
                            {what, Translate(language, KindOf(mode))}));
  };
  struct stat status;
  if (lstat(path_.c_str(), &status) != 0) {
    if (errno != ENOENT) return std::nullopt;
    return Target{path_, false, 0};
  }
  Target target{path_, true, 0};
  if (S_ISLNK(status.st_mode)) {
    // A link is kept and the regular file it leads to replaced, as editors do.
    if (char* resolved = realpath(path_.c_str(), nullptr)) {
      target.path = resolved;
      free(resolved);
      if (stat(target.path.c_str(), &status) != 0) return std::nullopt;
      if (!S_ISREG(status.st_mode)) {
        refuse(path_ + " -> " + target.path, status.st_mode);
        return std::nullopt;
      }
    } else {
      // A link to a file not made yet: the file is made where it points,
      // only while that name stays free (Replace).
      if (errno != ENOENT) return std::nullopt;
      char to[PATH_MAX];
      const ssize_t length = readlink(path_.c_str(), to, sizeof to);
      if (length <= 0 || static_cast<std::size_t>(length) == sizeof to) return std::nullopt;
      target.path.assign(to, static_cast<std::size_t>(length));
      if (target.path[0] != '/') target.path = DirectoryOf(path_) + "/" + target.path;
      target.exists = false;
    }
  } else if (!S_ISREG(status.st_mode)) {
    refuse(path_, status.st_mode);
    return std::nullopt;
  }
  target.mode = status.st_mode & 07777;
  return target;
}

std::string SettingsFile::Read(const std::string& section, const std::string& key) {
  if (!text_) text_ = ReadWhole(path_).value_or(std::string());
  return IniValue(*text_, section, key).value_or(std::string());
}

void SettingsFile::Write(const std::string& section, const std::string& key, const std::string& value) {
  const std::string directory = DirectoryOf(path_);
  MakeDirectories(directory);
  DirectoryLock lock(directory);
  const std::optional<Target> target = FindTarget();
  if (!target) return;
  std::optional<std::string> text;
  if (target->exists) {
    // A file that cannot be read is left alone: written anew, it would lose
    // every other setting.
    text = ReadWhole(target->path);
    if (!text) return;
  }
  if (lock.held()) RemoveAbandonedTemporaries(target->path);
  const std::string changed = IniWithValue(text.value_or(std::string()), section, key, value);
  if ((text && changed == *text) || Replace(*target, changed)) text_ = changed;
}

bool SettingsFile::Replace(const Target& target, const std::string& text) {
  std::string temporary;
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary = target.path + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".new";
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool written = (!target.exists || fchmod(fd, target.mode) == 0) && WriteWhole(fd, text) && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  bool placed = false;
  if (written && target.exists) {
    // Only a regular file is replaced: whatever took its name since it was
    // looked at stays as it is.
    struct stat status;
    placed = lstat(target.path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
             rename(temporary.c_str(), target.path.c_str()) == 0;
  } else if (written) {
    // A new file takes a name that is free, never one that something took
    // meanwhile; where the file system cannot rename so, a second link does.
    placed = renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.path.c_str(), RENAME_NOREPLACE) == 0;
    if (!placed && errno == EINVAL && link(temporary.c_str(), target.path.c_str()) == 0) {
      unlink(temporary.c_str());
      placed = true;
    }
  }
  if (!placed) {
    const int error = errno;
    unlink(temporary.c_str());
    errno = error;
    return false;
  }
  // The new name lasts through a power cut only once the directory is on disk.
  const int directory = open(DirectoryOf(target.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return true;
}

}  // namespace veldar
