// Opens arbitrary sealed messages under fuzzer-chosen parameters; also seals the input and
// checks that it opens again and that OpenSSL's AES-CCM computes the same sealed form.
#include <cstdlib>
#include <cstring>

#include "security/QKVPCCMCrypt.h"
#include "sim/ReferenceCcm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // Byte 0: key length and tag length (any value, valid or not); byte 1: nonce length;
    // byte 2: associated-data length; then key, nonce, associated data, the sealed message.
    static const size_t keyLengths[] = {16, 24, 32, 15};
    size_t keyLength = keyLengths[data[0] & 3];
    int64_t tagLength = static_cast<int64_t>(data[0] >> 2) - 8;  // -8 .. 55
    size_t nonceLength = data[1] % 16;
    size_t adLength = data[2];
    data += 3;
    size = size - 3;
    if (size < keyLength + nonceLength + adLength) return 0;
    telvo::Bytes key(data, data + keyLength);
    telvo::Bytes nonce(data + keyLength, data + keyLength + nonceLength);
    telvo::Bytes ad(data + keyLength + nonceLength, data + keyLength + nonceLength + adLength);
    telvo::ByteView message(data + keyLength + nonceLength + adLength,
                            size - keyLength - nonceLength - adLength);

    telvo::QKVPCCMCrypt ccm(key, nonce, ad, tagLength);
    auto opened = ccm.decryptDataWithData(message);
    if (opened && opened->size() + static_cast<size_t>(tagLength) != message.size()) abort();

    auto sealed = ccm.encryptDataWithData(message);
    bool valid = keyLength != 15 && nonceLength >= 7 && nonceLength <= 13 && tagLength >= 4 &&
                 tagLength <= 16 && tagLength % 2 == 0 &&
                 (nonceLength < 7 || 15 - nonceLength >= 8 ||
                  (message.size() >> (8 * (15 - nonceLength))) == 0);
    if (sealed.has_value() != valid) abort();
    if (!sealed) return 0;
    auto reference =
        telvo::test::referenceCcm(true, key, nonce, ad, message, static_cast<size_t>(tagLength));
    if (reference != sealed) abort();
    auto again = ccm.decryptDataWithData(*sealed);
    if (!again || !std::equal(again->begin(), again->end(), message.begin(), message.end()))
        abort();
    return 0;
}
