#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "platform/dbus/DBusValue.h"

namespace telvo {

// A service's objects as a client keeps them: path -> interface -> property -> value, filled
// from an object manager's answer or from GetAll answers, and kept current with the changes
// the service announces. Everything comes from a peer we do not trust: a malformed answer or
// change is left out, and the number of objects, interfaces and properties kept is bounded.
// Not synchronised.
class DBusObjectTree {
  public:
    // A GetManagedObjects answer ("a{oa{sa{sv}}}") replaces everything.
    void replaceAll(const DBusValue& objects);
    // ObjectManager.InterfacesAdded (path, "a{sa{sv}}") and InterfacesRemoved (path, "as").
    void interfacesAdded(const DBusValue& path, const DBusValue& interfaces);
    void interfacesRemoved(const DBusValue& path, const DBusValue& names);
    // Properties.PropertiesChanged on an object known to have the interface: ("s", "a{sv}").
    void propertiesChanged(const std::string& path, const DBusValue& interface,
                           const DBusValue& changed);
    // One interface's properties ("a{sv}"), replacing what the object had for it.
    void setInterface(const std::string& path, const std::string& interface,
                      const DBusValue& properties);
    // Changed properties ("a{sv}") of an interface the object has.
    void updateInterface(const std::string& path, const std::string& interface,
                         const DBusValue& changed);
    void removeObject(const std::string& path) { objects_.erase(path); }
    // The object and every object below it.
    void removeSubtree(const std::string& path);
    void clear() { objects_.clear(); }

    bool has(const std::string& path, const char* interface) const;
    // The property's value out of its variant; the absent value when unknown.
    const DBusValue& property(const std::string& path, const char* interface,
                              const char* name) const;
    size_t objectCount() const { return objects_.size(); }
    // Visits the paths in order until visit answers false.
    void forEachObject(const std::function<bool(const std::string& path)>& visit) const;

    static constexpr size_t kMaxObjects = 4096;
    static constexpr size_t kMaxInterfaces = 32;
    static constexpr size_t kMaxProperties = 256;

  private:
    using Properties = std::map<std::string, DBusValue>;
    using Interfaces = std::map<std::string, Properties>;

    void setInterfaces(const std::string& path, const DBusValue& interfaces);
    static void setProperties(Properties& into, const DBusValue& changed);

    std::map<std::string, Interfaces> objects_;
};

}  // namespace telvo
