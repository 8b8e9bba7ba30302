#pragma once

#include <string>
#include <vector>

#include "telvosdk/Bytes.h"

namespace telvo::test {

// Reads an encrypted day file the way an outside tool does, without the store's code: split
// the 0x01 | length | ciphertext | 0x00 frames, decrypt each with OpenSSL (AES-128-CBC,
// PKCS#7) and gunzip it with zlib. One text per section; a section that fails gives "!".
std::vector<std::string> readSections(const std::string& path, const Bytes& key, const Bytes& iv);
// The lines of all sections, in order.
std::vector<std::string> readLines(const std::string& path, const Bytes& key, const Bytes& iv);

}  // namespace telvo::test
