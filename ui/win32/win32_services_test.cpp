// The Win32 services: the pickers, the progress window's run and count line,
// the message boxes (from the interface thread and from a worker).

#include "ui/win32/win32_services.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>
#include <thread>

#include "engine/engine.h"
#include "engine/run_progress.h"
#include "platform/win32_text.h"
#include "res/translation.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"
#include "ui/progress_texts.h"
#include "ui/win32/win32_dialog.h"
#include "ui/win32/win32_file_viewer.h"
#include "ui/win32/win32_messages.h"

// Last: its macros would rename the project's own functions declared above.
#include <windows.h>

namespace veldar {
namespace {

class Win32ServicesTest : public ::testing::Test, protected testing::EngineServices<> {};

TEST(Win32Picker, FoldersStartAtTheNearestExistingOne) {
  testing::TempDir dir;
  testing::MakeDirs(dir / "a/b");
  struct Case {
    std::string typed, start;
  };
  for (const Case& c : std::vector<Case>{{dir / "a/b", dir / "a\\b"},
                                         {dir / "a/b/c/d.txt", dir / "a\\b"},
                                         {dir.path() + "/a/x", dir.path() + "/a"},
                                         {"C:\\no such folder\\x", "C:\\"},
                                         {"Q:\\x", ""},
                                         {"relative-name", ""},
                                         {"", ""}}) {
    EXPECT_EQ(PickerStartFolder(c.typed), c.start) << c.typed;
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

// A run behind the progress window, and the ways the user stops it: the
// worker reports two files, waits until the window shows them, then plays
// the user's move (from its own thread, as another program would) and runs
// until the run is asked to stop.
TEST_F(Win32ServicesTest, ProgressWindowShowsTheRunAndStopsIt) {
  struct Case {
    const char* what;
    std::function<void(HWND progress)> stop;  // nullptr: the run ends by itself
  };
  const std::vector<Case> cases = {
      {"to its end", nullptr},
      {"キャンセル", [](HWND progress) { SendMessageW(GetDlgItem(progress, IDC_CANCEL), BM_CLICK, 0, 0); }},
      {"Esc", [](HWND progress) { PostMessageW(progress, WM_KEYDOWN, VK_ESCAPE, 0); }},
      {"the close box", [](HWND progress) { SendMessageW(progress, WM_SYSCOMMAND, SC_CLOSE, 0); }},
  };
  struct Logic : DialogLogic {
    Logic() : DialogLogic(MainDialogTemplate()) {}
  } logic;
  Win32Dialog owner(logic);
  ASSERT_TRUE(owner.Open(nullptr));
  const DWORD interfaceThread = GetCurrentThreadId();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string countShown, pathShown, expectedCount;
    bool ownerEnabled = true, stopped = false, cancelEnabledAfter = true;
    DWORD workThread = 0;
    const int result = RunWithProgressWindow(&owner, [&](RunProgress& progress) {
      workThread = GetCurrentThreadId();
      ownerEnabled = IsWindowEnabled(owner.handle()) != FALSE;
      progress.AddPlanned(3, 3000);
      for (const char* path : {"C:\\data\\報告書.doc", "C:\\data\\b & c.txt"}) {
        progress.FileStarted(path);
        progress.Advance(1000);
        progress.FileFinished(1000);
      }
      expectedCount = MakeProgressTexts(progress.Read(), 1).count;
      // The labels are refreshed by the interface thread's timer.
      HWND window = nullptr;
      for (int wait = 0; wait < 100 && countShown != expectedCount; ++wait) {
        Sleep(50);
        const std::vector<HWND> shown = ShownWindows(interfaceThread, owner.handle());
        if (shown.size() != 1) continue;
        window = shown[0];
        countShown = TextOf(GetDlgItem(window, IDC_PROGRESS_COUNT));
        pathShown = TextOf(GetDlgItem(window, IDC_PROGRESS_PATH));
      }
      if (c.stop && window) {
        c.stop(window);
        const HWND cancel = GetDlgItem(window, IDC_CANCEL);
        for (int wait = 0; wait < 100 && (!progress.Cancelled() || IsWindowEnabled(cancel)); ++wait) Sleep(20);
        stopped = progress.Cancelled();
        cancelEnabledAfter = IsWindowEnabled(cancel) != FALSE;
      }
      return 7;
    });
    EXPECT_EQ(result, 7);
    EXPECT_NE(workThread, interfaceThread);
    EXPECT_FALSE(ownerEnabled) << "the owner takes no input during the run";
    EXPECT_TRUE(IsWindowEnabled(owner.handle())) << "and takes it again afterwards";
    EXPECT_EQ(countShown, expectedCount);
    EXPECT_EQ(pathShown, "C:\\data\\b & c.txt");
    EXPECT_EQ(stopped, c.stop != nullptr);
    if (c.stop) {
      EXPECT_FALSE(cancelEnabledAfter) << "asked once";
    }
    EXPECT_TRUE(ShownWindows(interfaceThread, owner.handle()).empty()) << "the window is gone";
  }

  const auto failing = [](RunProgress&) -> int { throw std::runtime_error("disk gone"); };
  EXPECT_THROW(RunWithProgressWindow(&owner, failing), std::runtime_error);
  EXPECT_TRUE(IsWindowEnabled(owner.handle()));
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
    PostMessageW(picker, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(picker, IDOK)));
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
      {"a folder", true, dir / "backups/not yet", dir / "backups", "", dir / "backups"},
      {"a folder, cancelled", true, "", std::nullopt, "", std::nullopt},
      {"the initial file, kept", false, dir / "report.doc", dir / "report.doc", "report.doc", dir / "report.doc"},
      {"a file not there yet", false, dir / "report.doc", dir / "新しい.doc", "report.doc", dir / "新しい.doc"},
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
        c.folder ? services.ChooseFolder(owner, title, c.initialPath)
                 : services.ChooseFile(owner, title, c.initialPath, "すべてのファイル(*.*)|*.*||");
    KillTimer(nullptr, timer);
    EXPECT_TRUE(user.seen);
    EXPECT_EQ(user.offered, c.offered);
    EXPECT_EQ(chosen, c.expected);
  }
}

// Plays the user on the next popup menu of this thread: presses Down
// `downs` times and Enter, or Esc when `downs` is 0.
struct MenuUser {
  static inline int downs = 0;
  static inline bool seen = false;
  static void CALLBACK Tick(HWND owner, UINT, UINT_PTR timer, DWORD) {
    if (!FindWindowW(L"#32768", nullptr)) return;
    KillTimer(owner, timer);
    seen = true;
    for (int i = 0; i < downs; ++i) PostMessageW(owner, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(owner, WM_KEYDOWN, downs ? VK_RETURN : VK_ESCAPE, 0);
  }
};

TEST_F(Win32ServicesTest, MenusAndTheViewerWhereTheShellHasNoProgram) {
  struct Logic : DialogLogic {
    Logic() : DialogLogic(MainDialogTemplate()) {}
  } logic;
  Win32Dialog owner(logic);
  ASSERT_TRUE(owner.Open(nullptr));
  Win32DialogServices services;
  for (const auto& [downs, expected] :
       std::vector<std::pair<int, std::optional<int>>>{{1, 0}, {2, 1}, {0, std::nullopt}}) {
    MenuUser::downs = downs;
    MenuUser::seen = false;
    SetTimer(owner.handle(), 1, 100, &MenuUser::Tick);
    EXPECT_EQ(services.ChooseFromMenu(owner, IDC_BROWSE, {"ファイル...", "フォルダ..."}), expected) << downs;
    EXPECT_TRUE(MenuUser::seen);
  }

  // A file the shell has no program for opens in the viewer, read-only, its
  // lines as they are.
  testing::TempDir dir;
  testing::WriteFile(dir / "VELDAR2.veldar2-log",
                     "\xEF\xBB\xBF"
                     "1 : 開始\n2 : 終了\r\n");
  services.OpenWithDesktop(&owner, dir / "VELDAR2.veldar2-log");
  const HWND viewer = FindWindowW(nullptr, L"Veldar - VELDAR2.veldar2-log");
  ASSERT_NE(viewer, nullptr);
  const HWND text = GetDlgItem(viewer, 100);
  EXPECT_EQ(TextOf(text), "1 : 開始\r\n2 : 終了\r\n");
  EXPECT_TRUE(GetWindowLongPtrW(text, GWL_STYLE) & ES_READONLY);
  SendMessageW(viewer, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(viewer));

  const HWND missing = ShowFileViewer(nullptr, dir / "gone.txt", Language::kJapanese);
  EXPECT_EQ(TextOf(GetDlgItem(missing, 100)).rfind("ファイルを開けません。\r\n", 0), 0u);
  DestroyWindow(missing);
}

// The viewer stands above the dialog that asked for it and has the keyboard;
// Esc (on the text or the button), its close box and its 閉じる button close
// it, whichever loop brings the messages.
TEST_F(Win32ServicesTest, TheViewerWorksAboveTheDialogThatAskedForIt) {
  struct Logic : DialogLogic {
    Logic() : DialogLogic(MainDialogTemplate()) {}
  } logic;
  Win32Dialog owner(logic);
  ASSERT_TRUE(owner.Open(nullptr));
  testing::TempDir dir;
  testing::WriteFile(dir / "VELDAR2.LOG", "1 : Start with parameter\n");
  const auto pump = [] {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  };
  const std::vector<std::function<void(HWND)>> closings = {
      [](HWND) { PostMessageW(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0); },
      [](HWND viewer) { PostMessageW(viewer, WM_SYSCOMMAND, SC_CLOSE, 0); },
      [&pump](HWND) {
        PostMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0);  // to the button
        pump();
        PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 0);
      },
      [](HWND viewer) { SendMessageW(GetDlgItem(viewer, IDCANCEL), BM_CLICK, 0, 0); },
  };
  for (std::size_t way = 0; way < closings.size(); ++way) {
    SCOPED_TRACE(way);
    const Language language = way == 3 ? Language::kEnglish : Language::kJapanese;
    const HWND viewer = ShowFileViewer(owner.handle(), dir / "VELDAR2.LOG", language);
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(GetWindow(viewer, GW_OWNER), owner.handle()) << "above the dialog that asked";
    EXPECT_EQ(GetFocus(), GetDlgItem(viewer, 100)) << "the keyboard is on the text";
    EXPECT_EQ(TextOf(GetDlgItem(viewer, IDCANCEL)), language == Language::kEnglish ? "Close" : "閉じる");
    closings[way](viewer);
    for (int wait = 0; wait < 100 && IsWindow(viewer); ++wait) {
      pump();
      Sleep(20);
    }
    EXPECT_FALSE(IsWindow(viewer));
  }
}

