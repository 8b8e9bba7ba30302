#include "sim/SimBleFlows.h"

#include "blecore/QKBLEDeviceManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "telvosdk/QKConfigAction.h"
#include "telvosdk/QKConfigStatus.h"
#include "telvosdk/QKDeviceConfigManager.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/TelvoError.h"

namespace telvo::sim {

namespace {

using Fault = SimBleModule::Fault;
using Step = std::function<void(int64_t)>;
using Completion = std::function<void(const ErrorPtr&, const std::shared_ptr<QKDevice>&)>;

uint8_t lastAnswer(const SimBleFlowKind& flow) {
    return flow.phases.back().second;
}

constexpr const char* kPresencePath = "/v1/appliance/sn/apExists";

// The flow's cloud call fails every time with this reply.
void failCloud(SimBleHome& home, const SimBleFlowKind& flow, const test::ScriptedReply& reply) {
    home.api.script(flow.cloudPath, std::vector<test::ScriptedReply>(400, reply));
}

// The combo appliance's confirmation: the app asks for it, the user confirms at the appliance
// 3 s later, and the appliance reports the authorisation.
void confirmAtTheAppliance(SimBleModule& module,
                           const std::function<void(const std::string&)>& note) {
    auto action = std::make_shared<QKConfigAction>();
    action->actionType = 1;
    note("app: doConfigureAction:resultCallback:statusChangeCallBack: action type 1");
    QKDeviceConfigManager::shareInstance()->doConfigureAction(
        action,
        [note](ErrorPtr error, std::shared_ptr<QKConfigStatus>) {
            note("result: confirmation set, code " +
                 std::to_string(TelvoError::codeForSDKError(error)));
        },
        [note](ErrorPtr error, std::shared_ptr<QKConfigStatus> status) {
            note("status change: code " + std::to_string(TelvoError::codeForSDKError(error)) +
                 (status ? ", authType " + std::to_string(status->authType) : ""));
        });
    module.perform([](SimBleModule& m) { m.reportAuthState(2); }, 3);
    MainLoop::runFor(5);
}

}  // namespace

std::vector<SimBleFlowKind> simBleFlowKinds() {
    std::vector<SimBleFlowKind> kinds;
    kinds.push_back({
        .command = "combo",
        .title = "combo bind (bleType 3): status, bind with a fresh token, link kept",
        .bleType = 3,
        .params = [](QKDeviceBleConfigParams& p) { p.bleBindActionType = 2; },
        .phases = {{"status", 0x63}, {"bind", 0x04}},
        .stall =
            [](SimBleModule& m) {
                m.setAnswer(0x04, {0x03, 0x01, 0x02});
            },
        // The flow takes a link that is up down and connects again.
        .owed = {{"already-connected", 0}},
        .afterSuccess = confirmAtTheAppliance,
    });
    kinds.push_back({
        .command = "second",
        .title = "second generation (bleType 1): status, Wi-Fi settings, reports, cloud check",
        .bleType = 1,
        .params = [](QKDeviceBleConfigParams& p) { p.bleSecondConfigType = 1; },
        .phases = {{"status", 0x63}, {"wifi", 0x69}},
        .stall =
            [](SimBleModule& m) {
                m.joinStages = {1, 2};
                m.linkCloud(nullptr);
            },
        .cloudPath = kPresencePath,
    });
    kinds.push_back({
        .command = "first",
        .title = "first generation (bleType 0): status, router settings, cloud check",
        .bleType = 0,
        .version = 0,
        .phases = {{"status", 0x63}, {"router", 0x68}},
        .stall = [](SimBleModule& m) { m.linkCloud(nullptr); },
        .cloudPath = kPresencePath,
        // The cloud check's time-out reports the last failure's code (a request that times
        // out is 9002).
        .owed = {{"cloud-5xx", 9002}, {"token-invalid", 40001}, {"cloud-silent", 9002}},
    });
    kinds.push_back({
        .command = "first-by-name",
        .title = "first generation by class name (bleType 98): as bleType 0, link kept",
        .bleType = 98,
        .version = 0,
        .phases = {{"status", 0x63}, {"router", 0x68}},
        .stall = [](SimBleModule& m) { m.linkCloud(nullptr); },
        .cloudPath = kPresencePath,
        .owed = {{"cloud-5xx", 9002}, {"token-invalid", 40001}, {"cloud-silent", 9002}},
    });
    kinds.push_back({
        .command = "wired",
        .title = "wired gateway (bleType 11): status, wired body over the cable, online report",
        .bleType = 11,
        .params =
            [](QKDeviceBleConfigParams& p) {
                p.bleSecondConfigType = 1;
                p.isWiredConfigurable = true;
                p.isWiredStatus = true;
            },
        .prepare = [](SimBleModule& m) { m.cablePlugged = true; },
        .phases = {{"status", 0x63}, {"config", 0x69}},
        .stall =
            [](SimBleModule& m) {
                m.joinStages = {1, 2};
                m.linkCloud(nullptr);
            },
        .cloudPath = kPresencePath,
    });
    kinds.push_back({
        .command = "retry",
        .title = "retry (bleType 10): bind code, status, router update of a configured appliance",
        .bleType = 10,
        .params =
            [](QKDeviceBleConfigParams& p) {
                p.bleSecondConfigType = 1;
                p.bindCode = "0123456789abcdef";
            },
        .prepare =
            [](SimBleModule& m) {
                SimBleAdvertisement adv = m.advertisement();
                adv.flags1 = 0x03;  // a double module on Wi-Fi
                m.setAdvertisement(adv);
            },
        .phases = {{"bind", 0x04}, {"status", 0x63}, {"update", 0x67}},
        .stall =
            [](SimBleModule& m) {
                m.joinStages = {1, 2};
                m.linkCloud(nullptr);
            },
        .cloudPath = kPresencePath,
        // No overall time-out: a run that never gets its link keyed never ends.
        .owed = {{"connect-hangs", kNoCompletion}, {"already-connected", kNoCompletion}},
    });
    kinds.push_back({
        .command = "special",
        .title = "special mode (bleType 12): demonstration mode on",
        .bleType = 12,
        .params = [](QKDeviceBleConfigParams& p) { p.specialModeType = 1; },
        .phases = {{"special", 0x0E}},
        .stall =
            [](SimBleModule& m) {
                m.setAnswer(0x0E, {0x00, 0x00, 0x00});
            },
        .owed = {{"already-connected", 0}},
    });
    kinds.push_back({
        .command = "single",
        .title = "single BLE (bleType 2): random token, status, the record at once",
        .bleType = 2,
        .phases = {{"token", 0x03}, {"status", 0x63}},
        .stall =
            [](SimBleModule& m) {
                m.setAnswer(0x63, {0x01, 0x00, 0x05});
            },
    });
    kinds.push_back({
        .command = "bridge",
        .title = "network bridge (bleType 4): status, cloud registration, ids, mesh key and "
                 "addresses, random token",
        .bleType = 4,
        .params = [](QKDeviceBleConfigParams& p) { p.familyId = "42"; },
        .prepare =
            [](SimBleModule& m) {
                SimBleAdvertisement adv = m.advertisement();
                adv.flags3 = 0x10;  // a new-generation mesh bridge
                m.setAdvertisement(adv);
            },
        .phases = {{"status", 0x63}, {"ids", 0x09}, {"mesh", 0x20}, {"token", 0x03}},
        .stall = [](SimBleModule& m) { m.meshResult = 0x02; },
        .cloudPath = "/v1/appliance/register",
        // A failed call ends the run with the cloud client's composite code nested in a type-3
        // error: the plain code is the client's whole code.
        .owed = {{"cloud-5xx", 319002}, {"token-invalid", 3440001}, {"cloud-silent", 319002}},
    });
    return kinds;
}

std::vector<SimBleFault> simBleFaults(const SimBleFlowKind& flow) {
    std::vector<SimBleFault> out;
    out.push_back({"clean", "no fault", {}, {}, [](auto&, auto&, auto&) {}});
    // The session takes a lost link up again and the flow starts over from its first command.
    std::vector<std::pair<std::string, uint8_t>> phases{{"key", 0x01}};
    phases.insert(phases.end(), flow.phases.begin(), flow.phases.end());
    for (const auto& [phase, type] : phases)
        out.push_back({"loss@" + phase,
                       "the link drops instead of the " + phase + " answer",
                       {},
                       {},
                       [type = type](SimBleHome&, SimBleModule& m, const SimBleFlowKind&) {
                           m.addFault({Fault::LinkLoss, type});
                       }});
    // Three refused reconnects, then the session gives up (also without an overall timer).
    out.push_back({"gone",
                   "the link drops and the appliance takes no new connection",
                   {},
                   4085,
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind& f) {
                       m.setHandler(lastAnswer(f), [](SimBleModule& mm, const SimBleFrame&) {
                           mm.appliance().connectOutcome = SimBleAppliance::ConnectOutcome::Fail;
                           mm.loseLink();
                       });
                   }});
    // Four writes 5 s apart, then the session gives up.
    out.push_back({"no-answer",
                   "the appliance never answers the first command",
                   {},
                   4179,
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind& f) {
                       m.setHandler(f.phases.front().second,
                                    [](SimBleModule&, const SimBleFrame&) {});
                   }});
    // An answer that cannot be read is dropped; the resend 5 s later is answered.
    for (auto [name, kind, what] :
         {std::tuple{"garbage", Fault::Garbage,
                     "the last answer arrives as bytes that are no frame"},
          {"wrong-key", Fault::WrongKey, "the last answer is sealed under another key"},
          {"duplicate", Fault::Duplicate, "the last answer arrives twice"},
          {"lying-length", Fault::LyingLength,
           "the last answer arrives as a frame start claiming 65535 bytes"}})
        out.push_back({name,
                       what,
                       {},
                       {},
                       [kind = kind](SimBleHome&, SimBleModule& m, const SimBleFlowKind& f) {
                           m.addFault({kind, lastAnswer(f)});
                           return true;
                       }});
    // The counter window takes counters that go back.
    out.push_back({"old-counter",
                   "a version-3 appliance's last answer carries an old counter",
                   3,
                   {},
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind& f) {
                       m.addFault({Fault::Counter, lastAnswer(f), 0, 1});
                   }});
    out.push_back({"busy",
                   "the appliance refuses the first two writes",
                   {},
                   {},
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind&) { m.refuseWrites(2); }});
    // Discovery of the configuration service or of its characteristics fails.
    out.push_back({"service-error",
                   "the appliance's service discovery fails",
                   {},
                   4086,
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind&) {
                       m.appliance().serviceDiscoveryError = CBATTError::UnlikelyError;
                   }});
    out.push_back({"characteristic-error",
                   "the appliance's characteristic discovery fails",
                   {},
                   4087,
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind&) {
                       m.appliance().characteristicDiscoveryError =
                           CBATTError::InsufficientResources;
                   }});
    // Held by another phone, the appliance takes no connection: the flow's timer ends it.
    out.push_back({"connect-hangs",
                   "the appliance, busy with another phone, never completes the connection",
                   {},
                   4089,
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind&) {
                       m.appliance().connectOutcome = SimBleAppliance::ConnectOutcome::Hang;
                   }});
    out.push_back({"already-connected",
                   "the phone's link to the appliance is up before the flow starts",
                   {},
                   4089,
                   [](SimBleHome&, SimBleModule&, const SimBleFlowKind&) {},
                   false,
                   [](const CBPeripheralPtr& p) {
                       QKBLEDeviceManager::shareInstance()->centralManager()->connectPeripheral(p);
                       MainLoop::runUntil(
                           [&p] { return p->state() == CBPeripheralState::Connected; }, 5);
                   }});
    // Malformed classic key exchanges (protocol versions 0 to 2).
    for (auto [name, key, code, what] :
         {std::tuple{"key-short", SimBleModule::ClassicKey::ShortKey, int64_t{4051},
                     "the public key answer holds 63 bytes of key"},
          {"key-infinity", SimBleModule::ClassicKey::Infinity, int64_t{4051},
           "the public key is the point at infinity, 00"},
          {"key-half", SimBleModule::ClassicKey::HalfKey, int64_t{4051},
           "the public key answer holds 32 bytes of key"},
          {"key-prefixed", SimBleModule::ClassicKey::PrefixedKey, int64_t{4051},
           "the public key answer holds the 65-byte point, prefix first"},
          {"key-off-curve", SimBleModule::ClassicKey::OffCurve, int64_t{4051},
           "the public key is no point of the curve"},
          {"auth-encoding", SimBleModule::ClassicKey::AuthEncoding, int64_t{4052},
           "the authentication answer names another encoding"},
          {"auth-refused", SimBleModule::ClassicKey::AuthRefused, int64_t{4052},
           "the appliance refuses the authentication"}})
        out.push_back({name,
                       what,
                       {},
                       code,
                       [key = key](SimBleHome&, SimBleModule& m, const SimBleFlowKind&) {
                           m.classicKey = key;
                       }});
    // The certificate agreement of a version-3 appliance, each check failing in turn.
    using Misbehaviour = test::SimKeyAgreement::Misbehaviour;
    for (auto [name, misbehaviour, code, what] :
         {std::tuple{"cert-untrusted", Misbehaviour::UntrustedChain, int64_t{4184},
                     "the appliance's certificate chains to another root"},
          {"cert-expired", Misbehaviour::ExpiredCertificate, int64_t{4184},
           "the appliance's certificate has expired"},
          {"fins-altered", Misbehaviour::AlteredFins, int64_t{4184},
           "the appliance's fins signature is altered"},
          {"m4-short", Misbehaviour::ShortM4, int64_t{4185}, "M4 seals 16 bytes only"},
          {"m4-result", Misbehaviour::M4ResultNotZero, int64_t{4185},
           "M4's result byte is not zero"},
          {"m4-n2", Misbehaviour::WrongN2, int64_t{4185}, "M4 echoes another random number"}})
        out.push_back({name, what, 3, code,
                       [m4 = misbehaviour](SimBleHome&, SimBleModule& m, const SimBleFlowKind&) {
                           m.keyAgreement().setMisbehaviour(m4);
                       }});
    // A hostile appliance speaks before the key exchange: a short status "not configured"
    // under the public root key, as soon as notifications are on. It is not heard; a version-3
    // appliance whose chain is under another root does the same and is refused.
    out.push_back({"status-before-key",
                   "a short status (not configured) under the root key before the key exchange",
                   {},
                   {},
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind&) {
                       m.framesOnSubscribe = {{0x63, {0x01, 0x00, 0x00}}};
                   }});
    out.push_back({"rogue-status-first",
                   "a version-3 appliance of another root sends that status before the exchange", 3,
                   4184, [](SimBleHome&, SimBleModule& m, const SimBleFlowKind&) {
                       m.keyAgreement().setMisbehaviour(
                           test::SimKeyAgreement::Misbehaviour::UntrustedChain);
                       m.framesOnSubscribe = {{0x63, {0x01, 0x00, 0x00}}};
                   }});
    out.push_back({"pieces",
                   "the last answer arrives in three notifications, cut at bytes 1 and 5",
                   {},
                   {},
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind& f) {
                       m.addFault({Fault::Pieces, lastAnswer(f), 0, 0, {1, 5}});
                   }});
    // The counter window takes counters that repeat or go back.
    out.push_back({"counter-repeat",
                   "a version-3 appliance's last answer repeats the counter before it",
                   3,
                   {},
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind& f) {
                       m.addFault({Fault::CounterRepeat, lastAnswer(f)});
                   }});
    out.push_back({"counter-back",
                   "a version-3 appliance's counter goes back by two at the last answer",
                   3,
                   {},
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind& f) {
                       m.addFault({Fault::CounterBack, lastAnswer(f), 0, 2});
                   }});
    out.push_back({"cloud-5xx",
                   "every call of the flow to the cloud fails with 503",
                   {},
                   {},
                   [](SimBleHome& home, SimBleModule&, const SimBleFlowKind& f) {
                       failCloud(home, f, {.status = 503});
                   },
                   true});
    out.push_back({"token-invalid",
                   "the cloud answers every call of the flow: token invalid",
                   {},
                   {},
                   [](SimBleHome& home, SimBleModule&, const SimBleFlowKind& f) {
                       failCloud(home, f, test::SimCloudApi::tokenInvalid());
                   },
                   true});
    // The cloud answers in virtual time: never, or 20 s late, every call of the flow.
    out.push_back({"cloud-silent",
                   "the cloud never answers a call of the flow",
                   {},
                   {},
                   [](SimBleHome& home, SimBleModule&, const SimBleFlowKind& f) {
                       home.cloud.answerInVirtualTime();
                       home.api.delay(f.cloudPath, std::vector<std::optional<double>>(400));
                   },
                   true});
    out.push_back({"cloud-slow",
                   "the cloud answers every call of the flow 20 s late",
                   {},
                   {},
                   [](SimBleHome& home, SimBleModule&, const SimBleFlowKind& f) {
                       home.cloud.answerInVirtualTime();
                       home.api.delay(f.cloudPath, std::vector<std::optional<double>>(400, 20.0));
                   },
                   true});
    out.push_back({"time-out",
                   "the run never gets to its end",
                   {},
                   4089,
                   [](SimBleHome&, SimBleModule& m, const SimBleFlowKind& f) { f.stall(m); }});
    return out;
}

