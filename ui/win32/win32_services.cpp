#include "ui/win32/win32_services.h"

#include <chrono>
#include <exception>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/run_progress.h"
#include "platform/win32_text.h"
#include "res/translation.h"
#include "ui/progress_texts.h"
#include "ui/win32/win32_dialog.h"
#include "ui/win32/win32_file_viewer.h"

// Last: its macros would rename the project's own functions declared above.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shobjidl.h>

namespace veldar {
namespace {

// COM for this thread for as long as the object lives, when it was not on
// already (or on in another mode, which the pickers accept too).
class ComScope {
 public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }

 private:
  HRESULT result_;
};

template <typename T>
class ComPtr {
 public:
  ~ComPtr() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  T** operator&() { return &p; }
  explicit operator bool() const { return p != nullptr; }
  T* p = nullptr;
};

// The file-system path of `item`; nothing when it has none.
std::optional<std::string> PathOf(IShellItem* item) {
  PWSTR path = nullptr;
  if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || !path) return std::nullopt;
  std::string text = WideToUtf8(path);
  CoTaskMemFree(path);
  return text;
}

// Shows `picker` over `owner` and returns the chosen item's path; nothing
// when cancelled; an empty text for an item without a file-system path.
std::optional<std::string> Pick(IFileOpenDialog* picker, HWND owner) {
  if (FAILED(picker->Show(owner))) return std::nullopt;
  ComPtr<IShellItem> item;
  if (FAILED(picker->GetResult(&item)) || !item) return std::nullopt;
  return PathOf(item.p).value_or(std::string());
}

// The progress window's behaviour: キャンセル, Esc and the close box ask the
// run to stop, once; after the run the window is closed by its owner.
class ProgressLogic : public DialogLogic {
 public:
  explicit ProgressLogic(RunProgress& progress) : DialogLogic(ProgressTemplate()), progress_(progress) {}
  void OnCommand(int id) override {
    if (id != IDC_CANCEL || progress_.Cancelled()) return;
    progress_.RequestCancel();
    window().EnableItem(IDC_CANCEL, false);
  }

 private:
  RunProgress& progress_;
};

constexpr UINT_PTR kRefreshTimer = 1;

}  // namespace

std::string PickerStartFolder(const std::string& path) {
  std::wstring folder = WindowText(path);
  while (!folder.empty()) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return WideToUtf8(folder);
    const std::size_t slash = folder.find_last_of(L"\\/");
    if (slash == std::wstring::npos) break;
    // "C:\\x" goes up to "C:\\" (a drive's root), not to "C:" (its current
    // directory); a root that does not exist ends the search.
    const std::size_t keep = slash > 0 && folder[slash - 1] == L':' ? slash + 1 : slash;
    if (keep == folder.size()) break;
    folder.resize(keep);
  }
  return {};
}

// Makes the shell's open dialog titled `title` (in `language`), with `add`
// among its options and `drop` not; false when it cannot be made.
bool NewPicker(const std::string& title, Language language, FILEOPENDIALOGOPTIONS add, FILEOPENDIALOGOPTIONS drop,
               ComPtr<IFileOpenDialog>& picker) {
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                              reinterpret_cast<void**>(&picker))))
    return false;
  FILEOPENDIALOGOPTIONS options = 0;
  picker->GetOptions(&options);
  picker->SetOptions((options & ~drop) | add | FOS_NOCHANGEDIR);
  picker->SetTitle(WindowText(Translate(language, title)).c_str());
  return true;
}

HWND WindowOf(DialogWindow* dialog) {
  auto* win32 = dynamic_cast<Win32Dialog*>(dialog);
  return win32 ? win32->handle() : nullptr;
}

