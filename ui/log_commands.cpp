// The log commands of the main dialog's log menu.

#include "ui/log_commands.h"
#include "platform/os_paths.h"

#include "res/string_table.h"

namespace veldar {

std::string LogFilePath(CVELDAR2Engine& engine) { return engine.os.LogDir() + LoadString(IDS_LOG_NAME); }

void ViewLog(CVELDAR2Engine& engine, LogCommandUi& ui) { ui.OpenWithDesktop(LogFilePath(engine)); }

void ClearLog(CVELDAR2Engine& engine) {
  if (!engine.messages.AskOkCancel("ﾛｸﾞを消してよろしいですか？")) return;
  (void)DeleteFile(engine.os, LogFilePath(engine));  // a log that cannot be deleted stays, as it was
}

void ChangeLogSize(CVELDAR2Engine& engine, LogCommandUi& ui) {
  LogSizeValues values;
  values.logSize = static_cast<std::uint32_t>(engine.logSizeLimit);
  values.successLog = engine.successLog;
  values.skipLog = engine.skipLog;
  if (!ui.RunLogSizeDialog(values)) return;

  if (static_cast<std::int64_t>(values.logSize) != engine.logSizeLimit) {
    engine.logSizeLimit = static_cast<std::int32_t>(values.logSize);
    engine.settings.Write(LoadString(IDS_SECTION), LoadString(IDS_KEY_LOGSIZE), std::to_string(engine.logSizeLimit));
  }
  engine.successLog = values.successLog ? 1 : 0;
  engine.skipLog = values.skipLog ? 1 : 0;
}

}  // namespace veldar
