#pragma once
// The program's string table: the names it looks up (settings section and
// keys, option names, defaults, log file names) and the Japanese texts it
// shows, each under its resource id. The engine, the log, the application
// shell and the dialogs all use it, so it sits below the dialogs, in plain C++
// in the engine library; ui/res/ keeps only what the windows alone need.

#include <string>

namespace veldar {

enum StringId : int {
  IDS_ABOUTBOX = 101,
  IDS_SECTION = 104,
  IDS_KEY_GENERATIONS = 105,
  IDS_KEY_LASTFILE = 106,
  IDS_KEY_LASTDIR = 107,
  IDS_KEY_LASTOPT = 108,
  IDS_KEY_LOGSIZE = 109,
  IDS_KEY_RESDIR = 110,
  IDS_OPT_NOTIME = 111,
  IDS_OPT_NOFORCE = 112,
  IDS_OPT_NODEL = 113,
  IDS_OPT_M = 114,
  IDS_OPT_NOMSG = 115,
  IDS_DEFAULT_GENERATIONS = 116,
  IDS_DEFAULT_LOGSIZE = 117,
  IDS_LOG_NAME = 118,
  IDS_TMPLOG_NAME = 119,
  IDS_COMPANY = 122,
  IDS_PARAM_ERROR = 124,
  IDS_NO_RESTORE_DIR = 125,
  IDS_BACKUP_DONE = 126,
  IDS_RESTORE_DONE = 127,
  IDS_KEY_LOGOPT = 128,
  IDS_RESTORE_FAILED = 129,
  IDS_RESTORE_REFUSED = 130,
  IDS_BACKUP_PARTIAL = 131,
  IDS_NO_ROOM = 132,
  IDS_BACKUP_PARTIAL_UNLOGGED = 133,
  IDS_BACKUP_VANISHED = 134,
  IDS_BACKUP_DIR_BUSY = 135,
  IDS_OPT_LINK = 136,
  IDS_KEY_LINK = 137,
  IDS_SECTION_VERIFY = 138,
};

// The entry under `id`; empty for an id the table does not hold.
std::string LoadString(int id);

}  // namespace veldar