// The help pages beside the program are Windows' own, in the user's
// language: options with "/", the registry, the log's places, the Task
// Scheduler; every option and the check boxes' labels as the dialog shows them.
TEST(Win32HelpPage, WindowsOwnInEachLanguage) {
  for (const Language language : {Language::kJapanese, Language::kEnglish}) {
    Win32DialogServices services(language);
    const std::string path = services.HelpPagePath();
    EXPECT_EQ(path.substr(path.find_last_of("\\/") + 1),
              language == Language::kEnglish ? "veldar2_help_en.html" : "veldar2_help.html");
    const std::string page = testing::ReadFile(path);
    ASSERT_FALSE(page.empty()) << path;
    for (const char* text : {"/NOFORCE", "/NODEL", "/NOMSG", "/NOTIME", "/LINK", "/?",
                             "HKEY_CURRENT_USER\\Software\\Orvanta\\VELDAR2\\SETTINGS", "%LOCALAPPDATA%", "schtasks"}) {
      EXPECT_NE(page.find(text), std::string::npos) << path << " lacks " << text;
    }
    for (int id : {IDC_NODELETE, IDC_NOFORCE, IDC_NOTIME}) {
      const std::string label = Translate(language, FindControl(MainDialogTemplate(), id)->text);
      EXPECT_NE(page.find(label), std::string::npos) << path << " lacks " << label;
    }
    for (const char* linux : {"XDG_", "~/.config", "-NOMSG", "systemd"}) {
      EXPECT_EQ(page.find(linux), std::string::npos) << path << " holds " << linux;
    }
  }
}

