// TLS between our own sockets on loopback: an accepted socket as server, a client socket,
// the test PKI's chains.

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "platform/crypto/KeyStore.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/http/URLSession.h"
#include "sim/FakeCloud.h"
#include "sim/TestPki.h"
#include "sockets/AsyncSocketDelegates.h"

namespace telvo {
namespace {

using test::EchoServer;
using test::SocketRecorder;
using test::TestIdentity;
using test::TestPki;
using test::waitFor;

// The server side's settings: the identity, then the certificates that lead to a root.
Dictionary serverSettings(const TestIdentity& leaf, std::vector<const TestIdentity*> chain = {}) {
    Bytes keyData = leaf.publicKey;
    keyData.insert(keyData.end(), leaf.privateKey.begin(), leaf.privateKey.end());
    auto identity = std::make_shared<SecIdentity>(SecIdentity{
        SecKey::createWithData(keyData, SecKeyType::ECSECPrimeRandom, SecKeyClass::privateKey),
        SecCertificate::createWithData(leaf.certificate)});
    Value::Array certificates{Value::object(identity)};
    for (const TestIdentity* issuer : chain) certificates.push_back(issuer->certificate);
    return Dictionary{{kCFStreamSSLIsServer, true}, {kCFStreamSSLCertificates, certificates}};
}

// Each test runs in the deterministic mode and on the runtime's own threads (the second is
// what ThreadSanitizer checks). The system anchors are the test PKI's root.
class TlsSocketTest : public ::testing::TestWithParam<bool> {
  protected:
    TlsSocketTest() {
        if (!GetParam()) deterministic_.emplace();
        URLSession::setSystemAnchorCertificates(
            {SecCertificate::createWithData(pki_.root().certificate)});
    }
    ~TlsSocketTest() override { URLSession::setSystemAnchorCertificates({}); }

    // A listener on 127.0.0.1 answering TLS with these settings, and a client of it that
    // asked for TLS with its own.
    void start(Dictionary server, Dictionary client) {
        echo_->tls = std::move(server);
        listener_ = QKGCDAsyncSocket::create(echo_, delegateQueue_);
        ErrorPtr error;
        ASSERT_TRUE(listener_->acceptOnInterface("127.0.0.1", 0, &error));
        client_ = QKGCDAsyncSocket::create(recorder_, delegateQueue_);
        ASSERT_TRUE(client_->connectToHost("localhost", listener_->localPort(), 5.0, &error));
        client_->startTLS(std::move(client));
    }

