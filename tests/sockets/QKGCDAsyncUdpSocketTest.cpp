#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/net/NetworkGuard.h"
#include "sockets/QKGCDAsyncUdpSocket.h"
#include "sockets/SocketAddress.h"
#include "sockets/SocketError.h"

namespace telvo {
namespace {

struct Datagram {
    Bytes data;
    Bytes address;
    std::any context;
};

class UdpRecorder : public QKGCDAsyncUdpSocketDelegate {
  public:
    void udpSocketDidConnectToAddress(const QKGCDAsyncUdpSocketPtr&, const Bytes& a) override {
        connected.push_back(a);
    }
    void udpSocketDidNotConnect(const QKGCDAsyncUdpSocketPtr&, const ErrorPtr& e) override {
        notConnected.push_back(e);
    }
    void udpSocketDidSendDataWithTag(const QKGCDAsyncUdpSocketPtr&, int64_t tag) override {
        sent.push_back(tag);
    }
    void udpSocketDidNotSendDataWithTagDueToError(const QKGCDAsyncUdpSocketPtr&, int64_t tag,
                                                  const ErrorPtr& e) override {
        notSent.push_back({tag, e});
    }
    void udpSocketDidReceiveDataFromAddressWithFilterContext(const QKGCDAsyncUdpSocketPtr& sock,
                                                             const Bytes& data, const Bytes& a,
                                                             const std::any& context) override {
        received.push_back({data, a, context});
        if (onReceive) onReceive(sock);
    }
    void udpSocketDidCloseWithError(const QKGCDAsyncUdpSocketPtr&, const ErrorPtr& e) override {
        closes.push_back(e);
    }
    std::vector<Bytes> connected;
    std::vector<ErrorPtr> notConnected;
    std::vector<int64_t> sent;
    std::vector<std::pair<int64_t, ErrorPtr>> notSent;
    std::vector<Datagram> received;
    std::vector<ErrorPtr> closes;
    std::function<void(const QKGCDAsyncUdpSocketPtr&)> onReceive;
};

// A plain kernel socket on a loopback address, for the far side of a test.
struct RawPeer {
    int fd = -1;
    Bytes address;
    explicit RawPeer(int family = AF_INET) {
        fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        Bytes any = family == AF_INET ? loopbackSocketAddress4(0) : loopbackSocketAddress6(0);
        EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(any.data()), any.size()), 0);
        sockaddr_storage self{};
        socklen_t length = sizeof self;
        getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length);
        address = socketAddressData(&self, length);
    }
    ~RawPeer() { ::close(fd); }
    uint16_t port() const { return QKGCDAsyncUdpSocket::portFromAddress(address); }
    void sendTo(const Bytes& to, const Bytes& data) {
        ASSERT_EQ(sendto(fd, data.data(), data.size(), 0,
                         reinterpret_cast<const sockaddr*>(to.data()), to.size()),
                  ssize_t(data.size()));
    }
    std::optional<Bytes> receive() {
        Bytes buffer(65536);
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) return std::nullopt;
        buffer.resize(n);
        return buffer;
    }
};

class UdpSocketTest : public ::testing::Test {
  protected:
    QKGCDAsyncUdpSocketPtr makeSocket(const std::shared_ptr<UdpRecorder>& delegate) {
        return std::make_shared<QKGCDAsyncUdpSocket>(delegate, delegateQueue_);
    }
    // A socket receiving on 127.0.0.1 at an ephemeral port.
    QKGCDAsyncUdpSocketPtr makeReceiver(const std::shared_ptr<UdpRecorder>& delegate) {
        auto sock = makeSocket(delegate);
        EXPECT_TRUE(sock->bindToPort(0, std::string("127.0.0.1"), nullptr));
        EXPECT_TRUE(sock->beginReceiving());
        return sock;
    }
    static bool runUntil(const std::function<bool()>& predicate) {
        return MainLoop::runUntil(predicate, 30);
    }
    DeterministicDispatch mode_;
    DispatchQueuePtr delegateQueue_ = DispatchQueue::createSerial("delegate");
    std::shared_ptr<UdpRecorder> inbox = std::make_shared<UdpRecorder>();
    std::shared_ptr<UdpRecorder> outbox = std::make_shared<UdpRecorder>();
};

