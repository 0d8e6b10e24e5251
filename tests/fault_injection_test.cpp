// Runs broken on purpose: a backup killed after each of its changes in turn,
// the power cut after each of its changes in turn, and a backup whose Nth
// change fails with each of the errors a full, broken, read-only or forbidden
// disk gives. After every break, each copy under a
// final name is either its old self or a complete new one, no good
// generation beyond the one being replaced is gone, and a run without faults
// brings everything back in line with the source.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>

#include "app/app.h"
#include "testing/fake_disk.h"
#include "testing/fake_environment.h"
#include "testing/fault_injector.h"
#include "tests/power_cut.h"
#include "tests/test_util.h"
#include "tests/tree_snapshot.h"

namespace veldar {
namespace {

using testing::DirNode;
using testing::FileNode;
using testing::LinkNode;
using testing::ListNames;
using testing::ReadFile;
using testing::Tree;
using testing::TreeDiff;

constexpr std::int64_t kOld = 1'600'000'000;
constexpr std::int64_t kNew = 1'650'000'000;

// The source as an older generation saw it; `version` tells generations apart.
Tree OldDocs(int version) {
  const std::string v = std::to_string(version);
  return {
      {"changed.txt", FileNode("changed, version " + v, kOld + version)},
      {"same.txt", FileNode("same", kOld)},
      {"gone.txt", FileNode("gone", kOld)},
      {"olddir", DirNode()},
      {"olddir/a.txt", FileNode("a", kOld)},
      {"olddir/sub", DirNode()},
      {"olddir/sub/b.txt", FileNode("b", kOld)},
      {"link", LinkNode("same.txt", kOld)},
      {"relinked", LinkNode("gone.txt", kOld)},
      {"kind", FileNode("a file, later a directory", kOld)},
      {"kind2", DirNode()},
      {"kind2/x.txt", FileNode("x", kOld)},
      {"ro.txt", FileNode("read-only, version " + v, kOld + version, 0444)},
      {"private.txt", FileNode("readable by all, version " + v, kOld + version, 0644)},
  };
}

// The source now: every kind of change against OldDocs.
Tree NewDocs() {
  return {
      {"changed.txt", FileNode("changed, the new and longer version", kNew)},
      {"same.txt", FileNode("same", kOld)},
      {"new.txt", FileNode("new", kNew)},
      {"newdir", DirNode()},
      {"newdir/inner.txt", FileNode("inner", kNew)},
      {"link", LinkNode("new.txt", kNew)},
      {"newlink", LinkNode("changed.txt", kNew)},
      // Made again with a text of the same length and its old time.
      {"relinked", LinkNode("same.txt", kOld)},
      {"kind", DirNode()},
      {"kind/f.txt", FileNode("f", kNew)},
      {"kind2", FileNode("a directory, now a file", kNew)},
      {"ro.txt", FileNode("read-only, new", kNew, 0444)},
      {"private.txt", FileNode("now for the owner only", kNew, 0600)},
  };
}

std::string OldReport(int slot) { return "report, version " + std::to_string(slot); }
const std::string kNewReport = "report, the new version";

// Counts the changes a run makes (the log's own files aside) and breaks the
// one numbered `breakAt`: kills the process before or after it (with `cut`,
// first leaving on disk what a power cut at that moment would), or fails it
// with `failCode`. A sticky failure also fails every later attempt of the same
// operation on the same paths, so that retries cannot paper over it.
// The disk and the environment a run of the program is given (the base
// classes are made in this order: the fakes before the injector over them).
struct StepFakes {
  explicit StepFakes(Os& real) : disk(real), environment(disk) {}
  FakeDisk disk;
  FakeEnvironment environment;
};

class StepOs : public StepFakes, public FaultInjector {
 public:
  explicit StepOs(Os& real) : StepFakes(real), FaultInjector(environment) {}
  enum class Crash { kNone, kBefore, kAfter };

  int steps = 0;
  int breakAt = 0;
  Crash crash = Crash::kNone;
  int failCode = 0;
  bool sticky = false;
  bool fired = false;
  OsOp firedOp = OsOp::CopyFile;
  std::string firedPath, firedPath2;
  testing::PowerCut* cut = nullptr;  // told of every change; cuts at the break
  testing::PowerCut::Policy policy;

  Status Perform(OsOp op, const std::string& path, const std::string& path2,
                 const std::function<Status()>& real) override {
    if (!ChangesFileSystem(op)) return FaultInjector::Perform(op, path, path2, real);
    int step = 0;
    if (int code = Enter(op, path, path2, &step)) return Error(code);
    const Status result = FaultInjector::Perform(op, path, path2, real);
    if (cut != nullptr && step != 0) cut->After(op, path, path2, copyMode);
    Leave(step);
    return result;
  }

