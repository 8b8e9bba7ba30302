#include "discovery/QKBroadcastObserver.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PackedValue.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

std::shared_ptr<QKBroadcastObserver> QKBroadcastObserver::initWithFilter(
    std::shared_ptr<const QKBroadcastFilter> filter, double timeOut, int64_t type,
    QKBroadcastCompletion completion) {
    std::shared_ptr<QKBroadcastObserver> observer(
        new QKBroadcastObserver(std::move(filter), type, std::move(completion)));
    if (timeOut > 0) DispatchQueue::main()->after(timeOut, [observer] { observer->timeOutDo(); });
    return observer;
}

void QKBroadcastObserver::setIsValid(bool valid) {
    isValid_.store(valid);
    if (!valid) retired();
}

void QKBroadcastObserver::setRetiredHandler(std::function<void()> handler) {
    std::lock_guard lock(retiredMutex_);
    retiredHandler_ = std::move(handler);
}

void QKBroadcastObserver::retired() {
    std::function<void()> handler;
    {
        std::lock_guard lock(retiredMutex_);
        handler = std::exchange(retiredHandler_, nullptr);
    }
    if (handler) handler();
}

namespace {

discovery_detail::MergeKey keyOf(char kind, std::string_view text) {
    // Texts of a datagram or a caller's dictionary are far below 4 GiB.
    return {text.data(), static_cast<uint32_t>(std::min<size_t>(text.size(), UINT32_MAX)), kind};
}

}  // namespace

QKBroadcastObserver::Fields QKBroadcastObserver::fieldsOf(const Value& dic, std::string& scratch) {
    Fields fields;
    if (!dic.isDictionary()) return fields;
    const Dictionary& d = dic.dictionary();
    const Value* sn = d.find(kQKSDKDeviceSn);
    const Value* field = sn ? sn : d.find(kQKSDKDeviceId);
    if (!field) return fields;
    const char kind = sn ? 's' : 'i';
    if (field->isText()) {
        fields.keyField = field;
        fields.key = keyOf(kind, field->text());
        return fields;
    }
    scratch = field->stringValue();
    fields.key = keyOf(kind, scratch);
    return fields;
}

bool QKBroadcastObserver::idOf(const Value& dic) {
    return dic[kQKSDKDeviceId].int64Value() != 0;
}

bool QKBroadcastObserver::Record::hasId() const {
    return dic ? idOf(*dic) : hasDeviceId;
}

std::optional<Value> QKBroadcastObserver::unpackLocked(const Record& record) const {
    const ByteView packedForm(record.data, record.packedSize);
    if (record.keys == Record::kWhole) return packed::unpack(packedForm);
    return packed::unpackDictionary(keySets_[record.keys], packedForm);
}

std::shared_ptr<Value> QKBroadcastObserver::takeLocked(Record& record) {
    return record.dic ? std::move(record.dic) : valueLocked(record);
}

std::shared_ptr<Value> QKBroadcastObserver::valueLocked(const Record& record) const {
    if (record.dic) return record.dic;
    auto unpacked = unpackLocked(record);
    return std::make_shared<Value>(unpacked ? std::move(*unpacked) : Value(Dictionary{}));
}

std::optional<ByteView> QKBroadcastObserver::packLocked(const Value& dic, const Value* keyField,
                                                        uint8_t& keys, size_t& keyAt,
                                                        Bytes& scratch) {
    keys = Record::kWhole;
    if (!dic.isDictionary()) return packed::packInto(dic, scratch);
    const Dictionary& d = dic.dictionary();
    // Most dictionaries have the keys of the one before.
    const auto tryKeys = [&](uint8_t i) {
        auto values = packed::packValuesWithKeys(d, keySets_[i], scratch, keyField, &keyAt);
        if (values) keys = lastKeySet_ = i;
        return values;
    };
    if (lastKeySet_ < keySets_.size()) {
        if (auto values = tryKeys(lastKeySet_)) return values;
    }
    for (uint8_t i = 0; i < keySets_.size(); ++i) {
        if (i == lastKeySet_) continue;
        if (auto values = tryKeys(i)) return values;
    }
    if (keySets_.size() < kMostKeySets) {
        Bytes keyScratch;
        const ByteView packedKeys = packed::packKeys(d, keyScratch);
        keySets_.emplace_back(packedKeys.begin(), packedKeys.end());
        if (auto values = tryKeys(static_cast<uint8_t>(keySets_.size() - 1))) return values;
        keySets_.pop_back();  // a value that does not pack (an object handle)
        return std::nullopt;
    }
    return packed::packInto(dic, scratch);
}

