// printf-style formatting into a std::string, for the programs' fixed
// message texts.
#pragma once

#include <string>

namespace common {

// The compiler checks each call's arguments against its format, as for
// printf itself.
#if defined(__MINGW32__)
#define TESK_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
#define TESK_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define TESK_PRINTF_FORMAT
#endif

TESK_PRINTF_FORMAT std::string Format(const char* format, ...);

}  // namespace common
