#pragma once

// The library's entry header for an app.

// Shared records, errors, keys and the configuration entry point.
#include "telvosdk/QKConfigAction.h"
#include "telvosdk/QKConfigStatus.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceApConfigParams.h"
#include "telvosdk/QKDeviceBleConfigParams.h"
#include "telvosdk/QKDeviceConfigManager.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKSDKConstants.h"
#include "telvosdk/TelvoAPPAdapter.h"
#include "telvosdk/TelvoError.h"
// What the app sets up: the settings store, the log folders and key, the network it runs on.
#include "telvosdk/KorvoDDLog.h"
#include "telvosdk/NetworkConfiguration.h"
#include "telvosdk/QKSDKLog.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo {

// The library's version text, "major.minor.patch".
const char* TelvoSDKVersion();

// Registers every class the library looks up by name at run time. Safe to call more than
// once and from any thread; the first call does the work.
void TelvoSDKInitialize();

}  // namespace telvo
