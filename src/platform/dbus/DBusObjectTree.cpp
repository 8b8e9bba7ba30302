#include "platform/dbus/DBusObjectTree.h"

namespace telvo {

void DBusObjectTree::replaceAll(const DBusValue& objects) {
    objects_.clear();
    if (!objects.isDictionary()) return;
    for (const auto& entry : objects.unwrapped().items())
        if (auto path = entry.at(0).asObjectPath()) setInterfaces(*path, entry.at(1));
}

void DBusObjectTree::interfacesAdded(const DBusValue& path, const DBusValue& interfaces) {
    if (auto p = path.asObjectPath()) setInterfaces(*p, interfaces);
}

void DBusObjectTree::interfacesRemoved(const DBusValue& path, const DBusValue& names) {
    auto p = path.asObjectPath();
    auto list = names.asStringArray();
    if (!p || !list) return;
    auto it = objects_.find(*p);
    if (it == objects_.end()) return;
    for (const auto& name : *list) it->second.erase(name);
    if (it->second.empty()) objects_.erase(it);
}

void DBusObjectTree::propertiesChanged(const std::string& path, const DBusValue& interface,
                                       const DBusValue& changed) {
    if (auto name = interface.asString()) updateInterface(path, *name, changed);
}

void DBusObjectTree::setInterface(const std::string& path, const std::string& interface,
                                  const DBusValue& properties) {
    if (!properties.isDictionary()) return;
    if (!objects_.count(path) && objects_.size() >= kMaxObjects) return;
    auto& object = objects_[path];
    if (!object.count(interface) && object.size() >= kMaxInterfaces) {
        if (object.empty()) objects_.erase(path);
        return;
    }
    auto& into = object[interface];
    into.clear();
    setProperties(into, properties);
}

void DBusObjectTree::updateInterface(const std::string& path, const std::string& interface,
                                     const DBusValue& changed) {
    auto object = objects_.find(path);
    if (object == objects_.end()) return;
    auto properties = object->second.find(interface);
    if (properties == object->second.end()) return;
    setProperties(properties->second, changed);
}

void DBusObjectTree::setInterfaces(const std::string& path, const DBusValue& interfaces) {
    if (!interfaces.isDictionary()) return;
    for (const auto& entry : interfaces.unwrapped().items())
        if (auto name = entry.at(0).asString()) setInterface(path, *name, entry.at(1));
}

void DBusObjectTree::setProperties(Properties& into, const DBusValue& changed) {
    if (!changed.isDictionary()) return;
    for (const auto& entry : changed.unwrapped().items()) {
        auto name = entry.at(0).asString();
        if (!name || (!into.count(*name) && into.size() >= kMaxProperties)) continue;
        into[*name] = entry.at(1).unwrapped();
    }
}

void DBusObjectTree::removeSubtree(const std::string& path) {
    objects_.erase(path);
    const std::string below = path + "/";
    auto it = objects_.lower_bound(below);
    while (it != objects_.end() && it->first.compare(0, below.size(), below) == 0)
        it = objects_.erase(it);
}

void DBusObjectTree::forEachObject(
    const std::function<bool(const std::string& path)>& visit) const {
    for (const auto& entry : objects_)
        if (!visit(entry.first)) return;
}

bool DBusObjectTree::has(const std::string& path, const char* interface) const {
    auto object = objects_.find(path);
    return object != objects_.end() && object->second.count(interface);
}

const DBusValue& DBusObjectTree::property(const std::string& path, const char* interface,
                                          const char* name) const {
    auto object = objects_.find(path);
    if (object == objects_.end()) return DBusValue::absent();
    auto properties = object->second.find(interface);
    if (properties == object->second.end()) return DBusValue::absent();
    auto value = properties->second.find(name);
    return value == properties->second.end() ? DBusValue::absent() : value->second;
}

}  // namespace telvo
