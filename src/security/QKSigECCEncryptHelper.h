#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/crypto/KeyStore.h"
#include "platform/crypto/Trust.h"
#include "telvosdk/Bytes.h"

namespace telvo {

// The key pair of the helper's shared instance; the references are shared with whoever
// else holds them.
struct SigSeckeyModel {
    SecKeyRef privateKey;
    SecKeyRef publicKey;
};

// The platform key store and certificate trust behind a few class operations, which are
// stateless, lock-free and callable from any thread. Certificate failures go to the
// platform's own diagnostics, not through the SDK's logging gate.
//
// The shared instance (share()) holds one permanent P-256 pair of its own; its operations may
// run on any thread and run their completions synchronously on the caller's thread.
class QKSigECCEncryptHelper {
  public:
    // Public key data and private key data.
    using KeyPairBlock = std::function<void(const Bytes& publicKey, const Bytes& privateKey)>;

    // The process-wide instance, made once with an empty key pair.
    static std::shared_ptr<QKSigECCEncryptHelper> share();
    static void resetForTesting();

    // getECCKeyPair with a completion that does nothing.
    void eccInit();
    // getECCKeyPairWithKeySize with 256.
    void getECCKeyPair(const KeyPairBlock& completion);
    // For the sizes generateSecKeyPairWithKeySize accepts: makes a permanent pair, keeps both
    // references in seckeyModel and calls the completion with the exported public key (empty
    // on failure) and always empty private key data. Other sizes: no completion at all.
    void getECCKeyPairWithKeySize(int size, const KeyPairBlock& completion);
    // The held public key as 64 raw bytes (X, Y); nothing without a pair.
    std::optional<Bytes> getPublicKeyData() const;
    // The 32-byte ECDH secret of the held private key with an appliance key of 64 raw bytes.
    std::optional<Bytes> getSharedSecretWithDevicePublicKey(ByteView devicePublicKey) const;
    // The same: 04 is put in front of the raw key, which must be a P-256 point; nothing
    // without a held private key.
    std::optional<Bytes> calculateSharedSecretEithPublicKey(ByteView publicKey) const;
    // An RSA key reference from PKCS#1 data: of the public class when isPublic, else of the
    // private class; nullptr when the data is not such a key.
    SecKeyRef publicSecKeyFromKeyBits(ByteView keyData, bool isPublic) const;
    SigSeckeyModel seckeyModel() const;

    // Logs the certificate's subject summary, common name and e-mail addresses.
    static void getcertificateInfoRefrenceFromData(const std::optional<Bytes>& certificateData);
    // The external representation of the first identity's private key in PKCS#12 data;
    // nothing for a wrong passphrase or data that does not read.
    static std::optional<Bytes> getPrivateKeyRefrenceFromData(const std::optional<Bytes>& p12Data,
                                                              const std::string& password);

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

  private:
    mutable std::mutex mutex_;
    SigSeckeyModel seckeyModel_;
};

}  // namespace telvo
