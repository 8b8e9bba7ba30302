#include "sim/SimBleModule.h"

#include <algorithm>
#include <cstdio>

#include "platform/dispatch/Clock.h"
#include "sim/SimCloudApi.h"
#include "sim/SimLanCodec.h"
#include "sim/TestPki.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo::sim {

namespace {

void append(Bytes& out, ByteView bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void appendText(Bytes& out, const std::string& text, size_t size) {
    for (size_t i = 0; i < size; ++i)
        out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
}

std::string text(ByteView bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// In the order of SimBleModule::Fault.
const char* faultName(SimBleModule::Fault fault) {
    static constexpr const char* kNames[] = {
        "drop",           "delay",         "duplicate",   "counter",   "garbage",
        "wrong-key",      "undecryptable", "split",       "link-loss", "pieces",
        "counter-repeat", "counter-back",  "lying-length"};
    return kNames[static_cast<size_t>(fault)];
}

// The router credentials a configuration body carries.
struct Credentials {
    Bytes bssid;
    std::string ssid, password;
    Bytes random;
};

// BSSID (6 bytes or none), 01, SSID length, password length, SSID, password, then the 16
// bytes of the random code: the layout of 0x69 after its mode byte and of 0x68.
std::optional<Credentials> routerFields(ByteView b) {
    for (size_t p : {size_t{6}, size_t{0}}) {
        if (b.size() < p + 3 || b[p] != 0x01) continue;
        const size_t ssid = b[p + 1], password = b[p + 2], q = p + 3;
        if (q + ssid + password + 16 > b.size()) continue;
        return Credentials{
            Bytes(b.begin(), b.begin() + p), text(b.subspan(q, ssid)),
            text(b.subspan(q + ssid, password)),
            Bytes(b.begin() + q + ssid + password, b.begin() + q + ssid + password + 16)};
    }
    return std::nullopt;
}

// The router update (0x67 form 02): tagged fields "tag 02 length value".
std::optional<Credentials> routerUpdateFields(ByteView b) {
    if (b.size() < 2) return std::nullopt;
    Credentials c;
    size_t at = 2;
    for (int i = 0; i < b[1]; ++i) {
        if (at + 3 > b.size() || at + 3 + b[at + 2] > b.size()) return std::nullopt;
        const ByteView value = b.subspan(at + 3, b[at + 2]);
        switch (b[at]) {
            case 0x0E:
                c.ssid = text(value);
                break;
            case 0x0F:
                c.password = text(value);
                break;
            case 0x10:
                c.bssid = Bytes(value.begin(), value.end());
                break;
            case 0x0D:
                c.random = Bytes(value.begin(), value.end());
                break;
            default:
                break;
        }
        at += 3 + b[at + 2];
    }
    return c;
}

// Forwards the radio's calls to a module that may be gone (the appliance must not own it).
class Forwarder : public SimBleBehaviour {
  public:
    explicit Forwarder(std::weak_ptr<SimBleModule> module) : module_(std::move(module)) {}
    void onConnected(SimBleAppliance& a) override {
        if (auto m = module_.lock()) m->onConnected(a);
    }
    void onDisconnected(SimBleAppliance& a) override {
        if (auto m = module_.lock()) m->onDisconnected(a);
    }
    void onNotifyChanged(SimBleAppliance& a, const CBUUID& c, bool enabled) override {
        if (auto m = module_.lock()) m->onNotifyChanged(a, c, enabled);
    }
    CBATTError onWrite(SimBleAppliance& a, const CBUUID& c, const Bytes& v, bool r) override {
        auto m = module_.lock();
        return m ? m->onWrite(a, c, v, r) : CBATTError::Success;
    }

  private:
    std::weak_ptr<SimBleModule> module_;
};

}  // namespace

Bytes SimBleAdvertisement::manufacturerData(const std::array<uint8_t, 6>& mac) const {
    Bytes d{0x17, 0x3D, static_cast<uint8_t>(version)};
    if (version == 0) {
        d.insert(d.end(),
                 {flags, static_cast<uint8_t>(subType), static_cast<uint8_t>(subType >> 8)});
        appendText(d, sn8, 8);
        return d;
    }
    appendText(d, sn8, 8);
    appendText(d, type, 2);
    appendText(d, ssidSuffix, 4);
    d.insert(d.end(), {0x00, flags1, flags2, 0xC4});  // reference RSSI
    d.insert(d.end(), mac.rbegin(), mac.rend());
    d.push_back(errorCode);
    if (version != 3) d.insert(d.end(), {flags3, 0x00});
    return d;
}

// Set-up

SimBleModule::SimBleModule(SimBleAdvertisement advertisement, std::string localName)
    : advertisement_(std::move(advertisement)),
      localName_(std::move(localName)),
      queue_(DispatchQueue::createSerial("telvo.sim.blemodule")),
      created_(Clock::now()) {}

std::shared_ptr<SimBleModule> SimBleModule::create(SimRadio& radio,
                                                   SimBleAdvertisement advertisement,
                                                   std::string localName) {
    std::shared_ptr<SimBleModule> m(new SimBleModule(std::move(advertisement), localName));
    m->radio_ = radio.weak_from_this();
    m->appliance_ = radio.addAppliance(localName);
    if (m->version() == 3)
        m->appliance_->addConfigService("FD24", "FF31", "FF32");
    else
        m->appliance_->addConfigService();
    m->setAdvertisement(m->advertisement_);
    m->key_ = m->rootKey;
    m->installDefaults();
    m->appliance_->setBehaviour(std::make_shared<Forwarder>(m));
    return m;
}

SimBleModule::~SimBleModule() {
    if (auto radio = radio_.lock()) radio->removeAppliance(appliance_);
}

void SimBleModule::setAdvertisement(SimBleAdvertisement advertisement) {
    advertisement_ = std::move(advertisement);
    appliance_->localName = localName_;
    appliance_->manufacturerData = advertisement_.manufacturerData(mac);
}

CBUUID SimBleModule::writeUuid() const {
    return CBUUID::UUIDWithString(version() == 3 ? "FF31" : "FF81");
}

CBUUID SimBleModule::notifyUuid() const {
    return CBUUID::UUIDWithString(version() == 3 ? "FF32" : "FF82");
}

Bytes SimBleModule::currentKey() const {
    std::lock_guard lock(mutex_);
    return key_;
}

void SimBleModule::setSessionKey(Bytes key) {
    std::lock_guard lock(mutex_);
    key_ = std::move(key);
}

void SimBleModule::setHandler(uint8_t msgType, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[msgType] = std::move(handler);
}

void SimBleModule::setAnswer(uint8_t msgType, Bytes body) {
    setHandler(msgType, [body](SimBleModule& m, const SimBleFrame& r) { m.answer(r, body); });
}

void SimBleModule::addFault(FaultSpec fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(fault);
}

void SimBleModule::refuseWrites(int count) {
    std::lock_guard lock(mutex_);
    refuse_ = count;
}

// The log

void SimBleModule::record(std::string op, int msgType, Bytes body, std::string detail) {
    std::lock_guard lock(mutex_);
    log_.push_back(
        Op{Clock::now() - created_, std::move(op), msgType, std::move(body), std::move(detail)});
}

std::vector<SimBleModule::Op> SimBleModule::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<SimBleModule::Op> SimBleModule::log(const std::string& op) const {
    std::vector<Op> out;
    for (auto& o : log())
        if (o.op == op) out.push_back(o);
    return out;
}

std::vector<std::string> SimBleModule::logLines() const {
    std::vector<std::string> out;
    for (const auto& o : log()) {
        char head[64];
        std::snprintf(head, sizeof head, "%.3f %s %02X ", o.time, o.op.c_str(), o.msgType & 0xFF);
        out.push_back(head + o.detail + " " + test::toHex(o.body));
    }
    return out;
}

std::vector<SimBleFrame> SimBleModule::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::string SimBleModule::randomCode() const {
    std::lock_guard lock(mutex_);
    return randomCode_;
}

bool SimBleModule::joined() const {
    std::lock_guard lock(mutex_);
    return joined_;
}

// The link

void SimBleModule::onConnected(SimBleAppliance&) {
    {
        std::lock_guard lock(mutex_);
        ++link_;
        inbound_.clear();
        key_ = rootKey;
    }
    record("connected", -1, {});
}

void SimBleModule::onDisconnected(SimBleAppliance&) {
    {
        std::lock_guard lock(mutex_);
        ++link_;
        inbound_.clear();
    }
    record("disconnected", -1, {});
}

void SimBleModule::onNotifyChanged(SimBleAppliance&, const CBUUID& characteristic, bool enabled) {
    if (!enabled || characteristic != notifyUuid() || framesOnSubscribe.empty()) return;
    record("subscribed", -1, {});
    perform([frames = framesOnSubscribe](SimBleModule& m) {
        for (const auto& [msgType, body] : frames) m.send(msgType, body);
    });
}

CBATTError SimBleModule::onWrite(SimBleAppliance&, const CBUUID& characteristic, const Bytes& value,
                                 bool withResponse) {
    if (characteristic != writeUuid()) return CBATTError::Success;
    uint64_t link;
    {
        std::lock_guard lock(mutex_);
        link = link_;
        if (refuse_ > 0) {
            --refuse_;
            log_.push_back(Op{Clock::now() - created_, "busy", -1, value, {}});
            return withResponse ? CBATTError::InsufficientResources : CBATTError::Success;
        }
    }
    std::weak_ptr<SimBleModule> weak = weak_from_this();
    queue_->async([weak, value, link] {
        if (auto self = weak.lock()) self->receive(value, link);
    });
    return CBATTError::Success;
}

void SimBleModule::loseLink() {
    record("link-lost", -1, {});
    appliance_->loseLink();
}

void SimBleModule::perform(std::function<void(SimBleModule&)> step, double delay) {
    std::weak_ptr<SimBleModule> weak = weak_from_this();
    auto run = [weak, step = std::move(step)] {
        if (auto self = weak.lock()) step(*self);
    };
    if (delay > 0)
        queue_->after(delay, std::move(run));
    else
        queue_->async(std::move(run));
}

// Receiving

void SimBleModule::receive(Bytes chunk, uint64_t link) {
    std::vector<std::pair<std::optional<SimBleFrame>, Bytes>> frames;
    {
        std::lock_guard lock(mutex_);
        if (link != link_) return;
        const bool start = chunk.size() >= 2 && chunk[0] == 0xAA && chunk[1] == 0x55;
        if (start) {
            inbound_ = std::move(chunk);
        } else if (!inbound_.empty()) {
            append(inbound_, chunk);
        } else {
            log_.push_back(Op{Clock::now() - created_, "unreadable", -1, chunk, "no frame start"});
            return;
        }
        const bool longFrame = version() >= 2;
        const size_t header = longFrame ? 6 : 5;
        while (inbound_.size() >= header) {
            const size_t length = longFrame ? (inbound_[2] | inbound_[3] << 8) : inbound_[2];
            if (inbound_.size() < length + 2) break;
            Bytes frame(inbound_.begin(), inbound_.begin() + static_cast<long>(length + 2));
            inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<long>(length + 2));
            std::string why;
            auto read = SimBleCodec(version(), key_).read(frame, &why);
            if (read) {
                log_.push_back(Op{Clock::now() - created_, "receive", read->msgType, read->body,
                                  version() == 3 ? std::to_string(read->counter) : ""});
                received_.push_back(*read);
            } else {
                log_.push_back(
                    Op{Clock::now() - created_, "unreadable", frame[header - 1], frame, why});
            }
            frames.emplace_back(std::move(read), std::move(frame));
        }
    }
    for (const auto& [read, bytes] : frames)
        if (read) handle(*read);
}

void SimBleModule::handle(const SimBleFrame& frame) {
    if (mute) return;
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        auto it = handlers_.find(frame.msgType);
        if (it != handlers_.end()) handler = it->second;
    }
    if (handler) handler(*this, frame);
}

