#include "engine/rotation.h"

#include <algorithm>

namespace veldar {

std::optional<Rotation> PlanRotation(const std::vector<CFileEntry>& generations, int count, const std::string& freeName,
                                     bool exchange, bool inPlace) {
  const int present = static_cast<int>(generations.size());
  Rotation rotation;
  if (!freeName.empty() && (count > present || inPlace)) {
    rotation.name = freeName;
    if (inPlace) {
      // The oldest beyond the count less one go once the new copy is
      // complete.
      rotation.naming = Rotation::Naming::kInPlace;
      for (int number = std::max(count, 1) - 1; number < present; ++number) {
        if (const CFileEntry* surplus = FindGeneration(generations, number)) rotation.surplus.push_back(*surplus);
      }
    }
    return rotation;
  }
  if (present == 0) return std::nullopt;
  // The count is reached, or every name is taken: what is there is kept, and
  // the oldest generation kept makes room for the new one.
  rotation.limitReached = count > present;
  const int keep = std::clamp(count, 1, present);
  const CFileEntry* replaced = FindGeneration(generations, keep - 1);
  if (replaced == nullptr) return std::nullopt;  // an unnumbered list
  rotation.replaced = *replaced;
  rotation.name = replaced->name;
  rotation.naming = inPlace    ? Rotation::Naming::kInPlace
                    : exchange ? Rotation::Naming::kExchange
                               : Rotation::Naming::kSwapName;
  for (int number = keep; number < present; ++number) {
    if (const CFileEntry* surplus = FindGeneration(generations, number)) rotation.surplus.push_back(*surplus);
  }
  return rotation;
}

void DescribeRotation(const Rotation& rotation, const std::string& backupDir, bool directories, const PathRules& paths,
                      const DryRunOutput& output) {
  if (rotation.replaced) {
    output({DryRunItem::Action::kRecycle, paths.Join(backupDir, rotation.replaced->name), directories, 0});
  }
  for (const CFileEntry& surplus : rotation.surplus) {
    output({DryRunItem::Action::kDeleteGeneration, paths.Join(backupDir, surplus.name), directories, 0});
  }
}

}  // namespace veldar
