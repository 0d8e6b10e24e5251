#include "engine/engine.h"


#include "res/string_table.h"

namespace veldar {

CVELDAR2Engine::CVELDAR2Engine(Os& os, UserMessages& messages, SettingsStore& settings)
    : activityLog(os, logSizeLimit), os(os), messages(messages), settings(settings) {
  Reset();
}

CVELDAR2Engine::~CVELDAR2Engine() = default;

void CVELDAR2Engine::Reset() {
  sourcePath.clear();
  backupDir.clear();
  targetPath.clear();
  generationCount = 0;
  noForce = 0;
  noDelete = 0;
  noTime = 0;
  successLog = 1;
  skipLog = 1;
  generations.clear();
}

std::string CVELDAR2Engine::JoinPath(const std::string& directory, const std::string& name) const {
  return os.Paths().Join(directory, name);
}

std::string CVELDAR2Engine::NameOf(const std::string& path) const {
  return os.Paths().NameOf(path);
}

int CVELDAR2Engine::OpenLog() { return activityLog.Open(); }

void CVELDAR2Engine::WriteLog(const std::string& text, bool blankLineAfter) {
  activityLog.Write(text, blankLineAfter);
}

void CVELDAR2Engine::WriteLogDeferred(const std::string& text) { activityLog.WriteDeferred(text); }

void CVELDAR2Engine::CloseLog() { activityLog.Close(); }

void CVELDAR2Engine::WriteFailure(const std::string& text) {
  ++failureCount;
  report = {text, std::string(), ErrorCodeOfFailureLine(text)};
  activityLog.WriteFailure(text);
}

void CVELDAR2Engine::ShowMessage(const std::string& text) {
  // A message that follows a failure line is about that failure: the line
  // holds the system's error code, which the message leaves out. (A message
  // never ends in an error code itself, so one that follows another message
  // takes none.)
  report = {text, std::string(), ErrorCodeOfFailureLine(report.text)};
  if (!noMessage) messages.Show(text);
}

int ErrorCodeOfFailureLine(const std::string& line) {
  // The file operations end their failure lines with " : ERR = <code>" (the
  // directory operations with "ERR= ").
  const std::size_t at = line.rfind("ERR");
  if (at == std::string::npos) return 0;
  std::size_t i = at + 3;
  while (i < line.size() && line[i] == ' ') ++i;
  if (i >= line.size() || line[i] != '=') return 0;
  ++i;
  while (i < line.size() && line[i] == ' ') ++i;
  const bool negative = i < line.size() && line[i] == '-';
  if (negative) ++i;
  if (i >= line.size()) return 0;
  long long code = 0;
  for (; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9' || code > 0xFFFFFFFFll) return 0;
    code = code * 10 + (line[i] - '0');
  }
  return static_cast<int>(negative ? -code : code);
}

void CVELDAR2Engine::SaveLastPaths() {
  const std::string section = LoadString(IDS_SECTION);
  settings.Write(section, LoadString(IDS_KEY_LASTFILE), sourcePath);
  settings.Write(section, LoadString(IDS_KEY_LASTDIR), backupDir);
}

void CVELDAR2Engine::SaveRestoreDir() {
  settings.Write(LoadString(IDS_SECTION), LoadString(IDS_KEY_RESDIR), restoreDir);
}

std::string ExpandEnvVars(const std::string& text,
                          const std::function<std::string(const std::string&)>& lookup) {
  std::string result;
  result.reserve(text.size());
  std::string::size_type pos = 0;
  while (pos < text.size()) {
    auto open = text.find('%', pos);
    if (open == std::string::npos) break;
    auto close = text.find('%', open + 1);
    if (close == std::string::npos) break;  // an unclosed "%" stays, with the rest
    result.append(text, pos, open - pos);
    // The value is appended, never rescanned: a "%" it brings in starts no token.
    result += lookup(text.substr(open + 1, close - open - 1));
    pos = close + 1;
  }
  result.append(text, pos, std::string::npos);
  return result;
}

std::string ExpandEnvVars(const std::string& text, Os& os) {
  return ExpandEnvVars(text, [&os](const std::string& name) {
    if (name.empty()) return std::string();
    return os.GetEnv(name).value_or(std::string());
  });
}

}  // namespace veldar
