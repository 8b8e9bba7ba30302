#include <gtest/gtest.h>

#include "protocol/LanTestSupport.h"
#include "protocol/QKCommonProtocol.h"
#include "protocol/QKProtocol.h"
#include "sim/SimKeyAgreement.h"
#include "sim/SimLanCodec.h"

namespace telvo {
namespace {

class LanKeyAgreement : public test::LanFixture {
  protected:
    void SetUp() override {
        LanFixture::SetUp();
        const auto& c = sim.appCredentials();
        config()->setTlsRootCer(c.rootCer);
        config()->setTlsTwoCer(c.twoCer);
        config()->setTlsAppCer(c.appCer);
        config()->setTlsPrivateKey(c.appPrivateKey);
    }

    // Sends a built frame to the appliance: the appliance reads it strictly.
    sim::SimLanFrame deliver(QKProtocol& frame) {
        Bytes bytes = frame.getByteStream();
        std::string why;
        auto read = codec.read(bytes, &why);
        EXPECT_TRUE(read) << why;
        return read.value_or(sim::SimLanFrame{});
    }
    // The appliance's 0x75 reply, as the app reads it back.
    Bytes reply(int8_t version, const Bytes& body) {
        auto frame =
            QKProtocol::initWithNSData(codec.write({.protocolVer = static_cast<uint8_t>(version),
                                                    .msgType = 0x75,
                                                    .counter = 7,
                                                    .body = body}));
        EXPECT_TRUE(frame && frame->messageArray());
        return frame && frame->messageArray() ? *frame->messageArray() : Bytes{};
    }

    test::SimKeyAgreement sim;
    sim::SimLanCodec codec{kDefaultKey};
};

// M1 to M4 in 0x75 frames of either reported version; afterwards the agreed key seals the
// session's AES-CCM frames so that the appliance opens them.
TEST_F(LanKeyAgreement, ExchangeInFramesThenCcmUnderTheAgreedKey) {
    for (int8_t version : {int8_t{1}, int8_t{3}}) {
        SCOPED_TRACE(version);
        int64_t counter = 40;
        Bytes n1 = QKCommonProtocol::randomToken();
        QKProtocol m1Frame(version, std::nullopt, counter++);
        Bytes m1 =
            m1Frame.tlsKeyAgreementWithAppCert(config()->tlsAppCer(), config()->tlsTwoCer(), n1);
        ASSERT_FALSE(m1.empty());
        sim::SimLanFrame sent = deliver(m1Frame);
        EXPECT_EQ(sent.msgType, 0x75);
        EXPECT_EQ(sent.encryptType, 0);
        EXPECT_TRUE(sent.isSign);
        EXPECT_EQ(sent.body, m1);

        auto m2 = QKCommonProtocol::dicForAesKeyTLSReplyWithData(
            reply(version, sim.answerM1(sent.body).value()));
        ASSERT_TRUE(m2);
        Dictionary dict = *m2;
        dict.set("tlsRandomN1", n1);
        dict.set("tlsDataM1", m1);
        Bytes n2 = dict["randomData"].bytes();
        Dictionary checked = QKCommonProtocol::checkTLSKeyAgreementBackDict(dict, {});
        ASSERT_FALSE(checked.contains("errCode"));
        Bytes key = checked["tlsSessionKey"].bytes();

        QKProtocol m3Frame(version, std::nullopt, counter++);
        Bytes m3 = m3Frame.tlsKeyAgreementConfirmWithFincData(checked["finscData"].bytes());
        EXPECT_EQ(m3.size(), 35u);
        sent = deliver(m3Frame);
        EXPECT_EQ(sent.body, m3);
        auto m4 = QKCommonProtocol::dicForAesKeyTLSReplyWithData(
            reply(version, sim.answerM3(sent.body).value()));
        ASSERT_TRUE(m4);
        m4->set("tlsSessionKey", key);
        m4->set("tlsRandomN2", n2);
        EXPECT_EQ(QKCommonProtocol::checkTLSAuthSecretReply(*m4)["errCode"].intValue(), 0);
        EXPECT_EQ(key, sim.sessionKey());

        codec.setSessionKey(sim.sessionKey());
        QKProtocol sealed(3, key, counter++);
        sealed.checkFormerConfigInfo();
        sent = deliver(sealed);
        EXPECT_EQ(sent.encryptType, 2);
        EXPECT_EQ(sent.body, (Bytes{0x01, 0x00, 0x00}));
    }
}

TEST_F(LanKeyAgreement, BuildersRefuseBodiesThatDoNotFit) {
    QKProtocol m1Frame(1, std::nullopt, 0);
    EXPECT_TRUE(
        m1Frame.tlsKeyAgreementWithAppCert(Bytes(0x10000, 1), Bytes(4, 2), Bytes(16, 3)).empty());
    EXPECT_TRUE(m1Frame.getByteStream().empty());

    QKProtocol m3Frame(1, std::nullopt, 0);
    EXPECT_TRUE(m3Frame.tlsKeyAgreementConfirmWithFincData(Bytes(256, 1)).empty());
    EXPECT_TRUE(m3Frame.getByteStream().empty());

    QKProtocol bind(1, std::nullopt, 0);
    EXPECT_EQ(bind.tlsKeyAgreementValidBindToken(Bytes{0xAB, 0xCD}),
              (Bytes{0x01, 0x01, 0x02, 0x00, 0xAB, 0xCD}));
    EXPECT_EQ(bind.msgType(), 0x09);
    EXPECT_EQ(bind.encryptType(), 1);  // as the version-1 constructor chose it
    sim::SimLanFrame sent = deliver(bind);
    EXPECT_EQ(sent.body, (Bytes{0x01, 0x01, 0x02, 0x00, 0xAB, 0xCD}));
}

}  // namespace
}  // namespace telvo
