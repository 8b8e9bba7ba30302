#include "security/QKCertificateSigningRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/base/ByteAppend.h"
#include "platform/crypto/Crypto.h"

namespace telvo {

namespace {

constexpr uint8_t kIntegerTag = 0x02;
constexpr uint8_t kBitStringTag = 0x03;
constexpr uint8_t kUtf8StringTag = 0x0C;
constexpr uint8_t kIa5StringTag = 0x16;

const Bytes kRsaSha1Identifier = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                  0xF7, 0x0D, 0x01, 0x01, 0x05, 0x05, 0x00};
const Bytes kRsaSha256Identifier = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                    0xF7, 0x0D, 0x01, 0x01, 0x0B, 0x05, 0x00};
const Bytes kRsaSha512Identifier = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                    0xF7, 0x0D, 0x01, 0x01, 0x0D, 0x05, 0x00};
const Bytes kEcdsaSha1Identifier = {0x30, 0x09, 0x06, 0x07, 0x2A, 0x86,
                                    0x48, 0xCE, 0x3D, 0x04, 0x01};
const Bytes kEcdsaSha256Identifier = {0x30, 0x0A, 0x06, 0x08, 0x2A, 0x86,
                                      0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};
const Bytes kEcdsaSha512Identifier = {0x30, 0x0A, 0x06, 0x08, 0x2A, 0x86,
                                      0x48, 0xCE, 0x3D, 0x04, 0x03, 0x04};

// id-ecPublicKey, prime256v1.
const Bytes kEcPublicKeyAlgorithm = {0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                     0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A,
                                     0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
// rsaEncryption, NULL.
const Bytes kRsaPublicKeyAlgorithm = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                      0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
const Bytes kVersion = {0x02, 0x01, 0x00};
const Bytes kEmptyAttributes = {0xA0, 0x00};
constexpr size_t kEcPublicKeySize = 65;

struct AttributeType {
    Bytes oid;
    uint8_t stringTag;
};

const AttributeType& attributeType(SubjectItem::Kind kind) {
    static const AttributeType commonName{{0x06, 0x03, 0x55, 0x04, 0x03}, kUtf8StringTag};
    static const AttributeType organizationName{{0x06, 0x03, 0x55, 0x04, 0x0A}, kUtf8StringTag};
    static const AttributeType organizationUnitName{{0x06, 0x03, 0x55, 0x04, 0x0B}, kUtf8StringTag};
    static const AttributeType countryName{{0x06, 0x03, 0x55, 0x04, 0x06}, kUtf8StringTag};
    static const AttributeType stateOrProvinceName{{0x06, 0x03, 0x55, 0x04, 0x08}, kUtf8StringTag};
    static const AttributeType serialNumber{{0x06, 0x03, 0x55, 0x04, 0x05}, kUtf8StringTag};
    static const AttributeType localityName{{0x06, 0x03, 0x55, 0x04, 0x07}, kUtf8StringTag};
    static const AttributeType description{{0x06, 0x03, 0x55, 0x04, 0x0D}, kUtf8StringTag};
    static const AttributeType emailAddress{
        {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01}, kIa5StringTag};
    switch (kind) {
        case SubjectItem::Kind::commonName:
            return commonName;
        case SubjectItem::Kind::organizationName:
            return organizationName;
        case SubjectItem::Kind::organizationUnitName:
            return organizationUnitName;
        case SubjectItem::Kind::countryName:
            return countryName;
        case SubjectItem::Kind::stateOrProvinceName:
            return stateOrProvinceName;
        case SubjectItem::Kind::serialNumber:
            return serialNumber;
        case SubjectItem::Kind::localityName:
            return localityName;
        case SubjectItem::Kind::description:
            return description;
        case SubjectItem::Kind::emailAddress:
            return emailAddress;
    }
    return commonName;
}

// DER length: short form below 128, then 0x81 and 0x82 forms. Longer contents are refused.
bool appendDerLength(Bytes& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
    } else if (length <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(length));
    } else if (length <= 0xFFFF) {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(length));
    } else {
        return false;
    }
    return true;
}

bool wrapInTag(Bytes& out, uint8_t tag, ByteView content) {
    out.push_back(tag);
    if (!appendDerLength(out, content.size())) return false;
    appendBytes(out, content);
    return true;
}

bool appendTaggedUtf8String(Bytes& out, uint8_t tag, const std::string& value) {
    return wrapInTag(out, tag,
                     ByteView(reinterpret_cast<const uint8_t*>(value.data()), value.size()));
}

bool appendBitString(Bytes& out, ByteView content) {
    Bytes bits{0x00};
    appendBytes(bits, content);
    return wrapInTag(out, kBitStringTag, bits);
}

// Reads a DER length at offset (advancing it); nothing when it is malformed or runs past data.
std::optional<size_t> readDerLength(ByteView data, size_t& offset) {
    if (offset >= data.size()) return std::nullopt;
    uint8_t first = data[offset++];
    size_t length = first;
    if (first & 0x80) {
        size_t count = first & 0x7F;
        if (count == 0 || count > 4 || data.size() - offset < count) return std::nullopt;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | data[offset++];
    }
    if (data.size() - offset < length) return std::nullopt;
    return length;
}

