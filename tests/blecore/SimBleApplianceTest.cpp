// The virtual BLE appliance driven through the simulated radio with raw writes: frames built by
// the library's codec, answers read back with the simulator's own.
#include <gtest/gtest.h>

#include <mutex>

#include "blecore/QKBLEProtocol.h"
#include "blecore/TelvoBleTool.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "sim/SimBleModule.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using sim::SimBleFrame;
using sim::SimBleModule;
using Fault = SimBleModule::Fault;

// The phone's side, raw: one radio client with one link to the module.
class Phone {
  public:
    Phone(sim::SimRadio& radio, SimBleModule& module) : radio_(radio), module_(module) {
        key = module.rootKey;
        client_ = radio_.attach([this](const RadioEvent& e) {
            std::lock_guard lock(mutex_);
            events_.push_back(e);
            if (e.kind == RadioEvent::Kind::ValueUpdated) inbound_.push_back(e.value);
        });
    }
    ~Phone() { radio_.detach(client_); }

    void connect() {
        const std::string id = module_.appliance().identifier();
        radio_.connect(client_, id);
        ASSERT_TRUE(await(RadioEvent::Kind::Connected));
        radio_.discoverServices(client_, id, std::nullopt);
        ASSERT_TRUE(await(RadioEvent::Kind::ServicesDiscovered));
        radio_.discoverCharacteristics(client_, id, last().services.at(0).handle, std::nullopt);
        ASSERT_TRUE(await(RadioEvent::Kind::CharacteristicsDiscovered));
        auto characteristics = last().characteristics;
        ASSERT_EQ(characteristics.size(), 2u);
        write_ = characteristics[0].handle;
        radio_.setNotify(client_, id, characteristics[1].handle, true);
        ASSERT_TRUE(await(RadioEvent::Kind::NotifyStateChanged));
    }
    // Frames the body with the library's codec and writes it in chunks, with response.
    void write(uint8_t msgType, ByteView body) {
        auto frame = QKBLEProtocol::getProtocolDataWithMsgBody(body, key, msgType,
                                                               module_.version(), ++counter_);
        ASSERT_TRUE(frame);
        writeRaw(*frame);
    }
    void writeRaw(const Bytes& frame) {
        const std::string id = module_.appliance().identifier();
        const size_t size = radio_.maximumWriteLength(client_, id, false);
        for (size_t at = 0; at < frame.size(); at += size)
            radio_.write(client_, id, write_,
                         Bytes(frame.begin() + long(at),
                               frame.begin() + long(std::min(frame.size(), at + size))),
                         true);
    }
    // The next whole frame the module notified, as raw bytes (notifications joined by their
    // declared length), within the timeout.
    std::optional<Bytes> nextRaw(double timeout = 2) {
        std::optional<Bytes> out;
        MainLoop::runUntil([&] { return (out = take()).has_value(); }, timeout);
        return out;
    }
    // The next frame read with the simulator's codec under the phone's key.
    std::optional<SimBleFrame> next(double timeout = 2, std::string* why = nullptr) {
        auto raw = nextRaw(timeout);
        if (!raw) return std::nullopt;
        return sim::SimBleCodec(module_.version(), key).read(*raw, why);
    }
    SimBleFrame exchange(uint8_t msgType, ByteView body) {
        write(msgType, body);
        std::string why;
        auto answer = next(2, &why);
        EXPECT_TRUE(answer) << why;
        EXPECT_EQ(answer.value_or(SimBleFrame{}).msgType, msgType);
        return answer.value_or(SimBleFrame{});
    }
    bool await(RadioEvent::Kind kind, double timeout = 2) {
        return MainLoop::runUntil([&] { return count(kind) > seen_[kind]; }, timeout) &&
               ++seen_[kind];
    }
    size_t count(RadioEvent::Kind kind) {
        std::lock_guard lock(mutex_);
        return size_t(std::count_if(events_.begin(), events_.end(),
                                    [&](const RadioEvent& e) { return e.kind == kind; }));
    }
    RadioEvent last() {
        std::lock_guard lock(mutex_);
        return events_.back();
    }
    size_t notifications() {
        std::lock_guard lock(mutex_);
        return notified_ + inbound_.size();
    }

    Bytes key;

