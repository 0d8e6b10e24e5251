// What the planner decides, on trees held in memory: every decision a mirror
// takes (copy, share, keep, keep under no-force, rename for case, replace a
// counterpart of another kind, create, delete, keep what vanished, pass
// over) read back from the plan as the applier will read it. What only a
// disk can show (races, links, permissions applied, flushing) is tested
// where the mirror is applied.

#include "engine/mirror_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <sstream>
#include <variant>
#include <string>
#include <vector>

#include "engine/generation_names.h"
#include "log/activity_log.h"
#include "testing/fake_disk.h"
#include "testing/fault_injector.h"
#include "testing/memory_os.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using Steps = std::vector<std::string>;

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// What becomes of a counterpart first, in a few words.
std::string Meeting(const std::optional<steps::Counterpart>& counterpart) {
  if (!counterpart || counterpart->first == steps::Counterpart::First::kNothing) return "";
  return (counterpart->first == steps::Counterpart::First::kRemove ? " replacing " : " renaming ") + counterpart->name;
}

// One step in a few words: its action, its name and the decisions it carries.
std::string Describe(const MirrorStep& step) {
  auto access = [](const std::optional<steps::Access>& access) { return access ? " access" : ""; };
  return std::visit(
      Overloaded{
          [](const steps::RemoveLeftover& s) { return "remove " + s.name; },
          [](const steps::PassOver& s) {
            static const char* const kWhy[] = {"special", "own", "system", "backup"};
            return "pass " + s.name + " " + kWhy[static_cast<int>(s.reason)];
          },
          [](const steps::Vanished& s) { return "vanished " + s.name; },
          [](const steps::Exclude& s) { return "exclude " + s.name + (s.directory ? "/" : ""); },
          [](const steps::Blocked& s) { return "blocked " + s.name + " by " + s.counterpart; },
          [](const steps::LeaveOut& s) {
            static const char* const kWhy[] = {"twin of", "name", "size", "link"};
            const std::string text = "unfit " + s.name + (s.directory ? "/ " : " ") + kWhy[static_cast<int>(s.reason)];
            return s.twin.empty() ? text : text + " " + s.twin;
          },
          [](const steps::Unreadable&) { return std::string("unreadable"); },
          [](const steps::Stop&) { return std::string("stop"); },
          [](const steps::KeepVanished&) { return std::string("no-delete"); },
          [](const steps::Delete& s) { return "delete " + s.name + (s.directory ? "/" : ""); },
          [](const steps::Prune& s) { return "prune " + s.name; },
          [](const steps::Fill&) { return std::string("fill"); },
          [](const steps::Leave&) { return std::string("leave"); },
          [](const steps::EnterDirectory& s) {
            return "enter " + s.name + Meeting(s.counterpart) + (s.create ? " create" : "") +
                   (s.hasReference ? " reference" : "") + (s.fromReference ? " earlier" : "");
          },
          [](const steps::CopyFile& s) { return "file " + s.name + " copy" + Meeting(s.counterpart); },
          [](const steps::ShareFile& s) { return "file " + s.copy.name + " share" + Meeting(s.copy.counterpart); },
          [&](const steps::KeepFile& s) {
            return "file " + s.name + " keep" + Meeting(s.counterpart) + access(s.access);
          },
          [&](const steps::KeepUnforced& s) {
            return "file " + s.name + " keep-no-force" + Meeting(s.counterpart) + (s.unshare ? " unshare" : "") +
                   access(s.access);
          },
      },
      step);
}

class MirrorPlanTest : public ::testing::Test {
 protected:
  // The steps of a plan from /s to /t (unless the job names others; with the
  // reference /r when the job names it), top level first, in the planner's
  // order within a level.
  Steps Plan(MirrorJob job) {
    Steps steps;
    for (const MirrorStep& step : Actions(std::move(job))) steps.push_back(Describe(step));
    return steps;
  }

  // The plan's steps as they are stored.
  std::vector<MirrorStep> Actions(MirrorJob job) {
    if (job.source.empty()) job.source = "/s", job.target = "/t";
    ActivityLog log(os, sizeLimitKb);
    Reporter reporter(log, messages, LogOptions{}, noMessage);
    MirrorPlan plan(os);
    EXPECT_EQ(MirrorPlanner(os, reporter).Plan(job, &plan), 1);
    totals = plan.totals;
    changesTarget = plan.ChangesTarget();
    std::vector<MirrorStep> steps;
    MirrorStep step;
    plan.Rewind();
    while (plan.Next(&step)) steps.push_back(step);
    return steps;
  }

