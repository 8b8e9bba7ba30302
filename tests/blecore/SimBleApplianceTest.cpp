// The virtual BLE appliance driven through the simulated radio with raw writes: frames built by
// the library's codec, answers read back with the simulator's own.
#include <gtest/gtest.h>

#include <mutex>

#include "blecore/QKBLEProtocol.h"
#include "blecore/TelvoBleTool.h"
#include "cloud/QKNetWorkApplianceOperation.h"
#include "platform/Dispatch.h"
#include "platform/MainLoop.h"
#include "platform/NetworkReachability.h"
#include "protocol/QKCommonProtocol.h"
#include "sim/FakeCloud.h"
#include "sim/SimBleModule.h"
#include "sim/SimCloudApi.h"
#include "sim/SimLanCodec.h"
#include "sim/TestPki.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKDeviceBleConfigParams.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKUserDefault.h"

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
    // The classic exchange from the phone's side with the app identity of the test PKI.
    void classicExchange(Phone& phone) {
        auto reply = phone.exchange(0x01, QKBLEProtocol::msgBodyForGetDevicePublicKey());
        ASSERT_EQ(reply.body.size(), 66u);
        Bytes point{0x04};
        point.insert(point.end(), reply.body.begin() + 2, reply.body.end());
        const auto& app = test::TestPki::shared().app();
        auto secret = test::ecdhP256(app, point);
        ASSERT_TRUE(secret);
        const std::string text = "pelna_quirvos";
        auto authKey =
            sim::crypto::ecb(true, ByteView(*secret).first(16),
                             ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
        auto body =
            QKBLEProtocol::msgBodyForAuthSecretKey(ByteView(app.publicKey).subspan(1), *authKey);
        EXPECT_EQ(phone.exchange(0x01, *body).body, (Bytes{0x02, 0x02, 0x00}));
        phone.key = Bytes(secret->begin(), secret->begin() + 16);
        EXPECT_EQ(module->currentKey(), phone.key);
    }
    // The certificate agreement, two-way with the app's chain or one-way with its bare key.
    void certificateAgreement(Phone& phone, bool twoWay) {
        module->installAppCredentials();
        const auto& c = module->keyAgreement().appCredentials();
        const auto& app = test::TestPki::shared().app();
        Bytes n1 = QKCommonProtocol::randomToken();
        Bytes m1 = twoWay ? QKCommonProtocol::msgBodyM1WithAppCert(c.appCer, c.twoCer, n1)
                          : QKCommonProtocol::msgBodyM1WithAppPublicKey(
                                ByteView(app.publicKey).subspan(1), n1);
        auto m2 = QKCommonProtocol::dicForAesKeyTLSReplyWithData(phone.exchange(0x10, m1).body);
        ASSERT_TRUE(m2);
        m2->set("tlsRandomN1", n1);
        m2->set("tlsDataM1", m1);
        Dictionary checked =
            QKCommonProtocol::checkTLSKeyAgreementBackDict(*m2, twoWay ? Bytes{} : app.privateKey);
        ASSERT_FALSE(checked.contains("errCode")) << checked["errCode"].intValue();
        auto m4 = QKCommonProtocol::dicForAesKeyTLSReplyWithData(
            phone
                .exchange(0x10,
                          QKCommonProtocol::msgBodyTLSAuthSecretKey(checked["finscData"].bytes()))
                .body);
        ASSERT_TRUE(m4);
        m4->set("tlsSessionKey", checked["tlsSessionKey"]);
        m4->set("tlsRandomN2", (*m2)["randomData"]);
        EXPECT_EQ(QKCommonProtocol::checkTLSAuthSecretReply(*m4)["errCode"].intValue(), 0);
        phone.key = checked["tlsSessionKey"].bytes();
        EXPECT_EQ(module->currentKey(), phone.key);
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

// The classic exchange (versions 0 to 2) and both certificate agreements (version 3) complete,
// and the status answer comes back sealed under the agreed key.
TEST_F(SimBleApplianceTest, KeyExchangesCompleteAndTheStatusAnswerIsSealedUnderTheAgreedKey) {
    for (int variant : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(variant);
        const int version = std::min(variant, 3);
        module = makeModule(version);
        Phone phone(*radio, *module);
        phone.connect();
        if (version < 3)
            classicExchange(phone);
        else
            certificateAgreement(phone, variant == 3);
        phone.write(0x63, QKBLEProtocol::msgBodyForCheckStatus(0));
        auto raw = phone.nextRaw();
        ASSERT_TRUE(raw);
        EXPECT_FALSE(sim::SimBleCodec(version, module->rootKey).read(*raw));
        auto status = sim::SimBleCodec(version, phone.key).read(*raw);
        ASSERT_TRUE(status);
        ASSERT_EQ(status->body.size(), 47u);
        EXPECT_EQ(std::string(status->body.begin() + 1, status->body.begin() + 33), module->sn);
        EXPECT_EQ(test::toHex(ByteView(status->body).subspan(33)),
                  "665544332211040102030400"
                  "3412");
        module.reset();
    }
}

// A second-generation run on the defaults: status, Wi-Fi settings, the module's reports in
// order, and the cloud hears the serial online with the run's random code.
TEST_F(SimBleApplianceTest, DefaultsCarryAWifiRunToTheCloud) {
    QKMiddleInterface::resetForTesting();
    QKUserDefault::resetForTesting();
    NetworkReachability::resetForTesting();
    QKNetWorkManager::resetForTesting();
    test::FakeCloud cloud;
    test::SimCloudApi api(cloud, "key", "secret");
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    config->setServerHost(cloud.baseURL());
    config->setHttpSignKey("key");
    config->setHttpSignSecret("secret");
    QKUserDefault::standardUserDefaults()->setValue(Value("10001"), "sdkWorkMode");
    module = makeModule(2);
    module->linkCloud(&api);
    Phone phone(*radio, *module);
    phone.connect();
    classicExchange(phone);
    EXPECT_EQ(phone.exchange(0x63, QKBLEProtocol::msgBodyForCheckStatus(3)).body,
              (Bytes{0x03, 0x00}));
    QKDeviceBleConfigParams params;
    params.routerSSID = "home";
    params.routerPwd = "pass1234";
    params.routerBSSID = "a1:b2:c3:d4:e5:f6";
    params.randomNum = "0102030405060708090a0b0c0d0e0f10";
    EXPECT_EQ(phone.exchange(0x69, *QKBLEProtocol::msgBodyForPreConnect(params, 1)).body,
              Bytes{0x00});
    EXPECT_EQ(module->log("credentials").at(0).detail,
              "ssid=home password=pass1234 bssid=a1b2c3d4e5f6 random=" + *params.randomNum);
    std::vector<Bytes> reports;
    for (int i = 0; i < 5; ++i) reports.push_back(phone.next(5).value_or(SimBleFrame{}).body);
    EXPECT_EQ(reports[0].size(), 33u);
    for (uint8_t stage = 1; stage <= 4; ++stage)
        EXPECT_EQ(reports[stage], (Bytes{0x01, stage, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(MainLoop::runUntil([&] { return !module->log("online").empty(); }, 10));
    EXPECT_TRUE(module->joined());

    // The presence query the session makes, through the library's cloud client.
    auto ask = [&](const std::string& random) {
        std::optional<Value> reply;
        bool done = false;
        QKNetWorkApplianceOperation::getApplianceDevicesnAPExistsWithDeviceSn(
            module->sn, random, false, std::nullopt,
            [&](const std::optional<Value>& r) { reply = r, done = true; },
            [&](const ErrorPtr&) { done = true; });
        EXPECT_TRUE(MainLoop::runUntil([&] { return done; }, 60));
        if (!reply) return std::string();
        const Value list = (*reply)["data"]["list"];
        return list.isArray() && !list.array().empty() ? list.array()[0]["sn"].text() : "";
    };
    EXPECT_EQ(ask("0102030405060708090A0B0C0D0E0F10"), module->sn);
    EXPECT_EQ(ask("ff"), "");
    MainLoop::drain();
    QKNetWorkManager::resetForTesting();
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

// A module error stops the join at its stage; the status answers carry the module's state.
TEST_F(SimBleApplianceTest, ModuleErrorReportStopsTheJoin) {
    module = makeModule(1);
    module->joinError = {{2, 0x02}};
    Phone phone(*radio, *module);
    phone.connect();
    classicExchange(phone);
    QKDeviceBleConfigParams params;
    params.routerSSID = "home";
    params.randomNum = "0102030405060708090a0b0c0d0e0f10";
    phone.exchange(0x68, *QKBLEProtocol::msgBodyForConnectWithRouterSSID(params.routerSSID, "", "",
                                                                         params.randomNum));
    EXPECT_EQ(phone.next(5).value_or(SimBleFrame{}).body.size(), 33u);
    EXPECT_EQ(phone.next(5).value_or(SimBleFrame{}).body, (Bytes{1, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(phone.next(5).value_or(SimBleFrame{}).body, (Bytes{1, 2, 2, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(phone.nextRaw(10));
    EXPECT_FALSE(module->joined());
    EXPECT_TRUE(module->log("online").empty());
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

// The same script gives the same operation log twice in one process.
TEST_F(SimBleApplianceTest, SameScriptSameLog) {
    auto run = [&] {
        QKBLEProtocol::resetMsgIdForTesting();
        module = makeModule(2);
        module->addFault({Fault::Duplicate, 0x63, 0, 0});
        Phone phone(*radio, *module);
        phone.connect();
        classicExchange(phone);
        phone.exchange(0x63, QKBLEProtocol::msgBodyForCheckStatus(0));
        phone.nextRaw();
        QKDeviceBleConfigParams params;
        params.routerSSID = "home";
        params.randomNum = "0102030405060708090a0b0c0d0e0f10";
        phone.exchange(0x69, *QKBLEProtocol::msgBodyForPreConnect(params, 1));
        MainLoop::runUntil([&] { return module->joined(); }, 10);
        auto lines = module->logLines();
        module.reset();
        return lines;
    };
    auto first = run();
    EXPECT_GT(first.size(), 15u);
    EXPECT_EQ(first, run());
}

}  // namespace
}  // namespace telvo