  private:
    std::optional<Bytes> take() {
        std::lock_guard lock(mutex_);
        while (!inbound_.empty()) {
            buffer_.insert(buffer_.end(), inbound_.front().begin(), inbound_.front().end());
            inbound_.erase(inbound_.begin());
            ++notified_;
            const size_t length = module_.version() >= 2 && buffer_.size() >= 4
                                      ? size_t(buffer_[2] | buffer_[3] << 8)
                                  : buffer_.size() >= 3 ? buffer_[2]
                                                        : 0;
            if (buffer_.size() < 2 || buffer_[0] != 0xAA || buffer_[1] != 0x55 ||
                buffer_.size() >= length + 2) {
                Bytes out;
                out.swap(buffer_);
                return out;
            }
        }
        return std::nullopt;
    }

    sim::SimRadio& radio_;
    SimBleModule& module_;
    BluetoothRadio::ClientId client_ = 0;
    uint16_t write_ = 0;
    int64_t counter_ = 0;
    std::mutex mutex_;
    std::vector<RadioEvent> events_;
    std::vector<Bytes> inbound_;
    Bytes buffer_;
    size_t notified_ = 0;
    std::map<RadioEvent::Kind, size_t> seen_;
};

class SimBleApplianceTest : public ::testing::Test {
  protected:
    SimBleApplianceTest() { QKBLEProtocol::resetMsgIdForTesting(); }

    std::shared_ptr<SimBleModule> makeModule(int version) {
        sim::SimBleAdvertisement adv;
        adv.version = version;
        return SimBleModule::create(*radio, adv);
    }
    DeterministicDispatch mode_;
    sim::SimRadioScope radio{sim::SimRadio::create()};
    std::shared_ptr<SimBleModule> module;
};

TEST_F(SimBleApplianceTest, AdvertisesEachLayoutAndOffersTheServiceOfItsVersion) {
    struct Case {
        int version;
        size_t size;
        const char* service;
    } cases[] = {{0, 14, "FF80"}, {1, 30, "FF80"}, {2, 30, "FF80"}, {3, 28, "FD24"}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.version);
        sim::SimBleAdvertisement adv;
        adv.version = k.version;
        adv.flags = 0x02;   // version 0: configured
        adv.flags1 = 0x03;  // double module, configured
        adv.flags2 = 0x20;
        auto m = SimBleModule::create(*radio, adv, "korvo_ac_1a2b");
        const Bytes data = *m->appliance().manufacturerData;
        EXPECT_EQ(data.size(), k.size);
        auto dict = TelvoBleTool::bleAdvDicWithPeripheral(data, m->appliance().localName);
        ASSERT_TRUE(dict);
        EXPECT_EQ((*dict)["bleProtcolVersion"].text(), std::to_string(k.version));
        EXPECT_TRUE((*dict)["isWifiConfiged"].boolValue());
        if (k.version > 0) {
            EXPECT_EQ((*dict)["deviceMac"].text(), "11:22:33:44:55:66");
            EXPECT_EQ((*dict)["deviceSSID"].text(), "korvo_ac_1a2b_AC_1A2B");
            EXPECT_EQ((*dict)["moduleType"].intValue(), 3);
            // Byte 19 bit 5: no binding in versions 1 and 2, factory mode off in version 3.
            EXPECT_EQ((*dict)["supportBind"].boolValue(), k.version == 3);
        }
        EXPECT_EQ(m->appliance().gatt.at(0).uuid, CBUUID::UUIDWithString(k.service));
    }
}