  MemoryOs memory;
  FaultInjector faults{memory};
  FakeDisk os{faults};
  std::int32_t sizeLimitKb = 0;
  testing::RecordingMessages messages;
  bool noMessage = false;
  MirrorTotals totals;
  bool changesTarget = false;
};

// Each decision on one pair of trees, under each policy that changes it.
TEST_F(MirrorPlanTest, DecisionsUnderEveryPolicy) {
  memory.AddFile("/s/new", "new", 1000);
  memory.AddFile("/s/changed", "new", 2000), memory.AddFile("/t/changed", "old", 1000);
  memory.AddFile("/s/older", "source", 1000), memory.AddFile("/t/older", "target", 2000);
  memory.AddFile("/s/equal", "same", 1500), memory.AddFile("/t/equal", "same", 1500);
  memory.AddFile("/s/kind", "file", 1000), memory.AddFile("/t/kind/inner", "x", 1000);
  memory.AddFile("/s/dir/file", "deep", 1000);
  memory.AddSpecial("/s/fifo");
  memory.AddFile("/t/gone", "x", 1000), memory.AddFile("/t/gonedir/x", "x", 1000);

  struct Case {
    const char* what;
    std::function<void(MirrorJob&)> policy;
    Steps expected;
  } cases[] = {
      {"defaults",
       [](MirrorJob&) {},
       {"file changed copy", "enter dir create", "file file copy", "leave", "file equal keep", "pass fifo special",
        "file kind copy replacing kind", "file new copy", "file older keep", "delete gone", "delete gonedir/",
        "leave"}},
      {"exact: an older source is copied too",
       [](MirrorJob& job) { job.exact = true; },
       {"file changed copy", "enter dir create", "file file copy", "leave", "file equal keep", "pass fifo special",
        "file kind copy replacing kind", "file new copy", "file older copy", "delete gone", "delete gonedir/",
        "leave"}},
      {"no-force: a changed counterpart is kept, one of another kind replaced",
       [](MirrorJob& job) { job.force = false; },
       {"file changed keep-no-force", "enter dir create", "file file copy", "leave", "file equal keep",
        "pass fifo special", "file kind copy replacing kind", "file new copy", "file older keep", "delete gone",
        "delete gonedir/", "leave"}},
      // The copy onto the directory then fails, and says so.
      {"no-delete: what vanished stays (a line per level), and so does a counterpart of another kind",
       [](MirrorJob& job) { job.deleteVanished = false; },
       {"file changed copy", "enter dir create", "file file copy", "no-delete", "leave", "file equal keep",
        "pass fifo special", "file kind copy", "file new copy", "file older keep", "no-delete", "leave"}},
      {"no-time: every file is copied",
       [](MirrorJob& job) { job.compareTimes = false; },
       {"file changed copy", "enter dir create", "file file copy", "leave", "file equal copy", "pass fifo special",
        "file kind copy replacing kind", "file new copy", "file older copy", "delete gone", "delete gonedir/",
        "leave"}},
  };
  for (const Case& c : cases) {
    MirrorJob job;
    c.policy(job);
    EXPECT_EQ(Plan(job), c.expected) << c.what;
  }
}

