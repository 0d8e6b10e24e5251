// The program's entry point on Linux: the system's OS layer, the per-user
// settings file and the message boxes of a batch start, handed to the
// application object.

#include <iostream>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/settings_qt.h"
#include "platform/os.h"

namespace {

// Without a window system, a batch run's message boxes go to standard error.
class StderrMessages : public veldar::UserMessages {
 public:
  void Show(const std::string& text) override { std::cerr << text << "\n"; }
  bool AskOkCancel(const std::string& text) override {
    std::cerr << text << "\n";
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  auto os = veldar::MakeSystemOs();
  StderrMessages messages;
  veldar::QtSettingsStore settings;
  veldar::CVELDAR2App app(*os, messages, settings);
  return app.InitInstance(arguments, std::cout, std::cerr);
}
