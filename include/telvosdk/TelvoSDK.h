#pragma once

// The library's entry header for an app.

// Shared records, errors, keys and the configuration entry point.
#include "entry/QKDeviceConfigManager.h"
#include "entry/TelvoAPPAdapter.h"
#include "records/QKConfigAction.h"
#include "records/QKConfigStatus.h"
#include "records/QKDevice.h"
#include "records/QKDeviceApConfigParams.h"
#include "records/QKDeviceBleConfigParams.h"
#include "records/QKMiddleInterface.h"
#include "records/QKSDKConstants.h"
#include "records/TelvoError.h"

namespace telvo {

// The library's version text, "major.minor.patch".
const char* TelvoSDKVersion();

// Registers every class the library looks up by name at run time. Safe to call more than
// once and from any thread; the first call does the work.
void TelvoSDKInitialize();

}  // namespace telvo