// Sending

Bytes SimBleModule::nonce() {
    Bytes n{'S', 'I', 'M'};
    const uint64_t value = ++nonces_;
    for (int i = 7; i >= 0; --i) n.push_back(static_cast<uint8_t>(value >> (8 * i)));
    n.insert(n.end(), {0x00, 0x00});
    return n;
}

std::optional<SimBleModule::FaultSpec> SimBleModule::takeFault(uint8_t msgType) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->msgType && *it->msgType != msgType) continue;
        FaultSpec fault = *it;
        faults_.erase(it);
        return fault;
    }
    return std::nullopt;
}

void SimBleModule::answer(const SimBleFrame& request, Bytes body) {
    sendFrame(request.sequence, request.msgType, body);
}

void SimBleModule::send(uint8_t msgType, Bytes body) {
    uint8_t sequence;
    {
        std::lock_guard lock(mutex_);
        sequence = ++sequence_;
    }
    sendFrame(sequence, msgType, body);
}

void SimBleModule::sendFrame(uint8_t sequence, uint8_t msgType, const Bytes& body) {
    Bytes bytes;
    std::optional<FaultSpec> fault;
    {
        std::lock_guard lock(mutex_);
        fault = takeFault(msgType);
        const Fault kind = fault ? fault->kind : Fault::Drop;
        SimBleFrame frame{sequence, msgType, 0, body};
        if (version() == 3) {
            if (!fault || kind != Fault::CounterRepeat)
                counter_ = counter_ == 0xFFFF ? 1 : counter_ + 1;
            if (fault && kind == Fault::CounterBack) counter_ = uint16_t(counter_ - fault->counter);
            frame.counter = fault && kind == Fault::Counter ? fault->counter : counter_;
        }
        Bytes key = key_;
        if (fault && kind == Fault::WrongKey) key = Bytes(16, 0x5A);
        const SimBleCodec codec(version(), key);
        bytes = codec.write(frame, nonce());
        // Without a tag (versions 0 to 2), one frame in about 256 sealed under another key still
        // ends in valid padding and reads as some other body; the fault is a frame that does not.
        for (uint8_t other = 0x5B; fault && kind == Fault::WrongKey &&
                                   SimBleCodec(version(), key_).read(bytes).has_value();
             ++other)
            bytes = SimBleCodec(version(), Bytes(16, other)).write(frame, nonce());
        if (fault && kind == Fault::Undecryptable && msgType != 0x10) {
            // The last payload byte: a CCM tag byte, or the last ECB block's padding.
            bytes[bytes.size() - (version() >= 2 ? 3 : 2)] ^= 0x01;
            bytes = codec.refreshCheck(std::move(bytes));
        }
        if (fault && kind == Fault::Garbage) bytes = {0x13, 0x37, 0xC0, 0xDE, 0x00, 0xFF};
        log_.push_back(
            Op{Clock::now() - created_, "send", msgType, body, fault ? faultName(kind) : ""});
    }
    if (!fault) return transmit(std::move(bytes), answerDelay);
    switch (fault->kind) {
        case Fault::Drop:
            return;
        case Fault::LinkLoss:
            return loseLink();
        case Fault::LyingLength: {
            // The header of a frame as long as a length field can say, and a little of it.
            Bytes lie{0xAA, 0x55, 0xFF, 0xFF, bytes.size() > 4 ? bytes[4] : uint8_t{0}, msgType};
            lie.resize(20, 0x5A);
            return transmitPiece(std::move(lie), answerDelay);
        }
        case Fault::Delay:
            return transmit(std::move(bytes), answerDelay + fault->delay);
        case Fault::Duplicate:
            transmit(bytes, answerDelay);
            return transmit(std::move(bytes), answerDelay);
        case Fault::Split: {
            const auto half = static_cast<long>(bytes.size() / 2);
            transmit(Bytes(bytes.begin(), bytes.begin() + half), answerDelay);
            return transmit(Bytes(bytes.begin() + half, bytes.end()), answerDelay + fault->delay);
        }
        case Fault::Pieces: {
            size_t from = 0;
            double at = answerDelay;
            for (size_t cut : fault->cuts) {
                cut = std::min(cut, bytes.size());
                if (cut <= from) continue;
                transmitPiece(Bytes(bytes.begin() + long(from), bytes.begin() + long(cut)), at);
                from = cut;
                at += fault->delay;
            }
            return transmitPiece(Bytes(bytes.begin() + long(from), bytes.end()), at);
        }
        default:
            return transmit(std::move(bytes), answerDelay);
    }
}

