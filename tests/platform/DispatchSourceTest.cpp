#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchSource.h"
#include "platform/dispatch/MainLoop.h"

namespace telvo {
namespace {

struct UdpPair {
    int receiver = -1;
    int sender = -1;
    sockaddr_in to{};
    UdpPair() {
        receiver = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(receiver, reinterpret_cast<sockaddr*>(&to), sizeof to);
        socklen_t len = sizeof to;
        getsockname(receiver, reinterpret_cast<sockaddr*>(&to), &len);
    }
    ~UdpPair() {
        if (sender >= 0) close(sender);
    }
    void send(size_t n) {
        std::string payload(n, 'x');
        ASSERT_EQ(sendto(sender, payload.data(), n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  ssize_t(n));
    }
};

bool fdIsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

class DeterministicSource : public ::testing::Test {
  protected:
    DeterministicDispatch mode_;
};

TEST_F(DeterministicSource, UdpReadSourceIsLevelTriggeredAndClosesOnce) {
    UdpPair udp;
    auto queue = DispatchQueue::createSerial("socket");
    auto pair = DispatchSource::createPair(udp.receiver, queue);
    std::vector<unsigned long> reports;
    int reads = 0;
    bool consume = false;
    pair.read->setEventHandler([&] {
        reports.push_back(pair.read->data());
        if (consume || reports.size() >= 3) {
            char buf[2048];
            if (recv(udp.receiver, buf, sizeof buf, 0) >= 0) ++reads;
        }
    });
    int readCancels = 0, writeCancels = 0;
    pair.read->setCancelHandler([&] { ++readCancels; });
    pair.write->setCancelHandler([&] { ++writeCancels; });

    // Created suspended: silent.
    udp.send(5);
    MainLoop::runFor(1);
    EXPECT_TRUE(reports.empty());

    // Resumed: fires again while the datagram stays pending (read only on the third event).
    pair.read->resume();
    MainLoop::runUntil([&] { return reads == 1; }, 10);
    EXPECT_EQ(reports, (std::vector<unsigned long>{5, 5, 5}));

    // An empty datagram reports 0.
    reports.clear();
    consume = true;
    udp.send(0);
    MainLoop::runUntil([&] { return reads == 2; }, 10);
    EXPECT_EQ(reports, (std::vector<unsigned long>{0}));

    // Suspended: silent while a datagram waits; resumed: delivered.
    pair.read->suspend();
    udp.send(7);
    MainLoop::runFor(1);
    EXPECT_EQ(reports.size(), 1u);
    pair.read->resume();
    MainLoop::runUntil([&] { return reads == 3; }, 10);
    EXPECT_EQ(reports.back(), 7u);

    // Cancel: the read source (running) runs its handler; the write source (suspended) only
    // once resumed; the descriptor closes after both, exactly once.
    pair.read->cancel();
    pair.write->cancel();
    pair.read->cancel();
    MainLoop::drain();
    EXPECT_EQ(readCancels, 1);
    EXPECT_EQ(writeCancels, 0);
    EXPECT_TRUE(fdIsOpen(udp.receiver));
    pair.write->resume();
    MainLoop::drain();
    EXPECT_EQ(writeCancels, 1);
    EXPECT_FALSE(fdIsOpen(udp.receiver));
    pair.write->resume();
    pair.write->cancel();
    MainLoop::drain();
    EXPECT_EQ(readCancels, 1);
    EXPECT_EQ(writeCancels, 1);
}

TEST_F(DeterministicSource, WriteSourceAndSuspendCounts) {
    UdpPair udp;
    auto queue = DispatchQueue::createSerial("socket");
    auto source = DispatchSource::create(DispatchSource::Kind::Write, udp.sender, queue);
    int events = 0;
    source->setEventHandler([&] {
        ++events;
        source->suspend();
    });
    source->resume();
    source->resume();  // extra resume at count 0 is ignored
    MainLoop::drain();
    EXPECT_EQ(events, 1);
    EXPECT_TRUE(source->isSuspended());
    source->suspend();  // count 2
    source->resume();
    MainLoop::drain();
    EXPECT_EQ(events, 1);
    source->resume();
    MainLoop::drain();
    EXPECT_EQ(events, 2);
    source->cancel();
    MainLoop::drain();
    EXPECT_TRUE(fdIsOpen(udp.sender));  // a single source never closes its descriptor
    close(udp.receiver);
}

// An owning source closes its descriptor after its cancel handler has run, never at cancel()
// itself; a borrowed one handed its descriptor at cancel time does the same; a cancelled source
// that was never resumed closes it when released.
TEST_F(DeterministicSource, OwningSourceClosesAfterItsCancelHandler) {
    auto queue = DispatchQueue::createSerial("socket");
    UdpPair owned;
    auto source = DispatchSource::create(DispatchSource::Kind::Read, owned.receiver, queue,
                                         DispatchSource::Descriptor::Owned);
    bool openInCancelHandler = false;
    source->setCancelHandler([&] { openInCancelHandler = fdIsOpen(owned.receiver); });
    source->resume();
    source->cancel();
    EXPECT_TRUE(fdIsOpen(owned.receiver));
    MainLoop::drain();
    EXPECT_TRUE(openInCancelHandler);
    EXPECT_FALSE(fdIsOpen(owned.receiver));

    UdpPair handed;
    auto borrowed = DispatchSource::create(DispatchSource::Kind::Read, handed.receiver, queue);
    borrowed->resume();
    borrowed->cancelAndClose();
    EXPECT_TRUE(fdIsOpen(handed.receiver));
    MainLoop::drain();
    EXPECT_FALSE(fdIsOpen(handed.receiver));

    UdpPair idle;
    auto neverResumed = DispatchSource::create(DispatchSource::Kind::Read, idle.receiver, queue,
                                               DispatchSource::Descriptor::Owned);
    neverResumed->cancel();
    MainLoop::drain();
    EXPECT_TRUE(fdIsOpen(idle.receiver));
    neverResumed.reset();
    EXPECT_FALSE(fdIsOpen(idle.receiver));
}

TEST(ThreadedSource, ReadSourceDeliversOnItsQueue) {
    UdpPair udp;
    auto queue = DispatchQueue::createSerial("socket");
    auto pair = DispatchSource::createPair(udp.receiver, queue);
    std::atomic<int> got{0};
    std::atomic<bool> onQueue{true};
    pair.read->setEventHandler([&] {
        if (!queue->isCurrent()) onQueue = false;
        char buf[64];
        if (recv(udp.receiver, buf, sizeof buf, 0) >= 0) got.fetch_add(1);
    });
    std::atomic<int> cancels{0};
    pair.read->setCancelHandler([&] { cancels.fetch_add(1); });
    pair.write->setCancelHandler([&] { cancels.fetch_add(1); });
    pair.read->resume();
    for (int i = 0; i < 3; ++i) udp.send(4);
    MainLoop::runUntil([&] { return got.load() == 3; }, 30);
    EXPECT_EQ(got.load(), 3);
    EXPECT_TRUE(onQueue.load());
    pair.read->cancel();
    pair.write->cancel();
    pair.write->resume();
    MainLoop::runUntil([&] { return cancels.load() == 2; }, 30);
    queue->sync([] {});
    EXPECT_EQ(cancels.load(), 2);
    EXPECT_FALSE(fdIsOpen(udp.receiver));
}

}  // namespace
}  // namespace telvo