 private:
  int Enter(OsOp op, const std::string& path, const std::string& path2, int* step) {
    const std::string& logDir = environment.logDirOverride;
    if (!logDir.empty() && path.starts_with(logDir)) return 0;
    *step = ++steps;
    if (*step == breakAt) {
      if (crash == Crash::kBefore) Die();
      if (failCode != 0) {
        fired = true;
        firedOp = op;
        firedPath = path;
        firedPath2 = path2;
        return failCode;
      }
    }
    if (fired && sticky && op == firedOp && path == firedPath && path2 == firedPath2) return failCode;
    return 0;
  }
  void Leave(int step) {
    if (step != 0 && step == breakAt && crash == Crash::kAfter) Die();
  }
  void Die() {
    if (cut != nullptr) cut->Cut(policy);
    raise(SIGKILL);
  }
};

// Where a run starts from: the kind of source, the count, and the slots of
// the generations already there, oldest first. A count of 1 mirrors straight
// into a backup directory that holds OldDocs(1).
struct Scenario {
  const char* label;
  bool fileSource;
  int count;
  std::vector<int> slots;
  // An interrupted run left its working directory, holding part of the
  // source as it is now.
  bool carriedOn = false;
  // How unchanged files are shared with the newest generation: hard links
  // (-LINK), or clones (the double makes them where the disk cannot).
  bool link = false;
  bool clone = false;
  // The file system cannot swap two directories in one step (Windows).
  bool noExchange = false;
  // Nor rename without replacing (FUSE media, network clients): the
  // double refuses both flags, as the system does there.
  bool noRenameFlags = false;
  // Nor keep what a renamed directory holds (fusefat): generations are built
  // and deleted under their own names, marked meanwhile.
  bool inPlace = false;
  // -RESTORE1 of a generation holding the source as it is now into a
  // restore directory holding OldDocs(1) (the slots then name generations
  // that all hold the source as it is now).
  bool restore = false;

  // The tree the run changes is one straight copy: a mirror into the backup
  // directory, or a restore into the restore directory.
  bool Mirror() const { return restore || (!fileSource && count <= 1); }
  int Present() const { return static_cast<int>(slots.size()); }
  // How many of the oldest generations the run may replace or delete.
  int MayGo() const { return Present() >= count ? Present() - count + 1 : 0; }
  std::string Name(int slot) const {
    return fileSource ? "report_" + std::to_string(slot) + ".doc_" : "docs_" + std::to_string(slot);
  }
  // The mark that the directory under a generation's name is no generation.
  static std::string MarkOf(const std::string& name) { return "." + name + ".veldar2-part"; }
  // The slot of a generation name, 0 for any other name.
  int SlotOf(const std::string& name) const {
    for (int slot = 1; slot <= 98; ++slot) {
      if (name == Name(slot)) return slot;
    }
    return 0;
  }
};

const Scenario kRecycle{"recycle the oldest", false, 3, {2, 3, 1}};
const Scenario kNewName{"new name", false, 3, {3, 1}};
const Scenario kSurplus{"count lowered", false, 2, {1, 3, 2}};
const Scenario kMirror{"mirror straight", false, 1, {}};
const Scenario kFile{"file source", true, 2, {1, 3, 2}};
const Scenario kCarriedOn{"carried-on working directory", false, 3, {1, 2}, true};
const Scenario kRecycleLinked{"recycle, -LINK", false, 3, {2, 3, 1}, false, true};
const Scenario kRecycleCloned{"recycle, cloned", false, 3, {2, 3, 1}, false, false, true};
const Scenario kCarriedOnLinked{"carried on, -LINK", false, 3, {1, 2}, true, true};
const Scenario kCarriedOnCloned{"carried on, cloned", false, 3, {1, 2}, true, false, true};
const Scenario kRecycleNoExchange{"recycle without a swap", false, 3, {2, 3, 1}, false, false, false, true};
const Scenario kRecycleNoFlags{"recycle without rename flags", false, 3, {2, 3, 1}, false, false, false, false, true};
const Scenario kNewNameNoFlags{"new name without rename flags", false, 3, {3, 1}, false, false, false, false, true};
const Scenario kSurplusNoFlags{
    "count lowered without rename flags", false, 2, {1, 3, 2}, false, false, false, false, true};
const Scenario kRecycleInPlace{"recycle, built in place", false, 3, {2, 3, 1}, false, false, false, false, true, true};
const Scenario kSurplusInPlace{
    "count lowered, built in place", false, 2, {1, 3, 2}, false, false, false, false, true, true};
const Scenario kRestore{"restore over an older tree", false, 3, {1}, false, false, false, false, false, false, true};

struct Outcome {
  int status = -1;
  int failures = 0;
  std::vector<std::string> shown;
  std::string err;
  std::string report;  // what the run last told of a failure
};

// Entries of `got` that are in none of `from` (kind, content, link text), as
// text; temporary copies are let through when `tempAllowed`.
std::string EntriesNotFrom(const Tree& got, const std::vector<const Tree*>& from, bool tempAllowed) {
  std::string wrong;
  for (const auto& [path, node] : got) {
    const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (testing::IsTempName(name)) {
      if (!tempAllowed) wrong += "temporary file " + path + "\n";
      continue;
    }
    bool found = false;
    for (const Tree* tree : from) {
      auto it = tree->find(path);
      found = found || (it != tree->end() && it->second.kind == node.kind &&
                        (node.kind == testing::Node::kDir || it->second.data == node.data));
    }
    if (!found) wrong += path + " is in neither version\n";
  }
  return wrong;
}

// A source, and fresh backup directories in a scenario's starting state.
class Bench {
 public:
  explicit Bench(const Scenario& scenario) : scenario_(scenario) {
    if (scenario.fileSource) {
      source = root / "src/report.doc";
      testing::WriteFile(source, kNewReport);
      testing::SetMtime(source, kNew);
    } else {
      source = root / "src/docs";
      testing::BuildTree(source, NewDocs());
    }
  }

