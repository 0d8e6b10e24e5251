#include "app/generation_list.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <set>
#include <unordered_set>

#include "app/app.h"
#include "engine/generation_path.h"
#include "engine/generations.h"
#include "engine/restore.h"
#include "engine/run_progress.h"
#include "engine/utf8.h"
#include "engine/verify.h"
#include "engine/verify_marks.h"
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
    case GenerationListRow::State::kComplete:
      return {"完了", "complete"};
    case GenerationListRow::State::kIncomplete:
      return {"未完了", "incomplete"};
    case GenerationListRow::State::kWorking:
      break;
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

// The "name" field of a JSON line, and for a name that is no UTF-8 the
// "name_hex" field that holds it exactly, each with the comma before it.
std::string JsonNameFields(const std::string& name) {
  bool exact = true;
  std::string json = ",\"name\":" + JsonString(name, &exact);
  if (exact) return json;
  json += ",\"name_hex\":\"";
  for (char c : name) json += HexByte(static_cast<unsigned char>(c), "%02x");
  return json + '"';
}

std::string Pad(const std::string& text, std::size_t width, bool right) {
  const std::size_t columns = static_cast<std::size_t>(TextColumns(text));
  const std::string blanks(width > columns ? width - columns : 0, ' ');
  return right ? blanks + text : text + blanks;
}

// `table` (a heading line, then the rows) in columns two blanks apart, each
// aligned to the right where `right` says; the last column is not padded.
std::string Columns(const std::vector<std::vector<std::string>>& table, const std::vector<bool>& right) {
  std::vector<std::size_t> widths(right.size());
  for (const auto& line : table) {
    for (std::size_t c = 0; c < right.size(); ++c)
      widths[c] = std::max(widths[c], static_cast<std::size_t>(TextColumns(line[c])));
  }
  std::string text;
  for (const auto& line : table) {
    for (std::size_t c = 0; c + 1 < right.size(); ++c) text += Pad(line[c], widths[c], right[c]) + "  ";
    text += line.back() + "\n";
  }
  return text;
}

// The files that more than one name reaches (hard links, made by -LINK
// between generations) already counted, by identity: the bytes of such a
// file count once, with the first generation counted that holds it.
struct Identity {
  std::uint64_t device, inode;
  bool operator==(const Identity&) const = default;
};
struct IdentityHash {
  std::size_t operator()(const Identity& id) const { return std::hash<std::uint64_t>()(id.inode * 31 + id.device); }
};
using CountedFiles = std::unordered_set<Identity, IdentityHash>;

// What a walk of a tree counted.
struct TreeCount {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  bool whole = true;  // every directory of it was read
  // Bytes allocated on the disk to what the tree holds that no tree counted
  // before holds too (with `counted`).
  std::uint64_t own = 0;
  // The newest last-write time of a directory inside the tree: when the copy
  // last made or removed an entry. Directory times are never copied from the
  // source, so they are the copy's own.
  std::int64_t lastWritten = 0;
  // The newest last-write time of a file or link inside the tree (a time the
  // copy kept from the source).
  std::int64_t newestFile = 0;
  std::uint32_t newestFileNsec = 0;
};

// Adds an entry's allocated bytes to `count->own`, unless another name of it
// was counted already.
void CountOwn(const FileStatus& status, CountedFiles* counted, TreeCount* count) {
  if (!counted) return;
  if (status.kind != EntryKind::Directory && status.links > 1 &&
      !counted->insert({status.device, status.inode}).second) {
    return;
  }
  count->own += status.allocated;
}

