#pragma once
// The handlers' tests share this fixture: an engine on the fault double over
// the real file system, recorded message boxes and settings, scripted
// services, and the toolkit the test runs on (one run per toolkit).

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/engine.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"
#include "ui/dialog_driver.h"

namespace veldar::testing {

class DialogTest : public ::testing::TestWithParam<std::shared_ptr<DialogToolkit>>,
                   protected ScratchDir,
                   protected EngineServices<> {
 protected:
  DialogTest() { environment.logDirOverride = dir.path() + "/state/"; }
  DialogToolkit& toolkit() { return *GetParam(); }
  // Opens the dialog of `logic` on this run's toolkit.
  std::unique_ptr<DialogDriver> Open(DialogLogic& logic) { return toolkit().Open(logic); }
  std::string Log() { return ReadFile(environment.logDirOverride + "VELDAR2.LOG"); }

  ScriptedDialogServices services{*GetParam()};
};

inline std::string ToolkitName(const ::testing::TestParamInfo<std::shared_ptr<DialogToolkit>>& info) {
  return info.param->Name();
}

}  // namespace veldar::testing

// Runs the tests of `suite` on every toolkit of the build.
#define VELDAR2_ON_EVERY_TOOLKIT(suite)                                                               \
  INSTANTIATE_TEST_SUITE_P(Toolkits, suite, ::testing::ValuesIn(::veldar::testing::DialogToolkits()), \
                           ::veldar::testing::ToolkitName)
