#include "SectionReader.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <memory>

#include "platform/crypto/OpenSSLPtr.h"
#include "sim/TestSupport.h"

namespace telvo::test {

namespace {

bool decrypt(ByteView in, const Bytes& key, const Bytes& iv, Bytes& out) {
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    out.assign(in.size() + 16, 0);
    int n1 = 0, n2 = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.data()) != 1 ||
        EVP_DecryptUpdate(ctx.get(), out.data(), &n1, in.data(), static_cast<int>(in.size())) !=
            1 ||
        EVP_DecryptFinal_ex(ctx.get(), out.data() + n1, &n2) != 1)
        return false;
    out.resize(static_cast<size_t>(n1 + n2));
    return true;
}

bool gunzip(const Bytes& in, std::string& out) {
    z_stream s;
    std::memset(&s, 0, sizeof s);
    if (inflateInit2(&s, 31) != Z_OK) return false;
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    char buf[4096];
    int rc;
    do {
        s.next_out = reinterpret_cast<Bytef*>(buf);
        s.avail_out = sizeof buf;
        rc = inflate(&s, Z_NO_FLUSH);
        out.append(buf, sizeof buf - s.avail_out);
    } while (rc == Z_OK);
    bool complete = rc == Z_STREAM_END && s.avail_in == 0;
    inflateEnd(&s);
    return complete;
}

}  // namespace

std::vector<std::string> readSections(const std::string& path, const Bytes& key, const Bytes& iv) {
    const std::string file = readFile(path);
    std::vector<std::string> sections;
    size_t at = 0;
    while (at + 6 <= file.size()) {
        const auto* p = reinterpret_cast<const uint8_t*>(file.data() + at);
        uint32_t length = uint32_t{p[1]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 8 | p[4];
        if (p[0] != 0x01 || at + 6 + length > file.size() || p[5 + length] != 0x00) {
            sections.push_back("!");
            break;
        }
        Bytes plain;
        std::string text;
        bool ok = decrypt(ByteView(p + 5, length), key, iv, plain) && gunzip(plain, text);
        sections.push_back(ok ? text : "!");
        at += 6 + length;
    }
    if (at != file.size()) sections.push_back("!");
    return sections;
}

std::vector<std::string> readLines(const std::string& path, const Bytes& key, const Bytes& iv) {
    std::vector<std::string> lines;
    for (const std::string& section : readSections(path, key, iv)) {
        if (section == "!") {
            lines.push_back("!");
            continue;
        }
        size_t start = 0;
        for (size_t nl; (nl = section.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(section.substr(start, nl - start));
        if (start != section.size()) lines.push_back("!unterminated");
    }
    return lines;
}

}  // namespace telvo::test
