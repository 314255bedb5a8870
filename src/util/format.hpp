// printf-style formatting into a std::string, for messages built before
// they are printed or stored. The compiler checks every format against its
// arguments, as it does for printf itself.
#pragma once

#include <string>

namespace beacon {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace beacon
