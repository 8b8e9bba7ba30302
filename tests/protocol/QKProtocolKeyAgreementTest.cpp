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
    // Sends a built frame to the appliance: the appliance reads it strictly.
    sim::SimLanFrame deliver(QKProtocol& frame) {
        Bytes bytes = frame.getByteStream();
        std::string why;
        auto read = codec.read(bytes, &why);
        EXPECT_TRUE(read) << why;
        return read.value_or(sim::SimLanFrame{});
    }

    sim::SimLanCodec codec{kDefaultKey};
};

// M1 and M3 travel in plain, signed 0x75 frames of either reported version, with the bodies the
// body builders make (those run the whole agreement against the simulated appliance; framing
// and the session key's CCM frames are the frame tests').
TEST_F(LanKeyAgreement, M1AndM3InPlainSignedFrames) {
    const test::SimKeyAgreement sim;
    const auto& c = sim.appCredentials();
    const Bytes n1(16, 0x5A), fins(32, 0xF1);
    for (int8_t version : {int8_t{1}, int8_t{3}}) {
        SCOPED_TRACE(version);
        QKProtocol m1Frame(version, std::nullopt, 40), m3Frame(version, std::nullopt, 41);
        const Bytes m1 = m1Frame.tlsKeyAgreementWithAppCert(c.appCer, c.twoCer, n1);
        EXPECT_EQ(m1, QKCommonProtocol::msgBodyM1WithAppCert(c.appCer, c.twoCer, n1));
        const Bytes m3 = m3Frame.tlsKeyAgreementConfirmWithFincData(fins);
        EXPECT_EQ(m3, QKCommonProtocol::msgBodyTLSAuthSecretKey(fins));
        for (auto [frame, body] : {std::pair{&m1Frame, m1}, {&m3Frame, m3}}) {
            sim::SimLanFrame sent = deliver(*frame);
            EXPECT_EQ(sent.msgType, 0x75);
            EXPECT_EQ(sent.encryptType, 0);
            EXPECT_TRUE(sent.isSign);
            EXPECT_EQ(sent.body, body);
        }
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
