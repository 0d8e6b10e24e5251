#pragma once
// A test fixture with an engine over the real OS layer behind a FaultOs, its
// log open in a private directory, and a scratch directory `dir`.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/fault_os.h"
#include "tests/test_util.h"

namespace veldar::testing {

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    fault.logDirOverride = logDir.path() + "/";
    engine.OpenLog();
  }
  // The log's line texts so far without "pid : time : ", the scratch
  // directory written "D" and paths joined with '/' whatever the platform
  // joins with (on Windows '\\' cannot be part of a name, so turning it into
  // '/' loses nothing); an empty line stays empty.
  std::vector<std::string> Log() {
    std::vector<std::string> texts;
    for (std::string l : Lines(LogText())) {
      for (auto at = l.find(dir.path()); at != std::string::npos; at = l.find(dir.path()))
        l.replace(at, dir.path().size(), "D");
#ifdef _WIN32
      std::replace(l.begin(), l.end(), '\\', '/');
#endif
      auto at = l.find(" : ", l.find(" : ") + 3);
      texts.push_back(at == std::string::npos ? l : l.substr(at + 3));
    }
    return texts;
  }

  // The log's whole text so far. On Windows the open working file shares
  // nothing but deletion, so the log is closed (it becomes VELDAR2.LOG) to be
  // read, and opened again.
  std::string LogText() {
#ifdef _WIN32
    if (!engine.activityLog.IsOpen()) return ReadFile(logDir / "VELDAR2.LOG");
    engine.CloseLog();
    const std::string text = ReadFile(logDir / "VELDAR2.LOG");
    engine.OpenLog();
    return text;
#else
    return ReadFile(logDir / "VELDAR2.TMP");
#endif
  }

  TempDir logDir, dir;
  std::unique_ptr<Os> real = MakeSystemOs();
  FaultOs fault{*real};
  RecordingMessages messages;
  MemorySettings settings;
  CVELDAR2Engine engine{fault, messages, settings};
};

}  // namespace veldar::testing
