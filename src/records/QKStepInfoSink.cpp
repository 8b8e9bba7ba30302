#include "records/QKStepInfoSink.h"

#include <mutex>

#include "platform/base/Singleton.h"

namespace telvo {

namespace {
struct StepSinkSlot {
    std::mutex mutex;
    QKStepInfoSink sink;
};
StepSinkSlot& stepSinkSlot() {
    return processWide([] { return new StepSinkSlot(); });
}
}  // namespace

void setStepInfoSink(QKStepInfoSink sink) {
    std::lock_guard lock(stepSinkSlot().mutex);
    stepSinkSlot().sink = std::move(sink);
}

void publishStepInfo(QKStepInfo info) {
    QKStepInfoSink sink;
    {
        std::lock_guard lock(stepSinkSlot().mutex);
        sink = stepSinkSlot().sink;
    }
    if (sink) sink(std::move(info));
}

}  // namespace telvo
