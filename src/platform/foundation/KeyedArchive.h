#pragma once

#include <optional>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo {

// Keyed archives (NSKeyedArchiver's part): an object as the dictionary of its fields under
// their keys, its class name under kClassKey, objects it holds as dictionaries of their own;
// written as a binary property list.
namespace KeyedArchive {
inline constexpr const char* kClassKey = "$class";
// nullopt for fields a property list cannot hold.
std::optional<Bytes> archivedDataWithRootObject(const Dictionary& object);
// The root object's dictionary: nullopt unless the bytes are a property list whose root is a
// dictionary with a class name. Untrusted bytes are fine.
std::optional<Dictionary> unarchivedObjectWithData(const Bytes& data);
// The class name of an archived object, or "" for a value that is none.
std::string classOf(const Value& object);
}  // namespace KeyedArchive

}  // namespace telvo