  // `count` new directories, each holding "backup" in the starting state and
  // an empty log directory. Generations are made oldest first, each on a
  // later tick of the file system's clock than the one before, and the run
  // to come is later still.
  std::vector<std::string> Prepare(int count) {
    std::vector<std::string> sets;
    for (int i = 0; i < count; ++i) {
      sets.push_back(root / ("set" + std::to_string(next_++)));
      testing::MakeDirs(sets.back() + "/backup");
      if (scenario_.Mirror()) testing::BuildTree(Copy(sets.back()), OldDocs(1));
    }
    for (int slot : scenario_.slots) {
      for (const std::string& set : sets) {
        const std::string path = set + "/backup/" + scenario_.Name(slot);
        if (scenario_.restore) {
          testing::BuildTree(path, NewDocs());
        } else if (scenario_.fileSource) {
          testing::WriteFile(path, OldReport(slot));
        } else {
          testing::BuildTree(path, OldDocs(slot));
        }
      }
      testing::WaitForNewTimestamps();
    }
    if (scenario_.Mirror()) testing::WaitForNewTimestamps();
    if (scenario_.carriedOn) {
      // Begun after every generation there is, as the run it stands for was.
      const Tree now = NewDocs();
      Tree part;
      for (const char* path : {"same.txt", "new.txt", "newdir", "newdir/inner.txt"}) {
        part[path] = now.at(path);
      }
      for (const std::string& set : sets) {
        testing::BuildTree(set + "/backup/.docs.veldar2-new", part);
      }
      testing::WaitForNewTimestamps();
    }
    return sets;
  }

  // A batch run of the program on `set`, as the command line starts it.
  Outcome Run(StepOs& os, const std::string& set, bool noMessage) {
    os.environment.logDirOverride = set + "/log/";
    testing::RecordingMessages messages;
    testing::MemorySettings settings;
    CVELDAR2App app(os, messages, settings);
    if (scenario_.clone) os.disk.canClone = true;
    if (scenario_.noExchange) os.FailAt(OsOp::Exchange, "", os.Error(ErrorKind::kUnsupported));
    os.disk.renameFlagsRefused = scenario_.noRenameFlags;
    if (scenario_.noRenameFlags || scenario_.inPlace) {
      // The run's probe finds that the medium refuses them, as it does there.
      auto system = MakeSystemOs();
      std::unique_ptr<OsDir> dir;
      MediumTraits traits;
      if (system->OpenDir(set, /*followLink=*/true, &dir).ok() && dir->ProbeMedium(&traits).ok()) {
        traits.renameNoReplace = traits.exchange = false;
        traits.renameKeepsContents = !scenario_.inPlace;
        os.disk.medium = traits;
      }
    }
    std::vector<std::string> arguments = {scenario_.restore ? "-RESTORE1" : "-M" + std::to_string(scenario_.count)};
    if (noMessage) arguments.push_back("-NOMSG");
    if (scenario_.link) arguments.push_back("-LINK");
    arguments.push_back(source);
    arguments.push_back(set + "/backup");
    if (scenario_.restore) arguments.push_back(set + "/restore");
    std::ostringstream out, err;
    Outcome outcome;
    outcome.status = app.InitInstance(arguments, out, err);
    outcome.failures = app.outcome.failures;
    outcome.shown = messages.shown;
    outcome.err = err.str();
    outcome.report = app.outcome.report.text;
    return outcome;
  }

  // The changes an unbroken run makes from the starting state.
  int MeasureSteps() {
    const std::string set = Prepare(1)[0];
    auto real = MakeSystemOs();
    StepOs os(*real);
    const Outcome outcome = Run(os, set, false);
    EXPECT_EQ(outcome.status, kExitSuccess) << outcome.err;
    ExpectConverged(set, true, StartingState());
    std::filesystem::remove_all(set);
    return os.steps;
  }

