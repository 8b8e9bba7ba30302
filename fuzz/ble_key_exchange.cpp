// The BLE session reading one reply of the appliance's key exchange. The first byte picks the
// exchange: bit 0 set, the certificate agreement of protocol 3 (0x10, plain); else the classic
// exchange (0x01, sealed under the root key) of protocol (byte >> 1) % 3. The rest is the reply's
// body, framed as an appliance sends it. The session has sent M1 (or the public-key request)
// before; for an M4 it holds the session key and N2 the seed corpus seals with. Whatever the
// body, the session ends at most once and with a key-exchange code, and it leaves the root key
// only by reporting state 4.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "blecore/QKBLEBaseConnect.h"
#include "blecore/QKBLEProtocol.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Diagnostics.h"
#include "sim/BleSessionPeer.h"
#include "telvosdk/TelvoError.h"

using namespace telvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const bool ready = [] {
        setPlainLogSink([](std::string_view) {});
        Dispatch::enableDeterministicMode();
        return true;
    }();
    (void)ready;
    const bool certificate = data[0] & 1;
    const int version = certificate ? 3 : (data[0] >> 1) % 3;
    const ByteView body(data + 1, size - 1);

    auto session = QKBLEBaseConnect::initWithParam(QKDeviceBleConfigParams{});
    using Peer = QKBLEBaseConnectTestPeer;
    session->deviceRecord().protocolType = version;
    Peer::aesKey(*session) = session->rootKey();
    Peer::tlsRandomN1(*session) = Bytes(16, 0x01);
    Peer::tlsDataM1(*session) = Bytes{0x01, 0x01};
    Peer::tlsSessionKey(*session) = Bytes(16, 0x2B);
    Peer::tlsRandomN2(*session) = Bytes(16, 0x07);
    int ends = 0;
    int64_t code = 0;
    std::vector<int64_t> states;
    session->setBlocks([&](int64_t state) { states.push_back(state); },
                       [&](const ErrorPtr& error, const std::shared_ptr<QKDevice>&) {
                           ++ends;
                           code = TelvoError::codeForSDKError(error);
                       });

    auto frame = QKBLEProtocol::getProtocolDataWithMsgBody(body, Peer::aesKey(*session),
                                                           certificate ? 0x10 : 0x01, version, 1);
    if (!frame) return 0;
    session->receiveBleData(*frame);
    MainLoop::drain();

    const bool keyed = std::find(states.begin(), states.end(), 4) != states.end();
    if (ends > 1) __builtin_trap();
    if (ends && code != 4051 && code != 4052 && code != 4184 && code != 4185) __builtin_trap();
    if (ends && keyed) __builtin_trap();
    if (!ends && !keyed && Peer::aesKey(*session) != session->rootKey()) __builtin_trap();
    if (keyed && certificate && Peer::aesKey(*session) != Peer::tlsSessionKey(*session))
        __builtin_trap();
    session->stopConfig();
    session.reset();
    MainLoop::drain();
    return 0;
}
