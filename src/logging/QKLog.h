#pragma once

// The one logging macro of the library. The format is always a literal; text that comes from
// an appliance or the cloud enters only as an argument. Nothing in the library depends on
// whether a line is written.
//
//   QKSDKLOG("connect %s:%d", host.c_str(), port);
//   QKSDKLOG_TAG(tag, "request %s", url.c_str());

namespace telvo {

void QKLogGate(const char* tag, const char* file, const char* function, int line,
               const char* format, ...) __attribute__((format(printf, 5, 6)));

// Whether a line would be written now (the settings key "logenable"): for work done only to
// make a line.
bool QKLogEnabled();

// Sends the platform layer's diagnostic lines and the core's log lines through the gate, and the
// platform's plain log to the app's log delegate when it has one (called once by
// TelvoSDKInitialize).
void registerLogging();

}  // namespace telvo

#define QKSDKLOG(...) ::telvo::QKLogGate(nullptr, __FILE__, __func__, __LINE__, __VA_ARGS__)
#define QKSDKLOG_TAG(tag, ...) ::telvo::QKLogGate((tag), __FILE__, __func__, __LINE__, __VA_ARGS__)
