#include "engine/dry_run.h"

#include <vector>

#include "engine/mirror_plan.h"
#include "engine/reporter.h"

namespace veldar {

bool WrittenLater(const FileStatus& a, const FileStatus& b) {
  return a.mtimeSec != b.mtimeSec ? a.mtimeSec > b.mtimeSec : a.mtimeNsec > b.mtimeNsec;
}

int DescribePlan(MirrorPlan& plan, char separator, Reporter& reporter, const DryRunOutput& output) {
  using Kind = MirrorStep::Kind;
  using Action = DryRunItem::Action;
  // The names of the directories entered, from the top down, and whether
  // each gets its source's permissions once its level is done.
  std::vector<std::string> levels;
  std::vector<bool> access;
  auto pathOf = [&](const std::string& name) {
    std::string path;
    for (const std::string& level : levels) path += level + separator;
    return path + name;
  };
  auto pathIn = [&](const std::string& top, const std::string& name) {
    std::string path = top;
    for (const std::string& level : levels) path += separator + level;
    return path + separator + name;
  };
  auto tell = [&](Action action, const std::string& name, bool directory = false, std::uint64_t bytes = 0) {
    output(DryRunItem{action, pathOf(name), directory, bytes});
  };
  plan.Rewind();
  MirrorStep step;
  while (plan.Next(&step)) {
    switch (step.kind) {
      case Kind::kRemoveAbandoned:
        output(DryRunItem{Action::kDelete, pathOf(step.name), false, 0, false, /*leftover=*/true});
        break;
      case Kind::kPassOver:
        tell(Action::kPassOver, step.name);
        break;
      case Kind::kExcluded:
        tell(Action::kExclude, step.name, step.directory);
        break;
      case Kind::kBlocked:
        // The failure the real run would log, where a dry run's failures go.
        reporter.Failure(BlockedLine(pathIn(plan.job.source, step.name),
                                     pathIn(plan.job.target, step.counterpart), step.directory));
        break;
      case Kind::kUnfit: {
        // The line the real run would log, where a dry run's failures go.
        const std::string line = LeftOutLine(step, pathIn(plan.job.source, step.name),
                                             pathIn(plan.job.target, step.name),
                                             pathIn(plan.job.source, step.counterpart));
        if (step.unfit == MirrorStep::Unfit::kLink) {
          tell(Action::kPassOver, step.name);
          reporter.Skipped(line);
        } else {
          tell(Action::kOmit, step.name, step.directory);
          reporter.LeaveOut(line, LeftOut{pathIn(plan.job.source, step.name), UnfitReasonOf(step.unfit),
                                          step.counterpart.empty() ? "" : pathIn(plan.job.source, step.counterpart)});
        }
        break;
      }
      case Kind::kVanished:
      case Kind::kNoDelete:
        break;
      case Kind::kFile:
        if (step.removeCounterpart) {
          tell(Action::kDelete, step.counterpart, step.counterpartStatus.kind == EntryKind::Directory);
        }
        switch (step.content) {
          case MirrorStep::Content::kCopy:
            output(DryRunItem{Action::kCopy, pathOf(step.name), false, step.source.size,
                              !step.counterpart.empty() && !step.removeCounterpart &&
                                  WrittenLater(step.counterpartStatus, step.source)});
            break;
          case MirrorStep::Content::kShare:
            tell(Action::kShare, step.name, false, step.source.size);
            break;
          case MirrorStep::Content::kKeep:
          case MirrorStep::Content::kKeepNoForce:
            if (step.setAccess) tell(Action::kAccess, step.name);
            break;
        }
        break;
      case Kind::kEnter:
        if (step.removeCounterpart) tell(Action::kDelete, step.counterpart);
        if (step.create || step.removeCounterpart) tell(Action::kCreate, step.name, true);
        levels.push_back(step.name);
        access.push_back(step.setAccess);
        break;
      case Kind::kPrune:
        levels.push_back(step.name);
        access.push_back(false);
        break;
      case Kind::kLeave:
        if (levels.empty()) {
          // The end of the top level: the target itself.
          if (plan.topAccess) tell(Action::kAccess, ".", true);
          break;
        }
        {
          const std::string name = levels.back();
          const bool changes = access.back();
          levels.pop_back();
          access.pop_back();
          if (changes) tell(Action::kAccess, name, true);
        }
        break;
      case Kind::kDelete:
        tell(Action::kDelete, step.name, step.directory);
        break;
      case Kind::kStop:
        reporter.ScanFailure(step.name);
        return 0;
      case Kind::kUnreadable:
        reporter.Failure(step.name, "", step.failure);
        break;
    }
  }
  if (!plan.ok()) {
    reporter.Failure("Scratch File Write Failed", "", plan.error());
    return 0;
  }
  return 1;
}

}  // namespace veldar