// Counts what the open directory `dir` (whose status is `status`) holds, all
// the way down. Subdirectories are opened through their parent, so no link is
// followed; one on another mount (a mount point inside a generation) is not
// entered: it is no part of the copy, and could hold the tree itself. What
// cannot be listed or opened is passed over and leaves the count partial.
void CountTree(OsDir& dir, const FileStatus& status, TreeCount* count, CountedFiles* counted) {
  std::vector<DirEntry> entries;
  if (!dir.List(&entries).ok()) count->whole = false;  // what was read still counts
  for (const DirEntry& entry : entries) {
    const FileStatus& found = entry.status;
    if (found.kind != EntryKind::Special && (found.kind != EntryKind::Directory || found.SameMountAs(status))) {
      CountOwn(found, counted, count);
    }
    if (found.kind == EntryKind::File || found.kind == EntryKind::Symlink) {
      ++count->files;
      if (found.kind == EntryKind::File) count->bytes += found.size;
      if (std::pair(found.mtimeSec, found.mtimeNsec) > std::pair(count->newestFile, count->newestFileNsec)) {
        count->newestFile = found.mtimeSec;
        count->newestFileNsec = found.mtimeNsec;
      }
    } else if (found.kind == EntryKind::Directory && found.SameMountAs(status)) {
      count->lastWritten = std::max(count->lastWritten, found.mtimeSec);
      std::unique_ptr<OsDir> sub;
      if (dir.OpenDir(entry.name, &sub).ok()) {
        CountTree(*sub, found, count, counted);
      } else {
        count->whole = false;
      }
    }
  }
}

// The row of the directory `name` of the backup directory, its files and
// bytes counted, kIncomplete when part of it could not be read, completed
// when it was last written.
GenerationListRow DirRow(OsDir& backup, const std::string& name, const FileStatus& status, CountedFiles* counted) {
  GenerationListRow row;
  row.name = name;
  TreeCount count;
  count.lastWritten = status.mtimeSec;
  CountOwn(status, counted, &count);
  std::unique_ptr<OsDir> dir;
  if (backup.OpenDir(name, &dir).ok()) {
    CountTree(*dir, status, &count, counted);
  } else {
    count.whole = false;
  }
  row.files = count.files;
  row.bytes = count.bytes;
  row.ownBytes = count.own;
  row.completed = count.lastWritten;
  row.state = count.whole ? GenerationListRow::State::kComplete : GenerationListRow::State::kIncomplete;
  return row;
}

// The source's generations in the backup directory, as a restore finds them
// (FindRestoreSource). 0, `*error` saying why, when the backup directory
// could not be opened or read, or the source is a root, which has none.
int ScanGenerations(Os& os, const std::string& sourcePath, const std::string& backupDir, RestoreSource* found,
                    std::string* error) {
  *found = FindRestoreSource(os, sourcePath, backupDir);
  if (!found->scan.ok()) {
    *error = "書き込むディレクトリを読めません: " + found->backupDir + ": " + os.ErrorText(found->scan);
    return 0;
  }
  if (found->name.empty()) {
    *error = "ルートディレクトリはバックアップできません。 " + found->sourcePath;
    return 0;
  }
  return 1;
}

}  // namespace

