// What the planner decides, on trees held in memory: every decision a mirror
// takes (copy, share, keep, keep under no-force, rename for case, replace a
// counterpart of another kind, create, delete, keep what vanished, pass
// over) read back from the plan as the applier will read it. What only a
// disk can show (races, links, permissions applied, flushing) is tested
// where the mirror is applied.

#include "engine/mirror_plan.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "log/activity_log.h"
#include "platform/fault_os.h"
#include "platform/memory_os.h"
#include "tests/test_util.h"

namespace veldar {
namespace {

using Steps = std::vector<std::string>;

// One step in a few words: its kind, its name and the decisions it carries.
std::string Describe(const MirrorStep& step) {
  using Kind = MirrorStep::Kind;
  std::string text;
  auto counterpart = [&] {
    if (step.removeCounterpart) return std::string(" replacing ") + step.counterpart;
    if (!step.counterpart.empty() && step.counterpart != step.name) return " renaming " + step.counterpart;
    return std::string();
  };
  switch (step.kind) {
    case Kind::kRemoveAbandoned: return "remove " + step.name;
    case Kind::kPassOver: {
      static const char* const kWhy[] = {"special", "own", "system", "backup"};
      return "pass " + step.name + " " + kWhy[static_cast<int>(step.passOver)];
    }
    case Kind::kVanished: return "vanished " + step.name;
    case Kind::kFile: {
      static const char* const kContent[] = {"copy", "share", "keep", "keep-no-force"};
      text = "file " + step.name + " " + kContent[static_cast<int>(step.content)] + counterpart();
      if (step.unshare) text += " unshare";
      if (step.setAccess) text += " access";
      return text;
    }
    case Kind::kEnter:
      text = "enter " + step.name + counterpart();
      if (step.create) text += " create";
      if (step.hasReference) text += " reference";
      return text;
    case Kind::kLeave: return "leave";
    case Kind::kDelete: return "delete " + step.name + (step.directory ? "/" : "");
    case Kind::kNoDelete: return "no-delete";
    case Kind::kStop: return "stop";
    case Kind::kExcluded: return "exclude " + step.name + (step.directory ? "/" : "");
  }
  return "?";
}

class MirrorPlanTest : public ::testing::Test {
 protected:
  // The steps of a plan from /s to /t (unless the job names others; with the
  // reference /r when the job names it), top level first, in the planner's
  // order within a level.
  Steps Plan(MirrorJob job) {
    if (job.source.empty()) job.source = "/s", job.target = "/t";
    ActivityLog log(os, sizeLimitKb);
    Reporter reporter(log, messages, LogOptions{}, /*noMessage=*/false);
    MirrorPlan plan(os);
    EXPECT_EQ(MirrorPlanner(os, reporter).Plan(job, &plan), 1);
    totals = plan.totals;
    Steps steps;
    MirrorStep step;
    plan.Rewind();
    while (plan.Next(&step)) steps.push_back(Describe(step));
    return steps;
  }