void SimBleModule::transmit(Bytes frame, double delay) {
    if (delay <= 0) return notifyChunks(frame);
    perform([frame = std::move(frame)](SimBleModule& m) { m.notifyChunks(frame); }, delay);
}

void SimBleModule::transmitPiece(Bytes piece, double delay) {
    if (delay <= 0) return notifyRaw(std::move(piece));
    perform([piece = std::move(piece)](SimBleModule& m) { m.notifyRaw(piece); }, delay);
}

void SimBleModule::notifyChunks(const Bytes& frame) {
    const size_t size = appliance_->attMtu - 3u;
    for (size_t at = 0; at < frame.size(); at += size)
        appliance_->notify(
            notifyUuid(),
            Bytes(frame.begin() + static_cast<long>(at),
                  frame.begin() + static_cast<long>(std::min(frame.size(), at + size))));
}

void SimBleModule::notifyRaw(Bytes bytes) {
    record("send-raw", -1, bytes);
    appliance_->notify(notifyUuid(), bytes);
}

void SimBleModule::report(Bytes body) {
    send(0x0D, std::move(body));
}

void SimBleModule::reportStage(uint8_t stage, uint8_t moduleCode) {
    report({0x01, stage, moduleCode, 0, 0, 0, 0, static_cast<uint8_t>(cablePlugged ? 1 : 0)});
}

