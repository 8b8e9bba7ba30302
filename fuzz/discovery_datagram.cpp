// Received discovery datagrams through the endpoint's reply handling into observers that merge
// and filter them (one reporting every match, one collecting for a time-out). Records carry
// over from input to input, so merges meet earlier inputs.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "discovery/QKBroadcastObserver.h"
#include "discovery/QKUDPConnect.h"
#include "platform/dispatch/MainLoop.h"
#include "telvosdk/QKSDKConstants.h"

using namespace telvo;

namespace {

struct Observers {
    std::shared_ptr<QKBroadcastObserver> every;
    std::shared_ptr<QKBroadcastObserver> collecting;
    Observers() {
        auto filter = std::make_shared<QKBroadcastFilter>();
        filter->addRulesWithFilterType(2, {"ac", "net_ac_1234"});
        filter->addRulesWithFilterType(0, {"0000AC11122233344455566677788899"});
        filter->setIsCheckDeviceID(true);
        auto none = std::make_shared<const QKBroadcastCompletionBlock>([](const Value::Array&) {});
        every = QKBroadcastObserver::initWithFilter(filter, 0, 2, none);
        collecting = QKBroadcastObserver::initWithFilter(nullptr, 0, 0, none);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::configureApDefaultKey();
    static Observers observers;
    const Bytes datagram(data, data + size);
    auto dic = QKUDPConnect::deviceDicFromDatagram(datagram);
    if (!dic) return 0;
    if (!dic->dictionary().contains(kQKSDKDeviceId) || (*dic)["oriUdpData"].bytes() != datagram)
        __builtin_trap();
    observers.every->updateWithDeviceInfor(dic);
    observers.collecting->updateWithDeviceInfor(dic);
    if (observers.collecting->deviceCount() > 256) {
        observers.every->deviceArrayRemoveAll();
        observers.collecting->deviceArrayRemoveAll();
    }
    MainLoop::drain();  // the reports
    return 0;
}
