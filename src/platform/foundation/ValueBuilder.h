#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "telvosdk/Value.h"

namespace telvo {

namespace valueheap {

// The heap a value holds, as malloc hands it out: every block carries 8 bytes of its own and
// is a multiple of 16, at least 32.
inline uint64_t blockBytes(uint64_t size) {
    return size == 0 ? 0 : std::max<uint64_t>(32, (size + 8 + 15) & ~uint64_t{15});
}
// A text's own block; a short text lives inside its string.
inline uint64_t textBytes(uint64_t length) {
    return length <= 15 ? 0 : blockBytes(length + 1);
}
// What a place in a container costs: its slot and, in a dictionary, its key.
inline uint64_t slotBytes(bool inDictionary, uint64_t keyLength) {
    return inDictionary ? sizeof(Dictionary::Entry) + textBytes(keyLength) : sizeof(Value);
}
// A container of n places beyond its slots: its block and, for a large dictionary, its index.
inline uint64_t containerBytes(bool dictionary, uint64_t n) {
    if (n == 0) return 0;
    return 32 + (dictionary && n >= 40 ? blockBytes(16 * n) : 0);
}

// The heap of a value's own bytes beyond its slot: a text's or data's block.
uint64_t scalarBytes(const Value& value);

}  // namespace valueheap

// Builds a value from a document's events (a property list's, a JSON text's), innermost
// container last, on a stack of its own: nothing recurses however the document nests. Counts the
// heap the value holds as it grows (valueheap above) and refuses past maxBytes, or past
// maxNesting containers. Each container is made once, at its full size, when it ends.
class ValueBuilder {
  public:
    // Why a document is refused.
    enum class Refusal { none, malformed, nesting, expansion };

    explicit ValueBuilder(size_t maxNesting, uint64_t maxBytes = UINT64_MAX)
        : maxNesting_(maxNesting), maxBytes_(maxBytes) {}

    // False once the document is refused.
    bool begin(bool dictionary);
    // The key of the next value in the innermost dictionary.
    bool key(std::string key);
    bool add(Value value);
    bool text(std::string text) { return add(Value(std::move(text))); }
    bool bytes(Bytes bytes) { return add(Value(std::move(bytes))); }
    bool end();

    bool inDictionary() const { return !frames_.empty() && frames_.back().dictionary; }
    // Whether the innermost dictionary has a key waiting for its value.
    bool keyWaiting() const { return !frames_.empty() && frames_.back().keyWaiting; }
    size_t depth() const { return frames_.size(); }
    bool done() const { return done_; }
    Refusal refusal() const { return refusal_; }
    bool refuse(Refusal why) {
        if (refusal_ == Refusal::none) refusal_ = why;
        return false;
    }
    // The value built, once its top value is complete.
    Value take() { return std::move(top_); }

  private:
    struct Frame {
        bool dictionary;
        bool keyWaiting = false;
        size_t values;  // where its values start in values_
        size_t keys;    // and its keys in keys_
    };
    bool count(uint64_t bytes);
    // Places a finished value in the innermost container, or as the top value.
    bool place(Value value, uint64_t bytes);

    const size_t maxNesting_;
    const uint64_t maxBytes_;
    uint64_t total_ = 0;
    Refusal refusal_ = Refusal::none;
    bool done_ = false;
    std::vector<Frame> frames_;
    std::vector<Value> values_;
    std::vector<std::string> keys_;
    Value top_;
};

}  // namespace telvo