// How each action is to be carried out is in the plan: how a copy is
// written, how a file is shared, what is taken where a source cannot be
// read, the access an entry gets (and the directory while it is filled),
// and which counterpart is renamed; the applier decides none of it.
TEST_F(MirrorPlanTest, EveryActionCarriesHowItIsDone) {
  memory.AddFile("/s/changed", "new", 2000), memory.AddFile("/t/changed", "old", 1000);
  memory.AddFile("/s/same", "same", 1000), memory.AddFile("/r/same", "same", 1000);
  memory.AddFile("/s/edited", "new", 2000), memory.AddFile("/r/edited", "old", 1000);
  memory.AddFile("/s/private", "p", 1000), memory.AddFile("/t/private", "p", 1000);
  memory.AddFile("/s/README", "r", 1000), memory.AddFile("/t/readme", "r", 1000);
  memory.AddDir("/s/open"), memory.AddDir("/t/open");
  std::unique_ptr<OsDir> dir;
  ASSERT_TRUE(memory.OpenDir("/s", false, &dir).ok());
  ASSERT_TRUE(dir->ChangeEntry("private", {.permissions = 0600}).ok());
  ASSERT_TRUE(dir->ChangeEntry("open", {.permissions = 0750}).ok());
  ASSERT_TRUE(memory.OpenDir("/t", false, &dir).ok());
  ASSERT_TRUE(dir->ChangeEntry("open", {.permissions = 0777}).ok());
  os.foldsCase = true;

  // The decisions of a step, where it has any to tell.
  auto decisions = [](const MirrorStep& step) -> std::string {
    static const char* const kWriting[] = {"flushed", "staged", "unflushed"};
    auto access = [](const std::optional<steps::Access>& access) {
      if (!access) return std::string();
      char octal[8];
      std::snprintf(octal, sizeof octal, "%04o", access->permissions);
      return std::string(" access ") + octal + (access->announce ? "!" : "");
    };
    auto copy = [&](const steps::CopyFile& c) {
      std::string text = c.name + " " + kWriting[static_cast<int>(c.writing)] + Meeting(c.counterpart);
      if (c.keepUnreadable) text += " else";
      if (c.earlier) {
        text += std::string(" earlier") + (c.earlier->link ? " link" : "") + (c.earlier->clone ? " clone" : "");
      }
      return text;
    };
    if (const auto* c = std::get_if<steps::CopyFile>(&step)) return "copy " + copy(*c);
    if (const auto* s = std::get_if<steps::ShareFile>(&step)) {
      return "share " + copy(s->copy) + (s->link ? " by link" : "") + (s->clone ? " by clone" : "");
    }
    if (const auto* k = std::get_if<steps::KeepFile>(&step)) {
      return "keep " + k->name + Meeting(k->counterpart) + access(k->access);
    }
    if (const auto* f = std::get_if<steps::Fill>(&step)) return "fill" + access(steps::Access{f->permissions});
    if (const auto* l = std::get_if<steps::Leave>(&step)) return "leave" + access(l->access);
    return "";
  };
  struct Case {
    const char* what;
    std::function<void(MirrorJob&)> policy;
    bool noMessage;
    Steps expected;
    std::uint64_t adjusted;  // renames and access set: changes the other totals leave out
  } cases[] = {
      {"a mirror into the user's copy stages its copies",
       [](MirrorJob& job) { job.writes = MirrorWrites::kBatched; },
       false,
       {"keep README renaming readme", "copy changed staged", "copy edited staged", "fill access 0750",
        "leave access 0750!", "keep private access 0600!", "copy same staged", "leave access 0755"},
       4},
      {"no-force mode writes its copies each under its name",
       [](MirrorJob& job) { job.writes = MirrorWrites::kBatched, job.force = false; },
       false,
       {"keep README renaming readme", "copy edited flushed", "fill access 0750", "leave access 0750!",
        "keep private access 0600!", "copy same flushed", "leave access 0755"},
       4},
      {"a generation shares by link, else by clone, and takes what it cannot read from the reference",
       [](MirrorJob& job) {
         job.writes = MirrorWrites::kUnflushed, job.reference = "/r", job.sharing = MirrorSharing::kLinkOrClone;
         job.keepUnreadable = true;
       },
       true,
       {"keep README renaming readme", "copy changed unflushed else", "copy edited unflushed else earlier link clone",
        "fill access 0750", "leave access 0750!", "keep private access 0600!",
        "share same unflushed else earlier link clone by link by clone", "leave access 0755"},
       4},
      {"where the medium has no links it clones; a run that shows its failures keeps nothing",
       [](MirrorJob& job) {
         job.writes = MirrorWrites::kUnflushed, job.reference = "/r", job.sharing = MirrorSharing::kLinkOrClone;
         job.keepUnreadable = true;
         job.medium = MediumTraits{};
         job.medium->hardLinks = false;
       },
       false,
       {"keep README renaming readme", "copy changed unflushed", "copy edited unflushed", "fill access 0750",
        "leave access 0750!", "keep private access 0600!", "share same unflushed by clone", "leave access 0755"},
       4},
  };
  for (const Case& c : cases) {
    MirrorJob job;
    c.policy(job);
    noMessage = c.noMessage;
    Steps steps;
    for (const MirrorStep& step : Actions(job)) {
      if (std::string text = decisions(step); !text.empty()) steps.push_back(text);
    }
    EXPECT_EQ(steps, c.expected) << c.what;
    EXPECT_EQ(totals.adjusted, c.adjusted) << c.what;
    EXPECT_TRUE(changesTarget) << c.what;
  }
}