void SimBleModule::reportAuthState(uint8_t state) {
    report({0x01, 0, 0, 0, state, 0, 0, 0});
}

// Joining the router

void SimBleModule::joinRouter(const std::string& randomCode) {
    {
        std::lock_guard lock(mutex_);
        randomCode_ = randomCode;
        joined_ = false;
    }
    record("join", -1, {}, randomCode);
    Bytes serial{0x00};
    appendText(serial, sn, 32);
    perform([serial](SimBleModule& m) { m.report(serial); }, reportInterval);
    double at = reportInterval;
    for (uint8_t stage : joinStages) {
        at += reportInterval;
        if (joinError && joinError->first == stage) {
            const uint8_t code = joinError->second;
            perform([stage, code](SimBleModule& m) { m.reportStage(stage, code); }, at);
            if (!joinErrorContinues) return;
            continue;
        }
        perform([stage](SimBleModule& m) { m.reportStage(stage); }, at);
    }
    perform(
        [randomCode](SimBleModule& m) {
            {
                std::lock_guard lock(m.mutex_);
                m.joined_ = true;
            }
            m.record("joined", -1, {}, randomCode);
        },
        at);
    perform(
        [randomCode](SimBleModule& m) {
            m.record("online", -1, {}, randomCode);
            if (m.cloud_) m.cloud_->reportOnline(m.sn, randomCode);
        },
        cloudDelay);
}

