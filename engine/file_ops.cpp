// The four file operations through which the engine changes the file system:
// FileCopy, FileDelete, DirRemove and DirCreate.
//
// Each obeys the force setting and reports its outcome to the activity log.
// Force mode (no-force flag clear) retries a failed copy, deletion or removal
// once after making the target writable, and a failure that survives the
// retry is a failure line (always written, counted) and a 0 result. No-force
// mode tries once and never overwrites; what it leaves undone is a skip line
// (skip-log option) and the result is still success. Lines about work done
// need the success-log option. None of them shows a message box: what the user
// sees is the caller's business.
//
// The texts are written as they stand; WriteLog escapes control characters a
// path may hold, so a name cannot break or forge a line.

#include <string>

#include "engine/engine.h"

namespace veldar {
namespace {

std::string Code(int code) { return std::to_string(code); }

}  // namespace

int CVELDAR2Engine::FileCopy(const std::string& source, const std::string& target) {
  std::uint64_t bytes = 0;
  if (noForce) {
    const int code = os.CopyFile(source, target, CopyMode::FailIfExists, &bytes);
    if (code != 0) {
      // An existing target is the usual cause; whatever it was, no-force mode
      // leaves the target as it was and carries on.
      if (skipLog) WriteLog("File Copy Failed due to Not Force Mode : " + source + " to " + target);
      return 1;
    }
  } else if (os.CopyFile(source, target, CopyMode::Replace, &bytes) != 0) {
    // Make the target writable for the second attempt and give it its old
    // attributes back afterwards, whether or not that attempt worked: a
    // read-only target is overwritten and stays read-only. A target that did
    // not exist has nothing to make writable or to restore.
    FileStatus before;
    const bool existed = os.Stat(target, /*followLink=*/false, &before) == 0;
    if (existed) os.SetAttributesNormal(target);
    const int code = os.CopyFile(source, target, CopyMode::Replace, &bytes);
    if (existed) {
      // A failed copy left the old file, which gets back all it had. A copy
      // that worked is a new file with the source's permissions: of the old
      // file's attributes only the read-only state carries over, never the
      // platform's whole word (on POSIX the old permission bits, which would
      // make a file the owner has since made private readable by all, and no
      // later run would notice).
      FileAttributes restore = before.attributes;
      if (code == 0) restore.native = 0;
      os.SetAttributes(target, restore);
    }
    if (code != 0) {
      WriteFailure("File Copy Failed : " + source + " to " + target + " : ERR = " + Code(code));
      return 0;
    }
  }
  if (successLog) WriteLog("File Copied : " + source + " to " + target);
  if (onFileCopied) onFileCopied(source, bytes);
  return 1;
}

int CVELDAR2Engine::FileDelete(const std::string& path) {
  int code = os.DeleteFile(path);
  if (noForce) {
    if (code == 0) {
      if (successLog) WriteLog("File Deleted : " + path);
    } else if (skipLog) {
      WriteLog("File Delete Failed due to Not Force Mode : " + path + " : ERR= " + Code(code));
    }
    return 1;
  }
  if (code == 0) {
    // Deleted at the first attempt: this line carries a line break of its
    // own, so an empty line follows it in the log.
    if (successLog) WriteLog("File Deleted : " + path, true);
    return 1;
  }
  // The attribute change is not undone if the retry fails as well.
  os.SetAttributesNormal(path);
  code = os.DeleteFile(path);
  if (code == 0) {
    if (successLog) WriteLog("File Deleted : " + path);
    return 1;
  }
  WriteFailure("File Delete Failed : " + path + " : ERR = " + Code(code));
  return 0;
}

int CVELDAR2Engine::DirRemove(const std::string& path) {
  int code = os.RemoveDir(path);
  if (noForce) {
    if (code == 0) {
      if (successLog) WriteLog("Directory Deleted : " + path);
    } else if (skipLog) {
      WriteLog("Directory Delete Failed due to Not Force Mode : " + path + " : ERR= " + Code(code));
    }
    return 1;
  }
  if (code == 0) {
    if (successLog) WriteLog("Directory Deleted : " + path, true);
    return 1;
  }
  os.SetAttributesNormal(path);
  code = os.RemoveDir(path);
  if (code == 0) {
    if (successLog) WriteLog("Directory Deleted : " + path);
    return 1;
  }
  WriteFailure("Directory Delete Failed : " + path + " : ERR = " + Code(code));
  return 0;
}

int CVELDAR2Engine::DirCreate(const std::string& path) {
  const int code = os.CreateDir(path);
  if (code != 0) {
    WriteFailure("Directory Create Failed : " + path + " : ERR= " + Code(code));
    return 0;
  }
  if (successLog) WriteLog("Directory Created : " + path);
  return 1;
}

}  // namespace veldar
