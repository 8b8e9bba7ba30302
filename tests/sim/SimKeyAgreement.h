#pragma once

#include <memory>
#include <optional>

#include "telvosdk/Bytes.h"

namespace telvo::test {

struct TestIdentity;

// The raw ECDH shared secret (the x coordinate, 32 bytes) of a P-256 identity and a peer's
// uncompressed point; nullopt when the point is not on the curve.
std::optional<Bytes> ecdhP256(const TestIdentity& own, ByteView peerPoint);

// The appliance's side of the certificate key agreement (M1 -> M2, M3 -> M4), written on
// OpenSSL alone so that a fault in the library's own crypto cannot hide on both sides. It works
// on message bodies only; the LAN and BLE simulators wrap them in their own frames.
//
// It holds the appliance key and chain of the shared test PKI (root -> intermediate -> device)
// and hands out the app's credentials from the same PKI, which a test installs in the SDK-wide
// configuration. Not thread-safe: one agreement at a time, driven by one caller.
class SimKeyAgreement {
  public:
    // Ways the appliance can be told to go wrong. Each one changes exactly one thing.
    enum class Misbehaviour {
        None,
        UntrustedChain,      // a self-signed appliance certificate, intermediate of another root
        ExpiredCertificate,  // the appliance certificate under the right chain has expired
        AlteredFins,         // one bit of fins flipped
        M4ResultNotZero,     // the sealed result byte is 1
        WrongN2,             // M4 echoes another random number
        AlteredTag,          // one bit of M4's CCM tag flipped
        ShortM4,             // the sealed plaintext is 16 bytes: result byte and 15 bytes of N2
        ForeignCurveKey,     // a trusted appliance certificate whose key is on P-384
    };

    // The credentials the app needs: the anchor and its own chain and key.
    struct AppCredentials {
        Bytes rootCer;        // DER, the trust anchor (tlsRootCer)
        Bytes twoCer;         // DER, the intermediate that issued the app certificate (tlsTwoCer)
        Bytes appCer;         // DER (tlsAppCer)
        Bytes appPrivateKey;  // 32 raw bytes of the scalar (tlsPrivateKey)
    };

    SimKeyAgreement();
    ~SimKeyAgreement();
    SimKeyAgreement(const SimKeyAgreement&) = delete;
    SimKeyAgreement& operator=(const SimKeyAgreement&) = delete;

    const AppCredentials& appCredentials() const;
    void setMisbehaviour(Misbehaviour misbehaviour) { misbehaviour_ = misbehaviour; }

    // Answers an M1 body (either form) with an M2 body. A certificate-form M1 whose app
    // certificate does not chain to the root is answered with status byte 1 and no fields.
    // nullopt when M1 cannot be parsed.
    std::optional<Bytes> answerM1(ByteView m1);
    // Checks the finsc of an M3 body and answers with an M4 body. A finsc that does not match
    // seals result byte 1. nullopt when M3 cannot be parsed or no M2 was sent.
    std::optional<Bytes> answerM3(ByteView m3);

    // What the appliance holds after the last answer.
    const Bytes& sessionKey() const { return sessionKey_; }
    bool finscVerified() const { return finscVerified_; }

  private:
    struct Pki;
    std::unique_ptr<Pki> pki_;
    Misbehaviour misbehaviour_ = Misbehaviour::None;
    Bytes m1_, m2_, n2_, sessionKey_;
    bool finscVerified_ = false;
};

}  // namespace telvo::test
