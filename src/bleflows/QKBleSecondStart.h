#pragma once

#include <memory>

#include "blecore/QKBLEBaseConnect.h"
#include "core/QKTool.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

// The common end of a second-generation or wired start, once the flow has copied the parameters
// and stored the blocks: the device record's BLE version, the target serial from the extras, the
// parameter check (a failure ends the run at once), the mode and the router BSSID. A pre-connect
// run (mode 0) only connects; any other run starts the overall timer, then sends the settings on
// a link a pre-connect run left up (once that run got its answer) or connects.
template <class Flow>
void continueSecondFamilyStart(Flow& flow, const QKDeviceBleConfigParams& params) {
    flow.deviceRecord().bleVersion = "1";
    if (const Value& tsn = params.extras[kQKSDKTSN]; tsn.isText()) flow.dsn = tsn.text();

    if (ErrorPtr error = flow.checkParamIntegrity()) {
        flow.finalResultWithError(error, nullptr, true);
        return;
    }
    flow.mode = params.bleSecondConfigType;
    flow.setRouterBSSID(params.routerBSSID);
    flow.releaseTotalTimer();
    if (flow.mode == 0) {
        flow.connect();
        return;
    }
    flow.startTotalTimer();
    if (flow.peripheral() && flow.peripheral()->state() == CBPeripheralState::Connected) {
        if (flow.hasSendConfigPremode) flow.sendConfigInfo();
    } else if (!flow.isConnecting()) {
        flow.connect();
    }
}

}  // namespace telvo
