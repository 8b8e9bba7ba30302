#pragma once

#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo::test {

// Root of the public test vectors (shared/vectors beside the project).
std::string vectorsDir();
// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Parses a Wycheproof JSON file under vectors/wycheproof/.
Value loadWycheproof(const std::string& fileName);
// Hex text to bytes (the test's own decoder, independent of the library's helpers).
Bytes hex(const std::string& text);
std::string toHex(ByteView bytes);

}  // namespace telvo::test
