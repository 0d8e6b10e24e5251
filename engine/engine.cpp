#include "engine/engine.h"

#include "engine/backup.h"
#include "engine/generations.h"
#include "engine/mirror.h"
#include "platform/os_paths.h"
#include "res/string_table.h"

namespace veldar {

CVELDAR2Engine::CVELDAR2Engine(Os& os, UserMessages& messages, SettingsStore& settings)
    : activityLog(os, logSizeLimit), os(os), messages(messages), settings(settings) {
  Reset();
}

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

int CVELDAR2Engine::OpenLog() { return activityLog.Open(); }

void CVELDAR2Engine::WriteLog(const std::string& text, bool blankLineAfter) {
  activityLog.Write(text, blankLineAfter);
}

void CVELDAR2Engine::CloseLog() { activityLog.Close(); }

// ---- The operations, each handed to its part ----

int CVELDAR2Engine::Backup() { return RunBackup(*this).ok; }

int CVELDAR2Engine::CheckParameters() {
  Reporter reporter = JobReporter(*this);
  return BackupRun(*this, reporter).CheckParameters();
}

int CVELDAR2Engine::BackupFile() {
  Reporter reporter = JobReporter(*this);
  return BackupRun(*this, reporter).File();
}

int CVELDAR2Engine::BackupDir() {
  Reporter reporter = JobReporter(*this);
  return BackupRun(*this, reporter).Dir();
}

int CVELDAR2Engine::FindFileGenerations() {
  return Generations(os, backupDir, os.Paths().NameOf(sourcePath)).FindFiles(&generations);
}

int CVELDAR2Engine::FindDirGenerations() {
  return Generations(os, backupDir, os.Paths().NameOf(sourcePath)).FindDirs(&generations);
}

int CVELDAR2Engine::FindSourceGenerations(bool* directory) {
  bool listedDirs = true;
  const int ok = Generations(os, backupDir, os.Paths().NameOf(sourcePath)).FindOfSource(sourcePath, &generations, &listedDirs);
  if (directory) *directory = listedDirs;
  return ok;
}

void CVELDAR2Engine::MakeFileGenerationPath() {
  const std::string name = Generations(os, backupDir, os.Paths().NameOf(sourcePath)).FreeFileName(generations);
  if (!name.empty()) targetPath = os.Paths().Join(backupDir, name);
}

std::string CVELDAR2Engine::MakeDirGenerationName() {
  return Generations(os, backupDir, os.Paths().NameOf(sourcePath)).FreeDirName(generations);
}

namespace {

// The file operations as the job's force setting has them, with a reporter
// for the one call.
template <typename Operation>
int WithFileOps(CVELDAR2Engine& engine, Operation operation) {
  Reporter reporter = JobReporter(engine);
  FileOps files(engine.os, reporter, FilePolicy{engine.noForce == 0});
  return operation(files);
}

}  // namespace

int CVELDAR2Engine::FileCopy(const std::string& source, const std::string& target) {
  return WithFileOps(*this, [&](FileOps& files) { return files.Copy(source, target); });
}

int CVELDAR2Engine::FileDelete(const std::string& path) {
  return WithFileOps(*this, [&](FileOps& files) { return files.Delete(path); });
}

int CVELDAR2Engine::DirRemove(const std::string& path) {
  return WithFileOps(*this, [&](FileOps& files) { return files.Remove(path); });
}

int CVELDAR2Engine::DirCreate(const std::string& path) {
  return WithFileOps(*this, [&](FileOps& files) { return files.Create(path); });
}

int CVELDAR2Engine::DeleteDirContents(const std::string& directory) {
  return WithFileOps(*this,
                     [&](FileOps& files) { return TreeDeleter(files, std::nullopt).Contents(directory); });
}

int CVELDAR2Engine::MirrorDir(const std::string& sourceDir, const std::string& targetDir, bool targetIsNew) {
  Reporter reporter = JobReporter(*this);
  return MirrorJobTree(*this, reporter, sourceDir, targetDir, targetIsNew);
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