std::optional<std::string> Win32DialogServices::ChooseFile(DialogWindow& owner, const std::string& title,
                                                           const std::string& initialPath, const std::string& filter) {
  ComScope com;
  ComPtr<IFileOpenDialog> picker;
  // Any typed name is taken as it stands, existing or not.
  if (!NewPicker(title, language_, FOS_FORCEFILESYSTEM, FOS_FILEMUSTEXIST | FOS_PATHMUSTEXIST, picker)) {
    return std::nullopt;
  }

  std::vector<std::pair<std::wstring, std::wstring>> pairs;
  for (const FileType& type : ParseFileFilter(filter)) {
    pairs.emplace_back(WindowText(Translate(language_, type.label)), WindowText(type.pattern));
  }
  std::vector<COMDLG_FILTERSPEC> types;
  for (const auto& [label, pattern] : pairs) types.push_back({label.c_str(), pattern.c_str()});
  if (!types.empty()) picker->SetFileTypes(static_cast<UINT>(types.size()), types.data());

  if (!initialPath.empty()) {
    const std::wstring path = WindowText(initialPath);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    std::wstring folder, name;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      folder = path;
    } else {
      const std::size_t slash = path.find_last_of(L"\\/");
      folder = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
      name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    }
    ComPtr<IShellItem> start;
    if (!folder.empty() && SUCCEEDED(SHCreateItemFromParsingName(folder.c_str(), nullptr, IID_IShellItem,
                                                                 reinterpret_cast<void**>(&start))))
      picker->SetFolder(start.p);
    if (!name.empty()) picker->SetFileName(name.c_str());
  }
  return Pick(picker.p, WindowOf(&owner));
}

std::optional<std::string> Win32DialogServices::ChooseFolder(DialogWindow& owner, const std::string& title,
                                                             const std::string& initialPath) {
  ComScope com;
  ComPtr<IFileOpenDialog> picker;
  if (!NewPicker(title, language_, FOS_PICKFOLDERS, 0, picker)) return std::nullopt;
  const std::wstring start = WindowText(PickerStartFolder(initialPath));
  ComPtr<IShellItem> folder;
  if (!start.empty() &&
      SUCCEEDED(SHCreateItemFromParsingName(start.c_str(), nullptr, IID_IShellItem, reinterpret_cast<void**>(&folder))))
    picker->SetFolder(folder.p);
  return Pick(picker.p, WindowOf(&owner));
}

std::optional<int> Win32DialogServices::ChooseFromMenu(DialogWindow& owner, int anchorId,
                                                       const std::vector<std::string>& items) {
  auto* dialog = dynamic_cast<Win32Dialog*>(&owner);
  const HWND window = dialog ? dialog->handle() : nullptr;
  const HMENU menu = CreatePopupMenu();
  if (!menu) return std::nullopt;
  // Command ids from 1: 0 is what TrackPopupMenu returns for a dismissed menu.
  for (std::size_t i = 0; i < items.size(); ++i)
    AppendMenuW(menu, MF_STRING, i + 1, WindowText(Translate(language_, items[i])).c_str());
  POINT where{};
  RECT anchor{};
  if (const HWND item = dialog ? dialog->Item(anchorId) : nullptr; item && GetWindowRect(item, &anchor)) {
    where = {anchor.left, anchor.bottom};
  } else {
    GetCursorPos(&where);
  }
  if (window) SetForegroundWindow(window);  // so that a click elsewhere dismisses the menu
  const int chosen = static_cast<int>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_LEFTALIGN | TPM_TOPALIGN,
                                                     where.x, where.y, 0, window, nullptr));
  DestroyMenu(menu);
  if (chosen <= 0) return std::nullopt;
  return chosen - 1;
}

int Win32DialogServices::RunModal(DialogWindow* owner, DialogLogic& logic) {
  Win32Dialog dialog(logic, language_);
  return dialog.RunModal(WindowOf(owner));
}

