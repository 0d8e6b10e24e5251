// Races against another user who keeps swapping a directory of the tree for a
// link to somewhere else while the engine copies or deletes the tree: the
// walk must never act outside the trees it was given, however the swaps fall.
//
// The swapper is a separate process, run as "nobody" when the test runs as
// root (the case that matters: root backing up a user's tree), exchanging a
// directory with a link (renameat2 RENAME_EXCHANGE, so there is always one or
// the other) as fast as it can. Outside the trees lie canary files, readable
// by root only. Each round builds fresh trees; VELDAR2_RACE_ROUNDS sets the
// number of rounds per case (a few dozen by default, to keep the suite fast).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "testing/fault_injector.h"
#include "tests/engine_fixture.h"
#include "tests/test_util.h"
#include "tests/tree_snapshot.h"

namespace veldar {
namespace {

using testing::Exists;
using testing::ListNames;
using testing::ReadFile;
using testing::WriteFile;

constexpr uid_t kNobody = 65534;
constexpr int kSubdirs = 4, kFiles = 15;

int Rounds() {
  const char* set = std::getenv("VELDAR2_RACE_ROUNDS");
  return set != nullptr && std::atoi(set) > 0 ? std::atoi(set) : 40;
}

// a/b/c<k>/f<j> under `top`, each file holding `content`.
void BuildChain(const std::string& top, const std::string& content) {
  for (int k = 0; k < kSubdirs; ++k) {
    for (int j = 0; j < kFiles; ++j) {
      WriteFile(top + "/a/b/c" + std::to_string(k) + "/f" + std::to_string(j), content);
    }
  }
}

// The files under `top` (depth first, by descriptors) whose content is
// `content`, and the number of files.
void Scan(const std::string& top, const std::string& content, int* matching, int* files) {
  for (const std::string& name : ListNames(top)) {
    const std::string path = top + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      Scan(path, content, matching, files);
    } else if (S_ISREG(st.st_mode)) {
      ++*files;
      if (ReadFile(path) == content) ++*matching;
    }
  }
}

// Exchanges `a` and `b` (a directory and a link) until stopped, counting
// the exchanges in `*swaps` (memory shared with the test).
class Swapper {
 public:
  Swapper(const std::string& a, const std::string& b, std::atomic<long>* swaps) {
    pid_ = fork();
    if (pid_ == 0) {
      if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(1);
      for (;;) {
        if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) ++*swaps;
      }
    }
  }
  ~Swapper() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
};

class RaceTest : public ::testing::Test, protected testing::EngineServices<> {
 protected:
  RaceTest() {
    // The swapper, as nobody, must reach the trees and rename in them; the
    // canaries stay root's own.
    chmod(dir.path().c_str(), 0755);
    BuildChain(dir / "outside", "CANARY");
    chmod((dir / "outside").c_str(), 0700);
    environment.logDirOverride = dir / "log/";
    engine.noMessage = 1;
    void* shared = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    swaps = new (shared) std::atomic<long>(0);
  }
  ~RaceTest() override { munmap(swaps, sizeof(std::atomic<long>)); }

  void Report(const char* what) {
    std::printf("%s: %d rounds, %ld swaps during the walks, %d rounds met a swapped link\n", what, Rounds(),
                swaps->load(), met);
  }

  // A fresh round directory with a link "spare/a" to the canaries; `a` is
  // the directory the swapper exchanges with it.
  std::string Round() {
    const std::string top = dir / ("round" + std::to_string(rounds_++));
    testing::MakeDirs(top + "/spare");
    EXPECT_EQ(symlink((dir / "outside/a").c_str(), (top + "/spare/a").c_str()), 0);
    return top;
  }
  static void GiveToSwapper(const std::string& top, const std::string& parent, const std::string& name) {
    if (geteuid() == 0) {
      for (const std::string& path : {parent, parent + "/" + name, top + "/spare"}) {
        if (Exists(path)) {
          EXPECT_EQ(lchown(path.c_str(), kNobody, kNobody), 0) << path;
        }
      }
    }
  }
  void ExpectCanariesIntact() {
    int canaries = 0, files = 0;
    Scan(dir / "outside", "CANARY", &canaries, &files);
    EXPECT_EQ(canaries, kSubdirs * kFiles);
    EXPECT_EQ(files, kSubdirs * kFiles);
  }
  // Counts the round in `met` when the walk found a link where it had listed
  // a directory.
  void CountMet() {
    bool found = false;
    for (const FaultInjector::Call& call : fault.calls) {
      found = found || (call.op == OsOp::OpenDir && (call.result.code() == ELOOP || call.result.code() == ENOTDIR));
    }
    met += found;
    fault.calls.clear();
  }

