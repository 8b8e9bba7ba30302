#include "sim/SimLanAppliance.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSource.h"
#include "sim/MainQueueListener.h"

namespace telvo::sim {

namespace {

sockaddr_in address(uint32_t host, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = htons(port);
    return a;
}

Bytes wifiListBody() {
    Bytes body{2};
    for (const std::string ssid : {"home-router", "neighbour"}) {
        body.push_back(static_cast<uint8_t>(ssid.size()));
        body.push_back(ssid == "home-router" ? 2 : 0);
        body.insert(body.end(), ssid.begin(), ssid.end());
    }
    return body;
}

}  // namespace

SimLanAppliance::SimLanAppliance(std::string defaultKey, uint8_t hostOctet)
    : defaultKey_(defaultKey),
      codec_(std::move(defaultKey)),
      hostAddress_((127u << 24) | hostOctet) {
    identity.ip = {127, 0, 0, hostOctet};
    listen();
}

SimLanAppliance::SimLanAppliance(std::string defaultKey, const std::string& bindAddress,
                                 uint16_t port)
    : defaultKey_(defaultKey), codec_(std::move(defaultKey)), port_(port) {
    in_addr a{};
    if (inet_pton(AF_INET, bindAddress.c_str(), &a) != 1)
        throw std::invalid_argument("simulated appliance: no IPv4 address: " + bindAddress);
    hostAddress_ = ntohl(a.s_addr);
    for (int i = 0; i < 4; ++i) identity.ip[size_t(i)] = uint8_t(hostAddress_ >> (24 - 8 * i));
    listen();
}

SimLanAppliance::~SimLanAppliance() {
    *alive_ = false;
    dropPeer();
    if (filler_ >= 0) ::close(filler_);
    stopListening();
}

std::string SimLanAppliance::host() const {
    in_addr a{htonl(hostAddress_)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

void SimLanAppliance::listen() {
    listenSource_ = test::listenOnMainQueue(hostAddress_, &port_, &listener_, "simulated appliance",
                                            alive_, [this] { onAccept(); });
}

// The listener refuses at once; its source closes it once cancelled.
void SimLanAppliance::stopListening() {
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    if (listenSource_) listenSource_->cancel();
    listenSource_ = nullptr;
    listener_ = -1;
}

void SimLanAppliance::refuseConnections(bool refuse) {
    if (refuse && listener_ >= 0) stopListening();
    if (!refuse && listener_ < 0) listen();
}

void SimLanAppliance::holdConnections(std::optional<double> seconds) {
    const uint64_t hold = ++hold_;
    if (filler_ < 0 && listener_ >= 0) {
        // An accept queue of one, filled by a connection of the appliance's own: the kernel
        // drops every further handshake.
        ::listen(listener_, 0);
        listenSource_->suspend();
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a = address(hostAddress_, port_);
        if (filler_ < 0 || (::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 &&
                            errno != EINPROGRESS)) {
            throw std::runtime_error("simulated appliance: cannot fill the accept queue");
        }
        // Loopback completes the handshake at once.
        pollfd p{filler_, POLLOUT, 0};
        if (::poll(&p, 1, 1000) != 1)
            throw std::runtime_error("simulated appliance: the filler did not connect");
    }
    if (!seconds) return;
    DispatchQueue::main()->after(*seconds, [this, alive = alive_, hold] {
        if (*alive && hold == hold_) openConnections();
    });
}

void SimLanAppliance::openConnections() {
    if (filler_ < 0) return;
    ++hold_;
    const bool waiting = connectWaiting();
    int queued = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (queued >= 0) ::close(queued);
    ::close(filler_);
    filler_ = -1;
    ::listen(listener_, 8);
    // The phone's stack sends the waiting handshake again on its own schedule (real time):
    // time stands still until it has landed, so the connect completes at this instant.
    if (waiting) handshake_ = Dispatch::beginOutsideWork("simulated appliance: handshake");
    listenSource_->resume();
}

bool SimLanAppliance::connectWaiting() const {
    char remote[32];
    std::snprintf(remote, sizeof remote, "%08X:%04X", htonl(hostAddress_), unsigned(port_));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, peer, state;
        fields >> slot >> local >> peer >> state;
        if (peer == remote && state == "02") return true;  // SYN_SENT
    }
    return false;
}

void SimLanAppliance::dropAt(double seconds, bool reset) {
    DispatchQueue::main()->after(seconds, [this, alive = alive_, reset] {
        if (*alive) drop(reset);
    });
}

void SimLanAppliance::dropAfterRequests(int count, bool reset) {
    dropAfter_ = count;
    dropReset_ = reset;
}

void SimLanAppliance::drop(bool reset) {
    if (reset) {
        resetConnection();
    } else {
        closeConnection();
    }
}

void SimLanAppliance::onAccept() {
    int fd = test::acceptConnection(listener_);
    if (fd < 0) return;
    handshake_.reset();
    dropPeer();
    peer_ = fd;
    ++accepted_;
    ++connection_;
    counter_ = 0;
    peerSource_ = test::readOnMainQueue(fd, alive_, [this] { onReadable(); });
}

// The connection ends at once (a FIN, or the reset already sent); its source closes the
// descriptor once cancelled.
void SimLanAppliance::dropPeer() {
    if (peer_ >= 0) ::shutdown(peer_, SHUT_RDWR);
    if (peerSource_) peerSource_->cancel();
    peerSource_ = nullptr;
    peer_ = -1;
    inbound_.clear();
    held_.clear();
}

void SimLanAppliance::closeConnection() {
    dropPeer();
}

void SimLanAppliance::resetConnection() {
    if (peer_ < 0) return;
    // A disconnect aborts the connection with a reset now, as a close with a zero linger would.
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    ::connect(peer_, &unspecified, sizeof unspecified);
    dropPeer();
}

void SimLanAppliance::onReadable() {
    uint8_t buffer[4096];
    ssize_t n = ::recv(peer_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        dropPeer();
        return;
    }
    inbound_.insert(inbound_.end(), buffer, buffer + n);
    // Frames are cut by their length field (bytes 4 and 5).
    while (inbound_.size() >= 6) {
        const size_t length = inbound_[4] | size_t{inbound_[5]} << 8;
        if (inbound_[0] != 0x5A || inbound_[1] != 0x5A || length < 56) {
            ++unreadable_;
            inbound_.clear();
            return;
        }
        if (inbound_.size() < length) return;
        const Bytes bytes(inbound_.begin(), inbound_.begin() + static_cast<ptrdiff_t>(length));
        inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<ptrdiff_t>(length));
        auto frame = codec_.read(bytes);
        if (!frame) {
            ++unreadable_;
            continue;
        }
        handle(*frame);
        if (peer_ < 0) return;
    }
}

Bytes SimLanAppliance::replyBody(uint16_t type) const {
    if (auto found = bodies_.find(type); found != bodies_.end()) return found->second;
    switch (type) {
        case 0x20: {
            Bytes body(16, 0);
            body[12] = static_cast<uint8_t>(subType);
            body[13] = static_cast<uint8_t>(subType >> 8);
            return body;
        }
        case 0x6B:
            return wifiListBody();
        case 0x68:
            return {0, 0};
        case 0x81:
            return {2};
        case 0x71:
            return {1, 0, 0};
        case 0x74: {
            Bytes body{1, 0, 0, 0, 0, 0xA9, 4, 'S', 'N', '0', '1', 0xAA, 2, 0x34, 0x12};
            return body;
        }
        case 0x09:
            return {1, 1, 0};
        default:
            return {0};
    }
}

void SimLanAppliance::handle(const SimLanFrame& request) {
    SimLanFrame reply;
    reply.protocolVer = request.protocolVer;
    reply.encryptType = request.encryptType;
    reply.isSign = request.isSign;
    reply.msgType = request.msgType;
    reply.tag = request.tag;
    reply.timeStamp = request.timeStamp;
    reply.deviceId = deviceId;
    if (request.msgType == 0x7B) {
        heartbeats_.push_back(Clock::now());
        reply.body = {0};
        answer(request, std::move(reply));
        return;
    }
    requests_.push_back({request, Clock::now()});
    if (onRequest) onRequest(request);
    if (auto type = replyTypes_.find(request.msgType); type != replyTypes_.end())
        reply.msgType = type->second;
    if (request.msgType == 0x75) {
        const bool m1 = !request.body.empty() && request.body[0] != 0x02;
        auto body =
            m1 ? keyAgreement_.answerM1(request.body) : keyAgreement_.answerM3(request.body);
        reply.body = body.value_or(Bytes{0xFF, 0, 0, 0, 0});
        if (!m1 && body) codec_.setSessionKey(keyAgreement_.sessionKey());
    } else {
        reply.body = replyBody(request.msgType);
    }
    const bool accepted = (request.msgType == 0x70 && reply.msgType == 0x70 &&
                           (reply.body.empty() || reply.body[0] == 0)) ||
                          (request.msgType == 0x81 && reply.body == Bytes{2});
    std::string randomCode;
    if (request.msgType == 0x70 && request.body.size() >= 16) {
        static const char* const kDigits = "0123456789abcdef";
        for (size_t i = 0; i < 16; ++i) {
            randomCode.push_back(kDigits[request.body[i] >> 4]);
            randomCode.push_back(kDigits[request.body[i] & 0x0F]);
        }
    }
    answer(request, std::move(reply));
    if (accepted && onCredentials) onCredentials(randomCode);
    if (dropAfter_ && --*dropAfter_ <= 0) {
        dropAfter_.reset();
        drop(dropReset_);
    }
}

void SimLanAppliance::answer(const SimLanFrame& request, SimLanFrame reply) {
    FaultSpec fault{};
    bool faulty = false;
    if (request.msgType != 0x7B && !faults_.empty()) {
        fault = faults_.front();
        faults_.pop_front();
        faulty = true;
    }
    if (faulty && fault.kind == Fault::Counter) counter_ = fault.counter;
    reply.counter = counter_++;
    if (faulty && fault.kind == Fault::WrongTag) reply.tag ^= 0x5A5A0000u | 1u;
    Bytes bytes = codec_.write(reply);
    if (!faulty) return writeNow(bytes);
    switch (fault.kind) {
        case Fault::Silence:
            return;
        case Fault::Late:
        case Fault::Split: {
            size_t first = fault.kind == Fault::Split ? bytes.size() / 2 : 0;
            if (first) writeNow(ByteView(bytes).first(first));
            Bytes rest(bytes.begin() + static_cast<ptrdiff_t>(first), bytes.end());
            DispatchQueue::main()->after(fault.delay,
                                         [this, alive = alive_, connection = connection_, rest] {
                                             if (*alive && connection == connection_)
                                                 writeNow(rest);
                                         });
            return;
        }
        case Fault::Half:
            return writeNow(ByteView(bytes).first(bytes.size() / 2));
        case Fault::JoinWithNext:
            held_.insert(held_.end(), bytes.begin(), bytes.end());
            return;
        case Fault::Garbage:
            return writeNow(Bytes{'n', 'o', 't', ' ', 'a', ' ', 'f', 'r', 'a', 'm', 'e'});
        case Fault::Unreadable: {
            // A body one byte short fits no cipher block and no tag; the header still tells
            // the frame's true length, and the signature covers it.
            bytes.erase(bytes.begin() + 40);
            bytes[4] = static_cast<uint8_t>(bytes.size());
            bytes[5] = static_cast<uint8_t>(bytes.size() >> 8);
            if (reply.isSign) {
                const size_t end = bytes.size() - 16;
                const Bytes sign = codec_.signature(ByteView(bytes).first(end));
                std::copy(sign.begin(), sign.end(), bytes.begin() + static_cast<ptrdiff_t>(end));
            }
            return writeNow(bytes);
        }
        case Fault::Close:
            return closeConnection();
        case Fault::Reset:
            return resetConnection();
        case Fault::WrongTag:
        case Fault::Counter:
            return writeNow(bytes);
    }
}

void SimLanAppliance::writeNow(ByteView bytes) {
    Bytes out = std::move(held_);
    held_.clear();
    out.insert(out.end(), bytes.begin(), bytes.end());
    sendRaw(out);
}

void SimLanAppliance::sendRaw(ByteView bytes) {
    if (peer_ < 0 || bytes.empty()) return;
    ::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void SimLanAppliance::sendFrame(SimLanFrame frame) {
    frame.counter = counter_++;
    sendRaw(codec_.write(frame));
}

void SimLanAppliance::sendMadeUpFrames(int count, uint32_t seed) {
    constexpr size_t kBody = 32, kSize = 40 + kBody + 16;
    std::mt19937 random(seed);
    auto byte = [&random] { return static_cast<uint8_t>(random()); };
    Bytes out;
    for (int n = 0; n < count; ++n) {
        Bytes frame(kSize, 0);
        frame[0] = frame[1] = 0x5A;
        frame[2] = 1;
        frame[3] = 0x11;
        frame[4] = static_cast<uint8_t>(kSize);
        for (size_t i : {6, 8, 9, 10, 11, 35}) frame[i] = byte();
        for (size_t i = 0; i < 6; ++i) frame[20 + i] = static_cast<uint8_t>(deviceId >> (8 * i));
        for (size_t i = 0; i < kBody; ++i) frame[40 + i] = byte();
        const Bytes sign = codec_.signature(ByteView(frame).first(40 + kBody));
        std::copy(sign.begin(), sign.end(), frame.begin() + 40 + kBody);
        out.insert(out.end(), frame.begin(), frame.end());
    }
    sendRaw(out);
}

int SimLanAppliance::countOf(uint16_t msgType) const {
    int n = 0;
    for (const auto& r : requests_) n += r.frame.msgType == msgType;
    return n;
}

}  // namespace telvo::sim