  // What a run that was stopped (`crashed`: killed) may leave behind, also
  // one that went on past failures (-NOMSG): a generation's name holds its
  // old copy or a complete new one, never a copy that lacks what failed, and
  // there are never fewer of them than before.
  // `kept` (oldest first) are the slots of the old generations that must
  // still be there unchanged; `mayGo` of them, the oldest, may be replaced.
  // Returns the slots of the old generations still unchanged, oldest first.
  std::vector<int> ExpectSafe(const std::string& set, bool crashed, const std::vector<int>& kept, int mayGo) {
    const std::string backup = set + "/backup";
    // A killed run leaves its lock file, which the next run takes over.
    auto leftLock = [&](const std::string& name) { return crashed && name == BackupRun::kLockFileName; };
    if (scenario_.Mirror()) {
      const Tree old = OldDocs(1), now = NewDocs();
      // A break may leave the new manifest half written under its own name,
      // which is never taken for the manifest.
      auto leftOwn = [&](const std::string& name) { return leftLock(name) || name == ".veldar2-manifest-new"; };
      EXPECT_EQ(EntriesNotFrom(testing::Without(testing::ReadTree(Copy(set)), leftOwn), {&old, &now}, crashed), "");
      // The mirror changes in place: its manifest goes first and comes back
      // once it is done, so it is either gone or true, never stale.
      const std::string problems = testing::ManifestProblems(Copy(set));
      EXPECT_TRUE(problems.empty() || problems == "no manifest") << problems;
      return {};
    }
    // Every entry of the backup directory, read once; a file generation as a
    // tree of one entry.
    std::map<std::string, Tree> found;
    for (const std::string& name : ListNames(backup)) {
      if (leftLock(name)) continue;
      const std::string path = backup + "/" + name;
      found[name] = scenario_.fileSource ? Tree{{"", FileNode(ReadFile(path), 0)}} : testing::ReadTree(path);
    }
    const Tree now = NewDocs();
    auto isNew = [&](const Tree& got) {
      return scenario_.fileSource ? got.at("").data == kNewReport : TreeDiff(now, got).empty();
    };
    auto isOld = [&](int slot, const Tree& got) {
      return scenario_.fileSource ? got.at("").data == OldReport(slot) : TreeDiff(OldDocs(slot), got).empty();
    };

    int named = 0;  // complete generations under generation names, old or new
    for (const auto& [name, got] : found) {
      const int slot = scenario_.SlotOf(name);
      if (slot != 0 && found.count(Scenario::MarkOf(name))) {
        // Marked: being built or deleted under its name, and no generation.
        // A power cut may leave anything in it, as in a working directory.
        const Tree old = OldDocs(slot);
        const bool wasThere = std::count(scenario_.slots.begin(), scenario_.slots.end(), slot) > 0;
        if (!powerCut) {
          EXPECT_EQ(EntriesNotFrom(
                        got, wasThere ? std::vector<const Tree*>{&old, &now} : std::vector<const Tree*>{&now}, crashed),
                    "")
              << name;
        }
      } else if (name.starts_with(".docs_") && name.ends_with(".veldar2-part")) {
        // A mark whose directory has not been made yet, or is gone.
        EXPECT_TRUE(scenario_.inPlace && crashed) << name;
      } else if (slot != 0) {
        const bool wasThere = std::count(scenario_.slots.begin(), scenario_.slots.end(), slot) > 0;
        if (isNew(got) || (wasThere && isOld(slot, got))) {
          ++named;
          // A new generation never stands without its manifest, nor with
          // one its files do not match.
          if (!scenario_.fileSource && isNew(got) && !(wasThere && isOld(slot, got))) {
            EXPECT_EQ(testing::ManifestProblems(backup + "/" + name), "") << name;
          }
        } else {
          ADD_FAILURE() << name << " is neither its old copy nor a complete new one:\n"
                        << (scenario_.fileSource ? got.at("").data : TreeDiff(now, got));
        }
      } else if (name == ".docs.veldar2-new") {
        // A power cut may leave anything in it: its files are flushed only
        // once it is complete, and it is no generation until then.
        if (!powerCut) {
          EXPECT_EQ(EntriesNotFrom(got, {&now}, crashed), "") << name;
        }
      } else if (!scenario_.fileSource && name.starts_with(".docs_") && name.ends_with(".veldar2-swap")) {
        // Moved aside for the new copy. Until that has taken the name, the
        // next run gives the name back, so it still counts as that
        // generation; after, it is being deleted.
        const int slot = scenario_.SlotOf(name.substr(1, name.size() - 1 - 13));
        const Tree old = OldDocs(slot);
        EXPECT_NE(slot, 0) << name;
        if (found.count(scenario_.Name(slot))) {
          EXPECT_EQ(EntriesNotFrom(got, {&old}, false), "") << name;
        } else if (isOld(slot, got)) {
          ++named;
        } else {
          ADD_FAILURE() << name << " is not the old generation, and nothing has its name";
        }
      } else if (!scenario_.fileSource && name.starts_with(".docs_") && name.ends_with(".veldar2-old")) {
        // Being deleted: an old generation, or a new copy that was about to
        // take its name (and that the next run deletes).
        const int slot = scenario_.SlotOf(name.substr(1, name.size() - 1 - 12));
        const Tree old = OldDocs(slot);
        EXPECT_NE(slot, 0) << name;
        EXPECT_EQ(EntriesNotFrom(got, {&old, &now}, false), "") << name;
      } else if (const std::string generation = FileManifestOf(name); !generation.empty()) {
        // The manifest beside a file generation is always its own; one whose
        // generation was deleted as a surplus only while the run is cut off.
        EXPECT_NE(scenario_.SlotOf(generation), 0) << name;
        if (found.count(generation)) {
          EXPECT_EQ(testing::FileManifestProblems(backup, generation), "") << name;
        } else {
          EXPECT_TRUE(crashed) << name << " without its generation";
        }
      } else if (!(crashed && (testing::IsTempName(name) || IsFileManifestBeingWritten(name)))) {
        ADD_FAILURE() << "unexpected entry " << name;
      }
    }
    // Only the oldest may have gone or been replaced, and beyond the surplus
    // only once the new copy is complete.
    std::vector<int> unchanged;
    for (std::size_t i = 0; i < kept.size(); ++i) {
      const int slot = kept[i];
      auto it = found.find(scenario_.Name(slot));
      if (it != found.end() && !found.count(Scenario::MarkOf(it->first)) && isOld(slot, it->second)) {
        unchanged.push_back(slot);
      } else if (static_cast<int>(i) >= mayGo) {
        ADD_FAILURE() << "a good generation was lost or changed: " << scenario_.Name(slot);
      }
    }
    // Never fewer complete generations under their names than before, but
    // for those a lowered count gives up.
    const int floor = std::min(static_cast<int>(kept.size()), scenario_.count);
    if (named < floor) {
      ADD_FAILURE() << named << " complete generation(s) under their names, fewer than the " << floor << " there were";
    }
    return unchanged;
  }
  std::vector<int> ExpectSafe(const std::string& set, bool crashed) {
    return ExpectSafe(set, crashed, scenario_.slots, scenario_.MayGo());
  }
  // The generations in the backup directory.
  int GenerationCount(const std::string& set) {
    const std::vector<std::string> names = ListNames(set + "/backup");
    return static_cast<int>(std::count_if(names.begin(), names.end(), [&](const std::string& name) {
      return scenario_.SlotOf(name) != 0 &&
             std::find(names.begin(), names.end(), Scenario::MarkOf(name)) == names.end();
    }));
  }