// Each fault changes exactly what it names, on the frame it is meant for.
TEST_F(SimBleApplianceTest, EachFaultChangesExactlyWhatItSays) {
    const Bytes key(16, 0x42), shortStatus{0x01, 0x00, 0x00};
    auto plain = [&](Phone& p, double timeout = 2) {
        std::string why;
        auto f = p.next(timeout, &why);
        EXPECT_TRUE(f) << why;
        return f.value_or(SimBleFrame{});
    };
    auto opensOnlyUnder = [&](Phone& p, const Bytes& other) {
        auto raw = p.nextRaw();
        ASSERT_TRUE(raw);
        EXPECT_TRUE(QKBLEProtocol::checkNumWithData(*raw, 3));
        std::string why;
        EXPECT_FALSE(sim::SimBleCodec(3, key).read(*raw, &why));
        EXPECT_EQ(why, "decrypt");
        EXPECT_EQ(sim::SimBleCodec(3, other).read(*raw).has_value(), !other.empty());
    };
    struct Case {
        const char* name;
        std::optional<SimBleModule::FaultSpec> fault;
        std::function<void(Phone&)> check;
        int refuse = 0;
        bool mute = false;
    };
    const std::vector<Case> cases = {
        {"none", {}, [&](Phone& p) { EXPECT_EQ(plain(p).counter, 1); }},
        {"drop",
         {{Fault::Drop, std::nullopt, 0, 0}},
         [&](Phone& p) { EXPECT_FALSE(p.nextRaw(10)); }},
        {"delay",
         {{Fault::Delay, std::nullopt, 3, 0}},
         [&](Phone& p) {
             EXPECT_FALSE(p.nextRaw(2.9));
             EXPECT_EQ(plain(p, 0.5).body, shortStatus);
         }},
        {"duplicate",
         {{Fault::Duplicate, std::nullopt, 0, 0}},
         [&](Phone& p) {
             auto a = p.nextRaw(), b = p.nextRaw();
             EXPECT_TRUE(a && a == b);
         }},
        {"counter",
         {{Fault::Counter, std::nullopt, 0, 700}},
         [&](Phone& p) {
             auto f = plain(p);
             EXPECT_EQ(f.counter, 700);
             EXPECT_EQ(f.body, shortStatus);
         }},
        {"garbage",
         {{Fault::Garbage, std::nullopt, 0, 0}},
         [&](Phone& p) {
             EXPECT_EQ(p.nextRaw(), (Bytes{0x13, 0x37, 0xC0, 0xDE, 0, 0xFF}));
         }},
        {"wrong key",
         {{Fault::WrongKey, std::nullopt, 0, 0}},
         [&](Phone& p) { opensOnlyUnder(p, Bytes(16, 0x5A)); }},
        {"undecryptable",
         {{Fault::Undecryptable, std::nullopt, 0, 0}},
         [&](Phone& p) { opensOnlyUnder(p, {}); }},
        {"split",
         {{Fault::Split, std::nullopt, 1, 0}},
         [&](Phone& p) {
             EXPECT_EQ(plain(p).body, shortStatus);
             EXPECT_EQ(p.notifications(), 2u);
         }},
        {"link loss",
         {{Fault::LinkLoss, std::nullopt, 0, 0}},
         [&](Phone& p) {
             EXPECT_TRUE(p.await(RadioEvent::Kind::Disconnected));
             EXPECT_FALSE(p.nextRaw());
         }},
        {"for another type",
         {{Fault::Drop, 0x69, 0, 0}},
         [&](Phone& p) { EXPECT_EQ(plain(p).body, shortStatus); }},
        {"busy",
         {},
         [&](Phone& p) {
             ASSERT_TRUE(p.await(RadioEvent::Kind::ValueWritten));
             EXPECT_TRUE(p.last().error);
             EXPECT_FALSE(p.nextRaw());
             EXPECT_EQ(module->log("busy").size(), 1u);
         },
         1},
        {"mute",
         {},
         [&](Phone& p) {
             EXPECT_FALSE(p.nextRaw(10));
             EXPECT_EQ(module->received().size(), 1u);
         },
         0,
         true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        module = makeModule(3);
        Phone phone(*radio, *module);
        phone.connect();
        module->setSessionKey(key);
        phone.key = key;
        if (k.fault) module->addFault(*k.fault);
        module->refuseWrites(k.refuse);
        module->mute = k.mute;
        phone.write(0x63, QKBLEProtocol::msgBodyForCheckStatus(1));
        k.check(phone);
        module.reset();
    }
}

// Writes are joined across chunks and answers cut to the link's size; bytes that are no frame
// and frames under another key are logged and left unanswered.
TEST_F(SimBleApplianceTest, ChunkedFramesAndUnreadableWrites) {
    module = makeModule(3);
    module->appliance().attMtu = 23;
    Phone phone(*radio, *module);
    phone.connect();
    const Bytes key(16, 0x42);
    module->setSessionKey(key);
    phone.key = Bytes(16, 0x24);
    phone.write(0x63, QKBLEProtocol::msgBodyForCheckStatus(0));
    phone.writeRaw({0x01, 0x02, 0x03});
    EXPECT_FALSE(phone.nextRaw());
    auto unreadable = module->log("unreadable");
    ASSERT_EQ(unreadable.size(), 2u);
    EXPECT_EQ(unreadable[0].detail, "decrypt");
    EXPECT_EQ(unreadable[1].detail, "no frame start");

    phone.key = key;
    auto status = phone.exchange(0x63, QKBLEProtocol::msgBodyForCheckStatus(0));
    EXPECT_EQ(status.body.size(), 47u);
    EXPECT_EQ(phone.notifications(), 5u);  // 86 bytes in pieces of 20
}

}  // namespace
}  // namespace telvo
