#include "app/generation_list.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "app/app.h"
#include "engine/generations.h"
#include "engine/run_progress.h"
#include "engine/utf8.h"
#include "platform/os_paths.h"
#include "res/translation.h"

namespace veldar {
namespace {

// A state's words: for people (translated) and in the JSON.
struct StateWords {
  const char* text;
  const char* json;
};

StateWords WordsOf(GenerationListRow::State state) {
  switch (state) {
    case GenerationListRow::State::kComplete: return {"完了", "complete"};
    case GenerationListRow::State::kIncomplete: return {"未完了", "incomplete"};
    case GenerationListRow::State::kWorking: break;
  }
  return {"中断（作業ディレクトリ）", "interrupted"};
}

std::string HexByte(unsigned char byte, const char* format) {
  char text[8];
  std::snprintf(text, sizeof text, format, byte);
  return text;
}

// A name for a terminal: a byte that is no UTF-8 as \xNN, the rest as the log
// writes it (control characters escaped), so that no name can move the
// cursor or garble the line.
std::string PrintableName(const std::string& name) {
  std::string text;
  std::size_t valid = 0;  // where the run of valid UTF-8 before `i` starts
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t length = Utf8CharLength(name, i);
    if (length == 0) {
      text += EscapeLogText(name.substr(valid, i - valid));
      text += HexByte(static_cast<unsigned char>(name[i]), "\\x%02X");
      valid = ++i;
    } else {
      i += length;
    }
  }
  return text + EscapeLogText(name.substr(valid));
}

// `text` as a JSON string, quotes included; a byte that is no UTF-8 becomes
// U+FFFD. Sets `*exact` to whether nothing had to be replaced.
std::string JsonString(const std::string& text, bool* exact) {
  std::string json = "\"";
  *exact = true;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8CharLength(text, i);
    const auto byte = static_cast<unsigned char>(text[i]);
    if (length == 0) {
      json += "\xEF\xBF\xBD";
      *exact = false;
      ++i;
      continue;
    }
    if (byte == '"' || byte == '\\') {
      json += '\\';
      json += static_cast<char>(byte);
    } else if (byte == '\n') {
      json += "\\n";
    } else if (byte == '\t') {
      json += "\\t";
    } else if (byte == '\r') {
      json += "\\r";
    } else if (byte < 0x20 || byte == 0x7f) {
      json += HexByte(byte, "\\u%04x");
    } else if (byte == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
      // A C1 control character, which a terminal showing the line would obey.
      json += HexByte(static_cast<unsigned char>(text[i + 1]), "\\u%04x");
    } else {
      json.append(text, i, length);
    }
    i += length;
  }
  return json + "\"";
}

std::string Pad(const std::string& text, std::size_t width, bool right) {
  const std::size_t columns = static_cast<std::size_t>(TextColumns(text));
  const std::string blanks(width > columns ? width - columns : 0, ' ');
  return right ? blanks + text : text + blanks;
}

// What a walk of a tree counted.
struct TreeCount {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  bool whole = true;  // every directory of it was read
};

// Counts what the open directory `dir` (whose status is `status`) holds, all
// the way down. Subdirectories are opened through their parent, so no link is
// followed; one on another mount (a mount point inside a generation) is not
// entered: it is no part of the copy, and could hold the tree itself. What
// cannot be listed or opened is passed over and leaves the count partial.
void CountTree(OsDir& dir, const FileStatus& status, TreeCount* count) {
  std::vector<DirEntry> entries;
  if (!dir.List(&entries).ok()) count->whole = false;  // what was read still counts
  for (const DirEntry& entry : entries) {
    switch (entry.status.kind) {
      case EntryKind::File:
        ++count->files;
        count->bytes += entry.status.size;
        break;
      case EntryKind::Symlink: ++count->files; break;
      case EntryKind::Special: break;
      case EntryKind::Directory: {
        if (!entry.status.SameMountAs(status)) break;
        std::unique_ptr<OsDir> sub;
        if (dir.OpenDir(entry.name, &sub).ok()) {
          CountTree(*sub, entry.status, count);
        } else {
          count->whole = false;
        }
        break;
      }
    }
  }
}

