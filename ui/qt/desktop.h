#pragma once
// The program's place on the desktop: starting the Qt application when a
// window is needed, the program's icon, and its help page.

#include <QIcon>
#include <QString>
#include <memory>
#include <string>

class QApplication;

namespace veldar {

// Starts the Qt application on demand, once per process. A batch start needs
// it only for a message box, and then only where a display is available; an
// interactive start needs it for the dialog.
class GuiStarter {
 public:
  // `argc` and `argv` must outlive this object (those of main).
  GuiStarter(int& argc, char** argv);
  ~GuiStarter();

  // True when DISPLAY or WAYLAND_DISPLAY is set.
  static bool DisplayAvailable();

  // For a message box: starts the application if a display is available.
  // True when a visible box can be shown; false on a platform that shows
  // nothing (offscreen, minimal), where a box would wait for ever unseen.
  bool ForMessages();
  // For the dialog: starts the application. False when there is no display,
  // or the display could not be reached; `why` then says so (in Japanese,
  // the program's own language: res/translation.h has its English).
  bool ForDialog(std::string* why);

 private:
  // Starts the application; the platform plugins that could serve the
  // display are tried in turn, falling back on the offscreen one so that an
  // unreachable display is a result rather than an abort.
  void Start();
  bool Headless() const;

  int& argc_;
  char** argv_;
  std::unique_ptr<QApplication> app_;
  bool platformChosenHere_ = false;
};

// The program's icon (the icon resource of the dialogs).
QIcon ProgramIcon();

// The help page, "veldar2_help.html" ("veldar2_help_en.html" in English):
// beside the executable (a build tree), else in ../share/veldar2 from it
// (installed).
QString HelpPagePath();

}  // namespace veldar