  // After a run without faults: the newest copy is the source, exactly; the
  // other generations are what they were or complete copies; nothing else is
  // left. `before` is what the run started from: the slots of the old
  // generations still unchanged (oldest first) and the number of generations.
  // `rsync`: also ask rsync.
  struct Before {
    std::vector<int> unchanged;
    int generations = 0;
  };
  void ExpectConverged(const std::string& set, bool rsync, const Before& before) {
    const std::string backup = set + "/backup";
    const Tree now = NewDocs();
    if (scenario_.Mirror()) {
      EXPECT_EQ(TreeDiff(now, testing::ReadTree(Copy(set))), "");
      if (rsync) {
        EXPECT_EQ(testing::RsyncChanges(source, Copy(set)), "");
      }
      return;
    }
    std::vector<std::string> names = ListNames(backup);
    // A copy of a single file killed half way leaves its temporary file;
    // nothing takes that for a generation. The manifests beside the
    // generations must be theirs.
    if (scenario_.fileSource) {
      std::erase_if(names, testing::IsTempName);
      const std::vector<std::string> all = names;
      std::erase_if(names, [&](const std::string& name) {
        const std::string generation = FileManifestOf(name);
        if (generation.empty()) return false;
        EXPECT_NE(std::find(all.begin(), all.end(), generation), all.end()) << name << " without its generation";
        EXPECT_EQ(testing::FileManifestProblems(backup, generation), "") << name;
        return true;
      });
    }
    EXPECT_EQ(static_cast<int>(names.size()), std::min(scenario_.count, before.generations + 1))
        << ::testing::PrintToString(names);
    // The newest by creation time. A run and the one before it may fall on
    // the same tick of the file system's clock; then one of them will do.
    std::int64_t newestBirth = -1;
    for (const std::string& name : names) {
      ASSERT_NE(scenario_.SlotOf(name), 0) << "left behind: " << name;
      newestBirth = std::max(newestBirth, testing::BirthNs(backup + "/" + name));
    }
    std::string newest, diff;
    for (const std::string& name : names) {
      if (testing::BirthNs(backup + "/" + name) != newestBirth) continue;
      const std::string path = backup + "/" + name;
      diff = scenario_.fileSource ? (ReadFile(path) == kNewReport ? "" : ReadFile(path))
                                  : TreeDiff(now, testing::ReadTree(path));
      newest = name;
      if (diff.empty()) break;
    }
    EXPECT_EQ(diff, "") << "newest: " << newest;
    if (scenario_.fileSource) {
      EXPECT_EQ(testing::FileManifestProblems(backup, newest), "") << "the newest has its manifest: " << newest;
    }
    if (rsync && !scenario_.fileSource) {
      EXPECT_EQ(testing::RsyncChanges(source, backup + "/" + newest), "") << newest;
    }
    const int mayGo = std::max(0, before.generations - scenario_.count + 1);
    ExpectSafe(set, false, before.unchanged, mayGo);
  }
  // The file generation whose manifest `name` is, or empty.
  static std::string FileManifestOf(const std::string& name) {
    const std::string suffix = ".veldar2-manifest";
    if (name.size() <= suffix.size() + 1 || name[0] != '.' || !name.ends_with(suffix)) return std::string();
    return name.substr(1, name.size() - suffix.size() - 1);
  }
  static bool IsFileManifestBeingWritten(const std::string& name) {
    return name.starts_with(".") && name.ends_with(".veldar2-manifest-new");
  }
  Before StartingState() const { return {scenario_.slots, scenario_.Present()}; }
  // The straight copy a mirror or a restore changes in `set`.
  std::string Copy(const std::string& set) const { return scenario_.restore ? set + "/restore/docs" : set + "/backup"; }

 private:
  const Scenario& scenario_;
  int next_ = 0;