// A name that differs only in case is the same entry where the target's file
// system ignores case (renamed to the source's spelling), another entry
// where it does not.
TEST_F(MirrorPlanTest, CaseOnlyDifferencesFollowTheTargetFileSystem) {
  memory.AddFile("/s/README", "new", 3000), memory.AddFile("/t/readme", "old", 1000);
  memory.AddFile("/s/Docs/inner", "new", 2000), memory.AddFile("/t/docs/inner", "new", 2000);
  os.foldsCase = true;
  EXPECT_EQ(Plan({}), (Steps{"enter Docs renaming docs", "file inner keep", "leave", "file README copy renaming readme",
                             "leave"}));
  os.foldsCase = false;
  EXPECT_EQ(Plan({}), (Steps{"enter Docs create", "file inner copy", "leave", "file README copy", "delete docs/",
                             "delete readme", "leave"}));
}

// Where the medium folds case alike in every directory, its probe answers
// for each level and no name is looked up with its case swapped; elsewhere
// each level is asked.
TEST_F(MirrorPlanTest, CaseFoldingAskedPerLevelOnlyWhereDirectoriesMayDiffer) {
  memory.AddFile("/s/README", "new", 3000), memory.AddFile("/t/readme", "old", 1000);
  memory.AddFile("/s/Docs/inner", "new", 2000), memory.AddFile("/t/docs/inner", "new", 2000);
  const Steps folded{"enter Docs renaming docs", "file inner keep", "leave", "file README copy renaming readme",
                     "leave"};
  const Steps apart{"enter Docs create", "file inner copy", "leave", "file README copy",
                    "delete docs/",      "delete readme",   "leave"};
  struct Case {
    const char* what;
    bool throughout, mediumFolds, diskFolds;
    const Steps& expected;
    bool asked;
  } const cases[] = {
      {"folding is the medium's: its answer, none asked", true, true, false, folded, false},
      {"telling case apart is the medium's: its answer, none asked", true, false, true, apart, false},
      {"a directory may fold on its own: each level asked", false, false, true, folded, true},
  };
  for (const Case& c : cases) {
    MirrorJob job;
    job.medium = MediumTraits{};
    job.medium->foldsCaseThroughout = c.throughout;
    job.medium->foldsCase = c.mediumFolds;
    os.foldsCase = c.diskFolds;
    faults.calls.clear();
    EXPECT_EQ(Plan(job), c.expected) << c.what;
    // (The fake disk records a name it folds by the entry it reaches.)
    const bool asked = std::any_of(faults.calls.begin(), faults.calls.end(), [](const FaultInjector::Call& call) {
      return call.op == OsOp::StatAt && EqualsNoCase(call.path, "/t/docs");
    });
    EXPECT_EQ(asked, c.asked) << c.what;
  }
}

// A file unchanged since the reference copy is shared from it; one that
// changed, or whose access differs, is copied; the program's own name and
// a killed copy's leftover are never the source's.
TEST_F(MirrorPlanTest, SharingOwnNamesAndLeftovers) {
  memory.AddFile("/s/same", "same", 1000), memory.AddFile("/r/same", "same", 1000);
  memory.AddFile("/s/edited", "new", 2000), memory.AddFile("/r/edited", "old", 1000);
  memory.AddFile("/s/sub/deep", "d", 1000), memory.AddFile("/r/sub/deep", "d", 1000);
  memory.AddFile("/s/.veldar2.lock", "", 1000);
  memory.AddFile("/t/.~x.99999-00000000-1.tmp", "partial", 1000);
  MirrorJob job;
  job.reference = "/r";
  job.sharing = MirrorSharing::kCloneOrCopy;
  job.targetIsNew = false;
  job.ownName = ".veldar2.lock";
  EXPECT_EQ(Plan(job), (Steps{"remove .~x.99999-00000000-1.tmp", "pass .veldar2.lock own", "file edited copy",
                              "file same share", "enter sub create reference", "file deep share", "leave", "leave"}));
  EXPECT_EQ(totals.filesShared, 2u);
  EXPECT_EQ(totals.filesToCopy, 1u);
  EXPECT_EQ(totals.bytesToCopy, 3u);
}

