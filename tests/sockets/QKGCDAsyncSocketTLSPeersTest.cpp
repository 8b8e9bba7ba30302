// The client side of the socket's TLS against servers on loopback that are wrong or hostile:
// names, anchors, servers that stall, renegotiation. Deterministic mode: a stall runs into its
// bound in virtual time.

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <fstream>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/http/URLSession.h"
#include "sim/SimTlsServer.h"
#include "sim/TempFolder.h"
#include "sim/TestPki.h"
#include "sockets/AsyncSocketDelegates.h"

namespace telvo {
namespace {

using test::SimTlsServer;
using test::SocketRecorder;
using test::TestIdentity;
using test::TestPki;
using Script = SimTlsServer::Script;

// The system's trusted roots of this test program are the test PKI's root alone: OpenSSL reads
// its default certificate file from SSL_CERT_FILE, set before any test runs.
class SystemRootsAreTheTestRoot : public ::testing::Environment {
  public:
    void SetUp() override {
        const Bytes& der = TestPki::shared().root().certificate;
        const unsigned char* cursor = der.data();
        X509* root = d2i_X509(nullptr, &cursor, long(der.size()));
        const std::string file = (folder_.path() / "roots.pem").string();
        FILE* out = std::fopen(file.c_str(), "w");
        ASSERT_TRUE(root && out && PEM_write_X509(out, root) == 1);
        std::fclose(out);
        X509_free(root);
        ::setenv("SSL_CERT_FILE", file.c_str(), 1);
        ::setenv("SSL_CERT_DIR", folder_.path().c_str(), 1);
    }

