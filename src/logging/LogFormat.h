#pragma once

#include <cstdarg>
#include <string>

namespace telvo {

// printf-style formatting into a string; "" when the format cannot be applied.
std::string formatLogText(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace telvo