int64_t owedCode(const SimBleFlowKind& flow, const SimBleFault& fault) {
    auto it = flow.owed.find(fault.name);
    return it != flow.owed.end() ? it->second : fault.code.value_or(0);
}

QKDeviceBleConfigParams simBleFlowParams(const SimBleFlowKind& flow, CBPeripheralPtr peripheral) {
    QKDeviceBleConfigParams params = SimBleHome::routerParams(std::move(peripheral));
    // Every setting a version-3 appliance asks for (it advertises the function settings and a
    // region id).
    params.moduleServerDomain = "iot.example.test";
    params.moduleServerPort = "443";
    params.functionType = "1";
    params.adsClusterId = "2";
    params.channelList = {Value(Dictionary{{kQKSDKConfigFirstChannelNumber, 1},
                                           {kQKSDKConfigChannelCount, 13},
                                           {kQKSDKConfigChannelMaxPower, 20}})};
    params.bleType = flow.bleType;
    flow.params(params);
    return params;
}

SimBleRun runSimBleFlow(
    const SimBleFlowKind& flow, const SimBleFault& fault, const std::function<void(int64_t)>& step,
    const std::function<void(const ErrorPtr&, const std::shared_ptr<QKDevice>&)>& completion,
    const std::function<void(SimBleHome&, SimBleModule&)>& started,
    const std::function<void(const std::string&)>& note) {
    SimBleRun run;
    SimBleHome home;
    SimBleAdvertisement advertisement;
    advertisement.version = fault.version.value_or(flow.version);
    auto module = home.addModule(advertisement);
    flow.prepare(*module);
    run.applies = fault.appliesTo(flow);
    if (!run.applies) return run;
    fault.apply(home, *module, flow);
    const CBPeripheralPtr peripheral = SimBleHome::find(*module);
    if (fault.beforeStart) fault.beforeStart(peripheral);
    QKDeviceBleConfigParams params = simBleFlowParams(flow, peripheral);
    if (started) started(home, *module);

    const double begin = Clock::now();
    // As an app starts it: through the configuration entry, which goes to the dispatcher or
    // creates the flow by its class name.
    auto shared = std::make_shared<QKDeviceBleConfigParams>(params);
    auto entry = QKDeviceConfigManager::shareInstance();
    entry->startBleConfig(
        shared,
        [step](int64_t s) {
            if (step) step(s);
        },
        [&run, begin, completion](const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) {
            if (run.completions++ == 0) {
                run.code = TelvoError::codeForSDKError(error);
                run.at = Clock::now() - begin;
                run.device = device;
            }
            if (completion) completion(error, device);
        });
    MainLoop::runUntil([&run] { return run.completions > 0; }, 400);
    if (run.code == 0 && flow.afterSuccess)
        flow.afterSuccess(*module, [&note](const std::string& text) {
            if (note) note(text);
        });
    MainLoop::runFor(30);
    entry->stopBleConfig(shared);
    MainLoop::drain();
    return run;
}

}  // namespace telvo::sim