void SimBleModule::parseCredentials(uint8_t msgType, const Bytes& body) {
    std::optional<Credentials> c;
    if (msgType == 0x69 && cablePlugged && body.size() >= 17)
        c = Credentials{{}, {}, {}, Bytes(body.begin() + 1, body.begin() + 17)};
    else if (msgType == 0x69 && !body.empty())
        c = routerFields(ByteView(body).subspan(1));
    else if (msgType == 0x68)
        c = routerFields(body);
    else if (msgType == 0x67)
        c = routerUpdateFields(body);
    if (!c) return record("credentials", msgType, body, "unreadable");
    std::lock_guard lock(mutex_);
    randomCode_ = test::toHex(c->random);
    log_.push_back(Op{Clock::now() - created_, "credentials", msgType, body,
                      "ssid=" + c->ssid + " password=" + c->password +
                          " bssid=" + test::toHex(c->bssid) + " random=" + randomCode_});
}

// Default answers

Bytes SimBleModule::statusAnswer(uint8_t query) const {
    if (query == 1) return {0x01, 0x00, statusError};
    if (query == 3) {
        Bytes b{0x03, static_cast<uint8_t>(capabilities.size())};
        for (const auto& c : capabilities) {
            b.insert(b.end(), {static_cast<uint8_t>(c.id), static_cast<uint8_t>(c.id >> 8),
                               static_cast<uint8_t>(c.value.size())});
            append(b, c.value);
        }
        return b;
    }
    Bytes b{0x00};
    appendText(b, sn, 32);
    b.insert(b.end(), mac.rbegin(), mac.rend());
    b.push_back(static_cast<uint8_t>(moduleVersion.size()));
    append(b, moduleVersion);
    b.insert(b.end(), {0x00, static_cast<uint8_t>(subType), static_cast<uint8_t>(subType >> 8)});
    return b;
}