TEST_F(UdpSocketTest, SendsInOrderWithTagsAndAFailedHostDoesNotStopTheQueue) {
    auto receiver = makeReceiver(inbox);
    uint16_t port = receiver->localPort();
    auto sender = makeSocket(outbox);

    sender->sendData(toBytes("one"), "127.0.0.1", port, -1, 1);
    sender->sendData(toBytes("lost"), "bad..host", port, -1, 2);
    sender->sendData(toBytes("lost"), "", port, -1, 3);
    sender->sendData(Bytes{}, "127.0.0.1", port, -1, 4);  // empty: dropped silently
    sender->sendData(toBytes("two"), "localhost", port, -1, 5);
    ASSERT_TRUE(runUntil([&] { return inbox->received.size() == 2 && outbox->sent.size() == 2; }));
    MainLoop::drain();

    EXPECT_EQ(outbox->sent, (std::vector<int64_t>{1, 5}));
    ASSERT_EQ(outbox->notSent.size(), 2u);
    EXPECT_EQ(outbox->notSent[0].first, 2);
    EXPECT_EQ(outbox->notSent[0].second->domain(), kCFStreamErrorDomainNetDB);
    EXPECT_EQ(outbox->notSent[1].first, 3);
    EXPECT_EQ(outbox->notSent[1].second->code(), QKGCDAsyncUdpSocketBadParamError);
    EXPECT_EQ(outbox->notSent[1].second->localizedDescription(),
              "The host param is nil. Should be domain name or IP address string.");
    EXPECT_EQ(inbox->received[0].data, toBytes("one"));
    EXPECT_EQ(inbox->received[1].data, toBytes("two"));
    // "localhost" goes out over IPv4 from the sender's own (implicitly bound) port.
    EXPECT_EQ(QKGCDAsyncUdpSocket::hostFromAddress(inbox->received[0].address), "127.0.0.1");
    EXPECT_EQ(QKGCDAsyncUdpSocket::portFromAddress(inbox->received[1].address),
              sender->localPort_IPv4());
    EXPECT_FALSE(inbox->received[0].context.has_value());

    ErrorPtr error;
    EXPECT_FALSE(sender->bindToPort(0, &error));
    EXPECT_EQ(error->localizedDescription(), "Cannot bind a socket more than once.");
}

// The socket's descriptor is swapped for a datagram socket whose peer never reads, so the send
// would block and the write source stays silent until the peer drains.
TEST_F(UdpSocketTest, ABlockedSendTimesOutOnTheClockAndResumesWhenWritable) {
    auto receiver = makeReceiver(inbox);
    auto sender = makeSocket(outbox);
    ASSERT_TRUE(sender->connectToHost("127.0.0.1", receiver->localPort()));
    ASSERT_TRUE(runUntil([&] { return !outbox->connected.empty(); }));

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    char filler = 'f';
    while (send(pair[0], &filler, 1, 0) == 1) {
    }
    sender->performBlock([&] { ASSERT_NE(dup2(pair[0], sender->socket4FD()), -1); });
    ::close(pair[0]);

    int64_t start = Dispatch::manualClock()->monotonicNanos();
    sender->sendData(toBytes("late"), 2.5, 7);
    ASSERT_TRUE(runUntil([&] { return !outbox->notSent.empty(); }));
    EXPECT_EQ(Dispatch::manualClock()->monotonicNanos() - start, 2500000000);
    EXPECT_EQ(outbox->notSent[0].first, 7);
    EXPECT_EQ(outbox->notSent[0].second->code(), QKGCDAsyncUdpSocketSendTimeoutError);
    EXPECT_EQ(outbox->notSent[0].second->localizedDescription(), "Send operation timed out");

    sender->sendData(toBytes("waits"), -1, 8);
    MainLoop::runFor(60);
    EXPECT_TRUE(outbox->sent.empty());
    char sink[8];
    while (recv(pair[1], sink, sizeof sink, 0) == 1) {
    }
    ASSERT_TRUE(runUntil([&] { return outbox->sent == std::vector<int64_t>{8}; }));
    EXPECT_EQ(recv(pair[1], sink, sizeof sink, 0), 5);
    ::close(pair[1]);
    EXPECT_TRUE(outbox->closes.empty());
}

