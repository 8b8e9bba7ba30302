#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "platform/crypto/KeyStore.h"
#include "sim/TestPki.h"
#include "sockets/QKGCDAsyncSocket.h"
#include "sockets/TlsSettings.h"

namespace telvo {
namespace {

using test::TestPki;

std::shared_ptr<SecIdentity> identityOf(const test::TestIdentity& leaf) {
    Bytes keyData = leaf.publicKey;
    keyData.insert(keyData.end(), leaf.privateKey.begin(), leaf.privateKey.end());
    return std::make_shared<SecIdentity>(SecIdentity{
        SecKey::createWithData(keyData, SecKeyType::ECSECPrimeRandom, SecKeyClass::privateKey),
        SecCertificate::createWithData(leaf.certificate)});
}

// What a client's and a server's settings read as; unknown keys are ignored.
TEST(TlsSettings, ReadsEveryKey) {
    std::string invalid;
    auto plain =
        TlsSettings::parse(Dictionary{{"QKGCDAsyncSocketUseCFStreamForTLS", true}}, &invalid);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->server || plain->manualTrust || plain->peerName || plain->minVersion ||
                 plain->maxVersion || plain->cipherSuites || plain->identity);
    EXPECT_TRUE(plain->peerID.empty());

    auto client = TlsSettings::parse(
        Dictionary{{kCFStreamSSLPeerName, "cloud.example"},
                   {QKGCDAsyncSocketManuallyEvaluateTrust, 1},
                   {QKGCDAsyncSocketSSLPeerID, "peer"},
                   {QKGCDAsyncSocketSSLProtocolVersionMin, int64_t(kTLSProtocol12)},
                   {QKGCDAsyncSocketSSLProtocolVersionMax, int64_t(kTLSProtocolMaxSupported)},
                   {QKGCDAsyncSocketSSLCipherSuites,
                    Value::Array{int64_t(0xC02F), int64_t(0x1301), int64_t(0x10000)}}},
        &invalid);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->peerName, "cloud.example");
    // An empty peer name is no name: the socket's own peer is checked.
    auto emptyName = TlsSettings::parse(Dictionary{{kCFStreamSSLPeerName, ""}}, &invalid);
    ASSERT_TRUE(emptyName);
    EXPECT_FALSE(emptyName->peerName);
    EXPECT_TRUE(client->manualTrust);
    EXPECT_EQ(client->peerID, (Bytes{'p', 'e', 'e', 'r'}));
    EXPECT_EQ(client->minVersion, TLS1_2_VERSION);
    EXPECT_EQ(client->maxVersion, 0);  // left to OpenSSL
    // In the order given; one OpenSSL cannot know is left for the configuring step to skip.
    EXPECT_EQ(client->cipherSuites, (std::vector<uint64_t>{0xC02F, 0x1301, 0x10000}));

    const TestPki& pki = TestPki::shared();
    auto server = TlsSettings::parse(
        Dictionary{{kCFStreamSSLIsServer, true},
                   {kCFStreamSSLCertificates, Value::Array{Value::object(identityOf(pki.server())),
                                                           pki.intermediate().certificate}}},
        &invalid);
    ASSERT_TRUE(server);
    EXPECT_TRUE(server->server);
    ASSERT_TRUE(server->identity);
    ASSERT_EQ(server->chain.size(), 1u);
    EXPECT_EQ(server->chain[0]->data(), pki.intermediate().certificate);
}

// A value of the wrong type or out of range names its key; a server needs an identity.
TEST(TlsSettings, NamesTheKeyOfAWrongValue) {
    const TestPki& pki = TestPki::shared();
    const Value identity = Value::object(identityOf(pki.server()));
    struct Case {
        Dictionary settings;
        const char* key;
    } cases[] = {
        {{{kCFStreamSSLIsServer, "yes"}}, kCFStreamSSLIsServer},
        {{{QKGCDAsyncSocketManuallyEvaluateTrust, Value::Array{}}},
         QKGCDAsyncSocketManuallyEvaluateTrust},
        {{{kCFStreamSSLPeerName, 7}}, kCFStreamSSLPeerName},
        {{{QKGCDAsyncSocketSSLPeerID, 1.5}}, QKGCDAsyncSocketSSLPeerID},
        {{{QKGCDAsyncSocketSSLProtocolVersionMin, int64_t(kSSLProtocol3)}},
         QKGCDAsyncSocketSSLProtocolVersionMin},
        {{{QKGCDAsyncSocketSSLProtocolVersionMax, "TLSv1.3"}},
         QKGCDAsyncSocketSSLProtocolVersionMax},
        {{{QKGCDAsyncSocketSSLCipherSuites, int64_t(0x1301)}}, QKGCDAsyncSocketSSLCipherSuites},
        {{{QKGCDAsyncSocketSSLCipherSuites, Value::Array{"TLS_AES_128_GCM_SHA256"}}},
         QKGCDAsyncSocketSSLCipherSuites},
        {{{kCFStreamSSLIsServer, true}}, kCFStreamSSLCertificates},
        {{{kCFStreamSSLCertificates, Value::Array{pki.server().certificate}}},
         kCFStreamSSLCertificates},
        {{{kCFStreamSSLCertificates, Value::Array{identity, Bytes{0x30, 0x00}}}},
         kCFStreamSSLCertificates},
        {{{kCFStreamSSLCertificates, identity}}, kCFStreamSSLCertificates},
    };
    for (const Case& c : cases) {
        const std::string settings = Value(c.settings).toJSON().value_or("?");
        SCOPED_TRACE(settings);
        std::string invalid;
        EXPECT_FALSE(TlsSettings::parse(c.settings, &invalid));
        EXPECT_EQ(invalid, c.key);
    }
}

}  // namespace
}  // namespace telvo
