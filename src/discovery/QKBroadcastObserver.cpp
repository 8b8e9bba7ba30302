#include "discovery/QKBroadcastObserver.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory_resource>

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

std::string QKBroadcastObserver::mergeKey(const Value& dic) {
    if (!dic.isDictionary()) return {};
    const Dictionary& d = dic.dictionary();
    const Value* sn = d.find(kQKSDKDeviceSn);
    const Value* field = sn ? sn : d.find(kQKSDKDeviceId);
    if (!field) return {};
    const std::string text = field->isText() ? std::string() : field->stringValue();
    const std::string& value = field->isText() ? field->text() : text;
    std::string key;
    key.reserve(1 + value.size());
    key += sn ? 's' : 'i';
    key += value;
    return key;
}

bool QKBroadcastObserver::Record::idOf(const Value& dic) {
    return dic[kQKSDKDeviceId].int64Value() != 0;
}

bool QKBroadcastObserver::Record::hasId() const {
    return dic ? idOf(*dic) : hasDeviceId;
}

std::shared_ptr<Value> QKBroadcastObserver::Record::value() const {
    if (dic) return dic;
    auto unpacked = packed::unpack(packed);
    return std::make_shared<Value>(unpacked ? std::move(*unpacked) : Value(Dictionary{}));
}

void QKBroadcastObserver::insertLocked(std::shared_ptr<Value> dic, std::string key) {
    const uint64_t seq = nextSeq_++;
    const bool pass = passes(*dic);
    passing_ += pass;
    const bool reports =
        type_ == QKBroadcastReportFirstMatch || type_ == QKBroadcastReportEveryMatch;
    Bytes packedForm;
    bool hasDeviceId = false;
    if (!(reports && pass)) {
        if (auto p = packed::pack(*dic)) {
            packedForm = std::move(*p);
            hasDeviceId = Record::idOf(*dic);
            dic.reset();
        }
    }
    auto at = records_.emplace(
        seq, Record{std::move(dic), std::move(packedForm), std::move(key), pass, hasDeviceId});
    // The index views the key the record holds (a map's entries stay where they are).
    const std::string& held = at.first->second.key;
    if (!held.empty() && !index_.emplace(held, seq).second) sharedKeys_ = true;
}

void QKBroadcastObserver::eraseLocked(std::map<uint64_t, Record>::iterator it) {
    const Record& record = it->second;
    const uint64_t seq = it->first;
    passing_ -= record.passes;
    // The index entry goes first: it views the record's key.
    auto indexed = record.key.empty() ? index_.end() : index_.find(record.key);
    if (indexed != index_.end() && indexed->second == seq) {
        index_.erase(indexed);
        if (sharedKeys_) {
            for (const auto& [other, kept] : records_) {
                if (other != seq && kept.key == record.key) {
                    index_.emplace(kept.key, other);
                    break;
                }
            }
        }
    }
    records_.erase(it);
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
    std::string key = mergeKey(*info);
    // Short lists live on the stack: a report usually lists one record.
    std::array<std::byte, 256> stack;
    std::pmr::monotonic_buffer_resource arena(stack.data(), stack.size());
    // The records collected before this one that pass the filter: what a report would list.
    std::pmr::vector<Holder> before(&arena);
    {
        std::lock_guard lock(mutex_);
        if (reports && passing_ > 0 && isValid()) {
            for (const auto& [seq, record] : records_)
                if (record.passes) before.emplace_back(seq, record.value());
        }
        auto indexed = key.empty() ? index_.end() : index_.find(key);
        if (indexed == index_.end()) {
            insertLocked(std::move(info), std::move(key));
        } else {
            auto old = records_.find(indexed->second);
            const bool replace = !old->second.hasId() && Record::idOf(*info);
            if (replace) {
                eraseLocked(old);
                insertLocked(std::move(info), std::move(key));
            }
        }
    }
    if (before.empty()) return;
    std::pmr::vector<const Value*> candidates(&arena);
    candidates.reserve(before.size());
    for (const auto& entry : before) candidates.push_back(entry.second.get());
    // before holds the records that passed the filter when they came; a lone one with a serial
    // number enters the filter's result once, as itself (the usual case: an appliance reported
    // at the next reply).
    const bool lone = before.size() == 1 && (*candidates[0])[kQKSDKDeviceSn].isText();
    std::vector<const Value*> filteredList;
    if (!lone) filteredList = filtered({candidates.begin(), candidates.end()});
    const std::span<const Value* const> list = lone ? std::span<const Value* const>(candidates)
                                                    : std::span<const Value* const>(filteredList);
    if (list.empty()) return;
    if (type_ == QKBroadcastReportFirstMatch) {
        if (!isValid_.exchange(false)) return;
        deviceArrayRemoveAll();
    } else {
        if (!isValid()) return;
        // Only what is reported is forgotten.
        std::lock_guard lock(mutex_);
        for (const auto& [seq, dic] : before) {
            if (std::find(list.begin(), list.end(), dic.get()) == list.end()) continue;
            auto it = records_.find(seq);
            if (it != records_.end()) eraseLocked(it);
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
    DispatchQueue::main()->async([completion = completion_, devices = std::move(devices)] {
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
    std::lock_guard lock(mutex_);
    insertLocked(std::move(record), mergeKey(dic));
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