TEST_F(UdpSocketTest, CloseReportsOnceDropsQueuedSendsAndTheObjectOpensAgain) {
    auto sock = makeSocket(outbox);
    EXPECT_TRUE(sock->isClosed());
    sock->close();  // never opened: no callback
    sock->sendData(toBytes("queued"), "localhost", 9, -1, 1);
    sock->sendData(toBytes("queued"), "localhost", 9, -1, 2);
    EXPECT_FALSE(sock->isClosed());  // the first send opened it
    sock->close();
    sock->close();
    MainLoop::runFor(1);
    ASSERT_EQ(outbox->closes.size(), 1u);
    EXPECT_EQ(outbox->closes[0], nullptr);
    EXPECT_TRUE(outbox->sent.empty());
    EXPECT_TRUE(outbox->notSent.empty());
    EXPECT_TRUE(sock->isClosed());

    // Reopened on the same object: bound, receiving, and closed again by the owner.
    EXPECT_TRUE(sock->enableBroadcast(true));
    EXPECT_TRUE(sock->bindToPort(0, std::string("localhost"), nullptr));
    EXPECT_TRUE(sock->beginReceiving());
    RawPeer peer;
    peer.sendTo(sock->localAddress_IPv4(), toBytes("again"));
    ASSERT_TRUE(runUntil([&] { return outbox->received.size() == 1; }));

    // A delegate cleared before the close gets no close callback.
    sock->setDelegate({});
    sock->close();
    MainLoop::runFor(1);
    EXPECT_EQ(outbox->closes.size(), 1u);
}

TEST_F(UdpSocketTest, ReceivesWhatWaitedCutToItsBufferAndSkipsEmptyDatagrams) {
    auto sock = makeSocket(inbox);
    ErrorPtr error;
    EXPECT_FALSE(sock->beginReceiving(&error));
    EXPECT_EQ(error->code(), QKGCDAsyncUdpSocketBadConfigError);
    ASSERT_TRUE(sock->bindToPort(0, std::string("localhost"), nullptr));
    sock->setMaxReceiveIPv4BufferSize(4);

    RawPeer peer4;
    // Waiting in the kernel before receiving starts.
    peer4.sendTo(sock->localAddress_IPv4(), toBytes("early"));
    MainLoop::runFor(1);
    EXPECT_TRUE(inbox->received.empty());

    EXPECT_TRUE(sock->beginReceiving());
    EXPECT_TRUE(sock->beginReceiving());
    peer4.sendTo(sock->localAddress_IPv4(), Bytes{});
    peer4.sendTo(sock->localAddress_IPv4(), toBytes("ab"));
    ASSERT_TRUE(runUntil([&] { return inbox->received.size() == 2; }));
    MainLoop::runFor(1);
    ASSERT_EQ(inbox->received.size(), 2u);
    EXPECT_EQ(inbox->received[0].data, toBytes("earl"));  // cut to the IPv4 buffer size
    EXPECT_EQ(inbox->received[0].address, peer4.address);
    EXPECT_EQ(inbox->received[1].data, toBytes("ab"));
    EXPECT_TRUE(inbox->closes.empty());
    EXPECT_FALSE(sock->isClosed());
}

