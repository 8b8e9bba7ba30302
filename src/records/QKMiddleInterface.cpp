#include "telvosdk/QKMiddleInterface.h"

namespace telvo {

namespace {
std::mutex gSharedMutex;
std::shared_ptr<QKMiddleInterface> gShared;
}  // namespace

std::shared_ptr<QKMiddleInterface> QKMiddleInterface::shareInstance() {
    std::lock_guard lock(gSharedMutex);
    if (!gShared) gShared = std::make_shared<QKMiddleInterface>();
    return gShared;
}

void QKMiddleInterface::setCustomLogDelegate(std::weak_ptr<QKSDKCustomLogDelegate> delegate) {
    std::lock_guard lock(mutex_);
    logDelegate_ = std::move(delegate);
}

std::shared_ptr<QKSDKCustomLogDelegate> QKMiddleInterface::customLogDelegate() const {
    std::lock_guard lock(mutex_);
    return logDelegate_.lock();
}

void QKMiddleInterface::resetForTesting() {
    std::lock_guard lock(gSharedMutex);
    gShared.reset();
}

}  // namespace telvo
