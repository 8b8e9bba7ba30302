// ECDH on raw peer-key input. Byte 0 picks the curve (and, for P-256, also runs the session
// holder's class operation); the rest is the peer key as it arrives. Whatever we accept must be
// a point OpenSSL accepts, and the shared secret must equal OpenSSL's.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <cstdlib>

#include "platform/crypto/OpenSSLPtr.h"
#include "security/QKEllipticCurveSecret.h"
#include "telvosdk/QKEllipticCurveCrypto.h"

namespace {

struct Curve {
    int bits;
    int nid;
};
constexpr Curve kCurves[] = {{128, NID_secp128r1},
                             {192, NID_X9_62_prime192v1},
                             {256, NID_X9_62_prime256v1},
                             {384, NID_secp384r1}};

// X of d * peer by OpenSSL, or empty when it refuses the encoding.
telvo::Bytes opensslSecret(int nid, telvo::ByteView peer, telvo::ByteView d, size_t width) {
    telvo::EcGroupPtr group(EC_GROUP_new_by_curve_name(nid));
    const EC_GROUP* g = group.get();
    telvo::EcPointPtr point(EC_POINT_new(g)), product(EC_POINT_new(g));
    telvo::BignumPtr scalar(BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr));
    telvo::BignumPtr x(BN_new());
    telvo::Bytes out;
    if (EC_POINT_oct2point(g, point.get(), peer.data(), peer.size(), nullptr) == 1 &&
        EC_POINT_mul(g, product.get(), nullptr, point.get(), scalar.get(), nullptr) == 1 &&
        EC_POINT_get_affine_coordinates(g, product.get(), x.get(), nullptr, nullptr) == 1) {
        out.resize(width);
        BN_bn2binpad(x.get(), out.data(), static_cast<int>(width));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const Curve& curve = kCurves[data[0] & 3];
    telvo::ByteView peer(data + 1, size - 1);
    const size_t width = static_cast<size_t>(curve.bits / 8);

    static std::shared_ptr<telvo::QKEllipticCurveCrypto> keys[4];
    auto& crypto = keys[data[0] & 3];
    if (!crypto) crypto = telvo::QKEllipticCurveCrypto::generateKeyPairForCurve(curve.bits);
    if (!crypto || !crypto->privateKey()) abort();
    const telvo::Bytes privateKey = *crypto->privateKey();

    auto compressed = crypto->compressPublicKey(peer);
    auto uncompressed = crypto->decompressPublicKey(peer);
    if (compressed && compressed->size() != width + 1) abort();
    if (uncompressed && uncompressed->size() != 2 * width + 1) abort();

    std::optional<telvo::Bytes> ours;
    if (compressed) ours = crypto->sharedSecretForPublicKey(*compressed);
    telvo::Bytes theirs = opensslSecret(curve.nid, peer, privateKey, width);
    // OpenSSL also takes the hybrid form (06/07); we never do.
    bool standardForm = !peer.empty() && peer[0] >= 0x02 && peer[0] <= 0x04;
    if (ours.has_value() != (standardForm && !theirs.empty())) abort();
    if (ours && *ours != theirs) abort();

    if (curve.bits == 256) {
        auto session = telvo::QKEllipticCurveSecret::computeECDHWithPublicKeyData(peer, privateKey);
        bool raw = peer.size() == 64;
        telvo::Bytes expected = ours ? *ours : telvo::Bytes{};
        if (raw) {
            telvo::Bytes prefixed{0x04};
            prefixed.insert(prefixed.end(), peer.begin(), peer.end());
            expected = opensslSecret(curve.nid, prefixed, privateKey, width);
        }
        if (session.has_value() != !expected.empty()) abort();
        if (session && *session != expected) abort();
    }
    return 0;
}