// The row of the directory `name` of the backup directory, its files and
// bytes counted, kIncomplete when part of it could not be read.
GenerationListRow DirRow(OsDir& backup, const std::string& name, const FileStatus& status) {
  GenerationListRow row;
  row.name = name;
  TreeCount count;
  std::unique_ptr<OsDir> dir;
  if (backup.OpenDir(name, &dir).ok()) {
    CountTree(*dir, status, &count);
  } else {
    count.whole = false;
  }
  row.files = count.files;
  row.bytes = count.bytes;
  row.state = count.whole ? GenerationListRow::State::kComplete : GenerationListRow::State::kIncomplete;
  return row;
}

// The name the source's generations are named after, as the backup run takes
// it: the last component, or the real directory's for "." and "..". Empty for
// a root, which is never backed up.
std::string SourceName(Os& os, const std::string& sourcePath) {
  const std::string path = os.Paths().WithoutTrailingSeparators(sourcePath);
  const std::string name = os.Paths().NameOf(path);
  if (name != "." && name != "..") return name;
  std::string resolved;
  return os.RealPath(path, &resolved).ok() ? os.Paths().NameOf(resolved) : name;
}

// `*error` for a backup directory that could not be opened or read.
int Unreadable(Os& os, const std::string& backupDir, const Status& code, std::vector<GenerationListRow>* rows,
               std::string* error) {
  rows->clear();
  *error = "書き込むディレクトリを読めません: " + backupDir + ": " + os.ErrorText(code);
  return 0;
}

}  // namespace

int FindGenerationRows(Os& os, const std::string& sourcePath, const std::string& backupDir,
                       std::vector<GenerationListRow>* rows, std::string* error) {
  rows->clear();
  error->clear();
  const std::string backupPath = os.Paths().WithoutTrailingSeparators(backupDir);
  std::unique_ptr<OsDir> backup;
  if (Status code = os.OpenDir(backupPath, /*followLink=*/true, &backup); !code.ok()) {
    return Unreadable(os, backupPath, code, rows, error);
  }
  const std::string stem = SourceName(os, sourcePath);
  if (stem.empty()) return 1;

  Generations generations(os, backupPath, stem, backup.get());
  std::vector<CFileEntry> list;
  bool directory = true;
  int found;
  FileStatus source;
  if (Stat(os, sourcePath, /*followLink=*/true, &source).ok()) {
    directory = source.kind == EntryKind::Directory;
    found = directory ? generations.FindDirs(&list) : generations.FindFiles(&list);
  } else {
    found = generations.FindDirs(&list);
    if (found && list.empty()) {
      found = generations.FindFiles(&list);
      directory = list.empty();
    }
  }
  if (!found) {
    // The scan says only that the listing broke off; a second look, which
    // takes no entry, gives the system's reason.
    std::vector<DirEntry> none;
    Status code = backup->List(&none, [](std::string_view) { return false; });
    if (code.ok()) code = os.Error(ErrorKind::kIo);
    return Unreadable(os, backupPath, code, rows, error);
  }

  if (directory) {
    const std::string working = ServiceName(stem, kWorkingSuffix);
    FileStatus status;
    if (backup->StatAt(working, &status).ok() && status.kind == EntryKind::Directory) {
      GenerationListRow row = DirRow(*backup, working, status);
      row.completed = status.mtimeSec;
      row.state = GenerationListRow::State::kWorking;
      rows->push_back(std::move(row));
    }
  }
  for (int number = 0; const CFileEntry* generation = FindGeneration(list, number); ++number) {
    GenerationListRow row;
    if (generation->isDirectory) {
      row = DirRow(*backup, generation->name, generation->status);
    } else {
      row.name = generation->name;
      row.files = 1;
      row.bytes = generation->status.size;
    }
    row.number = number + 1;
    row.completed = generation->time;
    rows->push_back(std::move(row));
  }
  return 1;
}