// A link's content is its text: links alike by size and times are read, one
// call a side, and copied where the texts differ, whatever the times say;
// links of other sizes are not read, and none is shared. A text that cannot
// be read is never taken for an unchanged one.
TEST_F(MirrorPlanTest, LinksAreComparedByTheirText) {
  memory.AddLink("/s/longer", "bbbb", 3000), memory.AddLink("/t/longer", "aaa", 1000);
  memory.AddLink("/s/older", "ccc", 1000), memory.AddLink("/t/older", "aaa", 2000);
  memory.AddLink("/s/retargeted", "bbb", 1000), memory.AddLink("/t/retargeted", "aaa", 1000);
  memory.AddLink("/r/retargeted", "bbb", 1000);
  memory.AddLink("/s/same", "aaa", 1000), memory.AddLink("/t/same", "aaa", 1000);
  const Status io = memory.Error(ErrorKind::kIo), gone = memory.Error(ErrorKind::kNotFound);
  struct Case {
    const char* what;
    std::function<void(MirrorJob&)> setUp;
    Steps expected;
    std::size_t reads;
  } cases[] = {
      {"defaults",
       [](MirrorJob&) {},
       {"file longer copy", "file older copy", "file retargeted copy", "file same keep", "leave"},
       6},
      {"exact (a restore): a time that differs copies unread",
       [](MirrorJob& job) { job.exact = true; },
       {"file longer copy", "file older copy", "file retargeted copy", "file same keep", "leave"},
       4},
      {"the source's text fails",
       [&](MirrorJob&) { faults.FailAt(OsOp::ReadLinkAt, "/s/same", io); },
       {"file longer copy", "file older copy", "file retargeted copy", "stop"},
       5},
      {"the copy's text fails",
       [&](MirrorJob&) { faults.FailAt(OsOp::ReadLinkAt, "/t/same", io); },
       {"file longer copy", "file older copy", "file retargeted copy", "stop"},
       6},
      {"the source link is gone",
       [&](MirrorJob&) { faults.FailAt(OsOp::ReadLinkAt, "/s/same", gone); },
       {"file longer copy", "file older copy", "file retargeted copy", "vanished same", "leave"},
       5},
      {"the copy's link is gone",
       [&](MirrorJob&) { faults.FailAt(OsOp::ReadLinkAt, "/t/same", gone); },
       {"file longer copy", "file older copy", "file retargeted copy", "file same copy", "leave"},
       6},
  };
  for (const Case& c : cases) {
    MirrorJob job;
    job.reference = "/r";
    job.sharing = MirrorSharing::kLinkOrClone;
    faults.ClearRules();
    c.setUp(job);
    faults.calls.clear();
    EXPECT_EQ(Plan(job), c.expected) << c.what;
    EXPECT_EQ(std::count_if(faults.calls.begin(), faults.calls.end(),
                            [](const FaultInjector::Call& call) { return call.op == OsOp::ReadLinkAt; }),
              static_cast<std::ptrdiff_t>(c.reads))
        << c.what;
  }
}