  // Rounds of: `prepare` in a fresh round directory, then `run` while the
  // swapper exchanges "<swapped>/<name>" with a link to the canaries (as
  // soon as both exist); then no canary may be gone, changed, or found inside
  // the round's trees. What `run` returns is the race's to decide, and
  // passed over.
  // With `partner`, the swapper uses a link of that name beside
  // "<swapped>/<name>" instead of "spare/a" (a directory of root's can be
  // swapped within its parent by whoever may write the parent, but not
  // moved to another).
  template <typename Prepare, typename Run>
  void Race(const char* what, const std::string& swapped, Prepare prepare, Run run, const std::string& name = "a",
            const std::string& partner = "") {
    for (int round = 0; round < Rounds(); ++round) {
      const std::string top = Round();
      prepare(top);
      std::string link = top + "/spare/a";
      if (!partner.empty()) {
        link = top + "/" + swapped + "/" + partner;
        EXPECT_EQ(symlink((dir / "outside/a").c_str(), link.c_str()), 0);
        if (geteuid() == 0) {
          EXPECT_EQ(lchown(link.c_str(), kNobody, kNobody), 0);
        }
      }
      GiveToSwapper(top, top + "/" + swapped, name);
      {
        Swapper swapper(top + "/" + swapped + "/" + name, link, swaps);
        run(top);
      }
      CountMet();
      ExpectCanariesIntact();
      int leaked = 0, files = 0;
      Scan(top, "CANARY", &leaked, &files);
      EXPECT_EQ(leaked, 0) << "round " << round;
      if (HasFailure()) return;
    }
    Report(what);
  }

  std::atomic<long>* swaps = nullptr;
  int met = 0;      // rounds in which the walk found a link where it had listed a directory
  int rounds_ = 0;  // round directories made so far
  testing::FastTempDir dir;
};

// Deleting an old generation: nothing outside it goes.
TEST_F(RaceTest, DeletionNeverLeavesTheTree) {
  Race(
      "deletion", "gen", [](const std::string& top) { BuildChain(top + "/gen", "old copy"); },
      [&](const std::string& top) { (void)engine.DeleteDirContents(top + "/gen"); });
}

// Copying a tree whose owner swaps part of it for a link to root's files:
// none of them reaches the copy.
TEST_F(RaceTest, CopyNeverTakesWhatLiesOutsideTheSource) {
  Race(
      "copy from a swapped source", "src",
      [](const std::string& top) {
        BuildChain(top + "/src", "plain");
        testing::MakeDirs(top + "/copy");
      },
      [&](const std::string& top) { (void)engine.MirrorDir(top + "/src", top + "/copy"); });
}

// Updating an existing copy whose directory is swapped for a link: nothing
// is written or deleted outside the copy.
TEST_F(RaceTest, UpdateNeverWritesOutsideTheCopy) {
  Race(
      "copy into a swapped copy", "copy",
      [](const std::string& top) {
        BuildChain(top + "/src", "new content");
        BuildChain(top + "/copy", "old");
        WriteFile(top + "/copy/a/b/c0/vanished", "x");
      },
      [&](const std::string& top) { (void)engine.MirrorDir(top + "/src", top + "/copy"); });
}

// Root's backup into a directory another user may write, who keeps swapping
// the run's working directory (one of their own, or the one the run made)
// for a link to root's files: the run mirrors, with force and deletion,
// only into a directory it made itself and holds open.
TEST_F(RaceTest, WorkingDirectoryIsNeverAnotherUsersOrALink) {
  engine.sourcePath = dir / "src/docs";
  BuildChain(engine.sourcePath, "plain");
  engine.generationCount = 3;
  for (const bool planted : {true, false}) {
    Race(
        planted ? "working directory planted by another user" : "working directory made by the run", "bk",
        [&](const std::string& top) {
          testing::MakeDirs(top + "/bk");
          if (planted) BuildChain(top + "/bk/.docs.veldar2-new", "planted");
          engine.backupDir = top + "/bk";
        },
        [&](const std::string&) { (void)engine.Backup(); }, ".docs.veldar2-new", ".spare");
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace veldar