// Reads one TLV of the given tag at offset; its contents, or nothing.
std::optional<ByteView> readTagged(ByteView data, size_t& offset, uint8_t tag) {
    if (offset >= data.size() || data[offset] != tag) return std::nullopt;
    ++offset;
    auto length = readDerLength(data, offset);
    if (!length) return std::nullopt;
    ByteView contents = data.subspan(offset, *length);
    offset += *length;
    return contents;
}

// The modulus and public exponent of a PKCS#1 RSAPublicKey.
std::optional<std::pair<ByteView, ByteView>> extractRsaPublicExponent(ByteView publicKeyBits) {
    size_t offset = 0;
    auto sequence = readTagged(publicKeyBits, offset, QKCertificateSigningRequest::sequenceTag);
    if (!sequence) return std::nullopt;
    size_t inner = 0;
    auto modulus = readTagged(*sequence, inner, kIntegerTag);
    auto exponent = modulus ? readTagged(*sequence, inner, kIntegerTag) : std::nullopt;
    if (!modulus || !exponent || modulus->empty() || exponent->empty()) return std::nullopt;
    return std::make_pair(*modulus, *exponent);
}

// Percent-encodes every character outside the set a URL query allows.
std::string percentEncodeQuery(const std::string& text) {
    static const char* allowedPunctuation = "!$&'()*+,-./:;=?@_~";
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       (c != 0 && std::strchr(allowedPunctuation, c) != nullptr);
        if (allowed) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

}  // namespace

std::string KeyAlgorithm::type() const {
    return isEC() ? "EC" : "RSA";
}

SecKeyType KeyAlgorithm::secKeyAttrType() const {
    return isEC() ? SecKeyType::ECSECPrimeRandom : SecKeyType::RSA;
}

std::vector<int> KeyAlgorithm::availableKeySizes() const {
    return isEC() ? std::vector<int>{256} : std::vector<int>{512, 1024, 2048};
}

SecKeyAlgorithm KeyAlgorithm::signatureAlgorithm() const {
    switch (signatureType()) {
        case Signature::sha1:
            return isEC() ? SecKeyAlgorithm::ECDSASignatureMessageX962SHA1
                          : SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA1;
        case Signature::sha256:
            return isEC() ? SecKeyAlgorithm::ECDSASignatureMessageX962SHA256
                          : SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA256;
        case Signature::sha512:
            break;
    }
    return isEC() ? SecKeyAlgorithm::ECDSASignatureMessageX962SHA512
                  : SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA512;
}

const Bytes& KeyAlgorithm::signatureAlgorithmIdentifier() const {
    switch (signatureType()) {
        case Signature::sha1:
            return isEC() ? kEcdsaSha1Identifier : kRsaSha1Identifier;
        case Signature::sha256:
            return isEC() ? kEcdsaSha256Identifier : kRsaSha256Identifier;
        case Signature::sha512:
            break;
    }
    return isEC() ? kEcdsaSha512Identifier : kRsaSha512Identifier;
}

QKCertificateSigningRequest::QKCertificateSigningRequest()
    : QKCertificateSigningRequest(KeyAlgorithm::rsa(KeyAlgorithm::Signature::sha512)) {}

QKCertificateSigningRequest::QKCertificateSigningRequest(KeyAlgorithm keyAlgorithm)
    : keyAlgorithm_(keyAlgorithm) {}

QKCertificateSigningRequest::QKCertificateSigningRequest(
    std::optional<std::string> commonName, std::optional<std::string> organizationName,
    std::optional<std::string> organizationUnitName, std::optional<std::string> countryName,
    std::optional<std::string> stateOrProvinceName, std::optional<std::string> localityName,
    std::optional<std::string> serialNumber, std::optional<std::string> emailAddress,
    std::optional<std::string> description, KeyAlgorithm keyAlgorithm)
    : keyAlgorithm_(keyAlgorithm) {
    using Kind = SubjectItem::Kind;
    std::pair<Kind, std::optional<std::string>*> ordered[] = {
        {Kind::commonName, &commonName},
        {Kind::organizationName, &organizationName},
        {Kind::organizationUnitName, &organizationUnitName},
        {Kind::countryName, &countryName},
        {Kind::stateOrProvinceName, &stateOrProvinceName},
        {Kind::localityName, &localityName},
        {Kind::emailAddress, &emailAddress},
        {Kind::description, &description},
        {Kind::serialNumber, &serialNumber},
    };
    for (auto& [kind, value] : ordered) {
        if (*value) addSubjectItem({kind, std::move(**value)});
    }
}

void QKCertificateSigningRequest::addSubjectItem(SubjectItem item) {
    subjectItems_.push_back(std::move(item));
}

