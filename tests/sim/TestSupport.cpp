#include "sim/TestSupport.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <zlib.h>
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's count (its allocator replaces the C library's).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace telvo::test {

sockaddr_in loopbackAddress(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

std::string vectorsDir() {
    return TELVO_VECTORS_DIR;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Value loadWycheproof(const std::string& fileName) {
    std::string error;
    auto v = Value::fromJSON(readFile(vectorsDir() + "/wycheproof/" + fileName), &error);
    if (!v) throw std::runtime_error("cannot read " + fileName + ": " + error);
    return *v;
}

Bytes hex(const std::string& text) {
    Bytes out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("bad hex digit");
    };
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) digits.push_back(c);
    if (digits.size() % 2) throw std::invalid_argument("odd hex length");
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
    return out;
}

std::string toHex(ByteView bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

std::vector<VectorRecord> loadVectors(const std::string& relativePath) {
    const std::string path = std::string(TELVO_SOURCE_DIR) + "/tests/" + relativePath;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<VectorRecord> records(1);
    std::string line, last;
    auto trim = [](std::string t) {
        const char* space = " \t\r";
        t.erase(0, t.find_first_not_of(space));
        t.erase(t.find_last_not_of(space) + 1);
        return t;
    };
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '#') continue;
        if (trim(line).empty()) {
            if (!records.back().empty()) records.emplace_back();
        } else if ((line[0] == ' ' || line[0] == '\t') && !last.empty()) {
            records.back()[last] += trim(line);
        } else if (auto eq = line.find('='); eq != std::string::npos) {
            last = trim(line.substr(0, eq));
            records.back()[last] = trim(line.substr(eq + 1));
        }
    }
    if (records.back().empty()) records.pop_back();
    return records;
}

size_t peakResidentBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return size_t(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

std::string gzipOfZeros(size_t mebibytes) {
    const std::string zeros(1 << 20, '\0');
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    auto pump = [&](const std::string& in, int flush) {
        std::string out(in.size() / 64 + 64, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = uInt(in.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = uInt(out.size());
        deflate(&z, flush);
        out.resize(out.size() - z.avail_out);
        return out;
    };
    std::string body = pump(zeros, Z_FULL_FLUSH);
    const std::string next = pump(zeros, Z_FULL_FLUSH);
    for (size_t i = 1; i < mebibytes; ++i) body += next;
    std::string end = pump({}, Z_FINISH);
    deflateEnd(&z);
    // The trailer: CRC-32 and length (mod 2^32) of everything, little-endian.
    const uLong one = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), uInt(zeros.size()));
    uLong crc = one;
    for (size_t i = 1; i < mebibytes; ++i) crc = crc32_combine(crc, one, z_off_t(zeros.size()));
    const uint32_t trailer[2] = {uint32_t(crc), uint32_t(mebibytes << 20)};
    body += end.substr(0, end.size() - 8);
    body.append(reinterpret_cast<const char*>(trailer), sizeof trailer);
    return body;
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    put(name_, value);
}

ScopedEnvironment::~ScopedEnvironment() {
    put(name_, old_);
}

void ScopedEnvironment::put(const std::string& name, const std::optional<std::string>& value) {
    if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
    else
        ::unsetenv(name.c_str());
}

}  // namespace telvo::test
