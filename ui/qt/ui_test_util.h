#pragma once
// What the Qt tests share: the Qt application they run in (offscreen).

namespace veldar::testing {

// Makes sure a QApplication exists (created once, on the platform the test
// environment names, offscreen under ctest).
void EnsureApplication();

}  // namespace veldar::testing