int FindGenerationRows(Os& os, const std::string& sourcePath, const std::string& backupDir,
                       std::vector<GenerationListRow>* rows, std::string* error) {
  rows->clear();
  error->clear();
  RestoreSource source;
  if (!ScanGenerations(os, sourcePath, backupDir, &source, error)) return 0;
  OsDir& backup = *source.backup;
  const std::vector<CFileEntry>& list = source.generations;

  // Oldest first, so that a file shared with an older generation counts
  // with the older one.
  std::vector<const CFileEntry*> order;
  for (int number = 0; const CFileEntry* generation = FindGeneration(list, number); ++number) {
    order.push_back(generation);
  }
  CountedFiles counted;
  std::vector<GenerationListRow> found(order.size());
  for (std::size_t i = order.size(); i-- > 0;) {
    const CFileEntry& generation = *order[i];
    GenerationListRow& row = found[i];
    if (generation.isDirectory) {
      row = DirRow(backup, generation.name, generation.status, &counted);
    } else {
      // The run stamps the file with the time it names it.
      row.name = generation.name;
      row.files = 1;
      row.bytes = generation.status.size;
      row.ownBytes = generation.status.allocated;
      row.completed = generation.status.mtimeSec;
    }
    row.number = static_cast<int>(i) + 1;
  }
  if (source.directory) {
    // A copy an interrupted run left: under the working name, or under a
    // generation's own name, marked (where no directory is renamed).
    std::vector<std::string> working = source.incomplete;
    working.insert(working.begin(), ServiceName(source.name, kWorkingSuffix));
    for (const std::string& name : working) {
      FileStatus status;
      if (backup.StatAt(name, &status).ok() && status.kind == EntryKind::Directory) {
        GenerationListRow row = DirRow(backup, name, status, &counted);
        row.state = GenerationListRow::State::kWorking;
        rows->push_back(std::move(row));
      }
    }
  }
  rows->insert(rows->end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  return 1;
}

namespace {

// One generation's version of an entry: what it is, or nothing.
struct Version {
  bool present = false;
  FileStatus status;
  TreeCount tree;  // a folder's
};

EntryVersionRow::Sameness Compare(const Version& newer, const Version& older) {
  using Sameness = EntryVersionRow::Sameness;
  if (!newer.present) return Sameness::kAbsent;
  const FileStatus& a = newer.status;
  const FileStatus& b = older.status;
  if (a.kind != b.kind) return Sameness::kDifferent;
  if (a.kind == EntryKind::Directory) {
    const TreeCount& x = newer.tree;
    const TreeCount& y = older.tree;
    return x.files == y.files && x.bytes == y.bytes && x.newestFile == y.newestFile &&
                   x.newestFileNsec == y.newestFileNsec
               ? Sameness::kEqual
               : Sameness::kDifferent;
  }
  if (a.SameEntryAs(b)) return Sameness::kShared;
  return a.size == b.size && a.mtimeSec == b.mtimeSec && a.mtimeNsec == b.mtimeNsec ? Sameness::kEqual
                                                                                    : Sameness::kDifferent;
}

}  // namespace

int FindEntryVersions(Os& os, const std::string& sourcePath, const std::string& backupDir, const std::string& path,
                      std::vector<EntryVersionRow>* rows, std::string* error) {
  rows->clear();
  error->clear();
  std::vector<std::string> names;
  if (!SplitGenerationPath(path, &names, error)) return 0;
  RestoreSource found;
  if (!ScanGenerations(os, sourcePath, backupDir, &found, error)) return 0;
  const std::vector<CFileEntry>& list = found.generations;
  OsDir& backup = *found.backup;
  if (!found.directory) {
    *error = "ファイルの世代には、その中のパスはありません: " + sourcePath;
    return 0;
  }
  std::vector<Version> versions;
  for (int number = 0; const CFileEntry* generation = FindGeneration(list, number); ++number) {
    Version version;
    std::unique_ptr<OsDir> root, parent;
    FileStatus rootStatus;
    if (OpenListedDir(os, backup, generation->name, generation->status, &root, &rootStatus).ok() &&
        WalkGenerationPath(*root, names, &parent, &version.status).ok()) {
      const EntryKind kind = version.status.kind;
      version.present = kind != EntryKind::Special;
      std::unique_ptr<OsDir> folder;
      if (kind == EntryKind::Directory && (parent ? *parent : *root).OpenDir(names.back(), &folder).ok()) {
        CountTree(*folder, version.status, &version.tree, nullptr);
      }
    }
    if (version.present) {
      EntryVersionRow row;
      row.number = number + 1;
      row.generation = generation->name;
      row.kind = version.status.kind;
      const bool folder = row.kind == EntryKind::Directory;
      row.bytes = folder ? version.tree.bytes : version.status.size;
      row.modified = folder ? version.tree.newestFile : version.status.mtimeSec;
      row.sameness = number == 0 ? EntryVersionRow::Sameness::kNewest : Compare(versions.back(), version);
      rows->push_back(std::move(row));
    }
    versions.push_back(std::move(version));
  }
  return 1;
}

int ListEntryVersions(Os& os, const std::string& sourcePath, const std::string& backupDir, const std::string& path,
                      bool json, Language language, std::ostream& out, std::ostream& err) {
  if (sourcePath.empty() || backupDir.empty()) {
    err << ConsoleLine(Translate(language, "世代の一覧には、バックアップするファイルと書き込むディレクトリが要ります"));
    return kExitFailure;
  }
  std::vector<EntryVersionRow> rows;
  std::string error;
  if (!FindEntryVersions(os, sourcePath, backupDir, path, &rows, &error)) {
    err << ConsoleLine(TranslateMessage(language, error));
    return kExitFailure;
  }
  out << (json ? EntryVersionJson(rows, IsoLocalTime) : EntryVersionText(rows, IsoLocalTime, language));
  return kExitSuccess;
}

namespace {

// A sameness's words: for people (translated) and in the JSON.
StateWords WordsOf(EntryVersionRow::Sameness sameness) {
  using Sameness = EntryVersionRow::Sameness;
  switch (sameness) {
    case Sameness::kNewest:
      return {"-", nullptr};
    case Sameness::kShared:
      return {"同じ（共有）", "shared"};
    case Sameness::kEqual:
      return {"同じ", "equal"};
    case Sameness::kDifferent:
      return {"違う", "different"};
    case Sameness::kAbsent:
      break;
  }
  return {"ない", "absent"};
}

const char* KindWord(EntryKind kind) {
  return kind == EntryKind::Directory ? "directory" : kind == EntryKind::Symlink ? "link" : "file";
}

}  // namespace

std::string EntryVersionText(const std::vector<EntryVersionRow>& rows, const TimeText& time, Language language) {
  const auto say = [language](const char* japanese) { return Translate(language, japanese); };
  if (rows.empty()) return say("どの世代にもありません") + "\n";
  std::vector<std::vector<std::string>> table;
  table.push_back({say("番号"), say("更新日時"), say("サイズ"), say("新しい世代と"), say("世代")});
  for (const EntryVersionRow& row : rows) {
    table.push_back({std::to_string(row.number), time(row.modified),
                     HumanBytes(row.bytes) + (row.kind == EntryKind::Directory ? "/" : ""),
                     say(WordsOf(row.sameness).text), PrintableName(row.generation)});
  }
  return Columns(table, {true, false, true, false, false});
}

std::string EntryVersionJson(const std::vector<EntryVersionRow>& rows, const TimeText& time) {
  std::string json;
  for (const EntryVersionRow& row : rows) {
    bool ignored = true;
    json += "{\"number\":" + std::to_string(row.number) + JsonNameFields(row.generation);
    json += ",\"kind\":\"" + std::string(KindWord(row.kind)) + "\"";
    json += ",\"modified\":" + JsonString(time(row.modified), &ignored);
    json += ",\"modified_unix\":" + std::to_string(row.modified) + ",\"bytes\":" + std::to_string(row.bytes);
    const char* same = WordsOf(row.sameness).json;
    json += ",\"same_as_newer\":" + (same ? "\"" + std::string(same) + "\"" : std::string("null")) + "}\n";
  }
  return json;
}

int ListGenerations(Os& os, const std::string& sourcePath, const std::string& backupDir, bool json, Language language,
                    std::ostream& out, std::ostream& err) {
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

std::string GenerationListText(const std::vector<GenerationListRow>& rows, const TimeText& time, Language language) {
  const auto say = [language](const char* japanese) { return Translate(language, japanese); };
  if (rows.empty()) return say("世代はありません") + "\n";
  std::vector<std::vector<std::string>> table;
  table.push_back(
      {say("番号"), say("完了日時"), say("ファイル数"), say("サイズ"), say("専有"), say("状態"), say("名前")});
  for (const GenerationListRow& row : rows) {
    table.push_back({row.number > 0 ? std::to_string(row.number) : "-", row.completed ? time(*row.completed) : "-",
                     std::to_string(row.files), HumanBytes(row.bytes), HumanBytes(row.ownBytes),
                     say(WordsOf(row.state).text), PrintableName(row.name)});
  }
  return Columns(table, {true, false, true, true, true, false, false});
}

std::string GenerationListJson(const std::vector<GenerationListRow>& rows, const TimeText& time) {
  std::string json;
  for (const GenerationListRow& row : rows) {
    json += "{\"number\":" + (row.number > 0 ? std::to_string(row.number) : std::string("null"));
    json += JsonNameFields(row.name);
    bool ignored;
    json += ",\"completed\":" + (row.completed ? JsonString(time(*row.completed), &ignored) : std::string("null"));
    json += ",\"completed_unix\":" + (row.completed ? std::to_string(*row.completed) : std::string("null"));
    json += ",\"files\":" + std::to_string(row.files) + ",\"bytes\":" + std::to_string(row.bytes);
    json += ",\"own_bytes\":" + std::to_string(row.ownBytes);
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
  const std::int64_t asUtc =
      day.time_since_epoch().count() * 86400LL + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  const std::int64_t offset = (asUtc - seconds) / 60;
  const std::int64_t magnitude = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                static_cast<long long>(magnitude / 60), static_cast<long long>(magnitude % 60));
  return text;
}

namespace {

// The word of a generation's result, as JSON and as the text shows it.
struct VerifyWords {
  const char* json;
  const char* text;
};

VerifyWords ResultWords(const VerifyResult& result) {
  switch (result.manifest) {
    case ManifestState::kAbsent:
      return {"no_manifest", "マニフェストがありません（以前の版で作った世代）"};
    case ManifestState::kDamaged:
    case ManifestState::kUnreadable:
      return {"manifest_damaged", "マニフェストが壊れています"};
    case ManifestState::kRead:
      break;
  }
  if (!result.failure.ok()) return {"stopped", "最後まで確かめられませんでした"};
  if (!result.findings.empty()) return {"damaged", "問題があります"};
  return {"holds", "問題ありません"};
}

}  // namespace

int VerifyGenerations(Os& os, const std::string& sourcePath, const std::string& backupDir, int number, bool json,
                      Language language, CopyProgress* progress, std::ostream& out, std::ostream& err,
                      SettingsStore* marks) {
  if (sourcePath.empty() || backupDir.empty()) {
    err << ConsoleLine(Translate(language, "世代の確認には、バックアップするファイルと書き込むディレクトリが要ります"));
    return kExitFailure;
  }
  RestoreSource found;
  std::string error;
  if (!ScanGenerations(os, sourcePath, backupDir, &found, &error)) {
    err << ConsoleLine(TranslateMessage(language, error));
    return kExitFailure;
  }
  const int count = static_cast<int>(found.generations.size());
  if (number > count || count == 0) {
    err << ConsoleLine(FormatText(Translate(language, "世代 %1 はありません（%2 の世代は %3 個です）"),
                                  {std::to_string(number), backupDir, std::to_string(count)}));
    return kExitFailure;
  }
  const auto say = [language](const char* japanese) { return Translate(language, japanese); };
  std::optional<VerifyMarks> marked;
  std::set<std::string> present;
  if (marks) {
    marked.emplace(*marks, os.Paths(), found.backupDir);
    for (const CFileEntry& generation : found.generations)
      present.insert(GenerationIdentity(*found.backup, generation));
  }
  bool allHold = true;
  for (int i = number > 0 ? number - 1 : 0; i < (number > 0 ? number : count); ++i) {
    const CFileEntry* generation = FindGeneration(found.generations, i);
    if (generation == nullptr) continue;
    VerifyResult result;
    if (!generation->isDirectory) {
      result = VerifyFileGeneration(os, *found.backup, generation->name, progress);
    } else if (std::unique_ptr<OsDir> dir; !(result.failure = found.backup->OpenDir(generation->name, &dir)).ok()) {
      result.failurePath = os.Paths().Join(found.backupDir, generation->name);
    } else {
      result = VerifyCopy(os, *dir, progress);
    }
    allHold = allHold && result.Holds();
    // A stop the user asked for says nothing of the generation.
    if (marked && !result.failure.Is(ErrorKind::kCancelled)) {
      marked->Record(GenerationIdentity(*found.backup, *generation), result.Holds());
    }
    const VerifyWords words = ResultWords(result);
    if (json) {
      bool ignored;
      out << "{\"number\":" << (i + 1) << JsonNameFields(generation->name) << ",\"result\":\"" << words.json
          << "\",\"files\":" << result.files << ",\"bytes\":" << result.bytes << ",\"findings\":[";
      for (std::size_t f = 0; f < result.findings.size(); ++f) {
        out << (f ? "," : "") << "{\"kind\":\"" << VerifyKindName(result.findings[f].kind)
            << "\",\"path\":" << JsonString(result.findings[f].path, &ignored) << "}";
      }
      out << "]}\n";
      continue;
    }
    out << (i + 1) << " " << PrintableName(generation->name) << ": " << say(words.text);
    if (result.manifest == ManifestState::kRead && result.failure.ok()) {
      out << " (" << result.files << " " << say("ファイル") << ", " << HumanBytes(result.bytes) << ")";
    }
    out << "\n";
    if (!result.failure.ok()) {
      out << "  " << PrintableName(result.failurePath) << " : "
          << TranslateReason(language, os.ErrorText(result.failure)) << "\n";
    }
    for (const VerifyFinding& finding : result.findings) {
      out << "  " << VerifyKindName(finding.kind) << "  " << PrintableName(finding.path) << "\n";
    }
  }
  if (marked) {
    marked->KeepOnly(present);
    marked->Save();
  }
  return allHold ? kExitSuccess : kExitPartialFailure;
}

}  // namespace veldar
