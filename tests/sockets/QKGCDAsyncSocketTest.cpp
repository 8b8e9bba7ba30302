#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <mutex>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/LoopbackTcpPeer.h"
#include "sim/TestSupport.h"
#include "sockets/AsyncSocketDelegates.h"
#include "sockets/QKGCDAsyncSocket.h"

namespace telvo {
namespace {

using test::LoopbackTcpPeer;

using Recorder = test::SocketRecorder;
using Event = test::SocketEvent;

class AsyncSocketTest : public ::testing::Test {
  protected:
    void SetUp() override { socket_ = QKGCDAsyncSocket::create(recorder_, delegateQueue_); }

    bool runUntilCount(const std::string& kind, int n, double seconds = 30) {
        return MainLoop::runUntil([&] { return recorder_->count(kind) >= n; }, seconds);
    }

    // Connects to the peer and accepts on its side.
    void connect(LoopbackTcpPeer& peer) {
        ErrorPtr error;
        int before = recorder_->count("connect");
        ASSERT_TRUE(socket_->connectToHost("127.0.0.1", peer.port(), 3.0, &error));
        ASSERT_TRUE(runUntilCount("connect", before + 1));
        ASSERT_TRUE(peer.accept());
    }

    DeterministicDispatch mode_;
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
    DispatchQueuePtr delegateQueue_ = DispatchQueue::createSerial("delegate");
    QKGCDAsyncSocketPtr socket_;
};

TEST_F(AsyncSocketTest, RefusedCallsAnswerSynchronouslyWithoutCallback) {
    LoopbackTcpPeer peer;
    struct Case {
        const char* name;
        std::string host, interface;
        int64_t code;
        std::function<void(QKGCDAsyncSocket&)> prepare;
    };
    const std::string local = "127.0.0.1";
    const Case cases[] = {
        {"empty host", "", "", 2, nullptr},
        {"no delegate", local, "", 1, [](auto& s) { s.synchronouslySetDelegate({}); }},
        {"no delegate queue", local, "", 1, [](auto& s) { s.synchronouslySetDelegateQueue({}); }},
        {"both families off", local, "", 1,
         [](auto& s) {
             s.setIPv4Enabled(false);
             s.setIPv6Enabled(false);
         }},
        {"unknown interface", local, "no-such-interface0", 2, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sock = QKGCDAsyncSocket::create(recorder_, delegateQueue_);
        if (c.prepare) c.prepare(*sock);
        ErrorPtr error;
        EXPECT_FALSE(sock->connectToHost(c.host, peer.port(), c.interface, 3.0, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kQKGCDAsyncSocketErrorDomain);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_TRUE(sock->isDisconnected());
    }
    // A second connect while the first runs is refused and leaves the first alone.
    ErrorPtr error;
    ASSERT_TRUE(socket_->connectToHost("127.0.0.1", peer.port(), 3.0, &error));
    EXPECT_FALSE(socket_->connectToHost("127.0.0.1", peer.port(), 3.0, &error));
    EXPECT_EQ(error->code(), 1);
    MainLoop::runFor(5);
    EXPECT_EQ(recorder_->count("connect"), 1);
    EXPECT_EQ(recorder_->count("disconnect"), 0);
    EXPECT_TRUE(socket_->isConnected());
}

TEST_F(AsyncSocketTest, RefusedPortReportsOneConnectFailure) {
    uint16_t port = LoopbackTcpPeer::closedPort();
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        recorder_->events.clear();
        ErrorPtr error;
        ASSERT_TRUE(socket_->connectToHost(host, port, 3.0, &error));
        MainLoop::runFor(10);
        ASSERT_EQ(recorder_->count("disconnect"), 1);
        const Event& e = *recorder_->last("disconnect");
        ASSERT_TRUE(e.error);
        EXPECT_EQ(e.error->domain(), NSPOSIXErrorDomain);
        EXPECT_EQ(e.error->code(), ECONNREFUSED);
        EXPECT_EQ(e.error->userInfo()["NSLocalizedFailureReason"].stringValue(),
                  "Error in connect() function");
        EXPECT_TRUE(socket_->isDisconnected());
    }
}

TEST_F(AsyncSocketTest, LocalhostTriesIPv6AfterTheAlternateDelayWhenIPv4Refuses) {
    LoopbackTcpPeer peer(16, AF_INET6);
    double start = Clock::now();
    ErrorPtr error;
    ASSERT_TRUE(socket_->connectToHost("localhost", peer.port(), 3.0, &error));
    ASSERT_TRUE(runUntilCount("connect", 1));
    EXPECT_EQ(recorder_->last("connect")->data, "::1");
    EXPECT_DOUBLE_EQ(recorder_->last("connect")->at - start, 0.3);
    EXPECT_EQ(recorder_->count("disconnect"), 0);
    EXPECT_TRUE(socket_->isIPv6());
}

TEST_F(AsyncSocketTest, PendingConnectTimesOutAfterExactlyItsTimeout) {
    LoopbackTcpPeer peer(0);
    ASSERT_TRUE(peer.fillBacklog());
    double start = Clock::now();
    ErrorPtr error;
    ASSERT_TRUE(socket_->connectToHost("127.0.0.1", peer.port(), 3.0, &error));
    ASSERT_TRUE(runUntilCount("disconnect", 1));
    const Event& e = *recorder_->last("disconnect");
    EXPECT_EQ(e.error->code(), QKGCDAsyncSocketConnectTimeoutError);
    EXPECT_EQ(e.error->localizedDescription(), "Attempt to connect to host timed out");
    EXPECT_DOUBLE_EQ(e.at - start, 3.0);
    EXPECT_EQ(recorder_->count("connect"), 0);
}

TEST_F(AsyncSocketTest, DisconnectReportsNullErrorOnlyForStartedSocketWithDelegate) {
    LoopbackTcpPeer peer;
    socket_->disconnect();  // idle: nothing
    connect(peer);
    socket_->disconnect();
    MainLoop::runFor(1);
    ASSERT_EQ(recorder_->count("disconnect"), 1);
    EXPECT_FALSE(recorder_->last("disconnect")->error);
    EXPECT_FALSE(recorder_->last("disconnect")->nullSocket);

    // A delayed disconnect lets the queued write finish, then closes with no error; a read
    // asked for afterwards is dropped.
    connect(peer);
    socket_->writeData(toBytes("bye"), -1, 3);
    socket_->disconnectAfterWriting();
    socket_->readDataWithTimeout(-1, 4);
    ASSERT_TRUE(runUntilCount("disconnect", 2));
    EXPECT_EQ(recorder_->count("write"), 1);
    EXPECT_FALSE(recorder_->last("disconnect")->error);
    EXPECT_EQ(peer.receiveAvailable(), "bye");

    // After writing only: a read queued before, that the peer never answers, does not hold the
    // close back; it ends unanswered.
    connect(peer);
    socket_->readDataWithTimeout(-1, 5);
    socket_->writeData(toBytes("end"), -1, 6);
    socket_->disconnectAfterWriting();
    ASSERT_TRUE(runUntilCount("disconnect", 3));
    EXPECT_EQ(recorder_->count("write"), 2);
    EXPECT_EQ(recorder_->count("read"), 0);
    EXPECT_FALSE(recorder_->last("disconnect")->error);
    EXPECT_EQ(peer.receiveAvailable(), "end");

    // The session's tear-down: clear the delegate, then disconnect; no callback.
    connect(peer);
    socket_->setDelegate({});
    socket_->disconnect();
    MainLoop::runFor(1);
    EXPECT_EQ(recorder_->count("disconnect"), 3);
}

TEST_F(AsyncSocketTest, ReadAnyReturnsWhatArrivedAndBytesWaitForARead) {
    LoopbackTcpPeer peer;
    connect(peer);
    peer.send("frame-1|");
    peer.send("frame-2|");
    MainLoop::runFor(1);
    EXPECT_EQ(recorder_->count("read"), 0);
    socket_->readDataWithTimeout(-1, 11);
    ASSERT_TRUE(runUntilCount("read", 1));
    EXPECT_EQ(recorder_->last("read")->data, "frame-1|frame-2|");
    EXPECT_EQ(recorder_->last("read")->tag, 11);

    socket_->writeData(toBytes("ping"), -1, 12);
    ASSERT_TRUE(runUntilCount("write", 1));
    EXPECT_EQ(recorder_->last("write")->tag, 12);
    EXPECT_EQ(peer.receiveAvailable(), "ping");
    socket_->writeData({}, -1, 13);  // empty: no callback
    MainLoop::runFor(1);
    EXPECT_EQ(recorder_->count("write"), 1);

    // After a read and a write the socket delays its ACKs: the peer's small sends must still
    // reach a length read past its first partial read (not wait on Nagle in real time).
    socket_->readDataToLength(9, -1, 14);
    for (const char* chunk : {"abc", "def", "ghi"}) {
        peer.send(chunk);
        MainLoop::runUntil([&] { return recorder_->count("read") > 1; }, 1);
    }
    ASSERT_TRUE(runUntilCount("read", 2));
    EXPECT_EQ(recorder_->last("read")->data, "abcdefghi");
}

TEST_F(AsyncSocketTest, LengthAndTerminatorReadsAssembleAcrossPeerWrites) {
    LoopbackTcpPeer peer;
    connect(peer);
    socket_->readDataToLength(9, -1, 1);
    for (const char* chunk : {"abc", "def", "ghi"}) {
        peer.send(chunk);
        MainLoop::runUntil([&] { return recorder_->count("read") > 0; }, 1);
    }
    ASSERT_EQ(recorder_->count("read"), 1);
    EXPECT_EQ(recorder_->last("read")->data, "abcdefghi");
    EXPECT_EQ(recorder_->count("partialRead"), 2);

    // A terminator split over two writes; what follows it stays for the next request.
    socket_->readDataToData(QKGCDAsyncSocket::CRLFData(), -1, 2);
    peer.send("line one\r");
    MainLoop::runFor(1);
    peer.send("\nrest");
    ASSERT_TRUE(runUntilCount("read", 2));
    EXPECT_EQ(recorder_->last("read")->data, "line one\r\n");
    socket_->readDataWithTimeout(-1, 3);
    ASSERT_TRUE(runUntilCount("read", 3));
    EXPECT_EQ(recorder_->last("read")->data, "rest");

    // A caller's buffer gets the bytes at its offset and grows only as far as they reach.
    auto buffer = std::make_shared<Bytes>(toBytes("XY"));
    socket_->readDataToLength(3, -1, buffer, 1, 5);
    peer.send("abc");
    ASSERT_TRUE(runUntilCount("read", 4));
    EXPECT_EQ(recorder_->last("read")->data, "abc");
    EXPECT_EQ(toString(*buffer), "Xabc");

    // Passing maxLength without the terminator ends the connection with code 6.
    socket_->readDataToData(QKGCDAsyncSocket::LFData(), -1, 4, 4);
    peer.send("abcdef");
    ASSERT_TRUE(runUntilCount("disconnect", 1));
    EXPECT_EQ(recorder_->last("disconnect")->error->code(), QKGCDAsyncSocketReadMaxedOutError);
}

// A terminator read without a maximum stops at the default one: a peer that never sends the
// terminator ends the connection instead of growing the read (and the process) without end.
TEST_F(AsyncSocketTest, ATerminatorReadWithoutAMaximumIsBoundedByDefault) {
    LoopbackTcpPeer peer;
    connect(peer);
    socket_->readDataToData(QKGCDAsyncSocket::CRLFData(), -1, 1);
    const size_t peakBefore = test::peakResidentBytes();
    const std::string chunk(64 * 1024, 'x');
    size_t sent = 0;
    try {
        // The socket reads each chunk before the next goes out; 64 MiB unless it closes first.
        for (int i = 0; i < 1024 && recorder_->count("disconnect") == 0; ++i) {
            const int reads = recorder_->count("partialRead");
            peer.send(chunk);
            sent += chunk.size();
            MainLoop::runUntil(
                [&] {
                    return recorder_->count("partialRead") > reads ||
                           recorder_->count("disconnect") > 0;
                },
                5);
        }
    } catch (const std::runtime_error&) {
        // The phone closed the connection; the peer's send fails.
    }
    ASSERT_TRUE(runUntilCount("disconnect", 1));
    EXPECT_EQ(recorder_->last("disconnect")->error->code(), QKGCDAsyncSocketReadMaxedOutError);
    EXPECT_EQ(recorder_->count("read"), 0);
    EXPECT_LE(sent, size_t(8) << 20);
    EXPECT_LT(test::peakResidentBytes() - peakBefore, size_t(32) << 20);
}

// A huge length reserves nothing up front (it used to throw out of readDataToLength); the
// peer's close drops the pending read.
TEST_F(AsyncSocketTest, AHugeLengthReadTakesMemoryAsBytesArriveAndPeerCloseDropsIt) {
    LoopbackTcpPeer peer;
    connect(peer);
    EXPECT_NO_THROW(socket_->readDataToLength(UINT64_MAX, -1, 1));
    peer.send("abc");
    ASSERT_TRUE(runUntilCount("partialRead", 1));
    EXPECT_EQ(recorder_->last("partialRead")->data, "3");
    peer.close();
    ASSERT_TRUE(runUntilCount("disconnect", 1));
    EXPECT_EQ(recorder_->last("disconnect")->error->code(), QKGCDAsyncSocketClosedError);
    EXPECT_EQ(recorder_->count("read"), 0);
}

TEST_F(AsyncSocketTest, ReadTimeoutFiresUnlessTheDelegateExtendsIt) {
    for (int extensions : {0, 2}) {
        SCOPED_TRACE(extensions);
        LoopbackTcpPeer peer;
        recorder_->events.clear();
        recorder_->readExtension = 1.5;
        recorder_->extensionsLeft = extensions;
        connect(peer);
        double start = Clock::now();
        socket_->readDataWithTimeout(2.0, 7);
        ASSERT_TRUE(runUntilCount("disconnect", 1));
        const Event& e = *recorder_->last("disconnect");
        EXPECT_EQ(e.error->code(), QKGCDAsyncSocketReadTimeoutError);
        EXPECT_DOUBLE_EQ(e.at - start, 2.0 + 1.5 * extensions);
    }
}

TEST_F(AsyncSocketTest, PeerGoneDuringLargeWriteGivesOneDisconnectAndNoSigpipe) {
    auto previous = std::signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE would end the test
    // Reset mid-write; and a peer that closed first, which a half-duplex socket outlives
    // until its writes meet the peer's reset (the case where send() reports EPIPE).
    for (bool halfDuplex : {false, true}) {
        SCOPED_TRACE(halfDuplex);
        LoopbackTcpPeer peer;
        recorder_->events.clear();
        socket_->setAutoDisconnectOnClosedReadStream(!halfDuplex);
        connect(peer);
        if (halfDuplex) {
            peer.close();
            MainLoop::runFor(1);
            ASSERT_EQ(recorder_->count("disconnect"), 0);
        }
        socket_->writeData(Bytes(4 << 20, 0x5A), -1, 1);
        if (!halfDuplex) {
            ASSERT_TRUE(runUntilCount("partialWrite", 1));
            peer.reset();
        }
        ASSERT_TRUE(runUntilCount("disconnect", 1));
        MainLoop::runFor(5);
        EXPECT_EQ(recorder_->count("disconnect"), 1);
        EXPECT_EQ(recorder_->count("write"), 0);
    }
    std::signal(SIGPIPE, previous);
}

TEST_F(AsyncSocketTest, OwnerMayReleaseTheSocketInsideACallback) {
    LoopbackTcpPeer peer;
    // Released while reading: destruction closes with a null socket and no error.
    connect(peer);
    recorder_->onRead = [&] { socket_.reset(); };
    socket_->readDataWithTimeout(-1, 1);
    peer.send("x");
    ASSERT_TRUE(runUntilCount("disconnect", 1));
    EXPECT_TRUE(recorder_->last("disconnect")->nullSocket);
    EXPECT_FALSE(recorder_->last("disconnect")->error);

    // Released inside the disconnect callback of a peer close.
    recorder_->onRead = nullptr;
    recorder_->onDisconnect = [&] { socket_.reset(); };
    socket_ = QKGCDAsyncSocket::create(recorder_, delegateQueue_);
    connect(peer);
    peer.close();
    ASSERT_TRUE(runUntilCount("disconnect", 2));
    MainLoop::runFor(1);
    EXPECT_FALSE(socket_);
    EXPECT_EQ(recorder_->count("disconnect"), 2);
}

TEST_F(AsyncSocketTest, ThousandCyclesLeakNoDescriptor) {
    LoopbackTcpPeer peer;
    int before = test::countOpenDescriptors();
    for (int i = 0; i < 1000; ++i) {
        if (!socket_) socket_ = QKGCDAsyncSocket::create(recorder_, delegateQueue_);
        connect(peer);
        socket_->writeData(toBytes("ping"), -1, i);
        socket_->readDataWithTimeout(-1, i);
        ASSERT_TRUE(MainLoop::runUntil([&] { return peer.receiveAvailable() == "ping"; }, 5));
        peer.send("pong");
        ASSERT_TRUE(runUntilCount("read", i + 1));
        if (i % 2) {
            socket_.reset();
        } else {
            socket_->disconnect();
        }
        ASSERT_TRUE(runUntilCount("disconnect", i + 1));
    }
    peer.close();
    MainLoop::runFor(1);
    EXPECT_LE(test::countOpenDescriptors(), before);  // an earlier test's may close meanwhile
}

// The appliance session's use in threaded mode: callbacks on the global concurrent queue.
TEST(ThreadedAsyncSocket, SessionRoundTripOnGlobalDelegateQueue) {
    auto recorder = std::make_shared<Recorder>();
    auto sock = QKGCDAsyncSocket::create(recorder, DispatchQueue::global());
    LoopbackTcpPeer peer;
    ErrorPtr error;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", peer.port(), 3.0, &error));
    ASSERT_TRUE(MainLoop::runUntil([&] { return recorder->count("connect") == 1; }, 30));
    ASSERT_TRUE(MainLoop::runUntil([&] { return peer.accept(); }, 30));
    sock->writeData(toBytes("frame"), -1, 1);
    sock->readDataWithTimeout(-1, 2);
    ASSERT_TRUE(MainLoop::runUntil([&] { return peer.receiveAvailable() == "frame"; }, 30));
    peer.send("reply");
    ASSERT_TRUE(MainLoop::runUntil([&] { return recorder->count("read") == 1; }, 30));
    EXPECT_EQ(recorder->count("write"), 1);
    sock.reset();
    ASSERT_TRUE(MainLoop::runUntil([&] { return recorder->count("disconnect") == 1; }, 30));
    EXPECT_EQ(recorder->last("read")->data, "reply");
    EXPECT_TRUE(recorder->last("disconnect")->nullSocket);
}

}  // namespace
}  // namespace telvo