TEST_F(UdpSocketTest, RefusedOptionsAndBindsAnswerWithTheirErrors) {
    struct Case {  // all in the socket's own error domain
        int64_t code;
        std::string text;
        std::function<bool(QKGCDAsyncUdpSocket&, ErrorPtr*)> call;
    };
    std::vector<Case> cases = {
        {1, "Attempting to use socket without a delegate queue. Set a delegate queue first.",
         [](auto& s, auto e) { return s.enableBroadcast(true, e); }},
        {1, "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.",
         [](auto& s, auto e) {
             s.setIPv4Enabled(false);
             s.setIPv6Enabled(false);
             return s.bindToPort(0, e);
         }},
        {2, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.",
         [](auto& s, auto e) { return s.bindToPort(0, std::string("no-such-if0"), e); }},
        {2, "A valid IPv4 or IPv6 address was not given",
         [](auto& s, auto e) {
             return s.bindToAddress(Bytes{1, 2, 3}, e);
         }},
        {1, "Must bind a socket before joining a multicast group.",
         [](auto& s, auto e) { return s.joinMulticastGroup("239.1.2.3", e); }},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        auto sock =
            i == 0 ? std::make_shared<QKGCDAsyncUdpSocket>(outbox, nullptr) : makeSocket(outbox);
        ErrorPtr error;
        EXPECT_FALSE(cases[i].call(*sock, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), QKGCDAsyncUdpSocketErrorDomain);
        EXPECT_EQ(error->code(), cases[i].code);
        EXPECT_EQ(error->localizedDescription(), cases[i].text);
    }

    // A port held without reuse by another socket.
    RawPeer holder;
    auto sock = makeSocket(outbox);
    ErrorPtr error;
    EXPECT_FALSE(sock->bindToPort(holder.port(), &error));
    EXPECT_EQ(error->domain(), NSPOSIXErrorDomain);
    EXPECT_EQ(error->code(), EADDRINUSE);
    EXPECT_EQ(error->userInfo()[NSLocalizedFailureReasonErrorKey].stringValue(),
              "Error in bind() function");
    EXPECT_TRUE(sock->isClosed());

    // Without IPv4, broadcast answers false with no error.
    sock->setIPv4Enabled(false);
    error = nullptr;
    EXPECT_FALSE(sock->enableBroadcast(true, &error));
    EXPECT_EQ(error, nullptr);
    MainLoop::runFor(1);
    EXPECT_TRUE(outbox->closes.empty());
}

TEST_F(UdpSocketTest, BroadcastReachesTwoReusePortListenersOnLoopbackAndTheSinkElsewhere) {
    std::vector<std::shared_ptr<UdpRecorder>> inboxes = {std::make_shared<UdpRecorder>(),
                                                         std::make_shared<UdpRecorder>()};
    std::vector<QKGCDAsyncUdpSocketPtr> listeners;
    uint16_t port = 0;
    for (auto& inbox : inboxes) {
        auto sock = makeSocket(inbox);
        ASSERT_TRUE(sock->enableReusePort(true));
        ASSERT_TRUE(sock->enableBroadcast(true));
        ASSERT_TRUE(sock->bindToPort(port));
        ASSERT_TRUE(sock->beginReceiving());
        port = sock->localPort_IPv4();
        listeners.push_back(sock);
    }
    auto sender = makeSocket(outbox);
    ASSERT_TRUE(sender->enableBroadcast(true));
    ASSERT_TRUE(sender->beginReceiving());
    sender->sendData(toBytes("probe"), "127.255.255.255", port, -1, 1);
    ASSERT_TRUE(runUntil(
        [&] { return inboxes[0]->received.size() == 1 && inboxes[1]->received.size() == 1; }));
    EXPECT_EQ(outbox->sent, std::vector<int64_t>{1});

    // Broadcasts and multicasts off loopback go to an installed sink.
    std::vector<std::pair<std::string, Bytes>> taken;
    NetworkGuard::setDatagramSink(
        [&](const sockaddr* to, socklen_t length, const uint8_t* data, size_t size) {
            taken.push_back({NetworkGuard::describe(to, length), Bytes(data, data + size)});
            return true;
        });
    // In a test build the guard aborts the process if the kernel send is reached.
    sender->sendData(toBytes("probe"), "192.168.1.255", 6445, -1, 2);
    sender->sendData(toBytes("multi"), "239.255.255.250", 1234, -1, 3);
    bool done = runUntil([&] { return outbox->sent.size() == 3; });
    NetworkGuard::setDatagramSink({});
    ASSERT_TRUE(done);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].first, "192.168.1.255:6445");
    EXPECT_EQ(taken[0].second, toBytes("probe"));
    EXPECT_EQ(taken[1].first, "239.255.255.250:1234");
}

