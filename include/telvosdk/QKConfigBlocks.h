#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "telvosdk/Error.h"
#include "telvosdk/QKConfigStatus.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/Value.h"

namespace telvo {

// A configuration step reached (progress).
using QKConfigStepBlock = std::function<void(int64_t step)>;
// The end of a configuration: an error (the success object on success) and the appliance.
using QKConfigCompletionBlock =
    std::function<void(ErrorPtr error, std::shared_ptr<QKDevice> device)>;
// Confirmation results and status changes.
using QKConfigActionBlock =
    std::function<void(ErrorPtr error, std::shared_ptr<QKConfigStatus> status)>;

// Step information: step number -> what the flow reported at that step (0: the discovery
// reply, 5: {"moduleVersion", "sn", "deviceSubType"}, 11: {"QKDevice": record}, 13: the
// former error code).
using QKStepInfo = std::map<int64_t, Value>;

}  // namespace telvo