QKBroadcastObserver::Packed QKBroadcastObserver::packedLocked(const Value& dic,
                                                              const Fields& fields) {
    Packed packed;
    packed.passes = passes(dic);
    const bool reports =
        type_ == QKBroadcastReportFirstMatch || type_ == QKBroadcastReportEveryMatch;
    // Records are packed on the thread that hands them in, one after the other.
    static thread_local Bytes scratch;
    if (!(reports && packed.passes))
        packed.form = packLocked(dic, fields.keyField, packed.keys, packed.keyAt, scratch);
    return packed;
}

void QKBroadcastObserver::insertLocked(std::shared_ptr<Value> dic, const Fields& fields,
                                       uint32_t tag, const std::optional<Packed>& early) {
    const Packed packed = early ? *early : packedLocked(*dic, fields);
    const bool pass = packed.passes;
    const std::optional<ByteView>& packedForm = packed.form;
    const uint8_t keys = packed.keys;
    const size_t keyAt = packed.keyAt;
    const bool isPacked = packedForm.has_value();
    Record& record = records_.emplace_back();
    record.seq = nextSeq_++;
    MergeKey key = fields.key;
    const bool viewsDic = fields.keyField != nullptr;
    // The key's text views the dictionary as it came or its packed values, else is copied after
    // them (while dic, which it may view, is still held).
    const bool ownKey = key.kind != 0 && (isPacked ? keyAt == kNone : !viewsDic);
    const size_t keyBytes = ownKey ? key.size : 0;
    const size_t packedSize = isPacked ? packedForm->size() : 0;
    if (ownKey || isPacked) {
        uint8_t* const data = allocateLocked(packedSize + keyBytes);
        record.data = data;
        record.ownKey = ownKey;
        if (isPacked) std::copy_n(packedForm->data(), packedSize, data);
        std::copy_n(key.data, keyBytes, data + packedSize);
        if (ownKey) {
            key.data = reinterpret_cast<const char*>(data + packedSize);
        } else if (isPacked && key.kind != 0) {
            key.data = reinterpret_cast<const char*>(data + keyAt);
        }
    }
    if (isPacked) {
        // Packed forms of a datagram or a caller's dictionary are far below 4 GiB.
        record.packedSize = static_cast<uint32_t>(packedSize);
        record.keys = keys;
        record.hasDeviceId = idOf(*dic);
    } else {
        record.dic = std::move(dic);
    }
    record.keyData = key.data;
    record.keySize = key.size;
    record.keyKind = key.kind;
    record.passes = pass;
    record.textSerial = key.kind == 's' && viewsDic;
    passing_ += pass;
    ++live_;
    if (!indexed_) {
        if (live_ >= kIndexedFrom) buildIndexLocked();
    } else if (key.kind != 0) {
        indexLocked(key, tag, records_.size() - 1);
    }
}

uint8_t* QKBroadcastObserver::allocateLocked(size_t size) {
    if (size > blockLeft_) {
        const size_t bytes = std::max(size, std::min(kBlockBytes, blockBytes_ / 4));
        blocks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(bytes));
        blockAt_ = blocks_.back().get();
        blockLeft_ = bytes;
        blockBytes_ += bytes;
    }
    uint8_t* const at = blockAt_;
    blockAt_ += size;
    blockLeft_ -= size;
    return at;
}

void QKBroadcastObserver::repackLocked() {
    std::vector<std::unique_ptr<uint8_t[]>> old;
    old.swap(blocks_);
    blockAt_ = nullptr;
    blockLeft_ = blockBytes_ = deadBytes_ = 0;
    for (Record& r : records_) {
        if (!r.data) continue;
        uint8_t* const to = allocateLocked(r.dataSize());
        std::copy_n(r.data, r.dataSize(), to);
        // The key's text moves with the bytes it views.
        if (r.keyInData())
            r.keyData = reinterpret_cast<const char*>(to) +
                        (r.keyData - reinterpret_cast<const char*>(r.data));
        r.data = to;
    }
}

void QKBroadcastObserver::eraseLocked(size_t at) {
    Record& record = records_[at];
    passing_ -= record.passes;
    deadBytes_ += record.dataSize();
    // The index entry goes first: it leads to the record's key.
    if (indexed_ && record.keyKind != 0) unindexLocked(record.key(), at);
    record = Record{};
    --live_;
}

