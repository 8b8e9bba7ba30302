#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "sim/SimBleCodec.h"
#include "sim/SimKeyAgreement.h"
#include "sim/SimRadio.h"

namespace telvo::test {
class SimCloudApi;
}

namespace telvo::sim {

// The manufacturer data an appliance advertises (company 0x3D17), in the layout of its BLE
// protocol version: 14 bytes for version 0, 30 for versions 1 and 2, 28 for version 3. The
// flag bytes are written as given, in the bit map of that version.
struct SimBleAdvertisement {
    int version = 2;
    std::string sn8 = "SN8CODE1";  // 8 characters
    std::string type = "AC";       // 2 characters (versions 1 to 3)
    std::string ssidSuffix = "1A2B";
    uint16_t subType = 0;  // version 0 only
    uint8_t flags = 0;     // version 0: byte 3
    uint8_t flags1 = 0;    // versions 1 to 3: byte 18
    uint8_t flags2 = 0;    // byte 19
    uint8_t flags3 = 0;    // versions 1 and 2: byte 28
    uint8_t errorCode = 0;

    // mac: the address as it is written, most significant byte first.
    Bytes manufacturerData(const std::array<uint8_t, 6>& mac) const;
};

// The BLE module of a simulated appliance, plugged into the simulated radio as the behaviour
// of one SimBleAppliance. It advertises, offers FF80/FF81/FF82 (FD24/FF31/FF32 for version 3),
// reassembles the phone's writes, reads every frame strictly with the simulator's own codec
// and answers with notifications: the classic key exchange (0x01) or the certificate
// agreement (0x10) first, then every later payload sealed under the agreed key.
//
// Each message type has a handler with a default that lets a flow succeed; a test replaces one
// with setHandler (the default stays reachable through defaultHandler). Faults act on the
// outgoing frames in the order they are added. Every operation is logged with the virtual time.
//
// The module works on its own serial queue: writes reach it from the radio's queue and are
// handled there in order, so in deterministic mode it answers as the loop turns. Set the
// configuration before the phone connects; the log and the accessors may be read from any
// thread.
class SimBleModule : public SimBleBehaviour, public std::enable_shared_from_this<SimBleModule> {
  public:
    using Handler = std::function<void(SimBleModule&, const SimBleFrame& request)>;

    enum class Fault {
        Drop,           // the frame is not sent
        Delay,          // sent after `delay` seconds
        Duplicate,      // sent twice
        Counter,        // carries the counter `counter` (version 3); the count goes on as before
        Garbage,        // bytes that are no frame instead
        WrongKey,       // sealed under another key
        Undecryptable,  // a frame whose check passes but whose payload does not decrypt
        Split,          // sent as two notifications, `delay` seconds apart
        LinkLoss,       // the link drops instead
        Pieces,         // notifications that begin at the byte offsets `cuts`, `delay` apart
        CounterRepeat,  // carries the counter of the frame before (version 3)
        CounterBack,    // the count goes back by `counter` and goes on from there (version 3)
        LyingLength,    // a frame start claiming 0xFFFF bytes (one notification) instead
    };
    struct FaultSpec {
        Fault kind = Fault::Drop;
        std::optional<uint8_t> msgType;  // the first outgoing frame of this type; any when unset
        double delay = 0;
        uint16_t counter = 0;
        std::vector<size_t> cuts = {};
    };
    // How the classic key exchange (0x01) answers.
    enum class ClassicKey {
        Good,
        ShortKey,      // 63 bytes of public key
        PrefixedKey,   // the 65-byte point with its 0x04 prefix (its first 64 bytes are no point)
        OffCurve,      // 64 bytes that are no point of P-256
        AuthEncoding,  // the authentication answer names encoding type 1
        AuthRefused,   // the authentication answer's result byte is 1
        Infinity,      // the key is the point at infinity, the one byte 00
        HalfKey,       // 32 bytes of public key (X alone)
    };

    struct Op {
        double time = 0;  // seconds on the library clock since the module was made
        std::string op;   // "receive", "send", "unreadable", "fault", "busy", "key", ...
        int msgType = -1;
        Bytes body;  // plain body (received or sent); the raw bytes for "unreadable"
        std::string detail;
    };

    // Capability entry of the status answer's list form.
    struct Capability {
        uint16_t id = 0;
        Bytes value;
    };
    // A product behind a module that fronts several: its serial and its 16-bit value.
    struct Product {
        std::string sn;
        uint16_t value = 0;
    };

    // Creates the module and its appliance on the radio, advertising and offering the
    // configuration service of its version.
    static std::shared_ptr<SimBleModule> create(SimRadio& radio, SimBleAdvertisement advertisement,
                                                std::string localName = "korvo");
    ~SimBleModule() override;

    SimBleAppliance& appliance() const { return *appliance_; }
    int version() const { return advertisement_.version; }
    // Re-advertises after a change of the advertisement, the MAC or the name.
    void setAdvertisement(SimBleAdvertisement advertisement);
    const SimBleAdvertisement& advertisement() const { return advertisement_; }

