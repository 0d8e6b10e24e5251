// The Win32 services: the pickers, the progress window's run and count line,
// the message boxes (from the interface thread and from a worker).

#include "ui/win32/win32_services.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>

#include "engine/engine.h"
#include "platform/fault_os.h"
#include "platform/win32_text.h"
#include "tests/test_util.h"
#include "ui/win32/win32_dialog.h"
#include "ui/win32/win32_messages.h"

// Last: its macros would rename the project's own functions declared above.
#include <windows.h>

namespace veldar {
namespace {

class Win32ServicesTest : public ::testing::Test {
 protected:
  std::unique_ptr<Os> real = MakeSystemOs();
  FaultOs fault{*real};
  testing::RecordingMessages messages;
  testing::MemorySettings settings;
  CVELDAR2Engine engine{fault, messages, settings};
};

TEST(Win32ProgressText, CountsWithThousandsSeparators) {
  struct Case {
    std::uint64_t files, bytes;
    const char* text;
  };
  for (const Case& c : std::vector<Case>{{0, 0, "0 ファイル、0 バイト"},
                                         {1, 999, "1 ファイル、999 バイト"},
                                         {1000, 1234567, "1,000 ファイル、1,234,567 バイト"},
                                         {12345, 5000000000ull, "12,345 ファイル、5,000,000,000 バイト"}}) {
    EXPECT_EQ(ProgressCountText(c.files, c.bytes), c.text);
  }
}

TEST(Win32Picker, FileTypesComeFromTheHandlersFilter) {
  using Types = std::vector<std::pair<std::wstring, std::wstring>>;
  struct Case {
    const char* filter;
    Types types;
  };
  for (const Case& c : std::vector<Case>{
           {"すべてのファイル(*.*)|*.*||", {{L"すべてのファイル(*.*)", L"*.*"}}},
           {"Text|*.txt;*.log|All|*.*||", {{L"Text", L"*.txt;*.log"}, {L"All", L"*.*"}}},
           {"Text|*.txt|All||", {{L"Text", L"*.txt"}}},
           {"", {}}}) {
    EXPECT_EQ(PickerFileTypes(c.filter), c.types) << c.filter;
  }
}

// The windows of this thread that are shown, `but` left out.
std::vector<HWND> ShownWindows(DWORD thread, HWND but) {
  std::pair<std::vector<HWND>, HWND> found{{}, but};
  EnumThreadWindows(
      thread,
      [](HWND window, LPARAM data) {
        auto* f = reinterpret_cast<std::pair<std::vector<HWND>, HWND>*>(data);
        if (window != f->second && IsWindowVisible(window)) f->first.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found.first;
}

TEST_F(Win32ServicesTest, ProgressWindowRunsTheWorkOnAWorkerOverADisabledOwner) {
  struct Logic : DialogLogic {
    Logic() : DialogLogic(MainDialogTemplate()) {}
  } logic;
  Win32Dialog owner(logic);
  ASSERT_TRUE(owner.Open(nullptr));
  const DWORD interfaceThread = GetCurrentThreadId();
  std::vector<std::string> borrowedSaw;
  engine.onFileCopied = [&](const std::string& path, std::uint64_t) { borrowedSaw.push_back(path); };

  std::string countShown, pathShown;
  bool ownerEnabled = true;
  DWORD workThread = 0;
  const int result = RunWithProgressWindow(&owner, engine, [&] {
    workThread = GetCurrentThreadId();
    ownerEnabled = IsWindowEnabled(owner.handle()) != FALSE;
    engine.onFileCopied("C:\\data\\報告書.doc", 1000);
    engine.onFileCopied("C:\\data\\b & c.txt", 234);
    engine.onFileCopied("C:\\data\\empty", 0);
    // The labels are refreshed by the interface thread's timer.
    for (int wait = 0; wait < 100 && countShown != "3 ファイル、1,234 バイト"; ++wait) {
      Sleep(50);
      const std::vector<HWND> shown = ShownWindows(interfaceThread, owner.handle());
      if (shown.size() != 1) continue;
      countShown = TextOf(GetDlgItem(shown[0], IDC_PROGRESS_COUNT));
      pathShown = TextOf(GetDlgItem(shown[0], IDC_PROGRESS_PATH));
    }
    return 7;
  });
  EXPECT_EQ(result, 7);
  EXPECT_NE(workThread, interfaceThread);
  EXPECT_FALSE(ownerEnabled) << "the owner takes no input during the run";
  EXPECT_TRUE(IsWindowEnabled(owner.handle())) << "and takes it again afterwards";
  EXPECT_EQ(countShown, "3 ファイル、1,234 バイト");
  EXPECT_EQ(pathShown, "C:\\data\\empty");
  EXPECT_EQ(borrowedSaw.size(), 3u) << "the engine's own callback still hears every file";
  ASSERT_TRUE(engine.onFileCopied);
  engine.onFileCopied("given back", 1);
  EXPECT_EQ(borrowedSaw.back(), "given back");
  EXPECT_TRUE(ShownWindows(interfaceThread, owner.handle()).empty()) << "the progress window is gone";

  EXPECT_THROW(RunWithProgressWindow(&owner, engine, []() -> int { throw std::runtime_error("disk gone"); }),
               std::runtime_error);
  EXPECT_TRUE(IsWindowEnabled(owner.handle()));
  EXPECT_EQ(borrowedSaw.size(), 4u);
}

// Answers the next box of this thread captioned "VELDAR2" with `button`,
// recording its text and its thread.
struct BoxAnswerer {
  static inline BoxAnswerer* current = nullptr;
  int button = IDOK;
  std::string text;
  DWORD thread = 0;
  bool hasCancel = false;

  static void CALLBACK Tick(HWND, UINT, UINT_PTR timer, DWORD) {
    BoxAnswerer& self = *current;
    const std::vector<HWND> shown = ShownWindows(GetCurrentThreadId(), nullptr);
    for (HWND window : shown) {
      if (TextOf(window) != "VELDAR2") continue;
      self.text = TextOf(GetDlgItem(window, 0xFFFF));
      self.thread = GetWindowThreadProcessId(window, nullptr);
      self.hasCancel = GetDlgItem(window, IDCANCEL) != nullptr;
      KillTimer(nullptr, timer);
      PostMessageW(window, WM_COMMAND, self.button, 0);
      return;
    }
  }
};

// Plays the user on the next picker titled `title`: notes the name it
// offers, types `typed` (nothing: cancels) and presses Open.
struct PickerUser {
  static inline PickerUser* current = nullptr;
  std::wstring title;
  std::optional<std::string> typed;
  std::string offered;
  bool seen = false;

  static void CALLBACK Tick(HWND, UINT, UINT_PTR timer, DWORD) {
    PickerUser& self = *current;
    const HWND picker = FindWindowW(nullptr, self.title.c_str());
    if (!picker) return;
    KillTimer(nullptr, timer);
    self.seen = true;
    const HWND name = GetDlgItem(picker, 1152);  // the dialog's file name box
    self.offered = TextOf(name);
    if (!self.typed) {
      PostMessageW(picker, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    SetWindowTextW(name, WindowText(*self.typed).c_str());
    PostMessageW(picker, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(picker, IDOK)));
  }
};

TEST_F(Win32ServicesTest, PickersReturnWhatIsTypedOrNothing) {
  testing::TempDir dir;
  testing::MakeDirs(dir / "backups");
  testing::WriteFile(dir / "report.doc", "r");
  struct Logic : DialogLogic {
    Logic() : DialogLogic(MainDialogTemplate()) {}
  } logic;
  Win32Dialog owner(logic);
  ASSERT_TRUE(owner.Open(nullptr));
  Win32DialogServices services;
  struct Case {
    const char* what;
    bool folder;
    std::string initialPath;
    std::optional<std::string> typed;
    const char* offered;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"a folder", true, "", dir / "backups", "", dir / "backups"},
      {"a folder, cancelled", true, "", std::nullopt, "", std::nullopt},
      {"the initial file, kept", false, dir / "report.doc", dir / "report.doc", "report.doc", dir / "report.doc"},
      {"a file that does not exist yet", false, dir / "report.doc", dir / "新しい.doc", "report.doc",
       dir / "新しい.doc"},
      {"a file, cancelled", false, "", std::nullopt, "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PickerUser user;
    user.title = WindowText(std::string("VELDAR2 ") + c.what);
    user.typed = c.typed;
    PickerUser::current = &user;
    const UINT_PTR timer = SetTimer(nullptr, 0, 100, &PickerUser::Tick);
    const std::string title = WideToUtf8(user.title);
    const std::optional<std::string> chosen =
        c.folder ? services.ChooseFolder(owner, title)
                 : services.ChooseFile(owner, title, c.initialPath, "すべてのファイル(*.*)|*.*||");
    KillTimer(nullptr, timer);
    EXPECT_TRUE(user.seen);
    EXPECT_EQ(user.offered, c.offered);
    EXPECT_EQ(chosen, c.expected);
  }
}

TEST_F(Win32ServicesTest, MessageBoxesAreShownByTheInterfaceThread) {
  struct Case {
    const char* what;
    bool fromWorker, ask;
    int button;
    bool expectedAnswer;
  };
  const std::vector<Case> cases = {
      {"a message", false, false, IDOK, true},
      {"a question answered OK", false, true, IDOK, true},
      {"a question answered Cancel", false, true, IDCANCEL, false},
      {"a question from a worker", true, true, IDOK, true},
      {"a message from a worker", true, false, IDOK, true},
  };
  Win32UserMessages boxes(messages);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BoxAnswerer answerer;
    answerer.button = c.button;
    BoxAnswerer::current = &answerer;
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, &BoxAnswerer::Tick);
    const std::string text = std::string(c.what) + ": コピーできませんでした。";
    bool answer = true;
    const auto ask = [&] {
      if (c.ask) {
        answer = boxes.AskOkCancel(text);
      } else {
        boxes.Show(text);
      }
    };
    if (c.fromWorker) {
      std::atomic<bool> done{false};
      std::thread worker([&] {
        ask();
        done = true;
      });
      // The interface thread pumps, as the progress window's loop does.
      for (int wait = 0; wait < 200 && !done; ++wait) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      }
      worker.join();
    } else {
      ask();
    }
    KillTimer(nullptr, timer);
    EXPECT_EQ(answer, c.expectedAnswer);
    EXPECT_EQ(answerer.text, text);
    EXPECT_EQ(answerer.thread, GetCurrentThreadId());
    EXPECT_EQ(answerer.hasCancel, c.ask);
  }
  EXPECT_TRUE(messages.shown.empty()) << "nothing fell back to the stream";
  EXPECT_TRUE(messages.asked.empty());
}

}  // namespace
}  // namespace veldar
