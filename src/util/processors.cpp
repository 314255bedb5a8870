#include "util/processors.hpp"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace beacon {

int available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace beacon
