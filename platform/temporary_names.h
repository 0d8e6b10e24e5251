#pragma once
// The names of the temporary files a copy is written under before it gets its
// own: ".~" + a prefix of the target's name + "." + pid "-" 8 hex digits "-"
// counter + ".tmp". The same on every platform, so that a run can tell a
// leftover of a killed run (whose writer is gone) from a copy in progress.

#include <string_view>

namespace veldar {

inline constexpr char kTempPrefix[] = ".~";
inline constexpr char kTempSuffix[] = ".tmp";

// The writer's process id in a name of that form, or 0 for any other name.
long TemporaryWriter(std::string_view name);

}  // namespace veldar
