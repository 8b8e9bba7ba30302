#pragma once

// The library's entry header for an app.

namespace telvo {

// The library's version text, "major.minor.patch".
const char* TelvoSDKVersion();

// Registers every class the library looks up by name at run time. Safe to call more than
// once and from any thread; the first call does the work.
void TelvoSDKInitialize();

}  // namespace telvo