// F1 where the shell has no program for HTML: the help page is shown as
// text, from its top; a log still opens at its newest lines.
TEST(Win32Viewer, PagesAsTextFromTheTopLogsAtTheirEnd) {
  testing::TempDir dir;
  std::string page = "\xEF\xBB\xBF<html><head><style>h1 { x: 1 }</style></head><body><h1>Top &amp; first</h1>";
  std::string log;
  for (int i = 0; i < 300; ++i) {
    page += "<p>paragraph " + std::to_string(i) + "</p>\n";
    log += std::to_string(i) + " : line\n";
  }
  testing::WriteFile(dir / "page.HTML", page + "</body></html>");
  testing::WriteFile(dir / "VELDAR2.LOG", log);
  Win32DialogServices english(Language::kEnglish), japanese(Language::kJapanese);
  struct Case {
    std::string path, begins;
    bool atTop;
  };
  for (const Case& c : std::vector<Case>{{dir / "page.HTML", "Top & first\r\n\r\nparagraph 0\r\n", true},
                                         {english.HelpPagePath(), "Veldar (VELDAR2) Help\r\n\r\n", true},
                                         {japanese.HelpPagePath(), "", true},
                                         {dir / "VELDAR2.LOG", "0 : line\r\n1 : line\r\n", false}}) {
    const HWND viewer = ShowFileViewer(nullptr, c.path, Language::kEnglish);
    ASSERT_NE(viewer, nullptr) << c.path;
    const HWND text = GetDlgItem(viewer, 100);
    const std::string shown = TextOf(text);
    EXPECT_EQ(shown.rfind(c.begins, 0), 0u) << c.path << ": " << shown.substr(0, 80);
    for (const char* markup : {"<p>", "<h1>", "<code>", "&amp;", "&gt;", "{"})
      EXPECT_EQ(shown.find(markup), std::string::npos) << c.path << " shows " << markup;
    const LRESULT firstLine = SendMessageW(text, EM_GETFIRSTVISIBLELINE, 0, 0);
    if (c.atTop) {
      EXPECT_EQ(firstLine, 0) << c.path;
    } else {
      EXPECT_GT(firstLine, 200) << c.path << ": the newest lines are shown";
    }
    DestroyWindow(viewer);
  }
}