SimBleModule::Handler SimBleModule::defaultHandler(uint8_t msgType) const {
    using F = SimBleFrame;
    using ClassicKey = SimBleModule::ClassicKey;
    switch (msgType) {
        case 0x01:  // classic key exchange
            return [](SimBleModule& m, const F& r) {
                const auto& device = test::TestPki::shared().device();
                const Bytes& b = r.body;
                if (!b.empty() && b[0] == 0x01) {
                    Bytes reply{0x01, 0x02};
                    const ByteView point(device.publicKey);  // 04 || X || Y
                    switch (m.classicKey) {
                        case ClassicKey::ShortKey:
                            append(reply, point.subspan(1, 63));
                            break;
                        case ClassicKey::PrefixedKey:
                            append(reply, point);
                            break;
                        case ClassicKey::Infinity:
                            reply.push_back(0x00);
                            break;
                        case ClassicKey::HalfKey:
                            append(reply, point.subspan(1, 32));
                            break;
                        case ClassicKey::OffCurve:
                            append(reply, point.subspan(1));
                            reply.back() ^= 0x01;  // y no longer fits x
                            break;
                        default:
                            append(reply, point.subspan(1));
                    }
                    return m.answer(r, reply);
                }
                if (b.size() < 66 + 16 || b[0] != 0x02) return;
                Bytes point{0x04};
                append(point, ByteView(b).subspan(2, 64));
                auto secret = test::ecdhP256(device, point);
                const std::string text = "pelna_quirvos";
                std::optional<Bytes> expected;
                if (secret)
                    expected = crypto::ecb(
                        true, ByteView(*secret).first(16),
                        ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
                const bool ok = expected && Bytes(b.begin() + 66, b.end()) == *expected;
                const uint8_t encoding = m.classicKey == ClassicKey::AuthEncoding ? 0x01 : 0x02;
                const bool refuse = !ok || m.classicKey == ClassicKey::AuthRefused;
                m.answer(r, {0x02, encoding, static_cast<uint8_t>(refuse ? 1 : 0)});
                if (!ok) return;
                Bytes key(secret->begin(), secret->begin() + 16);
                m.record("key", 0x01, key, "classic");
                m.setSessionKey(std::move(key));
            };
        case 0x10:  // certificate key agreement
            return [](SimBleModule& m, const F& r) {
                auto& agreement = m.keyAgreement();
                if (!r.body.empty() && r.body[0] == 0x02) {
                    auto m4 = agreement.answerM3(r.body);
                    if (!m4) return m.record("unreadable", 0x10, r.body, "M3");
                    m.answer(r, *m4);
                    if (!agreement.finscVerified()) return;
                    m.record("key", 0x10, agreement.sessionKey(), "certificate");
                    return m.setSessionKey(agreement.sessionKey());
                }
                auto m2 = agreement.answerM1(r.body);
                if (!m2) return m.record("unreadable", 0x10, r.body, "M1");
                m.answer(r, *m2);
            };
        case 0x63:
            return [](SimBleModule& m, const F& r) {
                m.answer(r, m.statusAnswer(r.body.empty() ? 0 : r.body[0]));
            };
        case 0x40:
            return [](SimBleModule& m, const F& r) {
                Bytes b{0x01, 0, 0, 0, 0, static_cast<uint8_t>(m.products.size())};
                for (const auto& p : m.products) {
                    b.insert(b.end(), {0x06, 0x00, static_cast<uint8_t>(p.sn.size())});
                    appendText(b, p.sn, p.sn.size());
                    b.insert(b.end(), {0x07, 0x00, 0x02, static_cast<uint8_t>(p.value),
                                       static_cast<uint8_t>(p.value >> 8)});
                }
                m.answer(r, b);
            };
        case 0x0F:
            return [](SimBleModule& m, const F& r) { m.answer(r, {0x01, 0x01, m.factoryResult}); };
        case 0x0B:  // cancel: taken without an answer
            return [](SimBleModule&, const F&) {};
        case 0x69:
            return [](SimBleModule& m, const F& r) {
                m.parseCredentials(0x69, r.body);
                m.answer(r, {m.wifiResult});
                const bool preConnect = !r.body.empty() && r.body[0] == 0;
                if ((m.wifiResult == 0 && !preConnect) || m.wifiResult == 3)
                    m.joinRouter(m.randomCode());
            };
        case 0x68:
            return [](SimBleModule& m, const F& r) {
                m.parseCredentials(0x68, r.body);
                m.answer(r, {m.routerResult});
                if (m.routerResult == 0) m.joinRouter(m.randomCode());
            };
        case 0x67:
            return [](SimBleModule& m, const F& r) {
                const bool update = !r.body.empty() && r.body[0] == 0x02;
                if (update) m.parseCredentials(0x67, r.body);
                const uint8_t result = update ? m.routerUpdateResult : m.regionalResult;
                m.answer(r, {result});
                if (result == 0) m.joinRouter(m.randomCode());
            };
        case 0x0E:
            return [](SimBleModule& m, const F& r) { m.answer(r, {0x01, 0x00, 0x00}); };
        case 0x03:
            return [](SimBleModule& m, const F& r) { m.answer(r, {m.tokenResult}); };
        case 0x04:
            return [](SimBleModule& m, const F& r) {
                m.answer(r, {0x03, 0x01, static_cast<uint8_t>(r.body.size() > 2 ? r.body[2] : 0),
                             m.bindResult});
            };
        case 0x09:
            return [](SimBleModule& m, const F& r) { m.answer(r, {0x01, m.deviceIdResult}); };
        case 0x20:
            return [](SimBleModule& m, const F& r) {
                if (!r.body.empty() && r.body[0] == 0x04)
                    m.answer(r, {0x04, 0x01, 0x00, 2});  // addresses the bridge needs
                else if (!r.body.empty() && r.body[0] == 0x05)
                    m.answer(r, {0x05, 0x01, m.meshResult});
            };
        case 0x66:
            return [](SimBleModule& m, const F& r) {
                if (!r.body.empty() && r.body[0] == 0x02)
                    m.answer(r, {0x02, 0x01, 0x01});
                else
                    m.answer(r, {0x01, 0x01, 0x00});
            };
        default:
            return {};
    }
}

void SimBleModule::installDefaults() {
    for (int type :
         {0x01, 0x03, 0x04, 0x09, 0x0B, 0x0E, 0x0F, 0x10, 0x20, 0x40, 0x63, 0x66, 0x67, 0x68, 0x69})
        handlers_[static_cast<uint8_t>(type)] = defaultHandler(static_cast<uint8_t>(type));
}

void SimBleModule::installAppCredentials() const {
    const auto& c = keyAgreement_.appCredentials();
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    config->setTlsRootCer(c.rootCer);
    config->setTlsTwoCer(c.twoCer);
    config->setTlsAppCer(c.appCer);
    config->setTlsPrivateKey(c.appPrivateKey);
}

}  // namespace telvo::sim