// Patterns by the path below the source: an excluded source entry is one
// step, its counterpart kept whatever it is; a target entry no source entry
// takes stays when it is excluded, and a directory that holds one stays with
// it while the rest of it goes. A source entry that could come in only by
// deleting what stays is a failure ("#"), never left out in silence. Where
// the target is the program's own, nothing stays for the patterns. The
// target ignores case.
TEST_F(MirrorPlanTest, ExcludePatterns) {
  struct Case {
    std::vector<std::string> patterns;
    bool foldCase;
    // Files ("name=text"), empty directories ("name/"); "+" copied, "-" deleted, "!" excluded,
    // "#" not copied for what stays in its place.
    std::string source, target, outcome;
    bool excludedStay = true;
  } cases[] = {
      {{"*.tmp"}, false, "a.tmp b d/c.tmp d/e", "", "!a.tmp +b !d/c.tmp +d/e"},
      {{"build/"}, false, "build/x s/build s/y", "", "!build/ +s/build +s/y"},
      {{"/top", "a/b"}, false, "top d/top a/b a/c x/a/b", "", "!a/b +a/c +d/top !top !x/a/b"},
      {{"/d/**/cache/"}, false, "d/cache/1 d/x/cache/2 d/k e/cache/3", "", "!d/cache/ +d/k !d/x/cache/ +e/cache/3"},
      {{"*.TMP"}, true, "a.tmp B.Tmp c", "", "!B.Tmp !a.tmp +c"},
      {{"*.TMP"}, false, "a.tmp B.TMP", "b.tmp=old", "!B.TMP +a.tmp"},
      {{"*.log", "c/"}, false, "k f", "k o.log c/z o g/d/x.log g/d/w g/q h/y f/z.log", "#f -g/d/w -g/q -h/ -o"},
      {{"*.tmp", "c/", "b/"}, false, "a.tmp c/new d.tmp/x b", "a.tmp=old c/old d.tmp b/", "!a.tmp #b !c/ !d.tmp/"},
      // A file where the copy has a directory holding what stays: the rest of it goes.
      {{"*.tmp"}, false, "n", "n/ab n/x.tmp", "#n -n/ab"},
      {{"x/"}, false, "x", "x/in", "#x"},
      {{"x"}, false, "X", "x=old", "#X"},
      {{"*.tmp"}, false, "n a.tmp", "n/ab n/x.tmp a.tmp=old b.tmp", "!a.tmp +n -a.tmp -b.tmp", false},
  };
  os.foldsCase = true;
  for (const Case& c : cases) {
    const std::string root = "/" + std::to_string(&c - cases);
    for (const auto& [tree, files] : {std::pair{"/s/", c.source}, std::pair{"/t/", c.target}}) {
      memory.AddDir(root + tree);
      std::istringstream names(files);
      for (std::string f, dir = root + tree; names >> f;) {
        if (f.back() == '/')
          memory.AddDir(dir + f);
        else
          memory.AddFile(dir + f.substr(0, f.find('=')), f.substr(std::min(f.find('='), f.size())), 1000);
      }
    }
    const auto excludes = ExcludeSet::Parse(c.patterns, c.foldCase);
    MirrorJob job;
    job.source = root + "/s", job.target = root + "/t", job.excludes = &*excludes;
    job.excludedStay = c.excludedStay;
    std::vector<std::string> at{""};  // the path of each level entered
    std::string outcome;
    for (const std::string& step : Plan(job)) {
      std::istringstream words(step);
      std::string kind, name, what;
      words >> kind >> name >> what;
      if (kind == "enter" || kind == "prune") at.push_back(at.back() + name + "/");
      if (kind == "leave") at.pop_back();
      const char* mark = kind == "delete"    ? "-"
                         : kind == "exclude" ? "!"
                         : kind == "blocked" ? "#"
                         : what == "copy"    ? "+"
                                             : nullptr;
      if (mark) outcome += (outcome.empty() ? mark : std::string(" ") + mark) + at.back() + name;
    }
    EXPECT_EQ(outcome, c.outcome) << root;
    EXPECT_EQ(totals.excluded, static_cast<std::uint64_t>(std::count(outcome.begin(), outcome.end(), '!')));
  }
}

