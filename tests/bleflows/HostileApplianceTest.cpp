// The second-generation flow against an appliance that does not play by the rules of the key
// exchange: it speaks before the exchange under the public root key, its certificate chain is
// under another root, or its public key cannot be used. The home router's password never goes
// out before the key is agreed, and an unusable key ends the run at once.
#include "SecondFlowFixture.h"
#include "sim/SimBleFlows.h"

namespace telvo::test {
namespace {

using Key = sim::SimBleModule::ClassicKey;
using Misbehaviour = SimKeyAgreement::Misbehaviour;

struct HostileRow {
    const char* name;
    int version;
    bool statusFirst;  // a short status "not configured" as soon as notifications are on
    std::optional<Key> key;
    std::optional<Misbehaviour> agreement;
    int64_t code;
    double at;  // virtual seconds from the start to the end; < 0: not checked
    std::vector<int> steps;
};

class HostileAppliance : public SecondFlowFixture,
                         public ::testing::WithParamInterface<HostileRow> {};

TEST_P(HostileAppliance, CredentialsWaitForTheAgreedKey) {
    const HostileRow& row = GetParam();
    auto m = makeModule(row.version);
    if (row.statusFirst) m->framesOnSubscribe = {{0x63, {0x01, 0x00, 0x00}}};
    if (row.key) m->classicKey = *row.key;
    if (row.agreement) m->keyAgreement().setMisbehaviour(*row.agreement);
    // The settings every appliance version asks for (a version-3 one wants them all).
    auto params = secondParams();
    for (const auto& kind : sim::simBleFlowKinds())
        if (kind.command == "second") params = sim::simBleFlowParams(kind, params.peripheral);
    const double begin = now();
    start(params);
    ASSERT_EQ(onlyEndAfter(), row.code);
    if (row.at >= 0) {
        EXPECT_NEAR(ends[0].at - begin, row.at, 1e-6);
    }
    EXPECT_EQ(steps, row.steps);
    // What the appliance received, in order: no Wi-Fi settings before it held the agreed key.
    bool keyed = false;
    size_t settings = 0;
    for (const auto& op : m->log()) {
        if (op.op == "key") keyed = true;
        if (op.op != "receive" || op.msgType != 0x69) continue;
        ++settings;
        EXPECT_TRUE(keyed) << "Wi-Fi settings under the root key";
    }
    EXPECT_EQ(settings, row.code == 0 ? 1u : 0u);
    EXPECT_TRUE(m->log("credentials").size() == settings);
}

const std::vector<int> kKeyed{1, 2, 3};
const std::vector<int> kDone{1, 2, 3, 4, 6, 5, 11, 7, 8, 9, 12};

INSTANTIATE_TEST_SUITE_P(
    Table, HostileAppliance,
    ::testing::Values(
        HostileRow{"StatusBeforeKeyIsNotHeard", 2, true, {}, {}, 0, -1, kDone},
        HostileRow{
            "RogueChainGetsNothing", 3, true, {}, Misbehaviour::UntrustedChain, 4184, 0.31, kKeyed},
        HostileRow{"KeyAtInfinity", 2, false, Key::Infinity, {}, 4051, 0.21, kKeyed},
        HostileRow{"KeyOf32Bytes", 2, false, Key::HalfKey, {}, 4051, 0.21, kKeyed},
        HostileRow{"KeyAtInfinityAfterStatus", 1, true, Key::Infinity, {}, 4051, 0.21, kKeyed}),
    [](const ::testing::TestParamInfo<HostileRow>& info) { return std::string(info.param.name); });

// The link is lost during a run and comes back; while its key is being agreed again, the app
// hands in a new password. It does not go out under the root key: the run sends it once the
// key is agreed and ends 0.
TEST_F(SecondFlowFixture, AResumeWaitsForTheKeyOfANewLink) {
    auto m = makeModule(2);
    m->addFault({sim::SimBleModule::Fault::LinkLoss, 0x63});
    auto params = secondParams();
    start(params);
    auto session = manager()->ble();
    ASSERT_TRUE(session);
    ASSERT_TRUE(MainLoop::runUntil(
        [&] {
            return m->log("connected").size() == 2 &&
                   session->peripheral()->state() == CBPeripheralState::Connected;
        },
        10));
    EXPECT_FALSE(session->isKeyAgreed());

    params.routerPwd = "better-pass";
    manager()->resumeConfigWithParams(params);
    ASSERT_EQ(onlyEndAfter(), 0);
    bool keyed = false;
    for (const auto& op : m->log()) {
        if (op.op == "connected") keyed = false;
        if (op.op == "key") keyed = true;
        if (op.op == "receive" && op.msgType == 0x69) {
            EXPECT_TRUE(keyed) << "Wi-Fi settings under the root key";
        }
    }
    ASSERT_FALSE(m->log("credentials").empty());
    EXPECT_NE(m->log("credentials").back().detail.find("password=better-pass"), std::string::npos);
}

}  // namespace
}  // namespace telvo::test
