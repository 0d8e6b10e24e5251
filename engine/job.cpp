#include "engine/job.h"

#include "engine/mirror_plan.h"
#include "res/string_table.h"

namespace veldar {

Reporter JobReporter(const RunJob& job, const RunServices& services, const RunControl& control) {
  return Reporter(services.log, services.messages, LogOptions{job.successLog != 0, job.skipLog != 0},
                  job.noMessage != 0, control);
}

MirrorJob MirrorJobOf(const RunJob& job, const std::string& source, const std::string& target) {
  MirrorJob mirror;
  mirror.source = source;
  mirror.target = target;
  mirror.force = job.noForce == 0;
  mirror.deleteVanished = job.noDelete == 0;
  mirror.compareTimes = job.noTime == 0;
  return mirror;
}

void SaveLastPaths(SettingsStore& settings, const std::string& sourcePath, const std::string& backupDir) {
  const std::string section = LoadString(IDS_SECTION);
  settings.Write(section, LoadString(IDS_KEY_LASTFILE), sourcePath);
  settings.Write(section, LoadString(IDS_KEY_LASTDIR), backupDir);
}

void SaveRestoreDir(SettingsStore& settings, const std::string& restoreDir) {
  settings.Write(LoadString(IDS_SECTION), LoadString(IDS_KEY_RESDIR), restoreDir);
}

}  // namespace veldar