 public:
  testing::FastTempDir root;
  std::string source;
  bool powerCut = false;  // the breaks are power cuts, not kills
};

// What a power cut keeps of the changes made since the last flush: all, none,
// or a seeded choice of each.
testing::PowerCut::Policy CutPolicy(int policy, unsigned seed) {
  if (policy == 0) return [](const std::string&) { return true; };
  if (policy == 1) return [](const std::string&) { return false; };
  auto random = std::make_shared<std::mt19937>(seed);
  return [random](const std::string&) { return (*random)() % 2 == 0; };
}

// A run broken before each of its changes in turn (the change not made), and
// after its last one, then a run without faults. Broken by a kill; or with
// `powerCut`, by a power cut that keeps the worst the rules allow (after the
// last change, what the finished run made must survive it whole). A power
// cut tries one policy per break, in turn; VELDAR2_POWER_CUT_SAMPLES=n tries
// all of them at every break, with n seeded choices.
void BreakAtEveryStep(const Scenario& scenario, bool powerCut) {
  Bench bench(scenario);
  bench.powerCut = powerCut;
  const int total = bench.MeasureSteps();
  ASSERT_GT(total, 0);
  const char* samples = std::getenv("VELDAR2_POWER_CUT_SAMPLES");
  const int seeded = samples != nullptr ? std::max(0, std::atoi(samples)) : -1;
  struct Break {
    int n;
    StepOs::Crash crash;
    int policy;
  };
  std::vector<Break> breaks;
  for (int n = 1; n <= total + 1; ++n) {
    const StepOs::Crash crash = n > total ? StepOs::Crash::kAfter : StepOs::Crash::kBefore;
    const int step = std::min(n, total);
    if (!powerCut || seeded < 0) {
      breaks.push_back({step, crash, n % 3});
    } else {
      for (int policy = 0; policy < 2 + seeded; ++policy) breaks.push_back({step, crash, policy});
    }
  }
  const std::vector<std::string> sets = bench.Prepare(static_cast<int>(breaks.size()));

  for (std::size_t i = 0; i < breaks.size(); ++i) {
    const Break& b = breaks[i];
    const bool finished = b.crash == StepOs::Crash::kAfter;
    SCOPED_TRACE(std::string(scenario.label) + (powerCut ? ": power cut " : ": killed ") +
                 (finished ? "after" : "before") + " change " + std::to_string(b.n) + " of " + std::to_string(total) +
                 (!powerCut       ? ""
                  : b.policy == 0 ? ", keeping every change since the last flush"
                  : b.policy == 1 ? ", keeping no change since the last flush"
                                  : ", keeping a seeded choice of the changes since the last flush"));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto real = MakeSystemOs();
      StepOs os(*real);
      std::optional<testing::PowerCut> cut;
      if (powerCut) {
        cut.emplace(scenario.restore ? sets[i] + "/restore" : sets[i] + "/backup");
        os.cut = &*cut;
        os.policy = CutPolicy(b.policy, 1000u * b.n + b.policy);
      }
      os.breakAt = b.n;
      os.crash = b.crash;
      bench.Run(os, sets[i], false);
      _exit(0);  // the run ended before its step was reached
    }
    int wait = 0;
    ASSERT_EQ(waitpid(child, &wait, 0), child);
    ASSERT_TRUE(WIFSIGNALED(wait) && WTERMSIG(wait) == SIGKILL) << "the run did not reach its change " << b.n;

    // rsync takes a while to finish; it checks a sample of the breaks, the
    // in-memory comparison all of them.
    const bool rsync = !powerCut && (i % 5 == 0 || i + 2 >= breaks.size());
    if (powerCut && finished) {
      // The run had said it was done: its copy is on the disk as it left it,
      // with the lock file that the kill kept it from removing.
      std::filesystem::remove(sets[i] + "/backup/" + BackupRun::kLockFileName);
      bench.ExpectConverged(sets[i], false, bench.StartingState());
    } else {
      const Bench::Before before{bench.ExpectSafe(sets[i], true), bench.GenerationCount(sets[i])};
      auto real = MakeSystemOs();
      StepOs os(*real);
      const Outcome again = bench.Run(os, sets[i], false);
      EXPECT_EQ(again.status, kExitSuccess) << again.err << ::testing::PrintToString(again.shown);
      bench.ExpectConverged(sets[i], rsync, before);
    }
    std::filesystem::remove_all(sets[i]);
    if (::testing::Test::HasFailure()) break;
  }
}

void CrashAtEveryStep(const Scenario& scenario) { BreakAtEveryStep(scenario, false); }
void PowerCutAtEveryStep(const Scenario& scenario) { BreakAtEveryStep(scenario, true); }

TEST(CrashAtEveryStepTest, RecycleTheOldest) { CrashAtEveryStep(kRecycle); }
TEST(CrashAtEveryStepTest, NewName) { CrashAtEveryStep(kNewName); }
TEST(CrashAtEveryStepTest, CountLowered) { CrashAtEveryStep(kSurplus); }
TEST(CrashAtEveryStepTest, MirrorStraightIntoTheBackupDirectory) { CrashAtEveryStep(kMirror); }
TEST(CrashAtEveryStepTest, FileSource) { CrashAtEveryStep(kFile); }
TEST(CrashAtEveryStepTest, CarriedOnWorkingDirectory) { CrashAtEveryStep(kCarriedOn); }
TEST(CrashAtEveryStepTest, SharedWithTheNewestGeneration) {
  for (const Scenario* scenario : {&kRecycleLinked, &kRecycleCloned, &kCarriedOnLinked, &kCarriedOnCloned}) {
    CrashAtEveryStep(*scenario);
  }
}
TEST(CrashAtEveryStepTest, RecycleWithoutASwapInOneStep) { CrashAtEveryStep(kRecycleNoExchange); }
TEST(CrashAtEveryStepTest, WithoutRenameFlags) {
  for (const Scenario* scenario : {&kNewNameNoFlags, &kRecycleNoFlags, &kSurplusNoFlags}) CrashAtEveryStep(*scenario);
}
TEST(CrashAtEveryStepTest, BuiltUnderTheGenerationsNames) {
  for (const Scenario* scenario : {&kRecycleInPlace, &kSurplusInPlace}) CrashAtEveryStep(*scenario);
}
TEST(CrashAtEveryStepTest, RestoreOverAnOlderTree) { CrashAtEveryStep(kRestore); }

TEST(PowerCutAtEveryStepTest, RecycleTheOldest) { PowerCutAtEveryStep(kRecycle); }
TEST(PowerCutAtEveryStepTest, NewName) { PowerCutAtEveryStep(kNewName); }
TEST(PowerCutAtEveryStepTest, CountLowered) { PowerCutAtEveryStep(kSurplus); }
TEST(PowerCutAtEveryStepTest, MirrorStraightIntoTheBackupDirectory) { PowerCutAtEveryStep(kMirror); }
TEST(PowerCutAtEveryStepTest, FileSource) { PowerCutAtEveryStep(kFile); }
TEST(PowerCutAtEveryStepTest, CarriedOnWorkingDirectory) { PowerCutAtEveryStep(kCarriedOn); }
TEST(PowerCutAtEveryStepTest, SharedWithTheNewestGeneration) {
  for (const Scenario* scenario : {&kRecycleLinked, &kRecycleCloned, &kCarriedOnLinked, &kCarriedOnCloned}) {
    PowerCutAtEveryStep(*scenario);
  }
}
TEST(PowerCutAtEveryStepTest, RecycleWithoutASwapInOneStep) { PowerCutAtEveryStep(kRecycleNoExchange); }
TEST(PowerCutAtEveryStepTest, BuiltUnderTheGenerationsNames) {
  for (const Scenario* scenario : {&kRecycleInPlace, &kSurplusInPlace}) PowerCutAtEveryStep(*scenario);
}
TEST(PowerCutAtEveryStepTest, WithoutRenameFlags) {
  for (const Scenario* scenario : {&kNewNameNoFlags, &kRecycleNoFlags, &kSurplusNoFlags}) {
    PowerCutAtEveryStep(*scenario);
  }
}

// The backup medium goes away while a run copies onto it (unplugged, its
// driver or server gone): from the Nth copy onto it on, every call on the
// backup directory fails with `code`, as the system's do then. With
// `onlyThatCopy`, the medium stays and only that copy fails.
class GoneOs : public StepOs {
 public:
  using StepOs::StepOs;
  std::string medium;
  int goneAtCopy = 1;
  int code = ENOTCONN;
  bool onlyThatCopy = false;

