#pragma once

// Core's logging. The logging gate sits above core (it reads its switches from the settings
// store) and installs itself here from TelvoSDKInitialize; core's lines then take the same way
// as every other line of the library, with their own file, function and line. Before that a
// line is dropped.
//
//   QKCORELOG("QKUserDefault %s", failure.c_str());

#include <cstdarg>

namespace telvo {

using CoreLogGate = void (*)(const char* file, const char* function, int line, const char* format,
                             va_list args);

// Any thread; the last gate installed wins.
void setCoreLogGate(CoreLogGate gate);

void coreLog(const char* file, const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace telvo

#define QKCORELOG(...) ::telvo::coreLog(__FILE__, __func__, __LINE__, __VA_ARGS__)
