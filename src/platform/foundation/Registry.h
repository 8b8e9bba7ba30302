#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace telvo {

// The run-time name registry: where the library looks a class up by its name and sends it a
// selector by its name, as the system does with its class and selector lookups.
//
// Arguments and results are type-erased. An instance is a std::shared_ptr<void> to an object
// of the registered class. An initialiser ("initWithParam:") is registered as a class selector
// that allocates and initialises, answering the new instance as a std::shared_ptr<void>.
// A selector with no result answers an empty std::any.
using RegistryArgs = std::vector<std::any>;
using RegistryInstance = std::shared_ptr<void>;
using ClassSelector = std::function<std::any(const RegistryArgs& args)>;
using InstanceSelector =
    std::function<std::any(const RegistryInstance& self, const RegistryArgs& args)>;

// The argument at index as T, or nullptr when absent or of another type.
template <class T>
const T* registryArg(const RegistryArgs& args, size_t index) {
    return index < args.size() ? std::any_cast<T>(&args[index]) : nullptr;
}

// The argument at index as T; throws std::bad_any_cast when absent or of another type, which
// the registry turns into "not found" (for use inside a selector's body only).
template <class T>
const T& registryArgRef(const RegistryArgs& args, size_t index) {
    if (const T* p = registryArg<T>(args, index)) return *p;
    throw std::bad_any_cast();
}

// One class: its exact name and its selectors by exact name.
class RegisteredClass {
  public:
    explicit RegisteredClass(std::string name) : name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    RegisteredClass& classSelector(std::string selector, ClassSelector body);
    RegisteredClass& instanceSelector(std::string selector, InstanceSelector body);

    const ClassSelector* findClassSelector(const std::string& selector) const;
    const InstanceSelector* findInstanceSelector(const std::string& selector) const;

  private:
    std::string name_;
    std::map<std::string, ClassSelector> classSelectors_;
    std::map<std::string, InstanceSelector> instanceSelectors_;
};

// Names are matched exactly (case included). A missing class or selector answers nullopt and
// writes one diagnostic line per missing name, never more. Thread-safe; a selector's body runs
// on the caller's thread, outside the registry's lock, so it may use the registry itself.
class Registry {
  public:
    static Registry& shared();

    // Adds a class, replacing an earlier one of the same name.
    void registerClass(RegisteredClass cls);

    bool hasClass(const std::string& className) const;
    bool respondsToClassSelector(const std::string& className, const std::string& selector) const;
    bool respondsToInstanceSelector(const std::string& className,
                                    const std::string& selector) const;

    // Sends a class selector. nullopt when the class or the selector is missing, or when the
    // arguments are not of the types the body reads.
    std::optional<std::any> performClassSelector(const std::string& className,
                                                 const std::string& selector,
                                                 RegistryArgs args = {});
    // Sends an instance selector to self, an instance of className. nullopt as above, and
    // when self is null.
    std::optional<std::any> performInstanceSelector(const std::string& className,
                                                    const std::string& selector,
                                                    const RegistryInstance& self,
                                                    RegistryArgs args = {});

    // Tests: registers cls over any class of that name until resetForTesting(), which restores
    // the library's own registrations, drops the test classes and forgets which missing names
    // were already reported.
    void registerTestClass(RegisteredClass cls);
    void resetForTesting();

  private:
    std::shared_ptr<const RegisteredClass> find(const std::string& className) const;
    void reportMissing(const std::string& key);

    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const RegisteredClass>> classes_;
    // Library entries displaced by test classes (null: the name was free).
    std::map<std::string, std::shared_ptr<const RegisteredClass>> displaced_;
    std::set<std::string> reported_;
};

}  // namespace telvo