  Status Perform(OsOp op, const std::string& path, const std::string& path2,
                 const std::function<Status()>& real) override {
    const bool onMedium = path.starts_with(medium) || path2.starts_with(medium);
    const bool copy = op == OsOp::CopyFile || op == OsOp::StageCopy;
    bool fails = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (onMedium && copy && ++copies_ == goneAtCopy) {
        gone_ = !onlyThatCopy;
        failing_ = path2;
      }
      fails = onMedium && (gone_ || (copy && path2 == failing_));
    }
    if (fails) return StepOs::Perform(op, path, path2, [&] { return Error(code); });
    return StepOs::Perform(op, path, path2, real);
  }

 private:
  std::mutex mutex_;
  bool gone_ = false;
  int copies_ = 0;
  std::string failing_;  // the copy that fails, for good
};

// A backup medium that goes away stops the run at the first failure it
// causes: exit 2, one failure counted, one message saying the medium went
// away (a box; with -NOMSG the report on standard error), no generation
// replaced; once the medium is back, the next run completes. A copy that
// fails on a medium that is still there stops nothing more than before.
TEST(BackupMediumGoneTest, TheRunStopsAtTheFirstFailureAndTheNextOneCompletes) {
  struct Case {
    const Scenario* scenario;
    int code;
    bool gone;
  };
  for (const Case& c : {Case{&kRecycle, ENOTCONN, true}, Case{&kNewName, ENODEV, true}, Case{&kMirror, ESTALE, true},
                        Case{&kFile, ENOTCONN, true}, Case{&kRecycle, EIO, true}, Case{&kRecycle, EIO, false},
                        Case{&kMirror, EIO, false}}) {
    for (const bool noMessage : {false, true}) {
      SCOPED_TRACE(std::string(c.scenario->label) + ", error " + std::to_string(c.code) +
                   (c.gone ? ", medium gone" : ", medium there") + (noMessage ? ", -NOMSG" : ""));
      Bench bench(*c.scenario);
      const std::string set = bench.Prepare(1)[0];
      auto real = MakeSystemOs();
      GoneOs os(*real);
      os.medium = set + "/backup";
      os.goneAtCopy = c.scenario->fileSource ? 1 : 2;
      os.code = c.code;
      os.onlyThatCopy = !c.gone;
      const Outcome outcome = bench.Run(os, set, noMessage);
      const std::string log = ReadFile(set + "/log/VELDAR2.LOG");
      if (!c.gone) {
        EXPECT_EQ(log.find("Backup Medium Gone"), std::string::npos) << log;
        EXPECT_GE(outcome.failures, 1);
        continue;
      }
      EXPECT_EQ(outcome.status, kExitFailure) << outcome.err;
      EXPECT_EQ(outcome.failures, 1) << log;
      EXPECT_NE(log.find("Backup Medium Gone, Run Stopped"), std::string::npos) << log;
      const std::string gone = "書き込むディレクトリのディスクが見つからなくなりました";
      EXPECT_EQ(outcome.report.rfind(gone, 0), 0u) << outcome.report;
      EXPECT_EQ(outcome.shown, noMessage ? std::vector<std::string>{} : std::vector<std::string>{outcome.report});
      int lines = 0;
      for (std::size_t at = outcome.err.find(os.medium); at != std::string::npos;
           at = outcome.err.find(os.medium, at + 1)) {
        ++lines;
      }
      EXPECT_EQ(lines, 1) << "the message names the backup directory once:\n" << outcome.err;
      // What could not be removed from the medium stays, as after a crash.
      const Bench::Before before{bench.ExpectSafe(set, true), bench.GenerationCount(set)};
      StepOs clean(*real);
      const Outcome again = bench.Run(clean, set, noMessage);
      EXPECT_EQ(again.status, kExitSuccess) << again.err;
      bench.ExpectConverged(set, false, before);
    }
  }
}
TEST(PowerCutAtEveryStepTest, RestoreOverAnOlderTree) { PowerCutAtEveryStep(kRestore); }