void QKBroadcastObserver::compactLocked() {
    if (live_ != 0 && deadBytes_ >= kBlockBytes && deadBytes_ > blockBytes_ / 2) repackLocked();
    const size_t holes = records_.size() - live_;
    if (holes == 0) return;
    if (live_ == 0) {
        clearLocked();
        return;
    }
    // Without an index, closing the holes costs a move of a few records: an every-match
    // observer, which forgets a record at nearly every reply, then scans no holes.
    if (holes <= live_ || (holes < 8 && indexed_)) return;
    auto kept =
        std::remove_if(records_.begin(), records_.end(), [](const Record& r) { return !r.live(); });
    records_.erase(kept, records_.end());
    if (indexed_) buildIndexLocked();
}

void QKBroadcastObserver::clearLocked() {
    // Room for a few records stays: an every-match observer is emptied at nearly every reply.
    if (records_.capacity() <= kIndexedFrom) {
        records_.clear();
    } else {
        std::vector<Record>().swap(records_);
    }
    std::vector<Bytes>().swap(keySets_);
    lastKeySet_ = 0;
    std::vector<std::unique_ptr<uint8_t[]>>().swap(blocks_);
    blockAt_ = nullptr;
    blockLeft_ = blockBytes_ = deadBytes_ = 0;
    std::vector<uint64_t>().swap(slots_);
    indexedKeys_ = 0;
    indexed_ = false;
    sharedKeys_ = false;
    passing_ = 0;
    live_ = 0;
}

uint32_t QKBroadcastObserver::tagOf(const MergeKey& key) {
    const uint64_t hash = std::hash<std::string_view>{}(key.text()) +
                          uint64_t(uint8_t(key.kind)) * 0x9E3779B97F4A7C15ull;
    return static_cast<uint32_t>(hash >> 32);
}

namespace {

uint64_t slotOf(uint32_t tag, size_t at) {
    return (uint64_t(tag) << 32) | uint64_t(at + 1);
}
uint32_t slotTag(uint64_t slot) {
    return static_cast<uint32_t>(slot >> 32);
}
size_t slotPosition(uint64_t slot) {
    return size_t(uint32_t(slot)) - 1;
}

}  // namespace

void QKBroadcastObserver::buildIndexLocked() {
    size_t keys = 0;
    for (const Record& r : records_) keys += r.live() && r.keyKind != 0;
    size_t capacity = 32;
    while (keys * 4 >= capacity * 3) capacity *= 2;
    slots_.assign(capacity, 0);
    indexedKeys_ = 0;
    sharedKeys_ = false;
    indexed_ = true;
    for (size_t at = 0; at < records_.size(); ++at) {
        const Record& r = records_[at];
        if (r.live() && r.keyKind != 0) indexLocked(r.key(), tagOf(r.key()), at);
    }
}

