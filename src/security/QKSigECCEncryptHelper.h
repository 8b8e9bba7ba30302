#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/KeyStore.h"
#include "platform/Trust.h"
#include "telvosdk/Bytes.h"

namespace telvo {

// The platform key store and certificate trust behind a few class operations. Stateless and
// lock-free; callable from any thread. Certificate failures go to the platform's own
// diagnostics, not through the SDK's logging gate.
class QKSigECCEncryptHelper {
  public:
    // A permanent EC pair tagged "com.apple.sample.privatekey/0" / "com.apple.sample.publickey/0".
    // Sizes other than 256, 512, 1024 and 2048 give false without asking the key store; the
    // key store itself makes only 256-bit pairs. True only when the key store succeeded and
    // both out places were given.
    static bool generateSecKeyPairWithKeySize(int size, SecKeyRef* publicKeyRef,
                                              SecKeyRef* privateKeyRef);
    // A non-permanent P-256 pair; true under the same condition.
    static bool generateTempP256SecKeyPairWithPublicKeyRef(SecKeyRef* publicKeyRef,
                                                           SecKeyRef* privateKeyRef);
    // The key's external representation (P-256: 65 bytes public, 97 bytes private); nothing
    // for a null key or when the key store refuses.
    static std::optional<Bytes> getPublicKeyBitsFromKey(const SecKeyRef& key);
    // The public key of a DER certificate (65 bytes for P-256), or nothing.
    static std::optional<Bytes> getPublicKeyRefrenceFromData(
        const std::optional<Bytes>& certificateData);
    // True when the certificate, with the optional intermediate, chains to the root as the
    // only anchor at the current verification time.
    static bool validCertificate(const std::optional<Bytes>& certificate,
                                 const std::optional<Bytes>& rootCerData,
                                 const std::optional<Bytes>& intermediateData);
    // A trust object for the certificate (and intermediate), owned by the caller, already
    // evaluated once against the platform's own anchors; nothing on any failure.
    static std::unique_ptr<SecTrust> getSecTrustWithCertificateData(
        const std::optional<Bytes>& certificateData, const std::optional<Bytes>& intermediateData);
    // The certificate's notAfter as "YYYY-MM-DD hh:mm:ss", as the certificate states it.
    static std::optional<std::string> getExpiredDateStrWithCerData(
        const std::optional<Bytes>& certificateData);
};

}  // namespace telvo