    const TestPki& pki_ = TestPki::shared();
    std::optional<DeterministicDispatch> deterministic_;
    DispatchQueuePtr delegateQueue_ = DispatchQueue::createSerial("delegate");
    std::shared_ptr<SocketRecorder> recorder_ = std::make_shared<SocketRecorder>();
    std::shared_ptr<EchoServer> echo_ = std::make_shared<EchoServer>();
    QKGCDAsyncSocketPtr listener_, client_;
};

INSTANTIATE_TEST_SUITE_P(Modes, TlsSocketTest, ::testing::Values(false, true),
                         [](const auto& info) {
                             return info.param ? "Threaded" : "Deterministic";
                         });

TEST_P(TlsSocketTest, EchoesSmallAndLargeWritesAndClosesWithCloseNotify) {
    start(serverSettings(pki_.server(), {&pki_.intermediate()}), {});
    Bytes large(3 << 20);
    for (size_t i = 0; i < large.size(); ++i) large[i] = uint8_t(i * 7 + i / 4096);
    // Requests queued behind the TLS start wait for the handshake.
    client_->writeData(toBytes("hello"), -1, 1);
    client_->readDataToLength(5, -1, 1);
    client_->writeData(large, -1, 2);
    client_->readDataToLength(large.size(), -1, 2);
    ASSERT_TRUE(waitFor([&] { return recorder_->count("read") == 2; }));
    EXPECT_EQ(recorder_->count("secure"), 1);
    EXPECT_EQ(echo_->secured(), 1);
    EXPECT_TRUE(client_->isSecure());
    auto events = recorder_->snapshot();
    ASSERT_EQ(events.front().kind, "connect");
    EXPECT_EQ(events[1].kind, "secure");
    EXPECT_EQ(recorder_->last("read")->data, toString(large));

    client_->disconnect();
    ASSERT_TRUE(waitFor([&] { return echo_->closed() == 1; }));
    EXPECT_EQ(echo_->lastError()->domain(), kCFStreamErrorDomainSSL);
    EXPECT_EQ(echo_->lastError()->code(), errSSLClosedGraceful);
    EXPECT_FALSE(client_->isSecure());
}

// Settings on either side, and what the client's handshake comes to: secured (0) or closed
// with the code. Every refusal closes the server's socket too.
TEST_P(TlsSocketTest, SettingsAndTrustDecideTheHandshake) {
    const Bytes unrelatedRoot = pki_.unrelatedRoot().certificate;
    auto trustUnrelatedRoot = [unrelatedRoot](SecTrust& trust) {
        trust.setAnchorCertificates({SecCertificate::createWithData(unrelatedRoot)});
        SecTrustResultType result;
        return trust.evaluate(&result) == errSecSuccess &&
               result == SecTrustResultType::unspecified;
    };
    const Dictionary trusted = serverSettings(pki_.server(), {&pki_.intermediate()});
    const Dictionary otherHost = serverSettings(pki_.otherHostServer(), {&pki_.intermediate()});
    const Dictionary attacker = serverSettings(pki_.attackerServer());
    Dictionary onlyTls13 = trusted;
    onlyTls13.set(QKGCDAsyncSocketSSLProtocolVersionMin, kTLSProtocol13);
    const Dictionary manual{{QKGCDAsyncSocketManuallyEvaluateTrust, true}};
    auto refuse = [](SecTrust&) { return false; };
    // code: 0 secured; -1 any close (the server refuses with code 2); 2 the setting's kind;
    // else the kCFStreamErrorDomainSSL code.
    struct Case {
        const char* name;
        Dictionary server, client;
        std::function<bool(SecTrust&)> trustAnswer;
        int64_t code;
        int version;
        const char* cipher;
    } cases[] = {
        // clang-format off
        {"trusted chain", trusted, {}, {}, 0, TLS1_3_VERSION, nullptr},
        {"keys with no meaning here", trusted,
         {{QKGCDAsyncSocketUseCFStreamForTLS, false},
          {QKGCDAsyncSocketSSLSessionOptionFalseStart, true},
          {QKGCDAsyncSocketSSLSessionOptionSendOneByteRecord, true}}, {}, 0, TLS1_3_VERSION, nullptr},
        {"certificate for another host", otherHost, {}, {}, errSSLHostNameMismatch, 0, nullptr},
        {"peer name the certificate lacks", trusted, {{kCFStreamSSLPeerName, "other.example.com"}},
         {}, errSSLHostNameMismatch, 0, nullptr},
        {"peer name the certificate has", otherHost, {{kCFStreamSSLPeerName, "other.example.com"}},
         {}, 0, TLS1_3_VERSION, nullptr},
        {"chain to an unknown root", attacker, {}, {}, errSSLXCertChainInvalid, 0, nullptr},
        {"chain without its intermediate", serverSettings(pki_.server()), {}, {},
         errSSLXCertChainInvalid, 0, nullptr},
        {"delegate without an answer", trusted, manual, {}, errSSLXCertChainInvalid, 0, nullptr},
        {"delegate trusts its own root", attacker, manual, trustUnrelatedRoot, 0, TLS1_3_VERSION,
         nullptr},
        {"delegate refuses what the system trusts", trusted, manual, refuse,
         errSSLXCertChainInvalid, 0, nullptr},
        {"only the listed suite", trusted, {{QKGCDAsyncSocketSSLCipherSuites, Value::Array{0x1302}}},
         {}, 0, TLS1_3_VERSION, "TLS_AES_256_GCM_SHA384"},
        {"TLS 1.2 suites only", trusted,
         {{QKGCDAsyncSocketSSLCipherSuites, Value::Array{0xC02C, 0xFFFF}},
          {QKGCDAsyncSocketSSLProtocolVersionMax, kTLSProtocol12}},
         {}, 0, TLS1_2_VERSION, "ECDHE-ECDSA-AES256-GCM-SHA384"},
        {"no suite OpenSSL knows", trusted, {{QKGCDAsyncSocketSSLCipherSuites, Value::Array{0xFFFF}}},
         {}, errSSLBadCipherSuite, 0, nullptr},
        {"versions that do not meet", onlyTls13,
         {{QKGCDAsyncSocketSSLProtocolVersionMax, kTLSProtocol12}}, {}, errSSLNegotiation, 0, nullptr},
        {"a version of the wrong kind", trusted,
         {{QKGCDAsyncSocketSSLProtocolVersionMin, "TLS 1.2"}}, {}, QKGCDAsyncSocketBadParamError, 0,
         nullptr},
        {"server without an identity", Dictionary{{kCFStreamSSLIsServer, true}}, {}, {}, -1, 0,
         nullptr},
        // clang-format on
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder_->clear();
        recorder_->trustAnswer = c.trustAnswer;
        echo_ = std::make_shared<EchoServer>();
        start(c.server, c.client);
        ASSERT_TRUE(waitFor(
            [&] { return recorder_->count("secure") + recorder_->count("disconnect") > 0; }));
        bool asked = c.client.contains(QKGCDAsyncSocketManuallyEvaluateTrust);
        EXPECT_EQ(recorder_->count("trust"), asked ? 1 : 0);
        if (c.code == 0) {
            ASSERT_EQ(recorder_->count("secure"), 1)
                << recorder_->lastOf("disconnect").error->code();
            std::string cipher;
            int version = 0;
            client_->performBlock([&] {
                cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(client_->sslContext()));
                version = SSL_version(client_->sslContext());
            });
            EXPECT_EQ(cipher, c.cipher ? c.cipher : cipher);
            EXPECT_EQ(version, c.version);
            client_->disconnect();
            ASSERT_TRUE(waitFor([&] { return recorder_->count("disconnect") == 1; }));
        } else {
            ErrorPtr error = recorder_->lastOf("disconnect").error;
            ASSERT_TRUE(error);
            if (c.code != -1) {
                EXPECT_EQ(error->domain(), c.code == QKGCDAsyncSocketBadParamError
                                               ? kQKGCDAsyncSocketErrorDomain
                                               : kCFStreamErrorDomainSSL);
                EXPECT_EQ(error->code(), c.code);
            }
        }
        ASSERT_TRUE(waitFor([&] { return echo_->closed() == 1; }));
        EXPECT_EQ(echo_->secured(), c.code == 0 ? 1 : 0);
        if (c.code == -1) {
            EXPECT_EQ(echo_->lastError()->code(), QKGCDAsyncSocketBadParamError);
        }
    }
}

// Sessions kept under a peer ID resume on the next connection that names it (against the
// fake cloud's HTTPS server, which keeps one context for all its connections).
TEST(TlsSessions, ResumeUnderTheirPeerID) {
    const TestPki& pki = TestPki::shared();
    URLSession::setSystemAnchorCertificates(
        {SecCertificate::createWithData(pki.root().certificate)});
    test::FakeCloud cloud(test::FakeCloud::Tls::trusted);
    auto recorder = std::make_shared<SocketRecorder>();
    auto delegateQueue = DispatchQueue::createSerial("delegate");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        recorder->clear();
        auto sock = QKGCDAsyncSocket::create(recorder, delegateQueue);
        ErrorPtr error;
        ASSERT_TRUE(sock->connectToHost("127.0.0.1", uint16_t(cloud.port()), 5.0, &error));
        Bytes peerID = toBytes(round < 2 ? "cloud" : "elsewhere");
        sock->startTLS({{QKGCDAsyncSocketSSLPeerID, peerID}});
        sock->writeData(toBytes("GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), -1, 1);
        sock->readDataToData(toBytes("\r\n\r\n"), -1, 2);
        ASSERT_TRUE(waitFor([&] { return recorder->count("read") == 1; }));
        EXPECT_EQ(recorder->lastOf("read").data.substr(0, 12), "HTTP/1.1 404");
        bool reused = false;
        sock->performBlock([&] { reused = SSL_session_reused(sock->sslContext()) == 1; });
        EXPECT_EQ(reused, round == 1);
    }
    URLSession::setSystemAnchorCertificates({});
}

// A server whose leaf is weaker than the system's security level allows (an RSA key of 1024
// bits, a signature over SHA-1) is refused in the handshake, though its chain leads to a trusted
// root; the request written behind the handshake never reaches it.
TEST(TlsSecurityLevel, WeakLeavesAreRefused) {
    using Tls = test::FakeCloud::Tls;
    const TestPki& pki = TestPki::shared();
    URLSession::setSystemAnchorCertificates(
        {SecCertificate::createWithData(pki.root().certificate)});
    auto recorder = std::make_shared<SocketRecorder>();
    auto delegateQueue = DispatchQueue::createSerial("delegate");
    for (Tls tls : {Tls::trusted, Tls::rsa1024, Tls::sha1Signed}) {
        SCOPED_TRACE(int(tls));
        test::FakeCloud cloud(tls);
        recorder->clear();
        auto sock = QKGCDAsyncSocket::create(recorder, delegateQueue);
        ErrorPtr error;
        ASSERT_TRUE(sock->connectToHost("127.0.0.1", uint16_t(cloud.port()), 5.0, &error));
        sock->startTLS({});
        sock->writeData(toBytes("GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), -1, 1);
        sock->readDataToData(toBytes("\r\n\r\n"), -1, 2);
        ASSERT_TRUE(
            waitFor([&] { return recorder->count("read") + recorder->count("disconnect") > 0; }));
        if (tls == Tls::trusted) {
            EXPECT_EQ(recorder->count("read"), 1);
            sock->disconnect();
        } else {
            ASSERT_EQ(recorder->count("disconnect"), 1);
            EXPECT_EQ(recorder->lastOf("disconnect").error->code(), errSSLXCertChainInvalid);
        }
        EXPECT_EQ(cloud.requestCount(), tls == Tls::trusted ? 1u : 0u);
    }
    URLSession::setSystemAnchorCertificates({});
}

}  // namespace
}  // namespace telvo
