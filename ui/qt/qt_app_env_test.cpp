// The QApplication the program tests run in, made before the first test.

#include <gtest/gtest.h>

#include <QApplication>

#include "ui/qt/ui_test_util.h"

namespace veldar::testing {

void EnsureApplication() {
  if (QApplication::instance()) return;
  static int argc = 1;
  static char name[] = "veldar2_program_tests";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);  // lives for the rest of the process
}

namespace {

class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { EnsureApplication(); }
};

const ::testing::Environment* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

}  // namespace
}  // namespace veldar::testing
