#include "platform/foundation/KeyedArchive.h"

#include <string_view>

#include "platform/foundation/PropertyList.h"

namespace telvo::KeyedArchive {

std::optional<Bytes> archivedDataWithRootObject(const Dictionary& object) {
    ErrorPtr error;
    return PropertyListSerialization::dataWithPropertyList(Value(object), kPropertyListBinaryFormat,
                                                           0, &error);
}

std::optional<Dictionary> unarchivedObjectWithData(const Bytes& data) {
    ErrorPtr error;
    auto root = PropertyListSerialization::propertyListWithData(
        std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), 0, nullptr,
        &error);
    if (!root || classOf(*root).empty()) return std::nullopt;
    return std::move(root->mutableDictionary());
}

std::string classOf(const Value& object) {
    return object[kClassKey].text();
}

}  // namespace telvo::KeyedArchive
