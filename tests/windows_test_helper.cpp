// A stand-in for other programs in the Windows end-to-end test
// (tests/windows_batch_e2e.sh), run under Wine beside veldar2.exe:
//
//   windows_test_helper hold FILE     opens FILE with no sharing, as a program
//                                     that has it open would, and keeps it so
//   windows_test_helper window TITLE  shows a top-level window titled TITLE,
//                                     as an open instance's dialog would, and
//                                     appends "restore" to TITLE.events in
//                                     the working directory for every
//                                     WM_SYSCOMMAND SC_RESTORE it receives
//   windows_test_helper close TITLE   waits (up to 20 s) for a top-level
//                                     window titled TITLE and uses its close
//                                     box, as a user would; exit status 0
//                                     once the window is gone, 1 when it
//                                     never showed or stayed open
//   windows_test_helper detached COMMAND_LINE
//                                     runs COMMAND_LINE with no console and no
//                                     standard handles, as a scheduler may
//                                     start a task, and exits with its status
//
// hold and window write the file "ready" in the working directory once they
// hold the file or show the window, and end when a file "release" appears
// there (or after two minutes). Exit status 0, or 1 when the helper could not
// do its part (125 for detached).

#include <windows.h>

#include <cstring>
#include <string>

namespace {

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

void Touch(const wchar_t* path) {
  const HANDLE file =
      CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

void AppendLine(const std::wstring& path, const char* line) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
  WriteFile(file, "\n", 1, &written, nullptr);
  CloseHandle(file);
}

std::wstring g_events;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_RESTORE) AppendLine(g_events, "restore");
  return DefWindowProcW(window, message, wParam, lParam);
}

// Pumps messages until "release" appears or the time is up.
void WaitForRelease() {
  for (int tick = 0; tick < 1200 && !Exists(L"release"); ++tick) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(100);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 1;
  const std::wstring mode = argv[1];
  if (mode == L"hold") {
    const HANDLE file = CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    Touch(L"ready");
    WaitForRelease();
    CloseHandle(file);
    return 0;
  }
  if (mode == L"detached") {
    std::wstring commandLine = argv[2];
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // all three null
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &process))
      return 125;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 125;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
  }
  if (mode == L"close") {
    HWND window = nullptr;
    for (int tick = 0; tick < 200 && !(window = FindWindowW(nullptr, argv[2])); ++tick) Sleep(100);
    if (window == nullptr) return 1;
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    for (int tick = 0; tick < 200 && IsWindow(window); ++tick) Sleep(100);
    return IsWindow(window) ? 1 : 0;
  }
  if (mode == L"window") {
    g_events = std::wstring(argv[2]) + L".events";
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VeldarTestWindow";
    if (!RegisterClassW(&windowClass)) return 1;
    const HWND window = CreateWindowExW(0, windowClass.lpszClassName, argv[2], WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                        nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, SW_SHOWMINIMIZED);
    Touch(L"ready");
    WaitForRelease();
    DestroyWindow(window);
    return 0;
  }
  return 1;
}
