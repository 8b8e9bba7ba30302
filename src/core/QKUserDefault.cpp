#include "core/QKUserDefault.h"

namespace telvo {

namespace {
std::mutex gSharedMutex;
std::shared_ptr<QKUserDefault> gShared;
std::filesystem::path gFolder;
}  // namespace

std::shared_ptr<QKUserDefault> QKUserDefault::standardUserDefaults() {
    std::lock_guard lock(gSharedMutex);
    if (!gShared) gShared = std::make_shared<QKUserDefault>();
    return gShared;
}

Value QKUserDefault::valueForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return values_[key];
}

bool QKUserDefault::boolForKey(const std::string& key) const {
    Value v = valueForKey(key);
    return v.isNumber() && v.boolValue();
}

void QKUserDefault::setValue(const Value& value, const std::string& key) {
    std::lock_guard lock(mutex_);
    if (value.isNull()) values_.erase(key);
    else values_.set(key, value);
}

void QKUserDefault::setBool(bool value, const std::string& key) { setValue(Value(value), key); }

void QKUserDefault::removeObjectForKey(const std::string& key) {
    std::lock_guard lock(mutex_);
    values_.erase(key);
}

void QKUserDefault::setStorageDirectory(const std::filesystem::path& folder) {
    std::lock_guard lock(gSharedMutex);
    gFolder = folder;
}

void QKUserDefault::resetForTesting() {
    std::lock_guard lock(gSharedMutex);
    gShared.reset();
}

}  // namespace telvo
