#pragma once

// The library's entry header for an app.

#include <functional>

// Shared records, errors, keys and the configuration entry points (Wi-Fi and BLE).
#include "telvosdk/CBPeripheralQKExtensions.h"
#include "telvosdk/Export.h"
#include "telvosdk/QKBLEDeviceManager.h"
#include "telvosdk/QKBleConnectManager.h"
#include "telvosdk/QKBluetooth.h"
#include "telvosdk/QKBluetoothRhythm.h"
#include "telvosdk/QKBluetoothToy.h"
#include "telvosdk/QKConfigAction.h"
#include "telvosdk/QKConfigStatus.h"
#include "telvosdk/QKDataTransform.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceApConfigParams.h"
#include "telvosdk/QKDeviceBleConfigParams.h"
#include "telvosdk/QKDeviceConfigManager.h"
#include "telvosdk/QKDeviceManager.h"
#include "telvosdk/QKEllipticCurveCrypto.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKRefreshDelegate.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/QKTcpSocketTaskItem.h"
#include "telvosdk/TelvoAPPAdapter.h"
#include "telvosdk/TelvoBleTool.h"
#include "telvosdk/TelvoError.h"
#include "telvosdk/TelvoOpenProtocol.h"
// What the app sets up: the settings store, the log folders and key, the network it runs on.
#include "telvosdk/KorvoDDLog.h"
#include "telvosdk/NetworkConfiguration.h"
#include "telvosdk/QKSDKLog.h"
#include "telvosdk/QKUserDefault.h"
// Images: the decoder of the formats the library reads.
#include "telvosdk/QKImage.h"

namespace telvo {

// The library's version text, "major.minor.patch".
TELVO_EXPORT const char* TelvoSDKVersion();

// Registers every class the library looks up by name at run time. Safe to call more than
// once and from any thread; the first call does the work.
TELVO_EXPORT void TelvoSDKInitialize();

// The main loop runs the library's timers and sockets and every callback documented to run on the
// main queue. An app either drives it from one thread of its own, or lets the library run it on a
// thread of its own; never both at once.
// Runs the loop on the calling thread until TelvoSDKStopMainLoop().
TELVO_EXPORT void TelvoSDKRunMainLoop();
// Makes TelvoSDKRunMainLoop() return; callable from any thread, also from a callback.
TELVO_EXPORT void TelvoSDKStopMainLoop();
// Starts the library's own loop thread; does nothing when it already runs.
TELVO_EXPORT void TelvoSDKStartMainLoopThread();
// Stops the library's loop thread and waits for it; does nothing when it does not run or when
// called on that thread.
TELVO_EXPORT void TelvoSDKStopMainLoopThread();
// Queues the block on the main queue, after the blocks already there; callable from any thread.
// An app whose own threads do not run the loop reaches the configuration facades this way, since
// they are called on the main thread.
TELVO_EXPORT void TelvoSDKPerformOnMainQueue(std::function<void()> block);

// The app tells the library that it went to the background or is coming back to the
// foreground. In the background the LAN discovery probe stops if it was running (a scan already
// running then hears nothing new; a scan started while in the background switches the probe on
// and hears the appliances' answers) and the scans' collected appliances are forgotten; back in
// the foreground they are forgotten again, the probe starts again if it was running at the move
// to the background, the UDP sockets' reading resumes and a confirmation's cloud query that was
// held is sent again. Callable from any thread; the change is never made inside the call: it is
// queued to the main queue, behind the blocks already there, so calls take effect in the order
// they were made. Only a change counts: a second background call, or a foreground call while
// not in the background, does nothing. The library starts in the foreground.
TELVO_EXPORT void TelvoSDKApplicationDidEnterBackground();
TELVO_EXPORT void TelvoSDKApplicationWillEnterForeground();

}  // namespace telvo
