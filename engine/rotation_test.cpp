#include "engine/rotation.h"

#include <gtest/gtest.h>

namespace veldar {
namespace {

// Generations "s_1".."s_<n>", numbered by the given order (newest first).
std::vector<CFileEntry> Listed(const std::vector<std::string>& newestFirst) {
  std::vector<CFileEntry> list;
  for (std::size_t i = 0; i < newestFirst.size(); ++i) {
    CFileEntry entry;
    entry.name = newestFirst[i];
    entry.generation = static_cast<std::int32_t>(i);
    list.push_back(entry);
  }
  return list;
}

std::string Names(const std::vector<CFileEntry>& list) {
  std::string names;
  for (const CFileEntry& entry : list) names += (names.empty() ? "" : " ") + entry.name;
  return names;
}

TEST(RotationTest, NameReplacedAndSurplusFollowTheCountAndTheFreeNames) {
  using Naming = Rotation::Naming;
  struct Row {
    const char* what;
    std::vector<std::string> present;  // newest first
    int count;
    const char* freeName;
    bool exchange;
    bool planned;
    const char* name;
    const char* replaced;
    const char* surplus;
    bool limitReached;
    Naming naming;
  };
  const Row rows[] = {
      {"first run", {}, 3, "s_1", true, true, "s_1", "", "", false, Naming::kFree},
      {"room left", {"s_2", "s_1"}, 3, "s_3", true, true, "s_3", "", "", false, Naming::kFree},
      {"count reached", {"s_3", "s_1", "s_2"}, 3, "", true, true, "s_2", "s_2", "", false, Naming::kExchange},
      {"no swap in one step", {"s_3", "s_1", "s_2"}, 3, "", false, true, "s_2", "s_2", "", false, Naming::kSwapName},
      {"count lowered",
       {"s_4", "s_3", "s_1", "s_2"},
       2,
       "",
       true,
       true,
       "s_3",
       "s_3",
       "s_1 s_2",
       false,
       Naming::kExchange},
      {"every name taken", {"s_2", "s_1"}, 5, "", true, true, "s_1", "s_1", "", true, Naming::kExchange},
      {"count of one", {"s_2", "s_1"}, 1, "", true, true, "s_2", "s_2", "s_1", false, Naming::kExchange},
      {"nothing to reuse", {}, 3, "", true, false, "", "", "", false, Naming::kFree},
      // Where no directory is renamed, a free name is taken even once the
      // count is reached, and what it makes room for goes after.
      {"in place, room left", {"s_2", "s_1"}, 3, "s_3", false, true, "s_3", "", "", false, Naming::kInPlace},
      {"in place, count reached",
       {"s_3", "s_1", "s_2"},
       3,
       "s_4",
       false,
       true,
       "s_4",
       "",
       "s_2",
       false,
       Naming::kInPlace},
      {"in place, count lowered",
       {"s_4", "s_3", "s_1", "s_2"},
       2,
       "s_5",
       false,
       true,
       "s_5",
       "",
       "s_3 s_1 s_2",
       false,
       Naming::kInPlace},
      {"in place, every name taken", {"s_2", "s_1"}, 2, "", false, true, "s_1", "s_1", "", false, Naming::kInPlace},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::optional<Rotation> rotation = PlanRotation(Listed(row.present), row.count, row.freeName, row.exchange,
                                                          /*inPlace=*/row.naming == Naming::kInPlace);
    ASSERT_EQ(rotation.has_value(), row.planned);
    if (!rotation) continue;
    EXPECT_EQ(rotation->name, row.name);
    EXPECT_EQ(rotation->replaced ? rotation->replaced->name : "", row.replaced);
    EXPECT_EQ(Names(rotation->surplus), row.surplus);
    EXPECT_EQ(rotation->limitReached, row.limitReached);
    EXPECT_EQ(rotation->naming, row.naming);
  }
}

}  // namespace
}  // namespace veldar
