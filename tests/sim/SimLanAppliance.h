#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "sim/SimDiscovery.h"
#include "sim/SimKeyAgreement.h"
#include "sim/SimLanCodec.h"
#include "telvosdk/Bytes.h"

namespace telvo {
class DispatchSource;
}

namespace telvo::sim {

// A simulated appliance's Wi-Fi module on the LAN: its identity (the discovery reply) and the
// TCP configuration session it serves on 127.0.0.N. It reads every frame strictly with its own
// codec, echoes each request's tag, answers every configuration command with a fixed reply
// body (overridable), runs the key agreement on 0x75 and seals later protocol-3 replies with
// the agreed key, numbering protocol-3 replies with its own counter.
//
// It runs on the main queue (accept and read sources), so in deterministic mode it answers as
// the loop turns. One connection at a time: a new one replaces the old. Not thread-safe.
class SimLanAppliance {
  public:
    // What can go wrong with the replies, one fault per request in the order added.
    enum class Fault {
        Silence,       // no reply
        Late,          // the reply after `delay` seconds
        Split,         // the reply in two writes, `delay` seconds apart
        Half,          // the first half of the reply, then nothing
        JoinWithNext,  // held back and written in one write with the next reply
        WrongTag,      // the reply under another tag
        Counter,       // the protocol-3 counter `counter` (and the count goes on from there)
        Garbage,       // bytes that are no frame instead of the reply
        Unreadable,    // the reply with one byte of its body left out: it does not decrypt
        Close,         // an orderly close instead of the reply
        Reset,         // a reset instead of the reply
    };
    struct FaultSpec {
        Fault kind = Fault::Silence;
        double delay = 0;
        uint16_t counter = 0;
    };
    // One frame received, as read, with the virtual time.
    struct Received {
        SimLanFrame frame;
        double at = 0;
    };

    explicit SimLanAppliance(std::string defaultKey, uint8_t hostOctet = 2);
    // The appliance on an address of its own network (a namespace's veth end) and a fixed port.
    SimLanAppliance(std::string defaultKey, const std::string& address, uint16_t port);
    ~SimLanAppliance();
    SimLanAppliance(const SimLanAppliance&) = delete;
    SimLanAppliance& operator=(const SimLanAppliance&) = delete;

    std::string host() const;
    uint16_t port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }

    SimDiscoveryReply identity;
    uint64_t deviceId = 0x0000A1B2C3D4E5ULL;
    uint16_t subType = 0x1234;

    test::SimKeyAgreement& keyAgreement() { return keyAgreement_; }
    const SimLanCodec& codec() const { return codec_; }
    // The AES-CCM key of protocol-3 frames, as if agreed.
    void setSessionKey(Bytes key) { codec_.setSessionKey(std::move(key)); }

    // The reply body for a request type (the default when not set), and the reply's type.
    void setReplyBody(uint16_t requestType, Bytes body) { bodies_[requestType] = std::move(body); }
    void setReplyType(uint16_t requestType, uint16_t replyType) {
        replyTypes_[requestType] = replyType;
    }
    Bytes replyBody(uint16_t requestType) const;
    // Faults for the next requests (heartbeats excluded), in order.
    void addFault(FaultSpec fault) { faults_.push_back(fault); }
    void addFaults(int count, FaultSpec fault) {
        for (int i = 0; i < count; ++i) faults_.push_back(fault);
    }
    // Runs on the main queue when the module has taken router credentials and is about to join
    // the home network: 0x70 accepted (result 0; the binding random code as lowercase hex) or
    // the switch to station mode 0x81 (no code).
    std::function<void(const std::string& randomCode)> onCredentials;
    // Runs on the main queue for every request read (heartbeats apart), before it is answered.
    std::function<void(const SimLanFrame& request)> onRequest;

    // Stops (true) or resumes listening: connects are refused meanwhile.
    void refuseConnections(bool refuse);
    // The appliance's stack takes no connection for `seconds` from now, never when nullopt: a
    // connect stays unanswered (its handshake is dropped, as by a full accept queue) until
    // then, and one still waiting at that moment completes then.
    void holdConnections(std::optional<double> seconds);
    // The connection up `seconds` from now drops then (reset: abortively).
    void dropAt(double seconds, bool reset = false);
    // The connection drops right after the appliance has answered `count` more requests
    // (heartbeats apart).
    void dropAfterRequests(int count, bool reset = false);
    void closeConnection();
    void resetConnection();
    // Writes bytes as they are on the current connection.
    void sendRaw(ByteView bytes);
    // Writes an unsolicited frame on the current connection.
    void sendFrame(SimLanFrame frame);
    // Writes, in one write, `count` frames a hostile appliance makes up: each with a valid
    // signed AES-128-ECB header (version 1, its true length, this appliance's ID, a random
    // type, tag and byte 35), 32 random body bytes that are no encryption under the default key,
    // and the signature. The same seed gives the same frames.
    void sendMadeUpFrames(int count, uint32_t seed);

    bool connected() const { return peer_ >= 0; }
    int connectionsAccepted() const { return accepted_; }
    // Requests read (heartbeats apart), heartbeat times, frames that did not read.
    const std::vector<Received>& requests() const { return requests_; }
    const std::vector<double>& heartbeats() const { return heartbeats_; }
    int unreadable() const { return unreadable_; }
    int countOf(uint16_t msgType) const;

  private:
    void listen();
    void stopListening();
    void onAccept();
    void onReadable();
    void dropPeer();
    void handle(const SimLanFrame& request);
    void answer(const SimLanFrame& request, SimLanFrame reply);
    void writeNow(ByteView bytes);
    void drop(bool reset);
    void openConnections();
    // A connect to this appliance is waiting for its handshake (the kernel's view).
    bool connectWaiting() const;

    std::string defaultKey_;
    SimLanCodec codec_;
    test::SimKeyAgreement keyAgreement_;
    uint32_t hostAddress_;  // host order
    uint16_t port_ = 0;
    int listener_ = -1;
    int peer_ = -1;
    std::shared_ptr<DispatchSource> listenSource_;
    std::shared_ptr<DispatchSource> peerSource_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    uint64_t connection_ = 0;
    Bytes inbound_;
    Bytes held_;
    uint16_t counter_ = 0;
    std::map<uint16_t, Bytes> bodies_;
    std::map<uint16_t, uint16_t> replyTypes_;
    std::deque<FaultSpec> faults_;
    std::vector<Received> requests_;
    std::vector<double> heartbeats_;
    int accepted_ = 0;
    int unreadable_ = 0;
    // Holding connections: the connection that fills the accept queue, and the generation of
    // the hold (a later hold or open outdates a pending opening).
    int filler_ = -1;
    uint64_t hold_ = 0;
    // While a connect that was waiting at the opening completes.
    std::shared_ptr<Dispatch::OutsideWork> handshake_;
    std::optional<int> dropAfter_;
    bool dropReset_ = false;
};

}  // namespace telvo::sim
