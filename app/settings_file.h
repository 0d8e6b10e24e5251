#pragma once
// The settings store on Linux: the INI file $XDG_CONFIG_HOME/Orvanta/VELDAR2.conf,
// read and written by the program's own code, so that a batch run loads no
// toolkit. Earlier versions kept the same file through Qt's QSettings, and
// both directions hold: a value is written exactly as QSettings writes it,
// and whatever QSettings wrote reads back as the value it stored.
//
// The written form of a value (what follows "KEY="), as QSettings makes it:
// UTF-8 text as it is, with '"', '\' and control characters escaped (\n,
// \t, \x1f, and \x before a hex digit that follows such an escape); quoted
// when it holds ',', ';' or '=' or begins or ends with a blank; a leading
// '@' doubled; bytes that are not UTF-8 as @ByteArray(...), every byte from
// 0x7f up as \xNN.
//
// Where this store parts from QSettings, on purpose: a write changes the
// line of its key and nothing else, so that comment lines (';' or '#' first),
// blank lines, other groups, keys in any order and the spacing around '='
// stay as the user wrote them (QSettings writes the whole file anew, sorted,
// without comments); and an unquoted ',' or ';' is part of the value (where
// QSettings reads "1,2" as a list, which holds no number, and drops what
// follows a ';'). A line that ends in '\' is not continued on the next one.
// A UTF-8 byte-order mark at the start (Windows editors write one) is read
// past, as QSettings reads past it, and kept by a write.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/settings_store.h"
#include "res/language.h"

namespace veldar {

// The value of `key` in the group `section` of the INI `text`; nullopt when
// there is no such key. Of a key there twice, the last counts; of a group
// there twice, both count. A value of another type QSettings may store
// (@Variant(...), @Invalid()) reads as empty.
std::optional<std::string> IniValue(std::string_view text, std::string_view section, std::string_view key);

// `text` with `key` of `section` set to `value`: on the key's last line,
// what follows the '=' and the blanks after it is replaced (the line's end,
// "\n" or "\r\n", stays); a missing key gets a line after the group's last
// key; a missing group is added at the end.
std::string IniWithValue(std::string_view text, std::string_view section, std::string_view key, std::string_view value);

// The written form of `value`, as QSettings writes it (above).
std::string IniEscape(std::string_view value);
// The value a written form stands for: quotes removed, escapes replaced,
// @ByteArray(...), @String(...) and a doubled '@' read as QSettings reads
// them. `written` is what follows the '=', without the blanks around it.
std::string IniUnescape(std::string_view written);

// Where the settings live: `xdgConfigHome`/Orvanta/VELDAR2.conf when that is
// set and not empty (a relative one too, as QSettings takes it), else
// `home`/.config/Orvanta/VELDAR2.conf.
std::string SettingsFilePath(const char* xdgConfigHome, const std::string& home);
// SettingsFilePath for this process: its XDG_CONFIG_HOME and HOME; without
// HOME, the home directory the password database gives the user.
std::string SettingsFilePathOfProcess();

class SettingsFile : public SettingsStore {
 public:
  explicit SettingsFile(std::string path) : path_(std::move(path)) {}

  // The value in group `section`, from the file as the first read of this
  // object found it (start-up reads every setting once) or as this object
  // last wrote it. Empty when the key, the group or the file is missing or
  // the file cannot be read. Only a regular file (or a link to one) is
  // read: anything else reads as missing, and a FIFO or a device is not
  // even opened.
  std::string Read(const std::string& section, const std::string& key) override;

  // Reads the file again and writes it back with `key` set (IniWithValue),
  // as a new file beside it that then takes its name: a reader sees the old
  // file or the new one, never a part, and what another process wrote to
  // other keys in between is kept. Writers of this program take turns
  // (a lock on the file's directory); the one holding the lock removes what
  // writers that were killed left (their temporary files, once their
  // process is gone). Only a regular file is replaced. A symbolic link is
  // kept and the regular file it leads to replaced; a link to a file not
  // made yet makes it, while nothing else takes that name. A device, a FIFO,
  // a directory or a socket (or a link to one) is left as it is and nothing
  // is written: `onNotWritten` is told why, the first time. The file keeps
  // its permissions; a new one gets 0666 less the umask, and missing
  // directories are made (0777 less the umask), as QSettings makes them. On
  // failure the file stays as it was; nothing else is reported (the engine
  // does not report a failed settings write).
  void Write(const std::string& section, const std::string& key, const std::string& value) override;

  const std::string& path() const { return path_; }

  // Told once, in `language`, the first time a write is left undone because
  // the settings file is no regular file: one line naming it and what it is.
  std::function<void(const std::string& line)> onNotWritten;
  Language language = Language::kJapanese;

 private:
  struct Target;
  // Where a write goes, or nullopt where it cannot go (told when the file is
  // no regular file).
  std::optional<Target> FindTarget();
  // Writes `text` as the target. False on failure (errno set).
  bool Replace(const Target& target, const std::string& text);

  std::string path_;
  std::optional<std::string> text_;  // the file's text, once read
  bool told_ = false;                // onNotWritten has been told
};

}  // namespace veldar
