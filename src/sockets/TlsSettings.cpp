#include "sockets/TlsSettings.h"

#include <openssl/ssl.h>

#include "sockets/QKGCDAsyncSocket.h"

namespace telvo {

namespace {

// OpenSSL's version for a protocol number: 0 leaves the bound open, -1 is refused.
int protocolVersion(int64_t protocol) {
    switch (protocol) {
        case kSSLProtocolUnknown:
        case kSSLProtocolAll:
        case kTLSProtocolMaxSupported:
            return 0;
        case kTLSProtocol1:
            return TLS1_VERSION;
        case kTLSProtocol11:
            return TLS1_1_VERSION;
        case kTLSProtocol12:
            return TLS1_2_VERSION;
        case kTLSProtocol13:
            return TLS1_3_VERSION;
        default:
            return -1;
    }
}

// A flag: absent is false; anything but a number is wrong.
bool readFlag(const Value& value, bool* flag) {
    if (!value.isNull() && !value.isNumber()) return false;
    *flag = value.boolValue();
    return true;
}

bool readVersion(const Value& value, std::optional<int>* version) {
    if (value.isNull()) return true;
    const int v = value.isInteger() ? protocolVersion(value.int64Value()) : -1;
    if (v < 0) return false;
    *version = v;
    return true;
}

bool readSuites(const Value& value, std::optional<std::vector<uint64_t>>* suites) {
    if (value.isNull()) return true;
    if (!value.isArray()) return false;
    std::vector<uint64_t> numbers;
    for (const Value& suite : value.array()) {
        if (!suite.isInteger()) return false;
        numbers.push_back(suite.uint64Value());
    }
    *suites = std::move(numbers);
    return true;
}

// The identity first, then certificates as DER bytes or certificate objects.
bool readCertificates(const Value& value, bool server, TlsSettings* out) {
    if (value.isNull() && !server) return true;
    auto identity = value.at(0).objectAs<SecIdentity>();
    if (!value.isArray() || !identity || !identity->certificate || !identity->privateKey)
        return false;
    out->identity = std::move(identity);
    for (size_t i = 1; i < value.count(); ++i) {
        const Value& entry = value.at(i);
        SecCertificateRef certificate = entry.isBytes()
                                            ? SecCertificate::createWithData(entry.bytes())
                                            : entry.objectAs<SecCertificate>();
        if (!certificate) return false;
        out->chain.push_back(std::move(certificate));
    }
    return true;
}

}  // namespace

std::optional<TlsSettings> TlsSettings::parse(const Dictionary& settings, std::string* invalidKey) {
    TlsSettings out;
    auto invalid = [invalidKey](const char* key) {
        *invalidKey = key;
        return std::nullopt;
    };
    if (!readFlag(settings[kCFStreamSSLIsServer], &out.server))
        return invalid(kCFStreamSSLIsServer);
    if (!readFlag(settings[QKGCDAsyncSocketManuallyEvaluateTrust], &out.manualTrust))
        return invalid(QKGCDAsyncSocketManuallyEvaluateTrust);
    const Value& peerName = settings[kCFStreamSSLPeerName];
    if (peerName.isText()) {
        // An empty name names nobody: the host the socket connected to is checked instead.
        if (!peerName.text().empty()) out.peerName = peerName.text();
    } else if (!peerName.isNull()) {
        return invalid(kCFStreamSSLPeerName);
    }
    const Value& peerID = settings[QKGCDAsyncSocketSSLPeerID];
    if (peerID.isBytes()) {
        out.peerID = peerID.bytes();
    } else if (peerID.isText()) {
        out.peerID.assign(peerID.text().begin(), peerID.text().end());
    } else if (!peerID.isNull()) {
        return invalid(QKGCDAsyncSocketSSLPeerID);
    }
    if (!readVersion(settings[QKGCDAsyncSocketSSLProtocolVersionMin], &out.minVersion))
        return invalid(QKGCDAsyncSocketSSLProtocolVersionMin);
    if (!readVersion(settings[QKGCDAsyncSocketSSLProtocolVersionMax], &out.maxVersion))
        return invalid(QKGCDAsyncSocketSSLProtocolVersionMax);
    if (!readSuites(settings[QKGCDAsyncSocketSSLCipherSuites], &out.cipherSuites))
        return invalid(QKGCDAsyncSocketSSLCipherSuites);
    if (!readCertificates(settings[kCFStreamSSLCertificates], out.server, &out))
        return invalid(kCFStreamSSLCertificates);
    return out;
}

}  // namespace telvo