// The Nth change fails with each code, with and without -NOMSG, for good
// (the retries fail as well); and once only, with EIO.
void FailEveryStep(const Scenario& scenario) {
  Bench bench(scenario);
  const int total = bench.MeasureSteps();
  ASSERT_GT(total, 0);
  struct Fault {
    int code;
    bool sticky;
    bool noMessage;
  };
  std::vector<Fault> faults;
  for (int code : {ENOSPC, EIO, EROFS, EACCES}) {
    for (bool noMessage : {false, true}) faults.push_back({code, true, noMessage});
  }
  faults.push_back({EIO, false, false});

  for (int n = 1; n <= total; ++n) {
    const std::vector<std::string> sets = bench.Prepare(static_cast<int>(faults.size()));
    for (std::size_t i = 0; i < faults.size(); ++i) {
      const Fault& f = faults[i];
      auto real = MakeSystemOs();
      StepOs os(*real);
      os.breakAt = n;
      os.failCode = f.code;
      os.sticky = f.sticky;
      const Outcome outcome = bench.Run(os, sets[i], f.noMessage);
      SCOPED_TRACE(std::string(scenario.label) + ": change " + std::to_string(n) + " of " + std::to_string(total) +
                   " (" + OsOpName(os.firedOp) + " " + os.firedPath + ") fails " + (f.sticky ? "for good" : "once") +
                   " with " + std::to_string(f.code) + (f.noMessage ? ", -NOMSG" : ""));
      ASSERT_TRUE(os.fired);

      const std::string log = ReadFile(sets[i] + "/log/VELDAR2.LOG");
      const std::string code = std::to_string(f.code);
      if (f.sticky) {
        EXPECT_NE(outcome.status, kExitSuccess) << "a failure reported as success";
      }
      if (outcome.failures > 0) {
        EXPECT_TRUE(log.find("ERR = " + code) != std::string::npos || log.find("ERR= " + code) != std::string::npos)
            << "no failure line in the log:\n"
            << log;
      }
      if (outcome.status == kExitSuccess) {
        EXPECT_EQ(outcome.failures, 0);
        EXPECT_EQ(outcome.err, "");
      } else {
        EXPECT_NE(outcome.err, "") << "no summary on standard error";
      }
      if (f.noMessage) {
        EXPECT_EQ(outcome.shown, std::vector<std::string>{});
      } else if (outcome.status == kExitFailure && !scenario.restore) {
        // (A restore from the command line says it on standard error.)
        EXPECT_FALSE(outcome.shown.empty()) << "the run stopped without telling the user";
      }
      const Bench::Before before{bench.ExpectSafe(sets[i], false), bench.GenerationCount(sets[i])};

      StepOs clean(*real);
      const Outcome again = bench.Run(clean, sets[i], f.noMessage);
      EXPECT_EQ(again.status, kExitSuccess) << again.err << ::testing::PrintToString(again.shown);
      // rsync for a sample; the in-memory comparison checks the same for all.
      bench.ExpectConverged(sets[i], i == 0 && (n == 1 || n == total), before);
      std::filesystem::remove_all(sets[i]);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST(FailEveryStepTest, RecycleTheOldest) { FailEveryStep(kRecycle); }
TEST(FailEveryStepTest, NewName) { FailEveryStep(kNewName); }
TEST(FailEveryStepTest, CountLowered) { FailEveryStep(kSurplus); }
TEST(FailEveryStepTest, MirrorStraightIntoTheBackupDirectory) { FailEveryStep(kMirror); }
TEST(FailEveryStepTest, FileSource) { FailEveryStep(kFile); }
TEST(FailEveryStepTest, RestoreOverAnOlderTree) { FailEveryStep(kRestore); }

}  // namespace
}  // namespace veldar
