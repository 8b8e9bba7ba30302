// Listening, Unix-domain paths, adopted descriptors and the socket's smaller operations.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <set>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/LoopbackTcpPeer.h"
#include "sim/TempFolder.h"
#include "sockets/AsyncSocketDelegates.h"
#include "sockets/SocketAddress.h"
#include "sockets/SocketError.h"

namespace telvo {
namespace {

using test::EchoServer;
using test::SocketRecorder;
using test::waitFor;

// Each test runs in the deterministic mode and on the runtime's own threads (the second is
// what ThreadSanitizer checks).
class ListeningSocketTest : public ::testing::TestWithParam<bool> {
  protected:
    ListeningSocketTest() {
        if (!GetParam()) deterministic_.emplace();
    }

    std::optional<DeterministicDispatch> deterministic_;
    DispatchQueuePtr delegateQueue_ = DispatchQueue::createSerial("delegate");
    std::shared_ptr<SocketRecorder> recorder_ = std::make_shared<SocketRecorder>();
    std::shared_ptr<EchoServer> echo_ = std::make_shared<EchoServer>();
    QKGCDAsyncSocketPtr listener_;
};

INSTANTIATE_TEST_SUITE_P(Modes, ListeningSocketTest, ::testing::Values(false, true),
                         [](const auto& info) {
                             return info.param ? "Threaded" : "Deterministic";
                         });

// Clients over both families, each echoed by its own accepted socket on the queue the delegate
// handed out; closing everything gives back every descriptor.
TEST_P(ListeningSocketTest, AcceptsManyClientsAndReleasesEveryDescriptor) {
    constexpr int kClients = 40;
    echo_->childQueue = DispatchQueue::createSerial("accepted");
    int before = test::countOpenDescriptors();
    listener_ = QKGCDAsyncSocket::create(echo_, delegateQueue_);
    ErrorPtr error;
    ASSERT_TRUE(listener_->acceptOnPort(0, &error));
    EXPECT_TRUE(listener_->isIPv4());
    EXPECT_TRUE(listener_->isIPv6());
    uint16_t port = listener_->localPort();
    std::vector<QKGCDAsyncSocketPtr> sockets;
    for (int i = 0; i < kClients; ++i) {
        auto client = QKGCDAsyncSocket::create(recorder_, delegateQueue_);
        Bytes address = i % 2 ? loopbackSocketAddress6(port) : loopbackSocketAddress4(port);
        ASSERT_TRUE(client->connectToAddress(address, 5.0, &error));
        std::string text = "ping-" + std::to_string(i);
        client->writeData(toBytes(text), -1, i);
        client->readDataToLength(text.size(), -1, i);
        sockets.push_back(client);
    }
    ASSERT_TRUE(waitFor([&] { return recorder_->count("read") == kClients; }));
    EXPECT_EQ(echo_->onChildQueue(), kClients);
    for (const auto& event : recorder_->snapshot()) {
        if (event.kind == "read") {
            EXPECT_EQ(event.data, "ping-" + std::to_string(event.tag));
        }
    }
    std::set<std::string> peers;
    for (const Bytes& address : echo_->addresses()) {
        peers.insert(QKGCDAsyncSocket::hostFromAddress(address));
    }
    EXPECT_EQ(peers, (std::set<std::string>{"127.0.0.1", "::1"}));

    sockets.clear();  // each accepted socket sees its peer close
    ASSERT_TRUE(waitFor([&] { return echo_->sockets().empty(); }));
    EXPECT_EQ(echo_->lastError()->code(), QKGCDAsyncSocketClosedError);
    listener_.reset();
    // At most as many as before: in a process that ran other tests first, one of theirs may
    // close meanwhile.
    EXPECT_TRUE(waitFor([&] { return test::countOpenDescriptors() <= before; }))
        << test::countOpenDescriptors() << " open, " << before << " before";
}

TEST_P(ListeningSocketTest, EchoesOverAUnixDomainPath) {
    test::TempFolder folder;
    std::string path = (folder.path() / "echo.sock").string();
    listener_ = QKGCDAsyncSocket::create(echo_, delegateQueue_);
    ErrorPtr error;
    ASSERT_TRUE(listener_->acceptOnUrl("file://" + path, &error));
    EXPECT_TRUE(std::filesystem::is_socket(path));

    // A second listener leaves the live one its path.
    auto second = QKGCDAsyncSocket::create(echo_, delegateQueue_);
    EXPECT_FALSE(second->acceptOnUrl(path, &error));
    EXPECT_EQ(error->code(), EADDRINUSE);

    auto client = QKGCDAsyncSocket::create(recorder_, delegateQueue_);
    ASSERT_TRUE(client->connectToUrl(path, 3.0, &error));
    client->writeData(toBytes("over a path"), -1, 1);
    client->readDataToLength(11, -1, 2);
    ASSERT_TRUE(waitFor([&] { return recorder_->count("read") == 1; }));
    EXPECT_EQ(recorder_->lastOf("read").data, "over a path");
    EXPECT_EQ(recorder_->lastOf("connectUrl").data, path);
    EXPECT_EQ(recorder_->count("connect"), 0);
    EXPECT_EQ(client->connectedUrl(), path);
    EXPECT_FALSE(client->isIPv4() || client->isIPv6());

    // The listener's close removes its file; a socket file nobody listens on gives way.
    listener_->disconnect();
    EXPECT_FALSE(std::filesystem::exists(path));
    int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    Bytes address = unixSocketAddress(path);
    ASSERT_EQ(
        ::bind(stale, reinterpret_cast<const sockaddr*>(address.data()), socklen_t(address.size())),
        0);
    ::close(stale);
    EXPECT_TRUE(listener_->acceptOnUrl(path, &error));
}

TEST(UnixDomainConnect, RefusalsAndFailures) {
    DeterministicDispatch mode;
    test::TempFolder folder;
    auto recorder = std::make_shared<SocketRecorder>();
    struct Case {
        const char* name;
        std::string url;
        bool begun;
        const char* domain;
        int64_t code;
    } cases[] = {
        {"empty path", "", false, kQKGCDAsyncSocketErrorDomain, 2},
        {"too long", "/" + std::string(200, 'x'), false, kQKGCDAsyncSocketErrorDomain, 2},
        {"nobody there", (folder.path() / "none").string(), true, NSPOSIXErrorDomain, ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sock = QKGCDAsyncSocket::create(recorder, DispatchQueue::createSerial("d"));
        ErrorPtr error;
        EXPECT_EQ(sock->connectToUrl(c.url, 3.0, &error), c.begun);
        if (c.begun) {
            ASSERT_TRUE(waitFor([&] { return recorder->count("disconnect") > 0; }));
            error = recorder->lastOf("disconnect").error;
            recorder->clear();
        }
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), c.domain);
        EXPECT_EQ(error->code(), c.code);
    }
}

// A connected descriptor becomes a socket through each of the three forms; what is not a
// connected stream socket is refused and stays the caller's.
TEST(AdoptedDescriptor, SocketpairEndServesReadsAndWritesUntilThePeerCloses) {
    DeterministicDispatch mode;
    auto recorder = std::make_shared<SocketRecorder>();
    auto delegateQueue = DispatchQueue::createSerial("delegate");
    int before = test::countOpenDescriptors();
    using Adopt = std::function<QKGCDAsyncSocketPtr(int, ErrorPtr*)>;
    std::pair<const char*, Adopt> forms[] = {
        {"socket queue",
         [&](int fd, ErrorPtr* error) {
             auto sock = QKGCDAsyncSocket::socketFromConnectedSocketFD(
                 fd, DispatchQueue::createSerial("own"), error);
             if (sock) sock->synchronouslySetDelegateDelegateQueue(recorder, delegateQueue);
             return sock;
         }},
        {"delegate",
         [&](int fd, ErrorPtr* error) {
             return QKGCDAsyncSocket::socketFromConnectedSocketFD(fd, recorder, delegateQueue,
                                                                  error);
         }},
        {"delegate and socket queue",
         [&](int fd, ErrorPtr* error) {
             return QKGCDAsyncSocket::socketFromConnectedSocketFD(
                 fd, recorder, delegateQueue, DispatchQueue::createSerial("own"), error);
         }},
    };
    for (const auto& [name, adopt] : forms) {
        SCOPED_TRACE(name);
        recorder->clear();
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ErrorPtr error;
        auto sock = adopt(pair[0], &error);
        ASSERT_TRUE(sock);
        EXPECT_TRUE(sock->isConnected());
        sock->writeData(toBytes("to peer"), -1, 1);
        ASSERT_TRUE(waitFor([&] { return recorder->count("write") == 1; }));
        char buffer[16] = {};
        EXPECT_EQ(::recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT), 7);
        EXPECT_EQ(std::string(buffer, 7), "to peer");
        ASSERT_EQ(::send(pair[1], "back", 4, 0), 4);
        sock->readDataWithTimeout(-1, 2);
        ASSERT_TRUE(waitFor([&] { return recorder->count("read") == 1; }));
        EXPECT_EQ(recorder->lastOf("read").data, "back");
        ::close(pair[1]);
        ASSERT_TRUE(waitFor([&] { return recorder->count("disconnect") == 1; }));
        EXPECT_EQ(recorder->lastOf("disconnect").error->code(), QKGCDAsyncSocketClosedError);
    }
    MainLoop::runFor(1);
    EXPECT_LE(test::countOpenDescriptors(), before);  // an earlier test's may close meanwhile

