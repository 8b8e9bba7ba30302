#include "records/QKMiddleInterface.h"

#include "platform/base/Singleton.h"

namespace telvo {

namespace {
SharedInstance<QKMiddleInterface>& sharedInterface() {
    return processWide([] { return new SharedInstance<QKMiddleInterface>(); });
}
}  // namespace

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
    std::lock_guard lock(mutex_);
    refreshDelegate_ = std::move(delegate);
}

std::shared_ptr<QKRefreshDelegate> QKMiddleInterface::tokenRefreshDelegate() const {
    std::lock_guard lock(mutex_);
    return refreshDelegate_.lock();
}

template <>
void resetForTesting<QKMiddleInterface>() {
    sharedInterface().exchange();
}

}  // namespace telvo
