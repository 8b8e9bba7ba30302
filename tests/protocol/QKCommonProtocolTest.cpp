#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/foundation/AppFolders.h"
#include "protocol/QKCommonProtocol.h"
#include "records/QKMiddleInterface.h"
#include "security/QKEllipticCurveSecret.h"
#include "security/ScriptedRandom.h"
#include "sim/SimKeyAgreement.h"
#include "sim/TempFolder.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

using test::SimKeyAgreement;
using Misbehaviour = SimKeyAgreement::Misbehaviour;

enum class M1Form { Certificate, OneWay };

class KeyAgreement : public ::testing::Test {
  protected:
    void SetUp() override { installCredentials(); }
    void TearDown() override { resetForTesting<QKMiddleInterface>(); }

    void installCredentials() {
        auto config = QKMiddleInterface::shareInstance()->middleConfig();
        const auto& c = sim.appCredentials();
        config->setTlsRootCer(c.rootCer);
        config->setTlsTwoCer(c.twoCer);
        config->setTlsAppCer(c.appCer);
        config->setTlsPrivateKey(c.appPrivateKey);
    }

    // The app's side of one agreement, as the sessions run it. Stops at the first check that
    // reports an "errCode" (other than M4's 0) and returns that check's result.
    struct Outcome {
        Dictionary m2Check, m4Check;
        Bytes m1, m3;
        bool reachedM4 = false;
    };
    Outcome run(M1Form form, size_t m2Padding = 0) {
        Outcome out;
        auto config = QKMiddleInterface::shareInstance()->middleConfig();
        Bytes n1 = QKCommonProtocol::randomToken();
        Bytes ownPrivateKey;
        if (form == M1Form::Certificate) {
            out.m1 = QKCommonProtocol::msgBodyM1WithAppCert(config->tlsAppCer(),
                                                            config->tlsTwoCer(), n1);
        } else {
            // A temporary pair, as the BLE one-way flow makes it.
            auto secret = QKEllipticCurveSecret::createECCSecret();
            ownPrivateKey = secret->privateKeyData();
            out.m1 =
                QKCommonProtocol::msgBodyM1WithAppPublicKey(secret->specialPublicKeyData(), n1);
        }
        auto m2 = sim.answerM1(out.m1);
        EXPECT_TRUE(m2);
        if (!m2) return out;
        Bytes padded = *m2;  // zero bytes after fins stay out of the proofs
        padded.resize(m2->size() + m2Padding, 0);
        auto parsed = QKCommonProtocol::dicForAesKeyTLSReplyWithData(padded);
        EXPECT_TRUE(parsed);
        if (!parsed) return out;
        EXPECT_TRUE(!m2Padding || (*parsed)["oriBody"].bytes() == *m2);
        Dictionary dict = *parsed;
        dict.set("tlsRandomN1", n1);
        dict.set("tlsDataM1", out.m1);
        Bytes n2 = dict["randomData"].bytes();
        out.m2Check = QKCommonProtocol::checkTLSKeyAgreementBackDict(dict, ownPrivateKey);
        if (out.m2Check.contains("errCode")) return out;

        Bytes sessionKey = out.m2Check["tlsSessionKey"].bytes();
        out.m3 = QKCommonProtocol::msgBodyTLSAuthSecretKey(out.m2Check["finscData"].bytes());
        auto m4 = sim.answerM3(out.m3);
        EXPECT_TRUE(m4);
        if (!m4) return out;
        auto reply = QKCommonProtocol::dicForAesKeyTLSReplyWithData(*m4);
        Dictionary d4 = reply.value_or(Dictionary{});
        d4.set("tlsSessionKey", sessionKey);
        d4.set("tlsRandomN2", n2);
        out.m4Check = QKCommonProtocol::checkTLSAuthSecretReply(d4);
        out.reachedM4 = true;
        return out;
    }

    SimKeyAgreement sim;
};

TEST_F(KeyAgreement, BothM1FormsAgreeOnOneSessionKey) {
    for (M1Form form : {M1Form::Certificate, M1Form::OneWay}) {
        SCOPED_TRACE(form == M1Form::Certificate ? "certificate form" : "one-way form");
        Outcome out = run(form);
        ASSERT_TRUE(out.reachedM4);
        EXPECT_FALSE(out.m2Check.contains("errCode"));
        EXPECT_TRUE(sim.finscVerified());
        EXPECT_EQ(out.m4Check["errCode"].intValue(), 0);
        EXPECT_TRUE(out.m4Check["errCode"].isInteger());
        Bytes key = out.m2Check["tlsSessionKey"].bytes();
        ASSERT_EQ(key.size(), 16u);
        EXPECT_EQ(key, sim.sessionKey());
        EXPECT_EQ(out.m2Check["finscData"].bytes().size(), 32u);
        EXPECT_EQ(out.m3.size(), 35u);
    }
}