void Win32DialogServices::OpenWithDesktop(DialogWindow* owner, const std::string& path) {
  // Above 32: the shell started a program (or handed the file to a running one).
  const HWND window = WindowOf(owner);
  const auto started = reinterpret_cast<INT_PTR>(
      ShellExecuteW(window, L"open", WindowText(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (started <= 32) ShowFileViewer(window, path, language_);
}

int Win32DialogServices::RunWithProgress(DialogWindow& owner, const ProgressWork& work) {
  return RunWithProgressWindow(dynamic_cast<Win32Dialog*>(&owner), work);
}

std::string Win32DialogServices::HelpPagePath() {
  std::wstring program(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
    if (length == 0) return "veldar2_help.html";
    if (length < program.size()) {
      program.resize(length);
      break;
    }
    program.resize(program.size() * 2);
  }
  const std::size_t slash = program.find_last_of(L"\\/");
  return WideToUtf8(program.substr(0, slash + 1)) +
         (language_ == Language::kEnglish ? "veldar2_help_en.html" : "veldar2_help.html");
}

int RunWithProgressWindow(Win32Dialog* ownerDialog, const ProgressWork& work) {
  RunProgress progress;
  const auto started = std::chrono::steady_clock::now();

  std::string shownPath;
  ProgressTexts shown;
  ProgressLogic logic(progress);
  // In the language of the dialog that runs it.
  const Language language = ownerDialog ? ownerDialog->language() : Language::kJapanese;
  Win32Dialog window(logic, language);
  const auto refresh = [&] {
    const RunProgress::Snapshot snapshot = progress.Read();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const ProgressTexts texts = MakeProgressTexts(snapshot, seconds);
    // Only what changed is drawn again: no flicker at ten refreshes a second.
    if (snapshot.current != shownPath) window.SetItemText(IDC_PROGRESS_PATH, shownPath = snapshot.current);
    if (texts.count != shown.count) window.SetItemText(IDC_PROGRESS_COUNT, TranslateMessage(language, texts.count));
    if (texts.rate != shown.rate) window.SetItemText(IDC_PROGRESS_RATE, TranslateMessage(language, texts.rate));
    if (texts.permille != shown.permille) SendMessageW(window.Item(IDC_PROGRESS_BAR), PBM_SETPOS, texts.permille, 0);
    shown = texts;
  };
  window.messageHook = [&](unsigned message, std::uintptr_t wParam, std::intptr_t, std::intptr_t* answer) {
    if (message != WM_TIMER || wParam != kRefreshTimer) return false;
    refresh();
    *answer = 0;
    return true;
  };

  const HWND owner = ownerDialog ? ownerDialog->handle() : nullptr;
  const bool opened = window.Open(owner);
  if (opened) {
    // A long path is cut in its middle, as the Qt window does.
    const HWND pathLabel = window.Item(IDC_PROGRESS_PATH);
    SetWindowLongPtrW(pathLabel, GWL_STYLE, GetWindowLongPtrW(pathLabel, GWL_STYLE) | SS_PATHELLIPSIS);
    SendMessageW(window.Item(IDC_PROGRESS_BAR), PBM_SETRANGE32, 0, 1000);
    shown.permille = -1;
    refresh();
    window.SetBusy(true);
    if (ownerDialog) ownerDialog->SetBusy(true);
    if (owner) EnableWindow(owner, FALSE);
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    SetTimer(window.handle(), kRefreshTimer, 100, nullptr);
  }

  const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int result = 0;
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      result = work(progress);
    } catch (...) {
      failure = std::current_exception();
    }
    SetEvent(done);
  });

  // Messages for every window of this thread (the dialogs' paints, the
  // window's キャンセル, a box the worker asks for) until the work has ended.
  // A quit request is kept for the loop that owns it.
  bool quit = false;
  WPARAM quitCode = 0;
  while (MsgWaitForMultipleObjectsEx(1, &done, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) != WAIT_OBJECT_0) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        quit = true;
        quitCode = message.wParam;
        continue;
      }
      if (!opened || !IsDialogMessageW(window.handle(), &message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
  }
  worker.join();
  CloseHandle(done);

  if (opened) {
    KillTimer(window.handle(), kRefreshTimer);
    refresh();
    window.SetBusy(false);
    if (ownerDialog) ownerDialog->SetBusy(false);
    // The owner first, so that it becomes the active window again when the
    // progress window goes, and the keyboard with it.
    if (owner) EnableWindow(owner, TRUE);
    window.EndDialog(IDC_OK);
    if (owner) SetActiveWindow(owner);
  }
  if (quit) PostQuitMessage(static_cast<int>(quitCode));
  if (failure) std::rethrow_exception(failure);
  return result;
}

}  // namespace veldar