// A socket the kernel binds by its first send or connect keeps its port to itself: a socket
// with address and port reuse (another program's, say) can neither be handed that port nor
// bind it, so the replies to that port all reach this socket. An explicit bind keeps reuse,
// and the port is shared.
TEST_F(UdpSocketTest, ASocketBoundByItsFirstSendOrConnectSharesItsPortWithNobody) {
    // The error of a bind with address and port reuse to the port on the address.
    const auto reuseBind = [](const char* host, uint16_t port) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, host, &a.sin_addr);
        const int error = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
        ::close(fd);
        return error;
    };
    struct Case {
        const char* name;
        std::function<void(QKGCDAsyncUdpSocket&, const RawPeer&)> bind;
        int reuseBindError;
    } cases[] = {
        {"first send",
         [](auto& s, auto& peer) { s.sendData(toBytes("probe"), "127.0.0.1", peer.port(), -1, 1); },
         EADDRINUSE},
        {"connect",
         [](auto& s, auto& peer) { ASSERT_TRUE(s.connectToHost("127.0.0.1", peer.port())); },
         EADDRINUSE},
        {"explicit bind to port 0", [](auto& s, auto&) { ASSERT_TRUE(s.bindToPort(0)); }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer;
        auto sock = makeSocket(outbox);
        ASSERT_TRUE(sock->enableBroadcast(true));
        c.bind(*sock, peer);
        uint16_t port = 0;
        ASSERT_TRUE(runUntil([&] { return (port = sock->localPort_IPv4()) != 0; }));
        EXPECT_EQ(reuseBind("0.0.0.0", port), c.reuseBindError);
        EXPECT_EQ(reuseBind("127.0.0.1", port), c.reuseBindError);
        sock->close();
    }
}

TEST_F(UdpSocketTest, ConnectFiltersSingleReceiveAndMulticastOnLoopback) {
    auto receiver = makeReceiver(inbox);
    uint16_t port = receiver->localPort();

    // Connect, then send without a destination; a destination is refused.
    auto sender = makeSocket(outbox);
    ASSERT_TRUE(sender->connectToHost("localhost", port));
    ErrorPtr error;
    EXPECT_FALSE(sender->connectToHost("localhost", port, &error));
    EXPECT_EQ(error->localizedDescription(), "Cannot connect a socket more than once.");
    sender->sendData(toBytes("c1"), 1);
    sender->sendData(toBytes("c2"), "127.0.0.1", port, -1, 2);
    ASSERT_TRUE(
        runUntil([&] { return inbox->received.size() == 1 && outbox->notSent.size() == 1; }));
    EXPECT_TRUE(sender->isConnected());
    EXPECT_EQ(sender->connectedHost(), "127.0.0.1");
    EXPECT_EQ(sender->connectedPort(), port);
    EXPECT_FALSE(sender->isIPv6());
    ASSERT_EQ(outbox->connected.size(), 1u);
    EXPECT_EQ(outbox->connected[0], sender->connectedAddress());
    EXPECT_EQ(outbox->notSent[0].second->localizedDescription(),
              "Cannot specify destination of packet for connected socket");

    // A connected socket hears only its peer.
    RawPeer stranger;
    ASSERT_TRUE(sender->beginReceiving());
    stranger.sendTo(sender->localAddress(), toBytes("stranger"));
    MainLoop::runFor(1);
    EXPECT_TRUE(outbox->received.empty());

    // Receive filter passing every other datagram, with its context.
    int seen = 0;
    receiver->setReceiveFilter(
        [&](const Bytes&, const Bytes&, std::any* context) {
            *context = ++seen;
            return seen % 2 == 0;
        },
        DispatchQueue::createSerial("filter"));
    // Send filter that drops "skip" yet reports it sent.
    auto plain = std::make_shared<UdpRecorder>();
    auto filtered = makeSocket(plain);
    filtered->setSendFilter(
        [](const Bytes& d, const Bytes&, int64_t) { return d != toBytes("skip"); },
        DispatchQueue::createSerial("send filter"), false);
    for (int i = 0; i < 6; ++i)
        filtered->sendData(toBytes(i == 2 ? "skip" : "f" + std::to_string(i)), "127.0.0.1", port,
                           -1, 10 + i);
    ASSERT_TRUE(runUntil([&] { return seen == 5 && plain->sent.size() == 6; }));
    MainLoop::runFor(1);
    ASSERT_EQ(inbox->received.size(), 3u);
    EXPECT_EQ(inbox->received[1].data, toBytes("f1"));
    EXPECT_EQ(std::any_cast<int>(inbox->received[1].context), 2);
    EXPECT_EQ(inbox->received[2].data, toBytes("f4"));

    // Receive once: exactly one datagram, the rest waits in the kernel.
    receiver->setReceiveFilter(nullptr, nullptr);
    receiver->pauseReceiving();
    ASSERT_TRUE(receiver->receiveOnce());
    for (int i = 0; i < 3; ++i) filtered->sendData(toBytes("o"), "127.0.0.1", port, -1, 20 + i);
    MainLoop::runFor(1);
    EXPECT_EQ(inbox->received.size(), 4u);
    ASSERT_TRUE(receiver->beginReceiving());
    ASSERT_TRUE(runUntil([&] { return inbox->received.size() == 6; }));

    // Multicast membership on loopback closes the other family.
    auto member = makeSocket(inbox);
    ASSERT_TRUE(member->bindToPort(0));
    EXPECT_FALSE(member->joinMulticastGroup("not a group", &error));
    EXPECT_EQ(error->code(), QKGCDAsyncUdpSocketBadParamError);
    ASSERT_TRUE(member->joinMulticastGroup("239.1.2.3", std::string("127.0.0.1"), &error))
        << error->localizedDescription();
    EXPECT_TRUE(member->isIPv4());
    EXPECT_FALSE(member->isIPv6());
    EXPECT_TRUE(member->leaveMulticastGroup("239.1.2.3", std::string("127.0.0.1"), nullptr));
    EXPECT_FALSE(member->joinMulticastGroup("ff02::1", &error));
    EXPECT_EQ(error->localizedDescription(),
              "Socket, group, and interface do not have matching IP versions");

    // closeAfterSending waits for the queue, then closes once.
    filtered->sendData(toBytes("last"), "127.0.0.1", port, -1, 30);
    filtered->closeAfterSending();
    ASSERT_TRUE(runUntil([&] { return plain->closes.size() == 1; }));
    EXPECT_EQ(plain->sent.back(), 30);
}

