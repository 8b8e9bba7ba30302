#include "telvosdk/QKMiddleInterface.h"

#include "platform/Singleton.h"

namespace telvo {

namespace {
struct SharedInterface {
    std::mutex mutex;
    std::shared_ptr<QKMiddleInterface> instance;
};
SharedInterface& sharedInterface() {
    return processWide([] { return new SharedInterface(); });
}
}  // namespace

std::shared_ptr<QKMiddleInterface> QKMiddleInterface::shareInstance() {
    std::lock_guard lock(sharedInterface().mutex);
    if (!sharedInterface().instance)
        sharedInterface().instance = std::make_shared<QKMiddleInterface>();
    return sharedInterface().instance;
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
    std::lock_guard lock(sharedInterface().mutex);
    sharedInterface().instance.reset();
}

}  // namespace telvo
