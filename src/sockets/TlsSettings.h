#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto/Trust.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo {

// The settings of QKGCDAsyncSocket::startTLS (keys in QKGCDAsyncSocket.h), read and checked
// before anything of OpenSSL's is made. Pure: no socket, no OpenSSL object.
struct TlsSettings {
    bool server = false;
    bool manualTrust = false;
    // As given; absent (or given empty): the socket names its peer. Never empty.
    std::optional<std::string> peerName;
    Bytes peerID;  // the session cache's key; empty: none
    // The protocol bounds as OpenSSL versions (0 leaves a bound open), when given.
    std::optional<int> minVersion;
    std::optional<int> maxVersion;
    // The cipher suites asked for, by number, in their order; absent: OpenSSL's own.
    std::optional<std::vector<uint64_t>> cipherSuites;
    // This side's identity (a server's is required) and the certificates sent after its own.
    std::shared_ptr<SecIdentity> identity;
    std::vector<SecCertificateRef> chain;

    // The settings; nullopt when a value has the wrong type or is out of range, with its key
    // in *invalidKey. Unknown keys are ignored.
    static std::optional<TlsSettings> parse(const Dictionary& settings, std::string* invalidKey);
};

}  // namespace telvo
