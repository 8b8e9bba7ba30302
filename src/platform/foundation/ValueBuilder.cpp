#include "platform/foundation/ValueBuilder.h"

namespace telvo {

namespace {

// A dictionary whose room was made for keys given more than once, moved into room for its own.
Dictionary tightened(Dictionary& d) {
    Dictionary tight;
    tight.reserve(d.size());
    for (const std::string& key : d.keys()) tight.set(key, std::move(*d.find(key)));
    return tight;
}

}  // namespace

uint64_t valueheap::scalarBytes(const Value& value) {
    if (value.isText()) return textBytes(value.text().size());
    if (value.isBytes()) return blockBytes(value.bytes().size());
    return 0;
}

bool ValueBuilder::count(uint64_t bytes) {
    total_ += bytes;
    return total_ <= maxBytes_ || refuse(Refusal::expansion);
}

bool ValueBuilder::begin(bool dictionary) {
    if (refusal_ != Refusal::none) return false;
    if (done_ || (inDictionary() && !keyWaiting())) return refuse(Refusal::malformed);
    if (frames_.size() == maxNesting_) return refuse(Refusal::nesting);
    frames_.push_back({dictionary, false, values_.size(), keys_.size()});
    return true;
}

bool ValueBuilder::key(std::string key) {
    if (refusal_ != Refusal::none) return false;
    if (!inDictionary() || keyWaiting()) return refuse(Refusal::malformed);
    if (!count(valueheap::slotBytes(true, key.size()))) return false;
    keys_.push_back(std::move(key));
    frames_.back().keyWaiting = true;
    return true;
}

bool ValueBuilder::add(Value value) {
    if (refusal_ != Refusal::none) return false;
    if (done_ || (inDictionary() && !keyWaiting())) return refuse(Refusal::malformed);
    const uint64_t bytes = valueheap::scalarBytes(value);
    return place(std::move(value), bytes);
}

bool ValueBuilder::end() {
    if (refusal_ != Refusal::none) return false;
    if (frames_.empty() || keyWaiting()) return refuse(Refusal::malformed);
    const Frame frame = frames_.back();
    frames_.pop_back();
    const size_t n = values_.size() - frame.values;
    const auto first = values_.begin() + static_cast<std::ptrdiff_t>(frame.values);
    Value container;
    if (frame.dictionary) {
        Dictionary d;
        d.reserve(n);
        for (size_t i = 0; i < n; ++i)
            d.set(std::move(keys_[frame.keys + i]), std::move(values_[frame.values + i]));
        keys_.resize(frame.keys);
        if (d.size() < n) d = tightened(d);
        container = Value(std::move(d));
    } else {
        container = Value(
            Value::Array(std::make_move_iterator(first), std::make_move_iterator(values_.end())));
    }
    values_.erase(first, values_.end());
    return place(std::move(container), valueheap::containerBytes(frame.dictionary, n));
}

bool ValueBuilder::place(Value value, uint64_t bytes) {
    // A dictionary's place was counted with its key.
    if (!count(bytes + (inDictionary() ? 0 : valueheap::slotBytes(false, 0)))) return false;
    if (frames_.empty()) {
        top_ = std::move(value);
        done_ = true;
        return true;
    }
    values_.push_back(std::move(value));
    frames_.back().keyWaiting = false;
    return true;
}

}  // namespace telvo