    // Identity and status the answers carry.
    std::string sn = "0000DB311SN00000000000000000001A";  // 32 characters
    std::array<uint8_t, 6> mac{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    Bytes moduleVersion{0x01, 0x02, 0x03, 0x04};
    uint16_t subType = 0x1234;
    uint8_t statusError = 0;  // short status byte 2
    std::vector<Capability> capabilities;
    std::vector<Product> products;
    bool cablePlugged = false;  // a wired gateway's cable; 0x69 then carries the wired body

    // Results of the answers that carry one (the defaults let a flow succeed).
    uint8_t wifiResult = 0x00;       // 0x69
    uint8_t routerResult = 0x00;     // 0x68 (0xE0 asks for the regional settings)
    uint8_t regionalResult = 0x00;   // 0x67 form 01
    uint8_t routerUpdateResult = 0;  // 0x67 form 02
    uint8_t factoryResult = 0x00;    // 0x0F
    uint8_t tokenResult = 0x00;      // 0x03
    uint8_t bindResult = 0x01;       // 0x04 (1 verified)
    uint8_t deviceIdResult = 0x00;   // 0x09
    uint8_t meshResult = 0x00;       // 0x20/05

    // Joining the router after accepted credentials: the serial report, then the stage
    // reports (0x0D form 1, 8 bytes with the cable state last), `reportInterval` apart. A
    // module error stops the sequence at that stage with the error byte set.
    std::vector<uint8_t> joinStages{1, 2, 3, 4};
    double reportInterval = 0.5;
    std::optional<std::pair<uint8_t, uint8_t>> joinError;  // {stage, module code}
    // The error is only a warning (a weak signal, an ignored code): the stages go on.
    bool joinErrorContinues = false;
    // Seconds after joining until the cloud hears the serial online with the random code.
    double cloudDelay = 2.0;
    void linkCloud(test::SimCloudApi* cloud) { cloud_ = cloud; }

    // Keys. The root key frames the classic exchange until it succeeds.
    Bytes rootKey =
        Bytes{'7', '3', '0', '5', '9', '1', '8', '2', '6', '4', '4', '0', '7', '1', '5', '3'};
    test::SimKeyAgreement& keyAgreement() { return keyAgreement_; }
    ClassicKey classicKey = ClassicKey::Good;
    // Installs the app's certificate, intermediate, root and key of the test PKI in the
    // SDK-wide configuration (what the certificate agreement needs on the phone's side).
    void installAppCredentials() const;
    // The key the module seals with now.
    Bytes currentKey() const;
    // As if a key exchange had finished with this key.
    void setSessionKey(Bytes key);

    // Behaviour.
    void setHandler(uint8_t msgType, Handler handler);
    Handler defaultHandler(uint8_t msgType) const;
    // Shorthand: answer msgType with this body.
    void setAnswer(uint8_t msgType, Bytes body);
    void addFault(FaultSpec fault);
    // The next writes are refused: with response with an ATT error, without it dropped.
    void refuseWrites(int count);
    // A hostile appliance: as soon as the phone enables notifications, these frames (type,
    // body) go out unasked, sealed under the key of the moment (the root key before an
    // exchange).
    std::vector<std::pair<uint8_t, Bytes>> framesOnSubscribe;
    // Reads and logs, answers nothing.
    bool mute = false;
    // Answers leave this long after the request's last chunk.
    double answerDelay = 0;

    // What a handler (or a test, through the module's queue) does.
    void answer(const SimBleFrame& request, Bytes body);
    void send(uint8_t msgType, Bytes body);
    void report(Bytes body);  // a 0x0D module report
    void reportStage(uint8_t stage, uint8_t moduleCode = 0);
    void reportAuthState(uint8_t state);
    void joinRouter(const std::string& randomCode);
    void loseLink();
    // Raw bytes as one notification.
    void notifyRaw(Bytes bytes);
    // Runs a step on the module's queue (for tests that act as the module).
    void perform(std::function<void(SimBleModule&)> step, double delay = 0);

    std::vector<Op> log() const;
    std::vector<Op> log(const std::string& op) const;
    // "time op type detail hex" lines, for comparing runs.
    std::vector<std::string> logLines() const;
    std::vector<SimBleFrame> received() const;
    std::string randomCode() const;
    bool joined() const;

    // SimBleBehaviour (on the radio's queue).
    void onConnected(SimBleAppliance&) override;
    void onDisconnected(SimBleAppliance&) override;
    void onNotifyChanged(SimBleAppliance&, const CBUUID& characteristic, bool enabled) override;
    CBATTError onWrite(SimBleAppliance&, const CBUUID& characteristic, const Bytes& value,
                       bool withResponse) override;

  private:
    SimBleModule(SimBleAdvertisement advertisement, std::string localName);
    void installDefaults();
    void record(std::string op, int msgType, Bytes body, std::string detail = {});
    void receive(Bytes chunk, uint64_t link);
    void handle(const SimBleFrame& frame);
    void sendFrame(uint8_t sequence, uint8_t msgType, const Bytes& body);
    void transmit(Bytes frame, double delay);
    void notifyChunks(const Bytes& frame);
    void transmitPiece(Bytes piece, double delay);
    std::optional<FaultSpec> takeFault(uint8_t msgType);
    void parseCredentials(uint8_t msgType, const Bytes& body);
    Bytes statusAnswer(uint8_t query) const;

    CBUUID writeUuid() const;
    CBUUID notifyUuid() const;
    Bytes nonce();

    SimBleAdvertisement advertisement_;
    std::string localName_;
    std::shared_ptr<SimBleAppliance> appliance_;
    std::weak_ptr<SimRadio> radio_;
    const DispatchQueuePtr queue_;
    test::SimCloudApi* cloud_ = nullptr;
    const double created_;
    test::SimKeyAgreement keyAgreement_;

    mutable std::mutex mutex_;  // guards the fields below
    std::map<uint8_t, Handler> handlers_;
    std::deque<FaultSpec> faults_;
    int refuse_ = 0;
    uint64_t link_ = 0;  // generation of the current link
    Bytes key_;
    Bytes inbound_;
    uint16_t counter_ = 0;
    uint8_t sequence_ = 0;
    uint64_t nonces_ = 0;
    std::string randomCode_;
    bool joined_ = false;
    std::vector<Op> log_;
    std::vector<SimBleFrame> received_;
};

}  // namespace telvo::sim
