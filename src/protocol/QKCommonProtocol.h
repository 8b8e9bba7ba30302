#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo {

// The certificate key agreement with an appliance, as message bodies: the app sends M1 (its
// certificate chain, or a bare public key, and a random N1), the appliance answers M2 (its
// chain, N2 and the proof "fins"), the app sends M3 (its proof "finsc"), the appliance closes
// with M4 (a result byte and N2 sealed with AES-CCM under the agreed 16-byte session key).
//
// The bodies are the same whatever frames carry them (LAN frames of type 0x75, BLE frames of
// type 0x10); this class knows nothing of frames. It keeps no state apart from the counter of
// getCommandId, and every operation may run on any thread.
//
// The key-agreement dictionary carries these keys between the parser, the session and the
// checks: "subCmd", "version" (numbers); "oriBody", "twoCerData", "deviceCerData",
// "randomData", "finsData", "m2DataNoFins", "m4Data" (bytes, from the parser); "tlsRandomN1",
// "tlsDataM1", "tlsRandomN2", "tlsSessionKey" (bytes, added by the session); "finscData" and
// "errCode" (from the checks).
class QKCommonProtocol {
  public:
    // M1, certificate form: 01 01, intermediate certificate, app certificate and N1, each
    // behind its length (two bytes little-endian for the certificates, one for N1). Empty when
    // a length does not fit its field.
    static Bytes msgBodyM1WithAppCert(ByteView appCert, ByteView twoCert, ByteView randomN1);
    // M1, one-way form: 03 01, the public key behind a two-byte length, N1 behind a one-byte
    // length. Empty when a length does not fit its field.
    static Bytes msgBodyM1WithAppPublicKey(ByteView publicKey, ByteView randomN1);
    // M3: 02 01, the length of finsc in one byte, finsc. Empty when finsc is over 255 bytes.
    static Bytes msgBodyTLSAuthSecretKey(ByteView finsc);

    // Parses a reply body (M2 or M4). nullopt when it is shorter than 5 bytes. Always holds
    // "subCmd", "version" and "oriBody"; adds the M2 fields for sub command 1 or 3, the M4
    // field for sub command 2 (version 1 only) when they parse.
    static std::optional<Dictionary> dicForAesKeyTLSReplyWithData(ByteView body);
    // The M2 fields, or nullopt when the status byte is not 0, a length is 0 or a field runs
    // past the body. Also gives "oriBody": the body up to the end of fins, so that bytes
    // trailing the message stay out of the proofs.
    static std::optional<Dictionary> dicForAesKeyTLSReplyWithDataSub1(ByteView body);
    // "m4Data", or nullopt when its length is 0 or runs past the body.
    static std::optional<Dictionary> dicForAesKeyTLSReplyWithDataSub2(ByteView body);

    // Checks M2 (the appliance's chain against tlsRootCer, then fins) and derives the session
    // key. Needs the parsed M2 with "tlsRandomN1" and "tlsDataM1" added. The private key is
    // privateKey when it is not empty, else tlsPrivateKey of the SDK-wide configuration.
    // Success: "tlsSessionKey" and "finscData". Failure: "errCode" 2 (chain not trusted, M2
    // fields missing, no root, or no shared secret), 3 (fins differ; "tlsSessionKey" is set).
    static Dictionary checkTLSKeyAgreementBackDict(const Dictionary& dict, ByteView privateKey);
    // Checks M4 with "tlsSessionKey", "tlsRandomN2" and "m4Data". "errCode": 0 success, 1 the
    // sealed result does not open or is 16 bytes or fewer, 2 result byte not 0, 3 N2 differs.
    static Dictionary checkTLSAuthSecretReply(const Dictionary& dict);

    // 16 bytes from the secure random source; when it fails, each byte 1..255 from uniform
    // draws, so never 0.
    static Bytes randomToken();
    // Lowercase hex of a new randomToken.
    static std::string randomTokenString();
    // A request tag, never 0. Lock-free and safe from any thread.
    static uint32_t getCommandId();

    // Bind-token body: 01 01, the token behind a two-byte length. Empty when it does not fit.
    static Bytes msgBodyValidBindToken(ByteView token);
    // "version", "type", "result" (bytes 0 to 2) and "oriBody"; nullopt under 3 bytes.
    static std::optional<Dictionary> dicForValidBindTokenWithData(ByteView body);

    // Writes the two certificates as "twoCerData.cer" and "deviceCerData.cer" into the
    // documents folder the host set (AppFolders) and logs each path. Writes nothing when no
    // folder is set; a certificate that is absent is skipped. Each file is written whole or
    // not at all.
    void testSaveDeviceCer(const std::optional<Bytes>& twoCerData,
                           const std::optional<Bytes>& deviceCerData) const;
};

}  // namespace telvo
