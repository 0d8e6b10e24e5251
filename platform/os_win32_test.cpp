// What only the Windows `Os` has: UTF-16 names, long paths, Windows' error
// codes, directories held open by handle, reparse points, share modes and
// process ids. Checked with direct Win32 calls. Under Wine some of it cannot
// be shown (no reparse points; root may write read-only files): those cases
// are skipped with the reason, never passed.

#include <windows.h>
// The interface's own names, not the A/W macros of <windows.h>.
#undef CopyFile
#undef DeleteFile

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/conventions.h"
#include "platform/os_paths.h"
#include "platform/win32_text.h"

namespace veldar {
namespace {

std::wstring Wide(const std::string& text) {
  std::wstring wide;
  EXPECT_TRUE(Utf8ToWide(text, &wide)) << text;
  return wide;
}

// The long form, so the helpers reach what the code under test reaches.
std::wstring Long(const std::string& path) { return L"\\\\?\\" + Wide(path); }

void Write(const std::string& path, const std::string& content) {
  HANDLE h = CreateFileW(Long(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << path << " " << GetLastError();
  DWORD put = 0;
  EXPECT_TRUE(WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &put, nullptr));
  CloseHandle(h);
}

std::string Read(const std::string& path) {
  HANDLE h = CreateFileW(Long(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string content(1 << 16, '\0');
  DWORD got = 0;
  ReadFile(h, content.data(), static_cast<DWORD>(content.size()), &got, nullptr);
  CloseHandle(h);
  content.resize(got);
  return content;
}

DWORD Attributes(const std::string& path) { return GetFileAttributesW(Long(path).c_str()); }
bool Exists(const std::string& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> Names(const std::vector<DirEntry>& entries) {
  std::vector<std::string> names;
  for (const DirEntry& entry : entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

// True where a read-only file can still be opened for writing: Wine run by
// root, where Windows' access checks are the Unix ones.
bool ReadOnlyIsWritable(const std::string& probe) {
  Write(probe, "x");
  SetFileAttributesW(Long(probe).c_str(), FILE_ATTRIBUTE_READONLY);
  HANDLE h = CreateFileW(Long(probe).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  const bool writable = h != INVALID_HANDLE_VALUE;
  if (writable) CloseHandle(h);
  SetFileAttributesW(Long(probe).c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(Long(probe).c_str());
  return writable;
}

// Removes the tree at `path` (a long path): links are removed, never entered.
void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(path.c_str());
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
  }
  RemoveDirectoryW(path.c_str());
}

class Win32OsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH + 1];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH + 1, base));
    for (int attempt = 0;; ++attempt) {
      root_ = WideToUtf8(base) + "veldar2-os-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
      if (CreateDirectoryW(Long(root_).c_str(), nullptr)) break;
      ASSERT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    }
  }
  void TearDown() override { RemoveTree(Long(root_)); }
  std::string At(const std::string& relative) const { return root_ + "\\" + relative; }

  std::unique_ptr<Os> os_ = MakeSystemOs();
  std::string root_;
};

// Names outside the basic plane, half-width katakana and other scripts pass
// through every operation unchanged, by path and by open directory.
TEST_F(Win32OsTest, NamesRoundTripThroughEveryOperation) {
  const std::vector<std::string> names = {"日本語のファイル.txt", "ﾊﾝｶｸｶﾀｶﾅ", "\xF0\x9D\x84\x9E clef \xF0\x9F\x98\x80",
                                          "Кириллица"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    Write(At(name), "content of " + name);
    FileStatus status;
    ASSERT_TRUE((Stat(*os_, At(name), false, &status)).ok());
    EXPECT_EQ(EntryKind::File, status.kind);
    EXPECT_EQ(name.size() + 11, status.size);
    ASSERT_TRUE((CopyFile(*os_, At(name), At(name + ".copy"), CopyMode::FailIfExists)).ok());
    EXPECT_EQ("content of " + name, Read(At(name + ".copy")));
    ASSERT_TRUE((CreateDir(*os_, At(name + ".d"))).ok());

    std::unique_ptr<OsDir> dir, sub;
    ASSERT_TRUE((os_->OpenDir(root_, false, &dir)).ok());
    ASSERT_TRUE((dir->OpenDir(name + ".d", &sub)).ok());
    ASSERT_TRUE((dir->CopyFile(name, *sub, name, CopyMode::Replace)).ok());
    std::vector<DirEntry> entries;
    ASSERT_TRUE((sub->List(&entries)).ok());
    EXPECT_EQ(std::vector<std::string>{name}, Names(entries));
    EXPECT_EQ("content of " + name, Read(At(name + ".d\\" + name)));
    ASSERT_TRUE((sub->DeleteFile(name)).ok());
    sub.reset();
    ASSERT_TRUE((dir->RemoveDir(name + ".d")).ok());
    ASSERT_TRUE((dir->DeleteFile(name + ".copy")).ok());
    ASSERT_TRUE((DeleteFile(*os_, At(name))).ok());
  }
  std::vector<DirEntry> left;
  ASSERT_TRUE((ListDir(*os_, root_, false, &left)).ok());
  EXPECT_TRUE(left.empty());
}

// A listing longer than one buffer of records, read again from its start.
TEST_F(Win32OsTest, ListingsSpanBuffersAndStartAgain) {
  std::vector<std::string> expected;
  for (int i = 0; i < 400; ++i) {
    expected.push_back("entry " + std::to_string(1000 + i) + " " + std::string(90, 'x') + " ﾃ");
    Write(At(expected.back()), std::to_string(i));
  }
  std::sort(expected.begin(), expected.end());
  std::unique_ptr<OsDir> dir;
  ASSERT_TRUE((os_->OpenDir(root_, false, &dir)).ok());
  FileStatus self;
  ASSERT_TRUE((dir->Stat(&self)).ok());
  for (int round = 0; round < 2; ++round) {
    std::vector<DirEntry> entries;
    ASSERT_TRUE((dir->List(&entries)).ok());
    ASSERT_EQ(expected, Names(entries));
    FileStatus direct;
    ASSERT_TRUE((dir->StatAt(entries[7].name, &direct)).ok());
    EXPECT_TRUE(direct.SameEntryAs(entries[7].status));
    EXPECT_EQ(direct.size, entries[7].status.size);
    EXPECT_EQ(direct.mtimeNsec, entries[7].status.mtimeNsec);
    EXPECT_EQ(self.device, entries[7].status.device);
  }
  std::vector<DirEntry> some;
  const std::string tail = "9 " + std::string(90, 'x') + " ﾃ";
  ASSERT_TRUE((dir->List(&some, [&](std::string_view name) { return name.ends_with(tail); })).ok());
  EXPECT_EQ(40u, some.size());
}

// Paths far beyond MAX_PATH, also spelled with '/', "." and "..".
TEST_F(Win32OsTest, LongPathsWork) {
  std::string deep = root_;
  for (int i = 0; i < 8; ++i) deep += "\\" + std::string(40, static_cast<char>('a' + i));
  ASSERT_GT(deep.size(), 300u);
  ASSERT_TRUE((os_->CreateDirTree(deep)).ok());
  const std::string file = deep + "\\file.txt";
  Write(file, "deep");
  // The same file by another spelling: the system does not normalise the
  // long form, the conversion must.
  std::string odd = deep + "/./x/../file.txt";
  FileStatus status;
  ASSERT_TRUE((Stat(*os_, odd, false, &status)).ok());
  EXPECT_EQ(4u, status.size);
  ASSERT_TRUE((CopyFile(*os_, odd, deep + "\\copy.txt", CopyMode::Replace)).ok());
  EXPECT_EQ("deep", Read(deep + "\\copy.txt"));
  std::vector<DirEntry> entries;
  ASSERT_TRUE((ListDir(*os_, deep, false, &entries)).ok());
  EXPECT_EQ((std::vector<std::string>{"copy.txt", "file.txt"}), Names(entries));
  std::string resolved;
  ASSERT_TRUE((os_->RealPath(odd, &resolved)).ok());
  EXPECT_TRUE(resolved.starts_with("\\\\?\\")) << resolved;  // too long to drop it
  // And through an open directory down there.
  std::unique_ptr<OsDir> dir;
  ASSERT_TRUE((os_->OpenDir(deep, false, &dir)).ok());
  ASSERT_TRUE((dir->CopyFile("file.txt", *dir, "again.txt", CopyMode::FailIfExists)).ok());
  ASSERT_TRUE((dir->MoveNoReplace("again.txt", *dir, "moved.txt")).ok());
  ASSERT_TRUE((dir->DeleteFile("moved.txt")).ok());
  dir.reset();
  ASSERT_TRUE((DeleteFile(*os_, file)).ok());
  ASSERT_TRUE((DeleteFile(*os_, deep + "\\copy.txt")).ok());
  ASSERT_TRUE((RemoveDir(*os_, deep)).ok());
  EXPECT_FALSE(Exists(deep));
}

// The codes Windows gives, and their kinds.
TEST_F(Win32OsTest, ErrorCodesAreWindowsOwn) {
  Write(At("file"), "x");
  Write(At("other"), "y");
  ASSERT_TRUE(CreateDirectoryW(Long(At("full")).c_str(), nullptr));
  Write(At("full\\inside"), "z");
  std::unique_ptr<OsDir> dir;
  ASSERT_TRUE((os_->OpenDir(root_, false, &dir)).ok());
  std::unique_ptr<OsDir> unused;
  FileStatus status;
  struct Case {
    const char* what;
    std::function<Status()> call;
    int code;
    ErrorKind kind;
  };
  const std::vector<Case> cases = {
      {"copy onto an existing file, fail-if-exists",
       [&] { return CopyFile(*os_, At("file"), At("other"), CopyMode::FailIfExists); }, 80, ErrorKind::kExists},
      {"staged copy placed onto an existing file, fail-if-exists",
       [&] {
         std::string temporary;
         if (Status code = dir->StageCopy("file", *dir, "other", &temporary); !code.ok()) return code;
         const Status code = dir->PlaceCopy(temporary, "other", CopyMode::FailIfExists);
         (void)dir->DeleteFile(temporary);
         return code;
       },
       183, ErrorKind::kExists},
      {"create an existing directory", [&] { return CreateDir(*os_, At("full")); }, 183, ErrorKind::kExists},
      {"move onto an existing name", [&] { return MoveNoReplace(*os_, At("file"), At("other")); }, 183,
       ErrorKind::kExists},
      {"missing file", [&] { return Stat(*os_, At("none"), false, &status); }, 2, ErrorKind::kNotFound},
      // A path is reached through its parent: a missing parent is a missing file.
      {"missing directory on the way", [&] { return Stat(*os_, At("none\\x"), false, &status); }, 2,
       ErrorKind::kNotFound},
      {"copy into a missing directory", [&] { return CopyFile(*os_, At("file"), At("none\\x"), CopyMode::Replace); }, 2,
       ErrorKind::kNotFound},
      {"open a file as a directory", [&] { return dir->OpenDir("file", &unused); }, 267, ErrorKind::kNotDirectory},
      {"remove a directory with entries", [&] { return dir->RemoveDir("full"); }, 145, ErrorKind::kNotEmpty},
      {"invalid UTF-8", [&] { return Stat(*os_, At("bad\xFF"), false, &status); }, 1113, ErrorKind::kOther},
      {"a stream name", [&] { return dir->StatAt("file:stream", &status); }, 123, ErrorKind::kInvalid},
      {"copy a directory", [&] { return CopyFile(*os_, At("full"), At("copy"), CopyMode::Replace); }, 336,
       ErrorKind::kOther},
      {"clone", [&] { return dir->CloneFile("file", *dir, "clone", FileStatus{}); }, 50, ErrorKind::kUnsupported},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Status code = c.call();
    EXPECT_EQ(c.code, code.code());
    EXPECT_EQ(c.kind, code.kind());
  }
  // Nothing was written by the failures.
  EXPECT_EQ("y", Read(At("other")));
  std::vector<DirEntry> entries;
  ASSERT_TRUE((dir->List(&entries)).ok());
  EXPECT_EQ((std::vector<std::string>{"file", "full", "other"}), Names(entries));
  // Every kind has a code of that kind.
  for (int k = 0; k <= static_cast<int>(ErrorKind::kOther); ++k) {
    EXPECT_EQ(static_cast<ErrorKind>(k), os_->Error(static_cast<ErrorKind>(k)).kind());
  }
  const std::string text = os_->ErrorText(os_->Error(2));
  EXPECT_FALSE(text.empty());
  EXPECT_NE('.', text.back()) << text;
  EXPECT_NE('\n', text.back()) << text;
}

TEST_F(Win32OsTest, ReadOnlyFilesRefuseDeletionAndReplacement) {
  if (ReadOnlyIsWritable(At("probe"))) {
    GTEST_SKIP() << "a read-only file is writable here (Wine run by root): access denied cannot "
                    "be shown";
  }
  Write(At("locked"), "keep");
  Write(At("new"), "new");
  ASSERT_TRUE((ChangeEntry(*os_, At("locked"), {.readOnly = true})).ok());
  EXPECT_EQ(5, DeleteFile(*os_, At("locked")).code());
  EXPECT_TRUE((os_->Access(At("locked"), 2)).Is(ErrorKind::kAccessDenied));
  EXPECT_EQ("keep", Read(At("locked")));
  ASSERT_TRUE((ChangeEntry(*os_, At("locked"), {.readOnly = false})).ok());
  EXPECT_TRUE((DeleteFile(*os_, At("locked"))).ok());
}

// A copy carries the attributes and all three times, to 100 ns.
TEST_F(Win32OsTest, CopyKeepsAttributesAndTimes) {
  Write(At("src"), "data");
  HANDLE h = CreateFileW(Long(At("src")).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  FILETIME written{0x12345671, 0x01D00000}, created{0x76543211, 0x01C00000};
  ASSERT_TRUE(SetFileTime(h, &created, &written, &written));
  CloseHandle(h);
  // Hidden first: Wine cannot add it to a read-only file for a user other
  // than root.
  ASSERT_TRUE(SetFileAttributesW(Long(At("src")).c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesW(Long(At("src")).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  FileStatus source, copy;
  ASSERT_TRUE((Stat(*os_, At("src"), false, &source)).ok());
  ASSERT_TRUE(source.attributes.hidden && source.attributes.readOnly);
  ASSERT_NE(0u, source.mtimeNsec % 1000);  // 100 ns kept
  for (CopyMode mode : {CopyMode::Replace, CopyMode::Unflushed}) {
    ASSERT_TRUE((CopyFile(*os_, At("src"), At("dst"), mode)).ok());
    ASSERT_TRUE((Stat(*os_, At("dst"), false, &copy)).ok());
    EXPECT_TRUE(copy.attributes.readOnly);
    EXPECT_TRUE(copy.attributes.hidden);
    EXPECT_EQ(0444u, copy.permissions);
    EXPECT_EQ(source.mtimeSec, copy.mtimeSec);
    EXPECT_EQ(source.mtimeNsec, copy.mtimeNsec);
    EXPECT_FALSE(copy.SameEntryAs(source));
    ASSERT_TRUE((ChangeEntry(*os_, At("dst"), {.readOnly = false})).ok());
  }
  // Wine ignores a creation time that is set; Windows keeps the source's.
  const std::int64_t createdSec =
      ((static_cast<std::int64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime) - 116444736000000000LL) /
      10'000'000;
  if (source.birthSec == createdSec) {
    EXPECT_EQ(createdSec, copy.birthSec);
    EXPECT_EQ(source.birthNsec, copy.birthNsec);
  } else {
    std::printf("[ note     ] the copy's creation time is its own here (Wine)\n");
  }
}

// An open directory keeps working on its directory, not on its old path.
TEST_F(Win32OsTest, OpenDirectoryFollowsItsDirectoryNotItsPath) {
  // Wine removes and renames entries by the path their directory was opened
  // by: once that is gone, those operations must fail (6) instead of acting
  // on the stranger now there. Windows works within the moved directory.
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  const int byPath = wine ? ERROR_INVALID_HANDLE : 0;
  ASSERT_TRUE(CreateDirectoryW(Long(At("d")).c_str(), nullptr));
  Write(At("d\\f"), "in d");
  Write(At("d\\gone"), "old");
  std::unique_ptr<OsDir> dir;
  ASSERT_TRUE((os_->OpenDir(At("d"), false, &dir)).ok());
  FileStatus before, after;
  ASSERT_TRUE((dir->Stat(&before)).ok());
  ASSERT_TRUE(MoveFileExW(Long(At("d")).c_str(), Long(At("moved")).c_str(), 0)) << GetLastError();
  // A stranger at the old path, with entries of the same names.
  ASSERT_TRUE(CreateDirectoryW(Long(At("d")).c_str(), nullptr));
  Write(At("d\\gone"), "stranger");
  Write(At("d\\f"), "stranger");

  ASSERT_TRUE((dir->Stat(&after)).ok());
  EXPECT_TRUE(after.SameEntryAs(before));
  EXPECT_EQ(byPath, dir->CopyFile("f", *dir, "g", CopyMode::Replace).code());
  EXPECT_EQ(byPath, dir->CopyFile("f", *dir, "u", CopyMode::Unflushed).code());
  ASSERT_TRUE((dir->CreateDir("sub")).ok());
  std::string temporary;
  const Status staged = dir->StageCopy("f", *dir, "h", &temporary);
  EXPECT_EQ(byPath, staged.code());
  if (staged.ok()) {
    EXPECT_TRUE((dir->PlaceCopy(temporary, "h", CopyMode::FailIfExists)).ok());
  }
  EXPECT_EQ(byPath, dir->MoveNoReplace("f", *dir, "f2").code());
  EXPECT_EQ(byPath, dir->DeleteFile("gone").code());
  EXPECT_EQ(byPath, dir->RemoveDir("sub").code());
  ASSERT_TRUE((dir->ChangeEntry("sub", {.readOnly = true})).ok());
  ASSERT_TRUE((dir->ChangeEntry("sub", {.readOnly = false})).ok());
  std::vector<DirEntry> entries;
  ASSERT_TRUE((dir->List(&entries)).ok());
  const std::vector<std::string> expected =
      wine ? std::vector<std::string>{"f", "gone", "sub"} : std::vector<std::string>{"f2", "g", "h", "u"};
  EXPECT_EQ(expected, Names(entries));
  if (!wine) {
    EXPECT_EQ("in d", Read(At("moved\\h")));
  }
  // The stranger is untouched whatever happened.
  std::vector<DirEntry> stranger;
  ASSERT_TRUE((ListDir(*os_, At("d"), false, &stranger)).ok());
  EXPECT_EQ((std::vector<std::string>{"f", "gone"}), Names(stranger));
  EXPECT_EQ("stranger", Read(At("d\\gone")));
  EXPECT_EQ("stranger", Read(At("d\\f")));
  // Refusals of a flush count as done (see the implementation); a real
  // failure would not.
  EXPECT_TRUE((dir->Sync()).ok());
  EXPECT_TRUE((dir->SyncFileSystem()).ok());
}

// A reparse point is a link: listed as one, never entered, removed itself.
TEST_F(Win32OsTest, ReparsePointsAreLinksNeverFollowed) {
  ASSERT_TRUE(CreateDirectoryW(Long(At("target")).c_str(), nullptr));
  Write(At("target\\kept"), "kept");
  CreateSymbolicLinkW(Long(At("link")).c_str(), Long(At("target")).c_str(),
                      SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  if (!Exists(At("link")) || !(Attributes(At("link")) & FILE_ATTRIBUTE_REPARSE_POINT)) {
    GTEST_SKIP() << "no symbolic link could be made here (Wine makes none; Windows needs the "
                    "privilege or developer mode)";
  }
  std::unique_ptr<OsDir> dir, through;
  ASSERT_TRUE((os_->OpenDir(root_, false, &dir)).ok());
  std::vector<DirEntry> entries;
  ASSERT_TRUE((dir->List(&entries)).ok());
  bool listed = false;
  for (const DirEntry& entry : entries) {
    if (entry.name != "link") continue;
    listed = true;
    EXPECT_EQ(EntryKind::Symlink, entry.status.kind);
    EXPECT_TRUE(entry.status.linkToDirectory);
  }
  EXPECT_TRUE(listed);
  EXPECT_EQ(681, dir->OpenDir("link", &through).code());
  EXPECT_TRUE((dir->RemoveDir("link")).Is(ErrorKind::kNotDirectory));
  EXPECT_TRUE((os_->OpenDir(At("link"), false, &through)).Is(ErrorKind::kNotDirectory));
  ASSERT_TRUE((os_->OpenDir(At("link"), true, &through)).ok());  // a path the user named
  const Status copied = dir->CopyFile("link", *dir, "link2", CopyMode::Replace);
  if (copied.ok()) {
    FileStatus status;
    ASSERT_TRUE((dir->StatAt("link2", &status)).ok());
    EXPECT_EQ(EntryKind::Symlink, status.kind);
    EXPECT_TRUE((dir->DeleteFile("link2")).ok());
  } else {
    EXPECT_EQ(1314, copied.code());
  }
  ASSERT_TRUE((dir->DeleteFile("link")).ok());
  EXPECT_FALSE(Exists(At("link")));
  EXPECT_EQ("kept", Read(At("target\\kept")));
}

// Nobody else opens an exclusively opened file; its opener renames and
// deletes it by path.
TEST_F(Win32OsTest, ExclusiveFileIsRefusedToOthersNotToItsOpener) {
  std::unique_ptr<OsFile> file, second;
  ASSERT_TRUE((os_->OpenExclusive(At("log"), &file)).ok());
  ASSERT_TRUE((file->Append("line\r\n")).ok());
  EXPECT_EQ(32, os_->OpenExclusive(At("log"), &second).code());
  EXPECT_TRUE(os_->Error(32).Is(ErrorKind::kLocked));
  HANDLE reader =
      CreateFileW(Long(At("log")).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(INVALID_HANDLE_VALUE, reader);
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  ASSERT_TRUE((MoveNoReplace(*os_, At("log"), At("log.old"))).ok());
  ASSERT_TRUE((file->Append("more")).ok());
  std::string content;
  ASSERT_TRUE((file->ReadAt(0, 100, &content)).ok());
  EXPECT_EQ("line\r\nmore", content);
  ASSERT_TRUE((DeleteFile(*os_, At("log.old"))).ok());
  file.reset();
  EXPECT_FALSE(Exists(At("log.old")));
  // An existing file is opened, not truncated.
  Write(At("kept"), "old");
  ASSERT_TRUE((os_->OpenExclusive(At("kept"), &file)).ok());
  std::uint64_t size = 0;
  ASSERT_TRUE((file->Size(&size)).ok());
  EXPECT_EQ(3u, size);
}

TEST_F(Win32OsTest, DirectoryLockAndScratchFile) {
  std::unique_ptr<OsDir> first, second;
  ASSERT_TRUE((os_->OpenDir(root_, false, &first)).ok());
  ASSERT_TRUE((os_->OpenDir(root_ + "\\.", false, &second)).ok());
  ASSERT_TRUE((first->Lock(".lock")).ok());
  EXPECT_EQ(33, second->Lock(".lock").code());
  first.reset();
  EXPECT_TRUE((second->Lock(".lock")).ok());

  std::unique_ptr<OsFile> scratch;
  ASSERT_TRUE((os_->OpenScratchFile(&scratch)).ok());
  ASSERT_TRUE((scratch->Append(std::string(3 << 20, 's'))).ok());
  std::string back;
  ASSERT_TRUE((scratch->ReadAt((3 << 20) - 2, 10, &back)).ok());
  EXPECT_EQ("ss", back);
}

// A hard link names the file that was checked, and a copy that may not
// write into an existing entry leaves the other names of that entry alone.
TEST_F(Win32OsTest, HardLinksNameTheCheckedFileAndKeepTheirContent) {
  Write(At("a"), "shared");
  Write(At("other"), "other");
  Write(At("new"), "new content");
  std::unique_ptr<OsDir> dir;
  ASSERT_TRUE((os_->OpenDir(root_, false, &dir)).ok());
  FileStatus a, other, linked;
  ASSERT_TRUE((dir->StatAt("a", &a)).ok());
  ASSERT_TRUE((dir->StatAt("other", &other)).ok());
  EXPECT_EQ(1006, dir->LinkFile("other", *dir, "b", a).code());  // not the file the caller saw
  EXPECT_EQ(ErrorKind::kChanged, os_->Error(1006).kind());
  EXPECT_FALSE(Exists(At("b")));
  ASSERT_TRUE((dir->LinkFile("a", *dir, "b", a)).ok());
  ASSERT_TRUE((dir->StatAt("b", &linked)).ok());
  EXPECT_TRUE(linked.SameEntryAs(a));
  EXPECT_EQ(2u, linked.links);
  EXPECT_EQ(183, dir->LinkFile("a", *dir, "other", a).code());
  ASSERT_TRUE((dir->CopyFile("new", *dir, "b", CopyMode::Unflushed)).ok());
  EXPECT_EQ("new content", Read(At("b")));
  EXPECT_EQ("shared", Read(At("a")));
  ASSERT_TRUE((CopyFile(*os_, At("new"), At("a"), CopyMode::Replace)).ok());
  EXPECT_EQ("new content", Read(At("a")));
  EXPECT_EQ("other", Read(At("other")));
}

// Windows' conventions, and text from the system as UTF-8.
TEST_F(Win32OsTest, ConventionsAndProcessText) {
  EXPECT_EQ('\\', os_->Separator());
  EXPECT_EQ('/', Conventions::Native().optionChar);
  EXPECT_EQ("\r\n", Conventions::Native().lineEnd);
  const std::string value = "値 \xF0\x9F\x98\x80 ﾃｽﾄ";
  ASSERT_TRUE(SetEnvironmentVariableW(L"VELDAR2_TEST_VALUE", Wide(value).c_str()));
  EXPECT_EQ(value, os_->GetEnv("VELDAR2_TEST_VALUE").value_or("<unset>"));
  ASSERT_TRUE(SetEnvironmentVariableW(L"VELDAR2_TEST_VALUE", nullptr));
  EXPECT_FALSE(os_->GetEnv("VELDAR2_TEST_VALUE").has_value());
  // The C runtime here is msvcrt: the fields the log writes must work.
  const std::string time = FormatLocalTime(os_->Now(), "%Y/%m/%d %H:%M:%S");
  EXPECT_EQ(19u, time.size()) << time;
  std::string resolved;
  ASSERT_TRUE((os_->RealPath(root_ + "\\.\\x\\..", &resolved)).ok());
  EXPECT_FALSE(resolved.starts_with("\\\\?\\")) << resolved;  // short enough without it
  EXPECT_TRUE(os_->Paths().IsAbsolute(resolved)) << resolved;
}

// A temporary name is abandoned only when its writer is gone.
TEST_F(Win32OsTest, AbandonedTemporaryNamesNameAFinishedWriter) {
  // Windows process ids are multiples of 4; this one names no process.
  const DWORD gone = 99999996;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, gone);
  ASSERT_EQ(nullptr, process);
  const std::string mine = std::to_string(GetCurrentProcessId());
  struct Case {
    std::string name;
    bool abandoned;
  };
  const std::vector<Case> cases = {
      {".~file.txt." + std::to_string(gone) + "-0badcafe-7.tmp", true},
      {".~file.txt." + mine + "-0badcafe-7.tmp", false},
      {".~file.txt." + std::to_string(gone) + "-0badcafe-7.txt", false},
      {".~file.txt." + std::to_string(gone) + "-BADCAFE-7.tmp", false},
      {"file.txt", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.abandoned, os_->IsAbandonedTemporary(c.name)) << c.name;
  // The names the copy itself leaves behind parse.
  std::unique_ptr<OsDir> dir;
  ASSERT_TRUE((os_->OpenDir(root_, false, &dir)).ok());
  Write(At("f"), "x");
  std::string temporary;
  ASSERT_TRUE((dir->StageCopy("f", *dir, "g", &temporary)).ok());
  EXPECT_TRUE(temporary.starts_with(".~g." + mine + "-")) << temporary;
  EXPECT_FALSE(os_->IsAbandonedTemporary(temporary));
}

}  // namespace
}  // namespace veldar