    int pipeFDs[2];
    ASSERT_EQ(::pipe(pipeFDs), 0);
    struct Refusal {
        const char* name;
        int fd;
        const char* domain;
        int64_t code;
    } refusals[] = {
        {"a pipe", pipeFDs[0], NSPOSIXErrorDomain, ENOTSOCK},
        {"a datagram socket", ::socket(AF_INET, SOCK_DGRAM, 0), kQKGCDAsyncSocketErrorDomain, 2},
        {"an unconnected stream socket", ::socket(AF_INET, SOCK_STREAM, 0), NSPOSIXErrorDomain,
         ENOTCONN},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        ErrorPtr error;
        EXPECT_FALSE(
            QKGCDAsyncSocket::socketFromConnectedSocketFD(r.fd, recorder, delegateQueue, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), r.domain);
        EXPECT_EQ(error->code(), r.code);
        EXPECT_EQ(::close(r.fd), 0);  // still open, still the caller's
    }
    ::close(pipeFDs[1]);
}

// The operations the appliance session never calls.
class AsyncSocketApiTest : public ::testing::Test {
  protected:
    void connect(test::LoopbackTcpPeer& peer) {
        ErrorPtr error;
        int before = recorder_->count("connect");
        ASSERT_TRUE(socket_->connectToAddress(loopbackSocketAddress4(peer.port()), 3.0, &error));
        ASSERT_TRUE(waitFor([&] { return recorder_->count("connect") > before; }));
        ASSERT_TRUE(peer.accept());
    }

