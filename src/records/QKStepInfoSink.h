#pragma once

#include <functional>

#include "telvosdk/QKConfigBlocks.h"

namespace telvo {

// Where the flows publish their step information. The configuration entry installs the sink
// (it keeps the latest information for the app); without a sink a publication is dropped. The
// sink is called on the publishing thread; installing and publishing are safe from any thread.
using QKStepInfoSink = std::function<void(QKStepInfo info)>;

void setStepInfoSink(QKStepInfoSink sink);
void publishStepInfo(QKStepInfo info);

}  // namespace telvo
