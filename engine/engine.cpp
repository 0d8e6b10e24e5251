#include "engine/engine.h"

#include "engine/generations.h"
#include "engine/mirror.h"
#include "platform/os_paths.h"

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

void CVELDAR2Engine::WriteLog(const std::string& text, bool blankLineAfter) { activityLog.Write(text, blankLineAfter); }

void CVELDAR2Engine::CloseLog() { activityLog.Close(); }

// ---- The job as a value ----

namespace {

// What every run of the engine's job reads.
RunJob RunJobOf(const CVELDAR2Engine& engine) {
  RunJob job;
  job.sourcePath = engine.sourcePath;
  job.backupDir = engine.backupDir;
  job.noDelete = engine.noDelete;
  job.noForce = engine.noForce;
  job.noTime = engine.noTime;
  job.successLog = engine.successLog;
  job.skipLog = engine.skipLog;
  job.noMessage = engine.noMessage;
  return job;
}

}  // namespace

BackupJob BackupJobOf(const CVELDAR2Engine& engine) {
  BackupJob job;
  static_cast<RunJob&>(job) = RunJobOf(engine);
  job.generationCount = engine.generationCount;
  job.linkUnchanged = engine.linkUnchanged;
  job.excludePatterns = engine.excludePatterns;
  return job;
}

RestoreJob RestoreJobOf(const CVELDAR2Engine& engine) {
  RestoreJob job;
  static_cast<RunJob&>(job) = RunJobOf(engine);
  job.restoreDir = engine.restoreDir;
  job.generations = engine.generations;
  return job;
}

RunServices ServicesOf(CVELDAR2Engine& engine) {
  return RunServices{engine.os, engine.activityLog, engine.messages, engine.settings};
}

namespace {

// The engine holds what a backup run resolved: the tidied paths, the file it
// chose, the generations it found.
void Keep(CVELDAR2Engine& engine, const BackupResolved& resolved) {
  engine.sourcePath = resolved.sourcePath;
  engine.backupDir = resolved.backupDir;
  if (!resolved.targetPath.empty()) engine.targetPath = resolved.targetPath;
  if (resolved.generations) engine.generations = *resolved.generations;
}

// `step` of a backup run of the engine's job, which then holds what the run
// resolved.
template <typename Step>
int WithBackupRun(CVELDAR2Engine& engine, Step step) {
  const RunServices services = ServicesOf(engine);
  const BackupJob job = BackupJobOf(engine);
  Reporter reporter = JobReporter(job, services);
  BackupRun run(job, services, reporter);
  const int ok = step(run);
  Keep(engine, run.resolved());
  return ok;
}

}  // namespace

BackupOutcome RunBackup(CVELDAR2Engine& engine, const RunControl& control) {
  BackupOutcome outcome = RunBackup(BackupJobOf(engine), ServicesOf(engine), control);
  Keep(engine, outcome.resolved);
  return outcome;
}

BackupOutcome DryRunBackup(CVELDAR2Engine& engine, const DryRunOutput& output, MirrorTotals* planned,
                           const RunControl& control) {
  BackupOutcome outcome = DryRunBackup(BackupJobOf(engine), ServicesOf(engine), output, planned, control);
  Keep(engine, outcome.resolved);
  return outcome;
}

RestoreSource FindRestoreSource(CVELDAR2Engine& engine) {
  RestoreSource found = FindRestoreSource(engine.os, engine.sourcePath, engine.backupDir);
  engine.sourcePath = found.sourcePath;
  engine.backupDir = found.backupDir;
  engine.generations = found.generations;
  return found;
}

int PrepareRestore(CVELDAR2Engine& engine, bool* directory) {
  const RestoreSource found = FindRestoreSource(engine);
  Reporter reporter = JobReporter(RunJobOf(engine), ServicesOf(engine));
  if (!RefuseRestoreSource(engine.os, found, reporter)) {
    engine.generations.clear();
    return 0;
  }
  if (directory) *directory = found.directory;
  return 1;
}

RestoreResult RunRestore(CVELDAR2Engine& engine, int number, const RunControl& control,
                         const std::vector<std::string>& only) {
  return RunRestore(RestoreJobOf(engine), ServicesOf(engine), number, control, only);
}

RestoreResult DryRunRestore(CVELDAR2Engine& engine, int number, const DryRunOutput& output, MirrorTotals* planned,
                            const RunControl& control, const std::vector<std::string>& only) {
  return DryRunRestore(RestoreJobOf(engine), ServicesOf(engine), number, output, planned, control, only);
}

// ---- The operations, each handed to its part ----

int CVELDAR2Engine::Backup() { return RunBackup(*this).ok; }

int CVELDAR2Engine::CheckParameters() {
  return WithBackupRun(*this, [](BackupRun& run) { return run.CheckParameters(); });
}

int CVELDAR2Engine::BackupFile() {
  return WithBackupRun(*this, [](BackupRun& run) { return run.File(); });
}

int CVELDAR2Engine::BackupDir() {
  return WithBackupRun(*this, [](BackupRun& run) { return run.Dir(); });
}

int CVELDAR2Engine::FindFileGenerations() {
  return Generations(os, backupDir, os.Paths().NameOf(sourcePath)).FindFiles(&generations);
}

int CVELDAR2Engine::FindDirGenerations() {
  return Generations(os, backupDir, os.Paths().NameOf(sourcePath)).FindDirs(&generations);
}

int CVELDAR2Engine::FindSourceGenerations(bool* directory) {
  bool listedDirs = true;
  const int ok =
      Generations(os, backupDir, os.Paths().NameOf(sourcePath)).FindOfSource(sourcePath, &generations, &listedDirs);
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
  Reporter reporter = JobReporter(RunJobOf(engine), ServicesOf(engine));
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
  return WithFileOps(*this, [&](FileOps& files) { return TreeDeleter(files, std::nullopt).Contents(directory); });
}

int CVELDAR2Engine::MirrorDir(const std::string& sourceDir, const std::string& targetDir, bool targetIsNew) {
  const RunJob job = RunJobOf(*this);
  Reporter reporter = JobReporter(job, ServicesOf(*this));
  return MirrorJobTree(os, job, reporter, sourceDir, targetDir, targetIsNew);
}

void CVELDAR2Engine::SaveLastPaths() { veldar::SaveLastPaths(settings, sourcePath, backupDir); }

void CVELDAR2Engine::SaveRestoreDir() { veldar::SaveRestoreDir(settings, restoreDir); }

std::string ExpandEnvVars(const std::string& text, const std::function<std::string(const std::string&)>& lookup) {
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
