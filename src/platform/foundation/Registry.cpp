#include "platform/foundation/Registry.h"

#include "platform/base/Singleton.h"
#include "platform/foundation/Diagnostics.h"

namespace telvo {

RegisteredClass& RegisteredClass::classSelector(std::string selector, ClassSelector body) {
    classSelectors_[std::move(selector)] = std::move(body);
    return *this;
}

RegisteredClass& RegisteredClass::instanceSelector(std::string selector, InstanceSelector body) {
    instanceSelectors_[std::move(selector)] = std::move(body);
    return *this;
}

const ClassSelector* RegisteredClass::findClassSelector(const std::string& selector) const {
    auto it = classSelectors_.find(selector);
    return it == classSelectors_.end() || !it->second ? nullptr : &it->second;
}

const InstanceSelector* RegisteredClass::findInstanceSelector(const std::string& selector) const {
    auto it = instanceSelectors_.find(selector);
    return it == instanceSelectors_.end() || !it->second ? nullptr : &it->second;
}

Registry& Registry::shared() {
    return processWide([] { return new Registry(); });
}

void Registry::registerClass(RegisteredClass cls) {
    auto entry = std::make_shared<const RegisteredClass>(std::move(cls));
    std::lock_guard lock(mutex_);
    classes_[entry->name()] = std::move(entry);
}

void Registry::registerTestClass(RegisteredClass cls) {
    auto entry = std::make_shared<const RegisteredClass>(std::move(cls));
    std::lock_guard lock(mutex_);
    const std::string& name = entry->name();
    if (!displaced_.count(name)) {
        auto it = classes_.find(name);
        displaced_[name] = it == classes_.end() ? nullptr : it->second;
    }
    classes_[name] = std::move(entry);
}

void Registry::resetForTesting() {
    std::lock_guard lock(mutex_);
    for (auto& [name, original] : displaced_) {
        if (original) {
            classes_[name] = original;
        } else {
            classes_.erase(name);
        }
    }
    displaced_.clear();
    reported_.clear();
}

std::shared_ptr<const RegisteredClass> Registry::find(const std::string& className) const {
    std::lock_guard lock(mutex_);
    auto it = classes_.find(className);
    return it == classes_.end() ? nullptr : it->second;
}

bool Registry::hasClass(const std::string& className) const {
    return find(className) != nullptr;
}

bool Registry::respondsToClassSelector(const std::string& className,
                                       const std::string& selector) const {
    auto cls = find(className);
    return cls && cls->findClassSelector(selector);
}

bool Registry::respondsToInstanceSelector(const std::string& className,
                                          const std::string& selector) const {
    auto cls = find(className);
    return cls && cls->findInstanceSelector(selector);
}

void Registry::reportMissing(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        if (!reported_.insert(key).second) return;
    }
    platformDiagnostic("registry: %s not found", key.c_str());
}

std::optional<std::any> Registry::performClassSelector(const std::string& className,
                                                       const std::string& selector,
                                                       RegistryArgs args) {
    auto cls = find(className);
    if (!cls) {
        reportMissing("class " + className);
        return std::nullopt;
    }
    const ClassSelector* body = cls->findClassSelector(selector);
    if (!body) {
        reportMissing("+[" + className + " " + selector + "]");
        return std::nullopt;
    }
    try {
        return (*body)(args);
    } catch (const std::bad_any_cast&) {
        platformDiagnostic("registry: +[%s %s] sent with arguments of the wrong type",
                           className.c_str(), selector.c_str());
        return std::nullopt;
    }
}

std::optional<std::any> Registry::performInstanceSelector(const std::string& className,
                                                          const std::string& selector,
                                                          const RegistryInstance& self,
                                                          RegistryArgs args) {
    auto cls = find(className);
    if (!cls) {
        reportMissing("class " + className);
        return std::nullopt;
    }
    const InstanceSelector* body = cls->findInstanceSelector(selector);
    if (!body) {
        reportMissing("-[" + className + " " + selector + "]");
        return std::nullopt;
    }
    if (!self) return std::nullopt;
    try {
        return (*body)(self, args);
    } catch (const std::bad_any_cast&) {
        platformDiagnostic("registry: -[%s %s] sent with arguments of the wrong type",
                           className.c_str(), selector.c_str());
        return std::nullopt;
    }
}

}  // namespace telvo
