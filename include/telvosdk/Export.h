#pragma once

// Marks the library's public classes and functions. The library is compiled with hidden symbol
// visibility, so a shared build exports exactly what carries this mark.
#define TELVO_EXPORT __attribute__((visibility("default")))