// What the target's medium cannot hold is left out before anything is
// copied, each entry with its reason: names it refuses, files over its
// largest, links where it holds none, and all but one of the names it takes
// for one (the one the target holds already, else the first); patterns
// still decide first. Times are compared at its resolution, sharing too, and
// permissions only where it keeps them; private files it would show to
// others are counted.
TEST_F(MirrorPlanTest, TheMediumDecidesWhatIsLeftOutAndHowTimesCompare) {
  MediumTraits fat;
  fat.foldsCase = true;
  fat.refusedCharacters = ":?";
  fat.refusesTrailingDotOrBlank = true;
  fat.largestFile = 4;
  fat.symlinks = false;
  fat.timeResolutionNs = 2'000'000'000;
  fat.keepsPermissions = fat.keepsOwner = false;
  fat.shownPermissions = 0777;
  struct Case {
    const char* what;
    // Source files ("name=mtime", "name@" a link) and the target's and
    // reference's (in /t and /r); all hold "1" but "big" (5 bytes).
    std::string source, target, reference;
    std::optional<MediumTraits> medium;
    Steps expected;
    std::uint64_t exposed = 0;
  } cases[] = {
      {"names, sizes, links and twins",
       "README.txt readme.txt a:b dot. big link@ Dir/x dir/y skip.tmp SKIP.tmp",
       "",
       "",
       fat,
       {"enter Dir create", "file x copy", "leave", "file README.txt copy", "file SKIP.tmp copy", "unfit a:b name",
        "unfit big size", "unfit dir/ twin of Dir", "unfit dot. name", "unfit link link",
        "unfit readme.txt twin of README.txt", "exclude skip.tmp", "leave"}},
      {"the twin the copy holds by its very name stays",
       "README.txt readme.txt",
       "readme.txt",
       "",
       fat,
       {"unfit README.txt twin of readme.txt", "file readme.txt keep", "leave"}},
      {"without a medium nothing is left out",
       "a:b big link@",
       "",
       "",
       std::nullopt,
       {"file a:b copy", "file big copy", "file link copy", "leave"}},
      {"times within the resolution are equal, sharing too; permissions are not compared",
       "same=1001 newer=1003 shared=1001 private open",
       "same=1000 newer=1000 private",
       "shared=1000",
       fat,
       {"file newer copy", "file open copy", "file private keep", "file same keep", "file shared share", "leave"},
       1},
  };
  for (const Case& c : cases) {
    const std::string root = "/" + std::to_string(&c - cases);
    for (const auto& [tree, files] :
         {std::pair{"/s/", c.source}, std::pair{"/t/", c.target}, std::pair{"/r/", c.reference}}) {
      memory.AddDir(root + tree);
      std::istringstream names(files);
      for (std::string f; names >> f;) {
        const std::size_t at = f.find('=');
        const std::int64_t mtime = at == std::string::npos ? 1000 : std::stoll(f.substr(at + 1));
        const std::string path = root + tree + f.substr(0, std::min(at, f.find('@')));
        if (f.back() == '@')
          memory.AddLink(path, "big", mtime);
        else
          memory.AddFile(path, f == "big" ? "12345" : "1", mtime);
      }
    }
    std::unique_ptr<OsDir> dir;
    ASSERT_TRUE(memory.OpenDir(root + "/s", false, &dir).ok());
    (void)dir->ChangeEntry("private", {.permissions = 0600});
    if (!c.target.empty())
      (void)memory.OpenDir(root + "/t", false, &dir), (void)dir->ChangeEntry("private", {.permissions = 0644});
    const auto excludes = ExcludeSet::Parse({"skip.tmp"}, false);
    MirrorJob job;
    job.source = root + "/s", job.target = root + "/t", job.reference = root + "/r";
    job.exact = true;
    job.medium = c.medium;
    job.excludes = &*excludes;
    job.sharing = MirrorSharing::kCloneOrCopy;
    EXPECT_EQ(Plan(job), c.expected) << c.what;
    EXPECT_EQ(totals.exposed, c.exposed) << c.what;
  }
}

// Whether the patterns leave no file anywhere in a source, while they leave
// something out: what the backup refuses as an empty source.
TEST_F(MirrorPlanTest, ExcludesThatLeaveNothing) {
  const struct {
    std::vector<std::string> patterns;
    std::vector<std::string> files;  // "name/" for an empty directory
    bool nothing;
  } cases[] = {
      {{"*"}, {"a", "d/b"}, true},
      {{"/**"}, {"d/e/f"}, true},
      {{"*.tmp"}, {"a.tmp", "d/b.tmp", "e/"}, true},  // directories are no files
      {{"/*/**"}, {"d/a"}, true},
      {{"*.tmp"}, {"a.tmp", "d/c"}, false},
      {{"*.tmp"}, {"d/e/link"}, false},      // a link is copied
      {{"*.tmp"}, {"a.tmp", "fifo"}, true},  // a FIFO is passed over
      {{"x"}, {"d/"}, false},                // nothing left out: an empty tree is not the patterns' doing
      {{"*.tmp"}, {"lost+found/f", "a.tmp"}, true},
  };
  for (const auto& c : cases) {
    const std::string root = "/" + std::to_string(&c - cases);
    memory.AddDir(root);
    for (const std::string& file : c.files) {
      if (file.back() == '/')
        memory.AddDir(root + "/" + file);
      else if (file.find("link") != std::string::npos)
        memory.AddLink(root + "/" + file, "a.tmp");
      else if (file == "fifo")
        memory.AddSpecial(root + "/" + file);
      else
        memory.AddFile(root + "/" + file, "x", 1000);
    }
    std::unique_ptr<OsDir> source;
    ASSERT_TRUE(os.OpenDir(root, true, &source).ok());
    EXPECT_EQ(ExcludesLeaveNothing(*source, *ExcludeSet::Parse(c.patterns, false), "lost+found"), c.nothing) << root;
  }
}

}  // namespace
}  // namespace veldar
