// printf-style formatting into a std::string, for messages built before
// they are printed or stored.
#pragma once

#include <cstdio>
#include <string>

namespace beacon {

inline std::string format(const char* fmt, auto... args) {
    std::string text(static_cast<std::size_t>(std::snprintf(nullptr, 0, fmt, args...)), '\0');
    std::snprintf(text.data(), text.size() + 1, fmt, args...);
    return text;
}

}  // namespace beacon