TEST_F(UdpSocketTest, DualFamilyBindAndAddressViewsOfCutAddresses) {
    auto sock = makeSocket(outbox);
    ASSERT_TRUE(sock->bindToPort(0));
    EXPECT_EQ(sock->socketFD(), -1);  // only on the socket queue
    int fd = -1;
    sock->performBlock([&] { fd = sock->socketFD(); });
    EXPECT_GE(fd, 0);
    EXPECT_EQ(sock->localHost(), "0.0.0.0");
    EXPECT_EQ(sock->localHost_IPv6(), "::");
    EXPECT_NE(sock->localPort_IPv6(), 0);

    std::string host = "x";
    uint16_t port = 1;
    int family = 1;
    Bytes address6 = loopbackSocketAddress6(80);
    EXPECT_TRUE(QKGCDAsyncUdpSocket::getHost(&host, &port, &family, address6));
    EXPECT_EQ(host + ":" + std::to_string(port), "::1:80");
    EXPECT_EQ(family, AF_INET6);
    for (size_t length : {0, 2, 15, 27}) {
        Bytes cut(address6.begin(), address6.begin() + length);
        EXPECT_FALSE(QKGCDAsyncUdpSocket::getHost(&host, &port, &family, cut));
        EXPECT_EQ(host + std::to_string(port) + std::to_string(family), "00");
    }
}