// Every way the agreement can fail, and the code the checks must give for it.
TEST_F(KeyAgreement, ErrorMatrix) {
    auto config = [] { return QKMiddleInterface::shareInstance()->middleConfig(); };
    struct Case {
        const char* name;
        Misbehaviour misbehaviour;
        std::function<void()> tweak;  // applied to the app's configuration
        bool atM4;
        int errCode;
    };
    const Case cases[] = {
        {"untrusted appliance chain", Misbehaviour::UntrustedChain, nullptr, false, 2},
        {"expired appliance certificate", Misbehaviour::ExpiredCertificate, nullptr, false, 2},
        {"altered fins", Misbehaviour::AlteredFins, nullptr, false, 3},
        {"appliance key on P-384 (ECDH fails)", Misbehaviour::ForeignCurveKey, nullptr, false, 2},
        {"no private key (ECDH fails)", Misbehaviour::None, [&] { config()->setTlsPrivateKey({}); },
         false, 2},
        {"zero private key (ECDH fails)", Misbehaviour::None,
         [&] { config()->setTlsPrivateKey(Bytes(32, 0)); }, false, 2},
        {"private key above the order (ECDH fails)", Misbehaviour::None,
         [&] { config()->setTlsPrivateKey(Bytes(32, 0xFF)); }, false, 2},
        {"short private key (ECDH fails)", Misbehaviour::None,
         [&] { config()->setTlsPrivateKey(Bytes(31, 0x11)); }, false, 2},
        {"no root configured", Misbehaviour::None, [&] { config()->setTlsRootCer({}); }, false, 2},
        {"root is not a certificate", Misbehaviour::None,
         [&] {
             config()->setTlsRootCer(Bytes{0x30, 0x03, 0x02, 0x01, 0x01});
         },
         false, 2},
        {"appliance refuses the app chain (status 1)", Misbehaviour::None,
         [&] { config()->setTlsTwoCer(config()->tlsRootCer()); }, false, 2},
        {"M4 result byte not 0", Misbehaviour::M4ResultNotZero, nullptr, true, 2},
        {"wrong N2", Misbehaviour::WrongN2, nullptr, true, 3},
        {"altered CCM tag", Misbehaviour::AlteredTag, nullptr, true, 1},
        {"short M4 plaintext (16 bytes)", Misbehaviour::ShortM4, nullptr, true, 1},
    };
    for (const Case& c : cases) {
        for (M1Form form : {M1Form::Certificate, M1Form::OneWay}) {
            // The one-way form brings its own private key; the configured one does not matter.
            bool usesConfiguredKey =
                c.tweak && std::string(c.name).find("private key") != std::string::npos;
            bool usesAppChain = std::string(c.name).find("app chain") != std::string::npos;
            if (form == M1Form::OneWay && (usesConfiguredKey || usesAppChain)) continue;
            SCOPED_TRACE(std::string(c.name) +
                         (form == M1Form::Certificate ? " / certificate form" : " / one-way form"));
            installCredentials();
            sim.setMisbehaviour(c.misbehaviour);
            if (c.tweak) c.tweak();
            Outcome out = run(form);
            if (c.atM4) {
                ASSERT_TRUE(out.reachedM4);
                EXPECT_EQ(out.m4Check.size(), 1u);
                EXPECT_EQ(out.m4Check["errCode"].intValue(), c.errCode);
            } else {
                EXPECT_FALSE(out.reachedM4);
                EXPECT_EQ(out.m2Check["errCode"].intValue(), c.errCode);
                EXPECT_FALSE(out.m2Check.contains("finscData"));
                // Code 2 never comes with a key; code 3 keeps the derived key.
                EXPECT_EQ(out.m2Check.contains("tlsSessionKey"), c.errCode == 3);
            }
        }
    }
}

TEST_F(KeyAgreement, TrailingBytesAfterFinsStayOutOfTheProofs) {
    Outcome out = run(M1Form::Certificate, 4);
    EXPECT_FALSE(out.m2Check.contains("errCode"));
    EXPECT_TRUE(sim.finscVerified());
    EXPECT_EQ(out.m4Check["errCode"].intValue(), 0);
}

