#include "records/QKStepInfoSink.h"

#include <mutex>

#include "platform/base/Singleton.h"

namespace telvo {

namespace {
struct SinkSlot {
    std::mutex mutex;
    QKStepInfoSink sink;
};
SinkSlot& slot() {
    return processWide([] { return new SinkSlot(); });
}
}  // namespace

void setStepInfoSink(QKStepInfoSink sink) {
    std::lock_guard lock(slot().mutex);
    slot().sink = std::move(sink);
}

void publishStepInfo(QKStepInfo info) {
    QKStepInfoSink sink;
    {
        std::lock_guard lock(slot().mutex);
        sink = slot().sink;
    }
    if (sink) sink(std::move(info));
}

}  // namespace telvo