std::optional<Bytes> QKCertificateSigningRequest::makePublicKeyInfoDer(
    ByteView publicKeyBits) const {
    Bytes content;
    if (keyAlgorithm_.isEC()) {
        if (publicKeyBits.size() < kEcPublicKeySize) return std::nullopt;
        if (publicKeyBits[0] != 0x04) {
            // Any other form would be written as an uncompressed point that is not one.
            std::printf("Error, framework only supports uncompressed keys\n");
            return std::nullopt;
        }
        appendBytes(content, kEcPublicKeyAlgorithm);
        if (!appendBitString(content, publicKeyBits.first(kEcPublicKeySize))) return std::nullopt;
    } else {
        auto parts = extractRsaPublicExponent(publicKeyBits);
        if (!parts) return std::nullopt;
        Bytes integers;
        Bytes rsaKey;
        if (!wrapInTag(integers, kIntegerTag, parts->first) ||
            !wrapInTag(integers, kIntegerTag, parts->second) ||
            !wrapInTag(rsaKey, sequenceTag, integers)) {
            return std::nullopt;
        }
        appendBytes(content, kRsaPublicKeyAlgorithm);
        if (!appendBitString(content, rsaKey)) return std::nullopt;
    }
    Bytes info;
    if (!wrapInTag(info, sequenceTag, content)) return std::nullopt;
    return info;
}

std::optional<Bytes> QKCertificateSigningRequest::makeRequestInfoDer(ByteView publicKeyBits) {
    Bytes names;
    for (const SubjectItem& item : subjectItems_) {
        const AttributeType& type = attributeType(item.kind);
        Bytes attribute = type.oid;
        Bytes single;
        if (!appendTaggedUtf8String(attribute, type.stringTag, item.value) ||
            !wrapInTag(single, sequenceTag, attribute) || !wrapInTag(names, setTag, single)) {
            return std::nullopt;
        }
    }
    Bytes subject;
    if (!wrapInTag(subject, sequenceTag, names)) return std::nullopt;
    subjectDER_ = subject;

    auto publicKeyInfo = makePublicKeyInfoDer(publicKeyBits);
    if (!publicKeyInfo) return std::nullopt;
    Bytes content = kVersion;
    appendBytes(content, subject);
    appendBytes(content, *publicKeyInfo);
    appendBytes(content, kEmptyAttributes);
    Bytes info;
    if (!wrapInTag(info, sequenceTag, content)) return std::nullopt;
    return info;
}

std::optional<Bytes> QKCertificateSigningRequest::build(ByteView publicKeyBits,
                                                        const SecKeyRef& privateKey,
                                                        const SecKeyRef& publicKey) {
    auto info = makeRequestInfoDer(publicKeyBits);
    if (!info) return std::nullopt;

    const SecKeyAlgorithm algorithm = keyAlgorithm_.signatureAlgorithm();
    ErrorPtr error;
    std::optional<Bytes> signature;
    if (privateKey) {
        signature = privateKey->createSignature(algorithm, *info, &error);
    } else {
        error = makeError(kOSStatusErrorDomain, errSecParam, "no private key");
    }
    if (!signature) {
        std::printf("Error in creating signature: %s\n",
                    error ? error->localizedDescription().c_str() : "");
        return std::nullopt;
    }
    SecKeyRef own = privateKey->copyPublicKey();
    auto ownBits = own ? own->copyExternalRepresentation() : std::nullopt;
    if (!ownBits ||
        !std::equal(ownBits->begin(), ownBits->end(), publicKeyBits.begin(), publicKeyBits.end())) {
        std::printf("The public key bits do not belong to the private key\n");
        return std::nullopt;
    }
    if (publicKey && !publicKey->verifySignature(algorithm, *info, *signature, &error)) {
        std::printf("%s\n", error ? error->localizedDescription().c_str() : "");
        return std::nullopt;
    }

    Bytes content = std::move(*info);
    appendBytes(content, keyAlgorithm_.signatureAlgorithmIdentifier());
    Bytes request;
    if (!appendBitString(content, *signature) || !wrapInTag(request, sequenceTag, content)) {
        return std::nullopt;
    }
    return request;
}

std::optional<std::string> QKCertificateSigningRequest::buildAndEncodeDataAsString(
    ByteView publicKeyBits, const SecKeyRef& privateKey, const SecKeyRef& publicKey) {
    auto request = build(publicKeyBits, privateKey, publicKey);
    if (!request) return std::nullopt;
    return percentEncodeQuery(crypto::base64Encode(*request));
}

std::optional<std::string> QKCertificateSigningRequest::buildCSRAndReturnString(
    ByteView publicKeyBits, const SecKeyRef& privateKey, const SecKeyRef& publicKey) {
    auto text = buildAndEncodeDataAsString(publicKeyBits, privateKey, publicKey);
    if (!text) return std::nullopt;
    std::string pem = "-----BEGIN CERTIFICATE REQUEST-----\n";
    for (size_t i = 0; i < text->size(); i += 64) {
        pem += text->substr(i, 64);
        pem += '\n';
    }
    pem += "-----END CERTIFICATE REQUEST-----\n";
    return pem;
}

}  // namespace telvo