TEST(Win32Viewer, TextIsUtf8WithCrLfLines) {
  struct Case {
    std::string bytes;
    std::wstring text;
  };
  for (const Case& c : std::vector<Case>{{"a\nb\n", L"a\r\nb\r\n"},
                                         {"a\r\nb", L"a\r\nb"},
                                         {"\xEF\xBB\xBF写真", L"写真"},
                                         {"\n\n", L"\r\n\r\n"},
                                         {"bad \xFF byte", L"bad \xFFFD byte"}}) {
    EXPECT_EQ(ViewerText(c.bytes), c.text) << c.bytes;
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

  // In the user's language, phrase by phrase around the paths.
  Win32UserMessages english(messages, Language::kEnglish);
  BoxAnswerer answerer;
  BoxAnswerer::current = &answerer;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, &BoxAnswerer::Tick);
  english.Show("パラメタの指定誤りです。[書き込むディレクトリ]\nD:\\backup");
  KillTimer(nullptr, timer);
  EXPECT_EQ(answerer.text, "The parameters are wrong: [folder written to]\nD:\\backup");
}

// A stop asked of the run while a box waits (Ctrl-C, with nobody there to
// answer) closes the box, a question as Cancel.
TEST_F(Win32ServicesTest, AStopRequestClosesTheOpenBox) {
  Win32UserMessages boxes(messages);
  int asked = 0;
  boxes.closeWhen = [&asked] { return ++asked > 3; };
  const DWORD started = GetTickCount();
  boxes.Show("ERROR MKDIR C:\\x");
  EXPECT_GT(asked, 3);
  asked = 0;
  EXPECT_FALSE(boxes.AskOkCancel("ﾛｸﾞを消してよろしいですか？"));
  EXPECT_LT(GetTickCount() - started, 10000u);
  EXPECT_TRUE(ShownWindows(GetCurrentThreadId(), nullptr).empty()) << "no box is left";
  EXPECT_TRUE(messages.shown.empty()) << "the boxes were shown, not written to the stream";
}

}  // namespace
}  // namespace veldar
