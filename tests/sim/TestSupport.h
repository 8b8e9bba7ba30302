#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo::test {

// The platform's plain log in the tests: nowhere (TestMain installs it; tests that look at the
// lines install their own and put this one back).
inline void quietPlainLog(std::string_view) {}

// 127.0.0.1 and the port, as a socket address.
sockaddr_in loopbackAddress(uint16_t port);

// Root of the public test vectors (shared/vectors beside the project).
std::string vectorsDir();
// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Parses a Wycheproof JSON file under vectors/wycheproof/.
Value loadWycheproof(const std::string& fileName);
// Hex text to bytes (the test's own decoder, independent of the library's helpers).
Bytes hex(const std::string& text);
std::string toHex(ByteView bytes);
// A gzip body that inflates to that many mebibytes of zeros, made without holding them: after a
// full flush every mebibyte compresses to the same bytes (about a kilobyte).
std::string gzipOfZeros(size_t mebibytes);
// The process's peak resident memory so far, in bytes.
size_t peakResidentBytes();

// The heap the process has in use now, on every thread (the C library's allocator, or the
// sanitizer's when one runs): sampled during a run, it shows a bounded peak after an earlier
// larger one, which the process-wide peak above cannot.
size_t heapInUse();

// An environment variable set, or unset with nullopt, for the object's life; what it was
// before comes back at the end.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    static void put(const std::string& name, const std::optional<std::string>& value);
    std::string name_;
    std::optional<std::string> old_;
};

// Known-answer vectors kept beside the tests, read from tests/<relativePath>: records of
// "name = value" lines, separated by blank lines; "#" starts a comment line. A value may go on
// over lines that start with whitespace (joined without it). Throws when the file is missing.
using VectorRecord = std::map<std::string, std::string>;
std::vector<VectorRecord> loadVectors(const std::string& relativePath);

}  // namespace telvo::test
