#include "discovery/QKBroadcastObserver.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

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

namespace {

discovery_detail::MergeKey keyOf(char kind, std::string_view text) {
    // Texts of a datagram or a caller's dictionary are far below 4 GiB.
    return {text.data(), static_cast<uint32_t>(std::min<size_t>(text.size(), UINT32_MAX)), kind};
}

}  // namespace

QKBroadcastObserver::MergeKey QKBroadcastObserver::mergeKey(const Value& dic, std::string& scratch,
                                                            bool& viewsDic) {
    viewsDic = false;
    if (!dic.isDictionary()) return {};
    const Dictionary& d = dic.dictionary();
    const Value* sn = d.find(kQKSDKDeviceSn);
    const Value* field = sn ? sn : d.find(kQKSDKDeviceId);
    if (!field) return {};
    const char kind = sn ? 's' : 'i';
    if (field->isText()) {
        viewsDic = true;
        return keyOf(kind, field->text());
    }
    scratch = field->stringValue();
    return keyOf(kind, scratch);
}

bool QKBroadcastObserver::Record::idOf(const Value& dic) {
    return dic[kQKSDKDeviceId].int64Value() != 0;
}

bool QKBroadcastObserver::Record::hasId() const {
    return dic ? idOf(*dic) : hasDeviceId;
}

std::shared_ptr<Value> QKBroadcastObserver::Record::take() {
    return dic ? std::move(dic) : value();
}

std::shared_ptr<Value> QKBroadcastObserver::Record::value() const {
    if (dic) return dic;
    auto unpacked = packed::unpack(packed);
    return std::make_shared<Value>(unpacked ? std::move(*unpacked) : Value(Dictionary{}));
}

void QKBroadcastObserver::insertLocked(std::shared_ptr<Value> dic, MergeKey key, bool viewsDic) {
    const uint64_t seq = nextSeq_++;
    const bool pass = passes(*dic);
    passing_ += pass;
    const bool reports =
        type_ == QKBroadcastReportFirstMatch || type_ == QKBroadcastReportEveryMatch;
    Bytes packedForm;
    bool hasDeviceId = false;
    bool isPacked = false;
    if (!(reports && pass)) {
        if (auto p = packed::pack(*dic)) {
            packedForm = std::move(*p);
            hasDeviceId = Record::idOf(*dic);
            isPacked = true;
        }
    }
    // The record goes to the end, in the node of the record erased last when there is one.
    if (spareRecord_.empty()) {
        records_.emplace_back(seq, Record{});
    } else {
        records_.splice(records_.end(), spareRecord_);
        records_.back().first = seq;
    }
    const Records::iterator at = std::prev(records_.end());
    Record& record = at->second;
    // The key's text is copied while dic, which it may view, is still held.
    if (key.kind != 0 && (isPacked || !viewsDic)) {
        record.ownKey = std::make_unique_for_overwrite<char[]>(key.size);
        std::copy_n(key.data, key.size, record.ownKey.get());
        key.data = record.ownKey.get();
    } else {
        record.ownKey.reset();
    }
    record.dic = isPacked ? nullptr : std::move(dic);
    record.packed = std::move(packedForm);
    record.keyData = key.data;
    record.keySize = key.size;
    record.keyKind = key.kind;
    record.passes = pass;
    record.hasDeviceId = hasDeviceId;
    record.textSerial = key.kind == 's' && viewsDic;
    if (!indexed_) {
        if (records_.size() >= kIndexedFrom) buildIndexLocked();
        return;
    }
    if (key.kind == 0) return;
    if (spareIndexEntry_.empty()) {
        if (!index_.emplace(key, at).second) sharedKeys_ = true;
        return;
    }
    spareIndexEntry_.key() = key;
    spareIndexEntry_.mapped() = at;
    auto inserted = index_.insert(std::move(spareIndexEntry_));
    if (!inserted.inserted) {
        sharedKeys_ = true;
        spareIndexEntry_ = std::move(inserted.node);
    }
}

void QKBroadcastObserver::eraseLocked(Records::iterator it) {
    const Record& record = it->second;
    passing_ -= record.passes;
    // The index entry goes first: it views the record's key.
    const MergeKey key = record.key();
    auto indexed = !indexed_ || key.kind == 0 ? index_.end() : index_.find(key);
    if (indexed != index_.end() && indexed->second == it) {
        auto entry = index_.extract(indexed);
        if (spareIndexEntry_.empty()) spareIndexEntry_ = std::move(entry);
        if (sharedKeys_) {
            for (auto other = records_.begin(); other != records_.end(); ++other) {
                if (other != it && other->second.key() == key) {
                    index_.emplace(other->second.key(), other);
                    break;
                }
            }
        }
    }
    Record& spare = it->second;
    spare.dic.reset();
    Bytes().swap(spare.packed);
    spare.ownKey.reset();
    spare.keyData = nullptr;
    spare.keySize = 0;
    spare.keyKind = 0;
    spare.textSerial = false;
    if (spareRecord_.empty()) {
        spareRecord_.splice(spareRecord_.end(), records_, it);
    } else {
        records_.erase(it);
    }
    if (records_.empty() && indexed_) {
        index_.clear();
        indexed_ = false;
        sharedKeys_ = false;
    }
}

