// printf-style formatting into a std::string, for the programs' fixed
// message texts.
#pragma once

#include <string>

namespace common {

#if defined(__MINGW32__)
__attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string Format(const char* format, ...);

}  // namespace common
