#include "engine/dry_run.h"

#include <vector>

#include "engine/mirror_plan.h"
#include "engine/reporter.h"

namespace veldar {

bool WrittenLater(const FileStatus& a, const FileStatus& b) {
  return a.mtimeSec != b.mtimeSec ? a.mtimeSec > b.mtimeSec : a.mtimeNsec > b.mtimeNsec;
}

int DescribePlan(MirrorPlan& plan, char separator, Reporter& reporter, const DryRunOutput& output) {
  using Action = DryRunItem::Action;
  using First = steps::Counterpart::First;
  // The names of the directories entered, from the top down.
  std::vector<std::string> levels;
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
  // A counterpart of another kind removed first.
  auto replaced = [&](const std::optional<steps::Counterpart>& counterpart) {
    if (counterpart && counterpart->first == First::kRemove) {
      tell(Action::kDelete, counterpart->name, counterpart->status.kind == EntryKind::Directory);
    }
  };
  auto copy = [&](const steps::CopyFile& step) {
    replaced(step.counterpart);
    output(DryRunItem{Action::kCopy, pathOf(step.name), false, step.source.size,
                      step.counterpart && step.counterpart->first != First::kRemove &&
                          WrittenLater(step.counterpart->status, step.source)});
  };
  plan.Rewind();
  MirrorStep step;
  while (plan.Next(&step)) {
    if (const auto* leftover = std::get_if<steps::RemoveLeftover>(&step)) {
      output(DryRunItem{Action::kDelete, pathOf(leftover->name), false, 0, false, /*leftover=*/true});
    } else if (const auto* passed = std::get_if<steps::PassOver>(&step)) {
      tell(Action::kPassOver, passed->name);
    } else if (const auto* excluded = std::get_if<steps::Exclude>(&step)) {
      tell(Action::kExclude, excluded->name, excluded->directory);
    } else if (const auto* blocked = std::get_if<steps::Blocked>(&step)) {
      // The failure the real run would log, where a dry run's failures go.
      reporter.Failure(BlockedLine(pathIn(plan.job.source, blocked->name),
                                   pathIn(plan.job.target, blocked->counterpart), blocked->directory));
    } else if (const auto* out = std::get_if<steps::LeaveOut>(&step)) {
      // The line the real run would log, where a dry run's failures go.
      const std::string line = LeftOutLine(*out, pathIn(plan.job.source, out->name), pathIn(plan.job.target, out->name),
                                           pathIn(plan.job.source, out->twin));
      if (out->reason == steps::LeaveOut::Reason::kLink) {
        tell(Action::kPassOver, out->name);
        reporter.Skipped(line);
      } else {
        tell(Action::kOmit, out->name, out->directory);
        reporter.LeaveOut(line, LeftOut{pathIn(plan.job.source, out->name), UnfitReasonOf(out->reason),
                                        out->twin.empty() ? "" : pathIn(plan.job.source, out->twin)});
      }
    } else if (const auto* copied = std::get_if<steps::CopyFile>(&step)) {
      copy(*copied);
    } else if (const auto* shared = std::get_if<steps::ShareFile>(&step)) {
      replaced(shared->copy.counterpart);
      tell(Action::kShare, shared->copy.name, false, shared->copy.source.size);
    } else if (const auto* kept = std::get_if<steps::KeepFile>(&step)) {
      if (kept->access) tell(Action::kAccess, kept->name);
    } else if (const auto* unforced = std::get_if<steps::KeepUnforced>(&step)) {
      if (unforced->access) tell(Action::kAccess, unforced->name);
    } else if (const auto* entered = std::get_if<steps::EnterDirectory>(&step)) {
      replaced(entered->counterpart);
      if (entered->create) tell(Action::kCreate, entered->name, true);
      levels.push_back(entered->name);
    } else if (const auto* pruned = std::get_if<steps::Prune>(&step)) {
      levels.push_back(pruned->name);
    } else if (const auto* leave = std::get_if<steps::Leave>(&step)) {
      // The end of a level: the directory ("." the target itself) gets its
      // source's access where the target had it with another.
      const bool changes = leave->access && leave->access->announce;
      const std::string name = levels.empty() ? "." : levels.back();
      if (!levels.empty()) levels.pop_back();
      if (changes) tell(Action::kAccess, name, true);
    } else if (const auto* deletion = std::get_if<steps::Delete>(&step)) {
      tell(Action::kDelete, deletion->name, deletion->directory);
    } else if (const auto* stop = std::get_if<steps::Stop>(&step)) {
      reporter.ScanFailure(stop->line);
      return 0;
    } else if (const auto* unreadable = std::get_if<steps::Unreadable>(&step)) {
      reporter.Failure(unreadable->line, "", unreadable->failure);
    }
    // Vanished, KeepVanished and Fill tell nothing.
  }
  if (!plan.ok()) {
    reporter.Failure("Scratch File Write Failed", "", plan.error());
    return 0;
  }
  return 1;
}

}  // namespace veldar
