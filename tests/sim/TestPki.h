#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"

struct ssl_ctx_st;

namespace telvo::test {

// A P-256 certificate with its key pair.
struct TestIdentity {
    Bytes certificate;    // DER
    Bytes publicKey;      // 65 bytes: 04 || X || Y
    Bytes privateKey;     // 32 bytes: D, left-padded
    Bytes privateKeyDer;  // the key pair as DER (for TLS servers)
};

// The test PKI, generated with OpenSSL on first use and shared by every test of the process:
//
//   root ── intermediate ─┬─ device          (valid until kDeviceNotAfter)
//                         ├─ app             (valid until kAppNotAfter)
//                         └─ expiredDevice   (valid in 2020 only)
//   unrelatedRoot ── foreignIntermediate     (same subject name as intermediate, other key)
//   selfSignedDevice                         (device's subject name, signed by itself)
//   intermediate ── server                   (TLS server for localhost and 127.0.0.1)
//   intermediate ── otherHostServer          (TLS server for other.example.com only)
//   selfSignedServer                         (TLS server for localhost and 127.0.0.1)
//   unrelatedRoot ── attackerServer          (TLS server for localhost and 127.0.0.1)
//   intermediate ── expiredServer            (as server, valid in 2020 only)
//   intermediate ── clientPurposeServer      (as server, but its key usage says TLS client)
//   intermediate ── rsa1024Server            (as server, with an RSA key of 1024 bits)
//   intermediate ── sha1SignedServer         (as server, signed with ECDSA over SHA-1)
//
// Other keys are P-256 and other signatures ECDSA with SHA-256 (the RSA identity has no raw
// publicKey or privateKey, only privateKeyDer). Validity starts on 2020-01-01;
// the CAs and selfSignedDevice end on 2060-01-01. Immutable once made; usable from any thread.
class TestPki {
  public:
    static const TestPki& shared();

    const TestIdentity& root() const { return root_; }
    const TestIdentity& intermediate() const { return intermediate_; }
    const TestIdentity& device() const { return device_; }
    const TestIdentity& app() const { return app_; }
    const TestIdentity& expiredDevice() const { return expiredDevice_; }
    const TestIdentity& unrelatedRoot() const { return unrelatedRoot_; }
    const TestIdentity& foreignIntermediate() const { return foreignIntermediate_; }
    const TestIdentity& selfSignedDevice() const { return selfSignedDevice_; }
    const TestIdentity& server() const { return server_; }
    const TestIdentity& otherHostServer() const { return otherHostServer_; }
    const TestIdentity& selfSignedServer() const { return selfSignedServer_; }
    const TestIdentity& attackerServer() const { return attackerServer_; }
    const TestIdentity& expiredServer() const { return expiredServer_; }
    const TestIdentity& clientPurposeServer() const { return clientPurposeServer_; }
    const TestIdentity& rsa1024Server() const { return rsa1024Server_; }
    const TestIdentity& sha1SignedServer() const { return sha1SignedServer_; }

    // The device's key: 65-byte public key and 32-byte private key D.
    const Bytes& devicePublicKey() const { return device_.publicKey; }
    const Bytes& devicePrivateKey() const { return device_.privateKey; }

    // notAfter of device and app, as "YYYY-MM-DD hh:mm:ss" UTC. The device's is written as
    // UTCTime, the app's as GeneralizedTime.
    static constexpr const char* kDeviceNotAfter = "2048-02-29 12:34:56";
    static constexpr const char* kAppNotAfter = "2051-01-02 03:04:05";
    static constexpr const char* kDeviceCommonName = "Telvo Test Device";

    // A self-signed P-256 leaf with this common name, valid from notBefore to notAfter.
    static TestIdentity makeSelfSigned(const std::string& commonName, std::time_t notBefore,
                                       std::time_t notAfter);
    // Seconds since the epoch of a UTC calendar time.
    static std::time_t utc(int year, int month, int day, int hour, int minute, int second);

    TestPki();

  private:
    TestIdentity root_, intermediate_, device_, app_, expiredDevice_, unrelatedRoot_,
        foreignIntermediate_, selfSignedDevice_, server_, otherHostServer_, selfSignedServer_,
        attackerServer_, expiredServer_, clientPurposeServer_, rsa1024Server_, sha1SignedServer_;
};

// A TLS server's context serves the leaf with its key, then the certificates after it, however
// weak (the client is the one to refuse them); false when OpenSSL takes one of them not.
bool serveIdentity(ssl_ctx_st& context, const TestIdentity& leaf,
                   const std::vector<const Bytes*>& chain);

}  // namespace telvo::test