void QKBroadcastObserver::buildIndexLocked() {
    index_.clear();
    sharedKeys_ = false;
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (it->second.keyKind == 0) continue;
        if (!index_.emplace(it->second.key(), it).second) sharedKeys_ = true;
    }
    indexed_ = true;
}

QKBroadcastObserver::Records::iterator QKBroadcastObserver::findLocked(const MergeKey& key) {
    if (key.kind == 0) return records_.end();
    if (!indexed_) {
        return std::find_if(records_.begin(), records_.end(),
                            [&](const auto& entry) { return entry.second.key() == key; });
    }
    auto indexed = index_.find(key);
    return indexed == index_.end() ? records_.end() : indexed->second;
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
    bool viewsDic = false;
    const MergeKey key = mergeKey(*info, scratch, viewsDic);
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
        auto firstIt = records_.end();
        if (reports && passing_ > 0 && isValid()) {
            for (auto it = records_.begin(); it != records_.end(); ++it) {
                if (!it->second.passes) continue;
                if (firstIt == records_.end()) {
                    firstIt = it;
                    first.first = it->first;
                    continue;
                }
                if (before.empty()) before.emplace_back(first.first, firstIt->second.value());
                before.emplace_back(it->first, it->second.value());
            }
        }
        any = firstIt != records_.end();
        lone = any && before.empty() && firstIt->second.textSerial;
        const bool forgetNow = lone && type_ == QKBroadcastReportEveryMatch;
        if (any && before.empty() && !forgetNow) first.second = firstIt->second.value();
        auto old = findLocked(key);
        if (old == records_.end()) {
            insertLocked(std::move(info), key, viewsDic);
        } else if (!old->second.hasId() && Record::idOf(*info)) {
            if (forgetNow && old == firstIt) first.second = old->second.take();
            eraseLocked(old);
            insertLocked(std::move(info), key, viewsDic);
        }
        // firstIt is still held unless the merge above replaced it (and took it over).
        if (forgetNow && !first.second) {
            first.second = firstIt->second.take();
            eraseLocked(firstIt);
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
        for (auto it = records_.begin(); it != records_.end();) {
            const auto next = std::next(it);
            const bool listed = std::any_of(before.begin(), before.end(), [&](const Holder& h) {
                return h.first == it->first &&
                       std::find(list.begin(), list.end(), h.second.get()) != list.end();
            });
            if (listed) eraseLocked(it);
            it = next;
        }
    }
    report(list, before);
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
    bool viewsDic = false;
    const MergeKey key = mergeKey(*record, scratch, viewsDic);
    std::lock_guard lock(mutex_);
    insertLocked(std::move(record), key, viewsDic);
}

void QKBroadcastObserver::deviceArrayRemoveDic(const Value& dic) {
    std::lock_guard lock(mutex_);
    for (auto it = records_.begin(); it != records_.end();) {
        auto next = std::next(it);
        if (*it->second.value() == dic) eraseLocked(it);
        it = next;
    }
}

void QKBroadcastObserver::deviceArrayRemoveAll() {
    std::lock_guard lock(mutex_);
    records_.clear();
    index_.clear();
    indexed_ = false;
    passing_ = 0;
    sharedKeys_ = false;
}

Value::Array QKBroadcastObserver::devicesArray() const {
    std::lock_guard lock(mutex_);
    Value::Array out;
    out.reserve(records_.size());
    for (const auto& [seq, record] : records_) {
        if (record.dic) {
            out.push_back(*record.dic);
        } else if (auto unpacked = packed::unpack(record.packed)) {
            out.push_back(std::move(*unpacked));
        }
    }
    return out;
}

size_t QKBroadcastObserver::deviceCount() const {
    std::lock_guard lock(mutex_);
    return records_.size();
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
        all.reserve(records_.size());
        for (const auto& [seq, record] : records_) all.push_back(record.value());
    }
    std::vector<const Value*> candidates;
    candidates.reserve(all.size());
    for (const auto& d : all) candidates.push_back(d.get());
    Value::Array devices;
    for (const Value* d : filtered(candidates)) devices.push_back(*d);
    if (completion_ && *completion_) (*completion_)(devices);
}

}  // namespace telvo