  private:
    test::TempFolder folder_;
};
const auto* const kSystemRoots = ::testing::AddGlobalTestEnvironment(new SystemRootsAreTheTestRoot);

bool evaluatesTrusted(SecTrust& trust) {
    SecTrustResultType result;
    return trust.evaluate(&result) == errSecSuccess && result == SecTrustResultType::unspecified;
}

// Each case: a client with no anchors of its own (the system's roots) connects, asks for TLS,
// writes "ping" and reads. It ends secured with "ping" delivered (code 0), or with one
// disconnect carrying the code, after `after` seconds of virtual time when a bound applies.
TEST(TlsSocketPeers, HostileServersEndWithOneErrorAndOneDisconnect) {
    DeterministicDispatch deterministic;
    URLSession::setSystemAnchorCertificates({});
    const TestPki& pki = TestPki::shared();
    const std::vector<const TestIdentity*> viaIntermediate{&pki.intermediate()};
    const Dictionary manual{{QKGCDAsyncSocketManuallyEvaluateTrust, true}};
    struct Case {
        const char* name;
        const TestIdentity& leaf;
        Script script;
        Dictionary client;
        double connectTimeout, readTimeout;
        const char* domain;  // of the error; null: secured
        int64_t code;
        double after;  // seconds from the connect to the close; negative: not checked
        int maxVersion = 0;
        bool rootAnchored = false;  // the app set the test root as the anchors
    } cases[] = {
        // clang-format off
        {"empty peer name, another host's certificate", pki.otherHostServer(), Script::answer,
         {{kCFStreamSSLPeerName, ""}}, 5, -1, kCFStreamErrorDomainSSL, errSSLHostNameMismatch, -1,
         0, true},
        {"empty peer name, no anchors", pki.otherHostServer(), Script::answer,
         {{kCFStreamSSLPeerName, ""}}, 5, -1, kCFStreamErrorDomainSSL, errSSLHostNameMismatch, -1},
        {"no anchors: a chain to a system root", pki.server(), Script::answer, {}, 5, -1, nullptr,
         0, -1},
        {"no anchors: the delegate's trust has the system's roots", pki.server(), Script::answer,
         manual, 5, -1, nullptr, 0, -1},
        {"no anchors: a chain to a root the system lacks", pki.attackerServer(), Script::answer, {},
         5, -1, kCFStreamErrorDomainSSL, errSSLXCertChainInvalid, -1},
        {"silent after the ClientHello: the connect's time-out", pki.server(),
         Script::silentAfterHello, {}, 5, 60, kQKGCDAsyncSocketErrorDomain,
         QKGCDAsyncSocketConnectTimeoutError, 5},
        {"silent after the ClientHello: the first read's time-out", pki.server(),
         Script::silentAfterHello, {}, -1, 7, kQKGCDAsyncSocketErrorDomain,
         QKGCDAsyncSocketConnectTimeoutError, 7},
        {"silent half-way through its reply: the default bound", pki.server(),
         Script::silentMidReply, {}, -1, -1, kQKGCDAsyncSocketErrorDomain,
         QKGCDAsyncSocketConnectTimeoutError, QKGCDAsyncSocket::kDefaultTLSHandshakeTimeout},
        {"renegotiation asked after the first bytes", pki.server(), Script::renegotiateAfterFirst,
         {}, 5, -1, kCFStreamErrorDomainSSL, errSSLProtocol, -1, TLS1_2_VERSION, true},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SecCertificateRef> anchors;
        if (c.rootAnchored)
            anchors.push_back(SecCertificate::createWithData(pki.root().certificate));
        URLSession::setSystemAnchorCertificates(anchors);
        // However the case ends, the next one starts with no anchors set.
        struct AnchorsReset {
            ~AnchorsReset() { URLSession::setSystemAnchorCertificates({}); }
        } anchorsReset;
        const bool attacker = &c.leaf == &pki.attackerServer();
        SimTlsServer server(c.leaf, attacker ? std::vector<const TestIdentity*>{} : viaIntermediate,
                            c.script, c.maxVersion);
        auto recorder = std::make_shared<SocketRecorder>();
        recorder->trustAnswer = evaluatesTrusted;
        auto delegateQueue = DispatchQueue::createSerial("delegate");
        auto sock = QKGCDAsyncSocket::create(recorder, delegateQueue);
        const double start = Clock::now();
        ErrorPtr error;
        ASSERT_TRUE(sock->connectToHost("localhost", server.port(), c.connectTimeout, &error));
        sock->startTLS(c.client);
        sock->writeData(toBytes("ping"), -1, 1);
        sock->readDataWithTimeout(c.readTimeout, 2);
        if (!c.domain) {
            EXPECT_TRUE(MainLoop::runUntil([&] { return server.received() == "ping"; }, 60));
            EXPECT_EQ(recorder->count("secure"), 1);
            sock->disconnect();
        }
        if (!MainLoop::runUntil([&] { return recorder->count("disconnect") > 0; }, 120)) {
            ADD_FAILURE() << "still connected";
            continue;
        }
        // Nothing more follows, however long the loop runs.
        MainLoop::runUntil(nullptr, 120);
        EXPECT_EQ(recorder->count("disconnect"), 1);
        const test::SocketEvent closed = recorder->lastOf("disconnect");
        if (!c.domain) {
            EXPECT_FALSE(closed.error);
            continue;
        }
        if (!closed.error) {
            ADD_FAILURE() << "closed without an error";
            continue;
        }
        EXPECT_EQ(closed.error->domain(), c.domain);
        EXPECT_EQ(closed.error->code(), c.code);
        EXPECT_EQ(recorder->count("secure"), c.script == Script::renegotiateAfterFirst ? 1 : 0);
        if (c.after >= 0) {
            EXPECT_NEAR(closed.at - start, c.after, 0.5);
        }
        if (c.script == Script::renegotiateAfterFirst) {
            EXPECT_TRUE(server.renegotiationAsked());
            EXPECT_EQ(server.received(), "ping");
        } else {
            // A refused server never sees the client's bytes.
            EXPECT_EQ(server.received(), "");
        }
        if (c.script == Script::silentAfterHello) {
            EXPECT_GT(server.handshakeBytes(), 0u);
        }
    }
}

}  // namespace
}  // namespace telvo