void QKBroadcastObserver::indexLocked(const MergeKey& key, uint32_t tag, size_t at) {
    if ((indexedKeys_ + 1) * 4 >= slots_.size() * 3) {
        // Grows by re-placing the slots: each one's tag tells where it goes.
        std::vector<uint64_t> old(slots_.size() * 2, 0);
        old.swap(slots_);
        const size_t mask = slots_.size() - 1;
        for (uint64_t slot : old) {
            if (slot == 0) continue;
            size_t i = slotTag(slot) & mask;
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }
    const size_t mask = slots_.size() - 1;
    for (size_t i = tag & mask;; i = (i + 1) & mask) {
        const uint64_t slot = slots_[i];
        if (slot == 0) {
            slots_[i] = slotOf(tag, at);
            ++indexedKeys_;
            return;
        }
        if (slotTag(slot) == tag && records_[slotPosition(slot)].key() == key) {
            sharedKeys_ = true;
            return;
        }
    }
}

void QKBroadcastObserver::unindexLocked(const MergeKey& key, size_t at) {
    const uint32_t tag = tagOf(key);
    const size_t mask = slots_.size() - 1;
    size_t i = tag & mask;
    for (;; i = (i + 1) & mask) {
        if (slots_[i] == 0) return;
        if (slotTag(slots_[i]) == tag && slotPosition(slots_[i]) == at) break;
    }
    if (sharedKeys_) {
        for (size_t other = 0; other < records_.size(); ++other) {
            if (other != at && records_[other].live() && records_[other].key() == key) {
                slots_[i] = slotOf(tag, other);
                return;
            }
        }
    }
    // Linear probing: the slots after the hole that would be found through it move up.
    --indexedKeys_;
    for (size_t j = (i + 1) & mask;; j = (j + 1) & mask) {
        const uint64_t slot = slots_[j];
        if (slot == 0) break;
        const size_t home = slotTag(slot) & mask;
        // The slot stays when its home lies cyclically within (i, j].
        const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (stays) continue;
        slots_[i] = slot;
        i = j;
    }
    slots_[i] = 0;
}

size_t QKBroadcastObserver::findLocked(const MergeKey& key, uint32_t tag) const {
    if (key.kind == 0) return kNone;
    if (!indexed_) {
        for (size_t at = 0; at < records_.size(); ++at)
            if (records_[at].live() && records_[at].key() == key) return at;
        return kNone;
    }
    const size_t mask = slots_.size() - 1;
    for (size_t i = tag & mask;; i = (i + 1) & mask) {
        const uint64_t slot = slots_[i];
        if (slot == 0) return kNone;
        if (slotTag(slot) == tag && records_[slotPosition(slot)].key() == key)
            return slotPosition(slot);
    }
}

std::vector<const Value*> QKBroadcastObserver::filtered(
    const std::vector<const Value*>& list) const {
    return filter_ ? filter_->filterResult(list) : list;
}

void QKBroadcastObserver::updateWithDeviceInfor(const Value& info) {
    if (!info.isDictionary()) return;
    updateWithDeviceInfor(std::make_shared<Value>(info));
}

void QKBroadcastObserver::updateWithDeviceInfor(std::shared_ptr<Value> info) {
    if (!info || !info->isDictionary()) return;
    const bool reports =
        type_ == QKBroadcastReportFirstMatch || type_ == QKBroadcastReportEveryMatch;
    std::string scratch;
    const Fields fields = fieldsOf(*info, scratch);
    const MergeKey& key = fields.key;
    // The records collected before this one that pass the filter: what a report would list.
    // Usually there is one (an appliance reported at the next reply): it is held in first and
    // before stays empty. A lone one with a serial number enters the filter's result once, as
    // itself; an every-match observer forgets it at once, taking over its dictionary.
    Holder first{0, nullptr};
    std::vector<Holder> before;
    bool any = false;
    bool lone = false;
    {
        std::lock_guard lock(mutex_);
        // Only the index reads the key's hash (compacting keeps an index, or drops it). The
        // key's slot is on its way while the rest is done.
        const bool hashed = indexed_ && key.kind != 0;
        const uint32_t tag = hashed ? tagOf(key) : 0;
        if (hashed) __builtin_prefetch(&slots_[tag & (slots_.size() - 1)]);
        compactLocked();
        size_t firstAt = kNone;
        if (reports && passing_ > 0 && isValid()) {
            for (size_t at = 0; at < records_.size(); ++at) {
                const Record& r = records_[at];
                if (!r.passes) continue;  // holes never pass
                if (firstAt == kNone) {
                    firstAt = at;
                    first.first = r.seq;
                    continue;
                }
                if (before.empty())
                    before.emplace_back(first.first, valueLocked(records_[firstAt]));
                before.emplace_back(r.seq, valueLocked(r));
            }
        }
        any = firstAt != kNone;
        lone = any && before.empty() && records_[firstAt].textSerial;
        const bool forgetNow = lone && type_ == QKBroadcastReportEveryMatch;
        if (any && before.empty() && !forgetNow) first.second = valueLocked(records_[firstAt]);
        std::optional<Packed> packed;
        if (lastWasNew_) packed = packedLocked(*info, fields);
        const size_t old = findLocked(key, tag);
        lastWasNew_ = old == kNone;
        if (old == kNone) {
            insertLocked(std::move(info), fields, tag, packed);
        } else if (!records_[old].hasId() && idOf(*info)) {
            if (forgetNow && old == firstAt) first.second = takeLocked(records_[old]);
            eraseLocked(old);
            insertLocked(std::move(info), fields, tag, packed);
        }
        // firstAt is still held unless the merge above replaced it (and took it over).
        if (forgetNow && !first.second) {
            first.second = takeLocked(records_[firstAt]);
            eraseLocked(firstAt);
        }
    }
    if (!any) return;
    if (lone) {
        if (!first.second) return;
        const Value* only = first.second.get();
        if (type_ == QKBroadcastReportFirstMatch) {
            if (!isValid_.exchange(false)) return;
            deviceArrayRemoveAll();
        }
        report({&only, 1}, {&first, 1});
        if (type_ == QKBroadcastReportFirstMatch) retired();
        return;
    }
    if (before.empty()) before.push_back(std::move(first));
    reportFiltered(before);
}

void QKBroadcastObserver::reportFiltered(std::vector<Holder>& before) {
    std::vector<const Value*> candidates;
    candidates.reserve(before.size());
    for (const auto& entry : before) candidates.push_back(entry.second.get());
    const std::vector<const Value*> list = filtered(candidates);
    if (list.empty()) return;
    if (type_ == QKBroadcastReportFirstMatch) {
        if (!isValid_.exchange(false)) return;
        deviceArrayRemoveAll();
    } else {
        if (!isValid()) return;
        // Only what is reported is forgotten.
        std::lock_guard lock(mutex_);
        for (size_t at = 0; at < records_.size(); ++at) {
            const uint64_t seq = records_[at].seq;
            const bool listed = std::any_of(before.begin(), before.end(), [&](const Holder& h) {
                return seq != 0 && h.first == seq &&
                       std::find(list.begin(), list.end(), h.second.get()) != list.end();
            });
            if (listed) eraseLocked(at);
        }
    }
    report(list, before);
    if (type_ == QKBroadcastReportFirstMatch) retired();
}

void QKBroadcastObserver::report(std::span<const Value* const> list,
                                 std::span<Holder> holders) const {
    Value::Array devices;
    devices.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        // A record nobody else holds any more, listed once, is moved into the report.
        auto holder = std::find_if(holders.begin(), holders.end(),
                                   [&](const auto& h) { return h.second.get() == list[i]; });
        const bool last = std::find(list.begin() + i + 1, list.end(), list[i]) == list.end();
        if (holder != holders.end() && holder->second.use_count() == 1 && last) {
            devices.push_back(std::move(*holder->second));
        } else {
            devices.push_back(*list[i]);
        }
    }
    // The main queue is made once for the process and never replaced.
    static const DispatchQueuePtr mainQueue = DispatchQueue::main();
    mainQueue->async([completion = completion_, devices = std::move(devices)] {
        // The network is looked up for the log line alone.
        if (QKLogEnabled()) {
            QKTool::currentWifiInfoWithBlock([](const std::optional<std::string>& ssid,
                                                const std::string&, std::optional<int64_t>) {
                QKSDKLOG("broadcast report on wifi %s", ssid.value_or("").c_str());
            });
        }
        if (completion && *completion) (*completion)(devices);
    });
}

