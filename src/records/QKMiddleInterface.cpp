#include "records/QKMiddleInterface.h"

#include "platform/base/Singleton.h"

namespace telvo {

namespace {
SharedInstance<QKMiddleInterface>& sharedInterface() {
    return processWide([] { return new SharedInstance<QKMiddleInterface>(); });
}
// The hand-over, and the delegate the app handed in last (kept for a hand-over installed
// later). The hand-over runs under the lock, so that the last delegate handed in is the one
// the cloud client keeps.
struct HandOverSlot {
    std::mutex mutex;
    TokenRefreshHandOver handOver;
    std::weak_ptr<QKRefreshDelegate> delegate;
};
HandOverSlot& handOverSlot() {
    return processWide([] { return new HandOverSlot(); });
}
}  // namespace

void installTokenRefreshHandOver(TokenRefreshHandOver handOver) {
    HandOverSlot& slot = handOverSlot();
    std::lock_guard lock(slot.mutex);
    slot.handOver = std::move(handOver);
    if (slot.handOver && !slot.delegate.expired()) slot.handOver(slot.delegate);
}

std::shared_ptr<QKMiddleInterface> QKMiddleInterface::shareInstance() {
    return sharedInterface().get([] { return std::make_shared<QKMiddleInterface>(); });
}

void QKMiddleInterface::setCustomLogDelegate(std::weak_ptr<QKSDKCustomLogDelegate> delegate) {
    std::lock_guard lock(mutex_);
    logDelegate_ = std::move(delegate);
}

std::shared_ptr<QKSDKCustomLogDelegate> QKMiddleInterface::customLogDelegate() const {
    std::lock_guard lock(mutex_);
    return logDelegate_.lock();
}

void QKMiddleInterface::setTokenRefreshDelegate(std::weak_ptr<QKRefreshDelegate> delegate) {
    HandOverSlot& slot = handOverSlot();
    std::lock_guard lock(slot.mutex);
    slot.delegate = delegate;
    if (slot.handOver) slot.handOver(std::move(delegate));
}

template <>
void resetForTesting<QKMiddleInterface>() {
    sharedInterface().exchange();
}

}  // namespace telvo
