#pragma once

// The library's entry header for an app.

// Shared records, errors, keys and the configuration entry point.
#include "interface/QKConfigAction.h"
#include "interface/QKConfigStatus.h"
#include "interface/QKDevice.h"
#include "interface/QKDeviceApConfigParams.h"
#include "interface/QKDeviceBleConfigParams.h"
#include "interface/QKDeviceConfigManager.h"
#include "interface/QKMiddleInterface.h"
#include "interface/QKSDKConstants.h"
#include "interface/TelvoAPPAdapter.h"
#include "interface/TelvoError.h"

namespace telvo {

// The library's version text, "major.minor.patch".
const char* TelvoSDKVersion();

// Registers every class the library looks up by name at run time. Safe to call more than
// once and from any thread; the first call does the work.
void TelvoSDKInitialize();

}  // namespace telvo