void QKBroadcastObserver::updateWithudpConfig(const Value& data) {
    if (!data.isBytes()) return;
    DispatchQueue::main()->async([completion = completion_, data] {
        if (completion && *completion) (*completion)(Value::Array{data});
    });
}

void QKBroadcastObserver::deviceArrayAddDic(const Value& dic) {
    auto record = std::make_shared<Value>(dic);
    std::string scratch;
    const Fields fields = fieldsOf(*record, scratch);
    std::lock_guard lock(mutex_);
    compactLocked();
    const uint32_t tag = indexed_ && fields.key.kind != 0 ? tagOf(fields.key) : 0;
    insertLocked(std::move(record), fields, tag, std::nullopt);
}

void QKBroadcastObserver::deviceArrayRemoveDic(const Value& dic) {
    std::lock_guard lock(mutex_);
    for (size_t at = 0; at < records_.size(); ++at)
        if (records_[at].live() && *valueLocked(records_[at]) == dic) eraseLocked(at);
}

void QKBroadcastObserver::deviceArrayRemoveAll() {
    std::lock_guard lock(mutex_);
    clearLocked();
}

Value::Array QKBroadcastObserver::devicesArray() const {
    std::lock_guard lock(mutex_);
    Value::Array out;
    out.reserve(live_);
    for (const Record& record : records_) {
        if (!record.live()) continue;
        if (record.dic) {
            out.push_back(*record.dic);
        } else if (auto unpacked = unpackLocked(record)) {
            out.push_back(std::move(*unpacked));
        }
    }
    return out;
}

size_t QKBroadcastObserver::deviceCount() const {
    std::lock_guard lock(mutex_);
    return live_;
}

void QKBroadcastObserver::timeOutDo() {
    if (isUDPConfig()) {
        if (completion_ && *completion_) (*completion_)(Value::Array{Dictionary{{"timeOut", "1"}}});
        setIsValid(false);
        return;
    }
    if (!isValid_.exchange(false)) return;
    std::vector<std::shared_ptr<Value>> all;
    {
        std::lock_guard lock(mutex_);
        all.reserve(live_);
        for (const Record& record : records_)
            if (record.live()) all.push_back(valueLocked(record));
    }
    std::vector<const Value*> candidates;
    candidates.reserve(all.size());
    for (const auto& d : all) candidates.push_back(d.get());
    Value::Array devices;
    for (const Value* d : filtered(candidates)) devices.push_back(*d);
    if (completion_ && *completion_) (*completion_)(devices);
    retired();
}

}  // namespace telvo
