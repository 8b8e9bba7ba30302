#include "discovery/QKBroadcastObserver.h"

#include <algorithm>

#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/dispatch/DispatchQueue.h"
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
    if (const Value* sn = d.find(kQKSDKDeviceSn)) return "s" + sn->stringValue();
    if (const Value* id = d.find(kQKSDKDeviceId)) return "i" + id->stringValue();
    return {};
}

void QKBroadcastObserver::insertLocked(std::shared_ptr<Value> dic, std::string key) {
    const uint64_t seq = nextSeq_++;
    const bool pass = passes(*dic);
    if (!key.empty() && !index_.emplace(key, seq).second) sharedKeys_ = true;
    passing_ += pass;
    records_.emplace(seq, Record{std::move(dic), std::move(key), pass});
}

void QKBroadcastObserver::eraseLocked(std::map<uint64_t, Record>::iterator it) {
    const std::string key = std::move(it->second.key);
    passing_ -= it->second.passes;
    const uint64_t seq = it->first;
    records_.erase(it);
    if (key.empty()) return;
    auto indexed = index_.find(key);
    if (indexed == index_.end() || indexed->second != seq) return;
    index_.erase(indexed);
    if (!sharedKeys_) return;
    for (const auto& [other, record] : records_) {
        if (record.key == key) {
            index_.emplace(key, other);
            break;
        }
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
    std::string key = mergeKey(*info);
    // The records collected before this one that pass the filter: what a report would list.
    std::vector<std::pair<uint64_t, std::shared_ptr<Value>>> before;
    {
        std::lock_guard lock(mutex_);
        if (reports && passing_ > 0 && isValid()) {
            for (const auto& [seq, record] : records_)
                if (record.passes) before.emplace_back(seq, record.dic);
        }
        auto indexed = key.empty() ? index_.end() : index_.find(key);
        if (indexed == index_.end()) {
            insertLocked(std::move(info), std::move(key));
        } else {
            auto old = records_.find(indexed->second);
            const bool replace = (*old->second.dic)[kQKSDKDeviceId].int64Value() == 0 &&
                                 (*info)[kQKSDKDeviceId].int64Value() != 0;
            if (replace) {
                eraseLocked(old);
                insertLocked(std::move(info), std::move(key));
            }
        }
    }
    if (before.empty()) return;
    std::vector<const Value*> candidates;
    candidates.reserve(before.size());
    for (const auto& entry : before) candidates.push_back(entry.second.get());
    std::vector<const Value*> list = filtered(candidates);
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

void QKBroadcastObserver::report(
    const std::vector<const Value*>& list,
    std::vector<std::pair<uint64_t, std::shared_ptr<Value>>>& holders) const {
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
        QKTool::currentWifiInfoWithBlock(
            [](const std::optional<std::string>& ssid, const std::string&, std::optional<int64_t>) {
                QKSDKLOG("broadcast report on wifi %s", ssid.value_or("").c_str());
            });
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
        if (*it->second.dic == dic) eraseLocked(it);
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
    for (const auto& [seq, record] : records_) out.push_back(*record.dic);
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
        for (const auto& [seq, record] : records_) all.push_back(record.dic);
    }
    std::vector<const Value*> candidates;
    candidates.reserve(all.size());
    for (const auto& d : all) candidates.push_back(d.get());
    Value::Array devices;
    for (const Value* d : filtered(candidates)) devices.push_back(*d);
    if (completion_ && *completion_) (*completion_)(devices);
}

}  // namespace telvo
