#pragma once

#include <optional>

#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo::packed {

// A Value packed into one block of bytes, for holders that keep many values and read them
// rarely (the records of a discovery observer): a fraction of the heap the value takes, one
// allocation. unpack(pack(v)) equals v.

// The packed form; nothing when the value holds an object handle, which has no bytes.
std::optional<Bytes> pack(const Value& value);
// The same in one pass, into scratch (grown as needed, never shrunk), for a holder that packs
// value after value: the packed form, viewing scratch.
std::optional<ByteView> packInto(const Value& value, Bytes& scratch);
// The value; nothing when the bytes are not a whole packed value.
std::optional<Value> unpack(ByteView bytes);

// A dictionary's keys packed apart from its values, for a holder of many dictionaries with the
// same keys in the same order: the keys once, then each dictionary's values alone.
// The keys' packed form, into scratch.
ByteView packKeys(const Dictionary& dictionary, Bytes& scratch);
// Whether the dictionary has exactly these packed keys, in their order.
bool hasKeys(const Dictionary& dictionary, ByteView keys);
// The values' packed form, in one pass into scratch; nothing when one holds an object handle.
std::optional<ByteView> packValuesInto(const Dictionary& dictionary, Bytes& scratch);
// The same, checking the keys on the way: nothing when the dictionary does not have exactly
// these packed keys, in their order. When mark is one of its texts, markAt tells where that
// text's bytes lie in the packed form.
std::optional<ByteView> packValuesWithKeys(const Dictionary& dictionary, ByteView keys,
                                           Bytes& scratch, const Value* mark = nullptr,
                                           size_t* markAt = nullptr);
// The dictionary of packed keys and values; nothing when they do not make one whole.
std::optional<Value> unpackDictionary(ByteView keys, ByteView values);

}  // namespace telvo::packed