  MemoryOs memory;
  CaseFoldingOs os{memory, /*folds=*/false};
  std::int32_t sizeLimitKb = 0;
  testing::RecordingMessages messages;
  MirrorTotals totals;
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
      {"defaults", [](MirrorJob&) {},
       {"file changed copy", "enter dir create", "file file copy", "leave", "file equal keep",
        "pass fifo special", "file kind copy replacing kind", "file new copy", "file older keep",
        "delete gone", "delete gonedir/", "leave"}},
      {"exact: an older source is copied too", [](MirrorJob& job) { job.exact = true; },
       {"file changed copy", "enter dir create", "file file copy", "leave", "file equal keep",
        "pass fifo special", "file kind copy replacing kind", "file new copy", "file older copy",
        "delete gone", "delete gonedir/", "leave"}},
      {"no-force: a changed counterpart is kept, one of another kind replaced",
       [](MirrorJob& job) { job.force = false; },
       {"file changed keep-no-force", "enter dir create", "file file copy", "leave", "file equal keep",
        "pass fifo special", "file kind copy replacing kind", "file new copy", "file older keep",
        "delete gone", "delete gonedir/", "leave"}},
      // The copy onto the directory then fails, and says so.
      {"no-delete: what vanished stays (a line per level), and so does a counterpart of another kind",
       [](MirrorJob& job) { job.deleteVanished = false; },
       {"file changed copy", "enter dir create", "file file copy", "no-delete", "leave", "file equal keep",
        "pass fifo special", "file kind copy", "file new copy", "file older keep", "no-delete", "leave"}},
      {"no-time: every file is copied", [](MirrorJob& job) { job.compareTimes = false; },
       {"file changed copy", "enter dir create", "file file copy", "leave", "file equal copy",
        "pass fifo special", "file kind copy replacing kind", "file new copy", "file older copy",
        "delete gone", "delete gonedir/", "leave"}},
  };
  for (const Case& c : cases) {
    MirrorJob job;
    c.policy(job);
    EXPECT_EQ(Plan(job), c.expected) << c.what;
  }
}

// A name that differs only in case is the same entry where the target's file
// system ignores case (renamed to the source's spelling), another entry
// where it does not.
TEST_F(MirrorPlanTest, CaseOnlyDifferencesFollowTheTargetFileSystem) {
  memory.AddFile("/s/README", "new", 3000), memory.AddFile("/t/readme", "old", 1000);
  memory.AddFile("/s/Docs/inner", "new", 2000), memory.AddFile("/t/docs/inner", "new", 2000);
  os.folds = true;
  EXPECT_EQ(Plan({}), (Steps{"enter Docs renaming docs", "file inner keep", "leave",
                            "file README copy renaming readme", "leave"}));
  os.folds = false;
  EXPECT_EQ(Plan({}), (Steps{"enter Docs create", "file inner copy", "leave", "file README copy",
                             "delete docs/", "delete readme", "leave"}));
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
  EXPECT_EQ(Plan(job), (Steps{"remove .~x.99999-00000000-1.tmp", "pass .veldar2.lock own",
                              "file edited copy", "file same share", "enter sub create reference",
                              "file deep share", "leave", "leave"}));
  EXPECT_EQ(totals.filesShared, 2u);
  EXPECT_EQ(totals.filesToCopy, 1u);
  EXPECT_EQ(totals.bytesToCopy, 3u);
}

// Patterns on both sides of each level, by the path below the source: an
// excluded source entry is one step (not entered, its counterpart kept
// whatever it holds, whatever its kind or letter case); an excluded target
// entry that no source entry takes stays, and so does a directory holding
// one. The target ignores case, the patterns as each row says.
TEST_F(MirrorPlanTest, ExcludePatterns) {
  using Paths = std::set<std::string>;
  struct Case {
    std::vector<std::string> patterns;
    bool foldCase;
    // Files ("name=text" for a content of its own), and "name/" for an empty directory.
    std::vector<std::string> source, target;
    Paths copied, deleted, excluded;          // a directory ends in '/'
  } cases[] = {
      {{"*.tmp"}, false, {"a.tmp", "b", "d/c.tmp", "d/e"}, {}, {"b", "d/e"}, {}, {"a.tmp", "d/c.tmp"}},
      {{"build/"}, false, {"build/x", "s/build", "s/y"}, {}, {"s/build", "s/y"}, {}, {"build/"}},
      {{"/top", "a/b"}, false, {"top", "d/top", "a/b", "a/c", "x/a/b"}, {}, {"d/top", "a/c"}, {},
       {"top", "a/b", "x/a/b"}},
      {{"/d/**/cache/"}, false, {"d/cache/1", "d/x/y/cache/2", "d/k", "e/cache/3"}, {},
       {"d/k", "e/cache/3"}, {}, {"d/cache/", "d/x/y/cache/"}},
      {{"*.TMP"}, true, {"a.tmp", "B.Tmp", "c"}, {}, {"c"}, {}, {"a.tmp", "B.Tmp"}},
      {{"*.TMP"}, false, {"a.tmp", "c", "B.TMP"}, {"b.tmp=old"}, {"a.tmp", "c"}, {}, {"B.TMP"}},
      {{"*.log", "cache/"}, false, {"k", "f"}, {"k", "old.log", "cache/z", "old", "g/d/x.log", "h/y", "f/z.log"},
       {}, {"old", "h/"}, {"f"}},
      {{"*.tmp", "cache/", "build/"}, false, {"a.tmp", "cache/new", "d.tmp/x", "build"},
       {"a.tmp=old", "cache/old", "d.tmp", "build/"}, {}, {}, {"a.tmp", "cache/", "d.tmp/", "build"}},
  };
  os.folds = true;
  int number = 0;
  for (const Case& c : cases) {
    const std::string root = "/" + std::to_string(++number);
    auto add = [&](const std::string& tree, const std::string& file) {
      if (file.back() == '/') return memory.AddDir(root + tree + file);
      const auto equals = file.find('=');
      memory.AddFile(root + tree + file.substr(0, equals),
                     equals == std::string::npos ? "same" : file.substr(equals + 1), 1000);
    };
    memory.AddDir(root + "/t");
    for (const std::string& file : c.source) add("/s/", file);
    for (const std::string& file : c.target) add("/t/", file);
    const auto excludes = ExcludeSet::Parse(c.patterns, c.foldCase);
    MirrorJob job;
    job.source = root + "/s", job.target = root + "/t";
    job.excludes = &*excludes;
    std::vector<std::string> at{""};  // the path of each level entered
    Paths copied, deleted, excluded;
    for (const std::string& step : Plan(job)) {
      std::istringstream words(step);
      std::string kind, name, what;
      words >> kind >> name >> what;
      if (kind == "enter") at.push_back(at.back() + name + "/");
      if (kind == "leave") at.pop_back();
      if (kind == "file" && what == "copy") copied.insert(at.back() + name);
      if (kind == "delete") deleted.insert(at.back() + name);
      if (kind == "exclude") excluded.insert(at.back() + name);
    }
    EXPECT_EQ(copied, c.copied) << root;
    EXPECT_EQ(deleted, c.deleted) << root;
    EXPECT_EQ(excluded, c.excluded) << root;
    EXPECT_EQ(totals.excluded, c.excluded.size()) << root;
  }
}

}  // namespace
}  // namespace veldar