// Whatever the LAN throws at a listening socket: random sizes up to the largest datagram, both
// families, empty ones included. Everything the kernel queued comes out
// unchanged, with its sender, in the order each sender sent it.
TEST_F(UdpSocketTest, SurvivesThousandsOfRandomDatagrams) {
    auto sock = makeSocket(inbox);
    ASSERT_TRUE(sock->bindToPort(0, std::string("localhost"), nullptr));
    ASSERT_TRUE(sock->beginReceiving());
    RawPeer peer4;
    RawPeer peer6(AF_INET6);
    std::mt19937 random(14);
    std::map<Bytes, std::vector<Bytes>> expected;  // by sender address
    size_t total = 0;
    for (int burst = 0; burst < 400; ++burst) {
        size_t queued = 0;
        for (int i = 0; i < 8; ++i) {
            uint32_t shape = random() % 8;
            size_t size = shape == 0 ? 0 : shape < 5 ? random() % 64 : random() % 65508;
            if (queued + size > 100000) break;  // stay under the kernel's receive buffer
            queued += size;
            Bytes data(size);
            for (auto& b : data) b = uint8_t(random());
            RawPeer& peer = random() % 2 ? peer6 : peer4;
            peer.sendTo(&peer == &peer6 ? sock->localAddress_IPv6() : sock->localAddress_IPv4(),
                        data);
            if (!data.empty()) {
                expected[peer.address].push_back(std::move(data));
                ++total;
            }
        }
        ASSERT_TRUE(runUntil([&] { return inbox->received.size() == total; })) << burst;
    }
    std::map<Bytes, std::vector<Bytes>> got;
    for (auto& d : inbox->received) got[d.address].push_back(d.data);
    EXPECT_TRUE(got == expected);
    EXPECT_GT(total, 2000u);
    EXPECT_TRUE(inbox->closes.empty());
}

TEST_F(UdpSocketTest, TheOwnerMayReleaseTheSocketInItsCallback) {
    auto sock = makeReceiver(inbox);
    Bytes to = sock->localAddress_IPv4();
    std::weak_ptr<QKGCDAsyncUdpSocket> weak = sock;
    inbox->onReceive = [&](const QKGCDAsyncUdpSocketPtr&) { sock.reset(); };
    RawPeer peer;
    peer.sendTo(to, toBytes("bye"));
    peer.sendTo(to, toBytes("bye"));
    ASSERT_TRUE(runUntil([&] { return weak.expired(); }));
    MainLoop::runFor(1);
    // Destruction closes: one close callback that names no socket.
    EXPECT_EQ(inbox->closes.size(), 1u);
}

// Threaded mode, as smart connect uses it: callbacks on the global concurrent queue, and the
// owner dropping the socket from a callback while other callbacks may still run.
TEST(ThreadedUdpSocket, RoundTripOnTheGlobalQueueAndReleaseFromACallback) {
    struct Counter : QKGCDAsyncUdpSocketDelegate {
        void udpSocketDidSendDataWithTag(const QKGCDAsyncUdpSocketPtr&, int64_t) override {
            sent.signal();
        }
        void udpSocketDidReceiveDataFromAddressWithFilterContext(const QKGCDAsyncUdpSocketPtr&,
                                                                 const Bytes&, const Bytes&,
                                                                 const std::any&) override {
            std::lock_guard<std::mutex> lock(mutex);
            if (++received == 50) owned.reset();
        }
        void udpSocketDidCloseWithError(const QKGCDAsyncUdpSocketPtr& sock,
                                        const ErrorPtr&) override {
            if (!sock) destroyed.signal();  // raised by the destruction
        }
        Semaphore sent, destroyed;
        std::mutex mutex;
        int received = 0;
        QKGCDAsyncUdpSocketPtr owned;
    };
    auto counter = std::make_shared<Counter>();
    auto receiver = std::make_shared<QKGCDAsyncUdpSocket>(counter, DispatchQueue::global());
    ASSERT_TRUE(receiver->bindToPort(0, std::string("127.0.0.1"), nullptr));
    ASSERT_TRUE(receiver->beginReceiving());
    uint16_t port = receiver->localPort();
    std::weak_ptr<QKGCDAsyncUdpSocket> weak = receiver;
    {
        std::lock_guard<std::mutex> lock(counter->mutex);
        counter->owned = std::move(receiver);
    }
    auto sender = std::make_shared<QKGCDAsyncUdpSocket>(counter, DispatchQueue::global());
    for (int i = 0; i < 50; ++i) {
        sender->sendData(toBytes("datagram"), "127.0.0.1", port, -1, i);
        ASSERT_TRUE(counter->sent.wait(10.0));  // one at a time: none dropped by the kernel
    }
    ASSERT_TRUE(counter->destroyed.wait(10.0));
    EXPECT_TRUE(weak.expired());
    sender->close();
}

}  // namespace
}  // namespace telvo