int ListGenerations(Os& os, const std::string& sourcePath, const std::string& backupDir, bool json,
                    Language language, std::ostream& out, std::ostream& err) {
  if (sourcePath.empty() || backupDir.empty()) {
    err << ConsoleLine(Translate(language, "世代の一覧には、バックアップするファイルと書き込むディレクトリが要ります"));
    return kExitFailure;
  }
  std::vector<GenerationListRow> rows;
  std::string error;
  if (!FindGenerationRows(os, sourcePath, backupDir, &rows, &error)) {
    err << ConsoleLine(TranslateMessage(language, error));
    return kExitFailure;
  }
  out << (json ? GenerationListJson(rows, IsoLocalTime) : GenerationListText(rows, IsoLocalTime, language));
  return kExitSuccess;
}

std::string GenerationListText(const std::vector<GenerationListRow>& rows, const TimeText& time,
                               Language language) {
  const auto say = [language](const char* japanese) { return Translate(language, japanese); };
  if (rows.empty()) return say("世代はありません") + "\n";
  constexpr std::size_t kColumns = 6;
  constexpr bool kRight[kColumns] = {true, false, true, true, false, false};
  std::vector<std::array<std::string, kColumns>> table;
  table.push_back({say("番号"), say("完了日時"), say("ファイル数"), say("サイズ"), say("状態"), say("名前")});
  for (const GenerationListRow& row : rows) {
    table.push_back({row.number > 0 ? std::to_string(row.number) : "-", row.completed ? time(*row.completed) : "-",
                     std::to_string(row.files), HumanBytes(row.bytes), say(WordsOf(row.state).text),
                     PrintableName(row.name)});
  }
  std::array<std::size_t, kColumns> widths{};
  for (const auto& line : table) {
    for (std::size_t c = 0; c < kColumns; ++c)
      widths[c] = std::max(widths[c], static_cast<std::size_t>(TextColumns(line[c])));
  }
  std::string text;
  for (const auto& line : table) {
    for (std::size_t c = 0; c + 1 < kColumns; ++c) text += Pad(line[c], widths[c], kRight[c]) + "  ";
    text += line[kColumns - 1] + "\n";
  }
  return text;
}

std::string GenerationListJson(const std::vector<GenerationListRow>& rows, const TimeText& time) {
  std::string json;
  for (const GenerationListRow& row : rows) {
    bool exact = true;
    json += "{\"number\":" + (row.number > 0 ? std::to_string(row.number) : std::string("null"));
    json += ",\"name\":" + JsonString(row.name, &exact);
    if (!exact) {
      json += ",\"name_hex\":\"";
      for (char c : row.name) json += HexByte(static_cast<unsigned char>(c), "%02x");
      json += '"';
    }
    bool ignored;
    json += ",\"completed\":" + (row.completed ? JsonString(time(*row.completed), &ignored) : std::string("null"));
    json += ",\"completed_unix\":" + (row.completed ? std::to_string(*row.completed) : std::string("null"));
    json += ",\"files\":" + std::to_string(row.files) + ",\"bytes\":" + std::to_string(row.bytes);
    json += ",\"state\":\"" + std::string(WordsOf(row.state).json) + "\"}\n";
  }
  return json;
}

std::string IsoLocalTime(std::int64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm local{};
#ifdef _WIN32
  const bool converted = localtime_s(&local, &time) == 0;
#else
  const bool converted = localtime_r(&time, &local) != nullptr;
#endif
  if (!converted) return std::to_string(seconds);
  // The offset from UTC: the local fields read as a UTC time, less the time.
  using namespace std::chrono;
  const sys_days day{year(local.tm_year + 1900) / month(static_cast<unsigned>(local.tm_mon + 1)) /
                     static_cast<unsigned>(local.tm_mday)};
  const std::int64_t asUtc = day.time_since_epoch().count() * 86400LL + local.tm_hour * 3600 + local.tm_min * 60 +
                             local.tm_sec;
  const std::int64_t offset = (asUtc - seconds) / 60;
  const std::int64_t magnitude = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                static_cast<long long>(magnitude / 60), static_cast<long long>(magnitude % 60));
  return text;
}

}  // namespace veldar