    DeterministicDispatch mode_;
    std::shared_ptr<SocketRecorder> recorder_ = std::make_shared<SocketRecorder>();
    DispatchQueuePtr delegateQueue_ = DispatchQueue::createSerial("delegate");
    QKGCDAsyncSocketPtr socket_ = QKGCDAsyncSocket::create(recorder_, delegateQueue_);
};

TEST_F(AsyncSocketApiTest, AddressConnectProgressAndDelayedDisconnects) {
    test::LoopbackTcpPeer peer;
    ErrorPtr error;
    EXPECT_FALSE(socket_->connectToAddress(Bytes{2, 0, 1}, &error));
    EXPECT_EQ(error->code(), QKGCDAsyncSocketBadParamError);

    connect(peer);
    EXPECT_EQ(recorder_->lastOf("connect").data, "127.0.0.1");
    EXPECT_EQ(QKGCDAsyncSocket::portFromAddress(socket_->connectedAddress()), peer.port());
    EXPECT_EQ(socket_->connectedPort4(), peer.port());
    EXPECT_EQ(socket_->localHost(), "127.0.0.1");

    // Progress of a length read part way, and of nothing.
    int64_t tag = 0;
    uint64_t done = 0, total = 0;
    EXPECT_TRUE(std::isnan(socket_->progressOfWriteReturningTag(&tag, &done, &total)));
    socket_->readDataToLength(10, -1, 7);
    peer.send("abcd");
    ASSERT_TRUE(waitFor([&] { return recorder_->count("partialRead") == 1; }));
    EXPECT_FLOAT_EQ(socket_->progressOfReadReturningTag(&tag, &done, &total), 0.4f);
    EXPECT_EQ(std::tuple(tag, done, total), std::tuple(7, 4u, 10u));
    peer.send("efghij");
    ASSERT_TRUE(waitFor([&] { return recorder_->count("read") == 1; }));
    EXPECT_TRUE(std::isnan(socket_->progressOfReadReturningTag(&tag, &done, &total)));

    // Each delayed disconnect lets what it names finish, drops later requests, and closes
    // with no error.
    struct Case {
        const char* name;
        std::function<void()> disconnect;
        bool writeFirst;
    } cases[] = {
        {"after reading", [&] { socket_->disconnectAfterReading(); }, false},
        {"after reading and writing", [&] { socket_->disconnectAfterReadingAndWriting(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder_->clear();
        if (!socket_->isConnected()) connect(peer);
        if (c.writeFirst) socket_->writeData(toBytes("out"), -1, 1);
        socket_->readDataToLength(3, -1, 2);
        c.disconnect();
        socket_->writeData(toBytes("late"), -1, 3);
        peer.send("xyz");
        ASSERT_TRUE(waitFor([&] { return recorder_->count("disconnect") == 1; }));
        EXPECT_EQ(recorder_->lastOf("read").data, "xyz");
        EXPECT_EQ(recorder_->count("write"), c.writeFirst ? 1 : 0);
        EXPECT_FALSE(recorder_->lastOf("disconnect").error);
        EXPECT_EQ(peer.receiveAvailable(), c.writeFirst ? "out" : "");
    }
}

TEST_F(AsyncSocketApiTest, HostLookupAndTheIPv6Preference) {
    struct Lookup {
        const char* host;
        std::vector<std::pair<std::string, size_t>> addresses;  // host and data length
    } lookups[] = {
        {"localhost", {{"127.0.0.1", 16}, {"::1", 28}}},
        {"127.0.0.1", {{"127.0.0.1", 16}}},
        {"::1", {{"::1", 28}}},
    };
    for (const Lookup& l : lookups) {
        SCOPED_TRACE(l.host);
        ErrorPtr error;
        std::vector<std::pair<std::string, size_t>> found;
        for (const Bytes& a : QKGCDAsyncSocket::lookupHost(l.host, 6444, &error)) {
            EXPECT_EQ(QKGCDAsyncSocket::portFromAddress(a), 6444);
            found.emplace_back(QKGCDAsyncSocket::hostFromAddress(a), a.size());
        }
        EXPECT_FALSE(error);
        EXPECT_EQ(found, l.addresses);
    }

    // "localhost" with both families listening: the preferred family connects at once.
    auto echo = std::make_shared<EchoServer>();
    auto listener = QKGCDAsyncSocket::create(echo, delegateQueue_);
    ErrorPtr error;
    ASSERT_TRUE(listener->acceptOnPort(0, &error));
    for (bool preferIPv4 : {true, false}) {
        SCOPED_TRACE(preferIPv4);
        auto sock = QKGCDAsyncSocket::create(recorder_, delegateQueue_);
        sock->setIPv4PreferredOverIPv6(preferIPv4);
        double start = Clock::now();
        int connects = recorder_->count("connect");
        ASSERT_TRUE(sock->connectToHost("localhost", listener->localPort(), 3.0, &error));
        ASSERT_TRUE(waitFor([&] { return recorder_->count("connect") > connects; }));
        EXPECT_EQ(recorder_->lastOf("connect").data, preferIPv4 ? "127.0.0.1" : "::1");
        EXPECT_EQ(recorder_->lastOf("connect").at, start);
        EXPECT_EQ(sock->isIPv6(), !preferIPv4);
    }
}

TEST_F(AsyncSocketApiTest, RawAccessOnlyFromTheSocketQueueOrAMarkedQueue) {
    test::LoopbackTcpPeer peer;
    connect(peer);
    EXPECT_EQ(socket_->socketFD(), -1);
    EXPECT_EQ(socket_->sslContext(), nullptr);
    int fd = -1, fd4 = -1, fd6 = 0;
    socket_->performBlock([&] {
        fd = socket_->socketFD();
        fd4 = socket_->socket4FD();
        fd6 = socket_->socket6FD();
    });
    EXPECT_GE(fd, 0);
    EXPECT_EQ(fd4, fd);
    EXPECT_EQ(fd6, -1);

    auto marked = DispatchQueue::createSerial("marked");
    socket_->markSocketQueueTargetQueue(marked);
    EXPECT_EQ(marked->syncResult([&] { return socket_->socketFD(); }), fd);
    socket_->unmarkSocketQueueTargetQueue(marked);
    EXPECT_EQ(marked->syncResult([&] { return socket_->socketFD(); }), -1);

    EXPECT_EQ(socket_->handleReadData(toBytes("same"), true, 1), toBytes("same"));
    EXPECT_EQ(QKGCDAsyncSocket::CRLFData(), (Bytes{0x0D, 0x0A}));
    EXPECT_EQ(QKGCDAsyncSocket::ZeroData(), (Bytes{0x00}));
}

// A queue marked for a socket that is gone no longer stands for any socket queue.
TEST(SocketQueueMarks, EndWithTheirSocketQueue) {
    auto marked = DispatchQueue::createSerial("marked");
    const void* key = nullptr;
    {
        SocketQueue socketQueue(nullptr, "socket");
        socketQueue.mark(marked);
        key = &socketQueue;
        EXPECT_TRUE(marked->syncResult([&] { return socketQueue.isCurrent(); }));
    }
    EXPECT_EQ(marked->syncResult([&] { return DispatchQueue::getSpecific(key); }), nullptr);
}

}  // namespace
}  // namespace telvo
