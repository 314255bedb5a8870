// What every program's option parser answers: go on with the run, or stop
// now with an exit status (0 after help or the version, 2 after an error).
#pragma once

namespace beacon {

inline constexpr int PARSE_CONTINUE = -1;

}  // namespace beacon