// Reply bodies that the parser must take apart without reading past them.
TEST(KeyAgreementParser, ReplyBodies) {
    // A well-formed M2: two-byte lengths of 1 and 2, r = 1, f = 2.
    const Bytes m2 = {0x01, 0x01, 0x00, 0x01, 0x00, 0xA1, 0x02, 0x00,
                      0xB1, 0xB2, 0x01, 0xC1, 0x02, 0xD1, 0xD2};
    auto with = [&](size_t i, uint8_t v) {
        Bytes b = m2;
        b[i] = v;
        return b;
    };
    struct Case {
        const char* name;
        Bytes body;
        bool parses;
        std::vector<std::string> keys;
    };
    const std::vector<std::string> basic = {"subCmd", "version", "oriBody"};
    const std::vector<std::string> m2Keys = {"subCmd",     "version",       "oriBody",
                                             "twoCerData", "deviceCerData", "randomData",
                                             "finsData",   "m2DataNoFins"};
    const std::vector<std::string> m4Keys = {"subCmd", "version", "oriBody", "m4Data"};
    const Case cases[] = {
        {"empty", {}, false, {}},
        {"4 bytes", {1, 1, 0, 1}, false, {}},
        {"5 bytes, bad status", {1, 1, 7, 0, 0}, true, basic},
        {"5 bytes, good status, lengths missing", {1, 1, 0, 1, 0}, true, basic},
        {"M2", m2, true, m2Keys},
        {"M2 one-way reply", with(0, 3), true, m2Keys},
        {"M2 version 2", with(1, 2), true, basic},
        {"M2 sub command 4", with(0, 4), true, basic},
        {"M2 status 1", with(2, 1), true, basic},
        {"M2 first length 0", with(3, 0), true, basic},
        {"M2 second length huge", with(7, 0xFF), true, basic},
        {"M2 random length 0", with(10, 0), true, basic},
        {"M2 fins length 0", with(12, 0), true, basic},
        {"M2 fins one past the end", with(12, 3), true, basic},
        {"M2 without fins bytes", Bytes(m2.begin(), m2.end() - 2), true, basic},
        {"M4", {2, 1, 2, 0, 0xE1, 0xE2}, true, m4Keys},
        {"M4 length 0", {2, 1, 0, 0, 0xE1}, true, basic},
        {"M4 one past the end", {2, 1, 3, 0, 0xE1, 0xE2}, true, basic},
        {"M4 length 0x0100 little-endian", {2, 1, 0, 1, 0xE1}, true, basic},
        {"M4 version 0", {2, 0, 1, 0, 0xE1}, true, basic},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto dict = QKCommonProtocol::dicForAesKeyTLSReplyWithData(c.body);
        ASSERT_EQ(dict.has_value(), c.parses);
        if (!dict) continue;
        EXPECT_EQ(dict->keys(), c.keys);
        EXPECT_EQ((*dict)["subCmd"].intValue(), c.body[0]);
        EXPECT_EQ((*dict)["version"].intValue(), c.body[1]);
    }

    // The values of a good M2 are pinned by the agreements above; M4 data ends at its length.
    auto m4 = QKCommonProtocol::dicForAesKeyTLSReplyWithData(Bytes{2, 1, 2, 0, 0xE1, 0xE2, 9});
    EXPECT_EQ((*m4)["m4Data"].bytes(), (Bytes{0xE1, 0xE2}));
    // The sub-parsers on their own never read past a short body.
    for (size_t n = 0; n < 4; ++n) {
        EXPECT_FALSE(QKCommonProtocol::dicForAesKeyTLSReplyWithDataSub1(Bytes(n, 0)));
        EXPECT_FALSE(QKCommonProtocol::dicForAesKeyTLSReplyWithDataSub2(Bytes(n, 1)));
    }
}

