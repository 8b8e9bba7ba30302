#include "core/NotifiCenter.h"

namespace telvo {

NotifiCenter::~NotifiCenter() {
    std::map<std::string, NotificationObserverToken> tokens;
    {
        std::lock_guard lock(mutex_);
        tokens.swap(tokens_);
    }
    for (const auto& [name, token] : tokens) center_->removeObserver(token);
}

void NotifiCenter::addNotifiCenterObserverName(const std::string& name, NotificationBlock handler,
                                               std::shared_ptr<void> object) {
    std::lock_guard lock(mutex_);
    if (tokens_.count(name)) return;
    tokens_[name] = center_->addObserverForName(name, std::move(object), std::move(handler));
}

void NotifiCenter::removeNotifiCenterObserverName(const std::string& name,
                                                  const std::shared_ptr<void>&) {
    NotificationObserverToken token;
    {
        std::lock_guard lock(mutex_);
        auto it = tokens_.find(name);
        if (it == tokens_.end()) return;
        token = std::move(it->second);
        tokens_.erase(it);
    }
    // Outside the lock: the removal may wait for a handler that is running right now.
    center_->removeObserver(token);
}

}  // namespace telvo
