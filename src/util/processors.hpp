// How many processors this process may run on, for sizing worker pools.
#pragma once

namespace beacon {

// The processors in this process's affinity mask (at least 1).
int available_processors();

}  // namespace beacon