// M2 checks that fail before any key exists, and M4 checks on hand-made dictionaries.
TEST(KeyAgreementChecks, IncompleteDictionaries) {
    auto m2 = QKCommonProtocol::dicForAesKeyTLSReplyWithData(Bytes{1, 1, 5, 0, 0}).value();
    auto checked = QKCommonProtocol::checkTLSKeyAgreementBackDict(m2, {});
    EXPECT_EQ(checked.keys(), std::vector<std::string>{"errCode"});
    EXPECT_EQ(checked["errCode"].intValue(), 2);

    const Bytes key(16, 0x42);
    struct Case {
        const char* name;
        std::optional<Bytes> sealed;
        int errCode;
    };
    const Case cases[] = {
        {"no m4Data", std::nullopt, 1},
        {"shorter than the nonce", Bytes(12, 1), 1},
        {"nonce and tag only", Bytes(29, 1), 1},
        {"garbage of plausible length", Bytes(13 + 17 + 16, 7), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Dictionary d;
        d.set("tlsSessionKey", key);
        d.set("tlsRandomN2", Bytes(16, 3));
        if (c.sealed) d.set("m4Data", *c.sealed);
        EXPECT_EQ(QKCommonProtocol::checkTLSAuthSecretReply(d)["errCode"].intValue(), c.errCode);
    }
}

// The M1 and M3 layouts are pinned by the simulated appliance's strict reading in the tests above.
TEST(KeyAgreementBodies, RefusalsAndBindToken) {
    const Bytes n1(16, 0x5A);
    // Lengths that do not fit their fields build nothing rather than a wrong body.
    EXPECT_TRUE(QKCommonProtocol::msgBodyM1WithAppCert(Bytes(0x10000, 1), Bytes(4, 2), n1).empty());
    EXPECT_TRUE(QKCommonProtocol::msgBodyM1WithAppPublicKey(Bytes(64, 1), Bytes(256, 1)).empty());
    EXPECT_TRUE(QKCommonProtocol::msgBodyTLSAuthSecretKey(Bytes(256, 1)).empty());

    EXPECT_EQ(QKCommonProtocol::msgBodyValidBindToken(Bytes{9, 8, 7}),
              (Bytes{1, 1, 3, 0, 9, 8, 7}));
    EXPECT_FALSE(QKCommonProtocol::dicForValidBindTokenWithData(Bytes{1, 2}));
    auto bind = QKCommonProtocol::dicForValidBindTokenWithData(Bytes{1, 2, 3, 4}).value();
    EXPECT_EQ(bind["version"].intValue(), 1);
    EXPECT_EQ(bind["type"].intValue(), 2);
    EXPECT_EQ(bind["result"].intValue(), 3);
    EXPECT_EQ(bind["oriBody"].bytes(), (Bytes{1, 2, 3, 4}));
}

// Secure bytes always fail; every fourth uniform draw is a multiple of 65535.
std::shared_ptr<test::ScriptedRandom> failingRandom() {
    return std::make_shared<test::ScriptedRandom>(
        true, std::vector<uint32_t>{0, 1, 2, 3, 65535, 5, 6, 7, 131070, 9, 10, 11});
}

TEST(RandomSource, TokenFallsBackToNonZeroBytes) {
    Bytes secure = QKCommonProtocol::randomToken();
    EXPECT_EQ(secure.size(), 16u);

    test::RandomScope scope(failingRandom());
    for (int round = 0; round < 64; ++round) {
        Bytes token = QKCommonProtocol::randomToken();
        ASSERT_EQ(token.size(), 16u);
        for (uint8_t b : token) EXPECT_NE(b, 0);
    }
    std::string text = QKCommonProtocol::randomTokenString();
    EXPECT_EQ(text.size(), 32u);
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(RandomSource, CommandIdNeverZeroUnderConcurrentCallers) {
    test::RandomScope scope(failingRandom());
    constexpr int kThreads = 8, kCalls = 20000;
    std::atomic<int> zeros{0}, fallbacks{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i) {
                uint32_t id = QKCommonProtocol::getCommandId();
                if (id == 0) zeros.fetch_add(1);
                if (id > 65534) fallbacks.fetch_add(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(zeros.load(), 0);
    EXPECT_EQ(fallbacks.load(), 0);
}

TEST(KeyAgreementCertificates, SavedIntoTheHostsDocumentsFolderOnly) {
    test::TempFolder folder;
    auto read = [&](const char* name) { return toBytes(test::readFile(folder.path() / name)); };
    QKCommonProtocol().testSaveDeviceCer(Bytes{1}, Bytes{2});  // no folder set: nothing
    AppFolders::setDocumentsFolder(folder.path());
    QKCommonProtocol().testSaveDeviceCer(Bytes{0x30, 0x01}, Bytes{0x30, 0x02, 0xAA});
    EXPECT_EQ(read("twoCerData.cer"), (Bytes{0x30, 0x01}));
    EXPECT_EQ(read("deviceCerData.cer"), (Bytes{0x30, 0x02, 0xAA}));
    QKCommonProtocol().testSaveDeviceCer(std::nullopt, Bytes{});
    EXPECT_EQ(read("twoCerData.cer"), (Bytes{0x30, 0x01}));
    EXPECT_TRUE(read("deviceCerData.cer").empty());
    AppFolders::setDocumentsFolder({});
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 2);
}

}  // namespace
}  // namespace telvo
