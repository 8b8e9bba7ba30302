#include "discovery/QKBroadcastObserver.h"

#include <unordered_set>

#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/DispatchQueue.h"
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

void QKBroadcastObserver::insertLocked(std::shared_ptr<const Value> dic, std::string key) {
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
    updateWithDeviceInfor(std::make_shared<const Value>(info));
}

void QKBroadcastObserver::updateWithDeviceInfor(std::shared_ptr<const Value> info) {
    if (!info || !info->isDictionary()) return;
    const bool reports =
        type_ == QKBroadcastReportFirstMatch || type_ == QKBroadcastReportEveryMatch;
    std::string key = mergeKey(*info);
    // The records collected before this one that pass the filter: what a report would list.
    std::vector<std::shared_ptr<const Value>> before;
    {
        std::lock_guard lock(mutex_);
        if (reports && passing_ > 0 && isValid()) {
            for (const auto& [seq, record] : records_)
                if (record.passes) before.push_back(record.dic);
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
    for (const auto& d : before) candidates.push_back(d.get());
    std::vector<const Value*> list = filtered(candidates);
    if (list.empty()) return;
    if (type_ == QKBroadcastReportFirstMatch) {
        if (!isValid_.exchange(false)) return;
        std::lock_guard lock(mutex_);
        records_.clear();
        index_.clear();
        passing_ = 0;
        sharedKeys_ = false;
    } else {
        if (!isValid()) return;
        std::unordered_set<const Value*> reported(list.begin(), list.end());
        std::lock_guard lock(mutex_);
        for (const Value* dic : reported) {
            auto indexed = index_.find(mergeKey(*dic));
            if (indexed != index_.end() && records_.at(indexed->second).dic.get() == dic) {
                eraseLocked(records_.find(indexed->second));
                continue;
            }
            for (auto it = records_.begin(); it != records_.end(); ++it) {
                if (it->second.dic.get() == dic) {
                    eraseLocked(it);
                    break;
                }
            }
        }
    }
    report(std::move(list));
}

void QKBroadcastObserver::report(std::vector<const Value*> list) const {
    Value::Array devices;
    devices.reserve(list.size());
    for (const Value* d : list) devices.push_back(*d);
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
    auto record = std::make_shared<const Value>(dic);
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

void QKBroadcastObserver::timeOutDo() {
    if (isUDPConfig()) {
        if (completion_ && *completion_) (*completion_)(Value::Array{Dictionary{{"timeOut", "1"}}});
        setIsValid(false);
        return;
    }
    if (!isValid_.exchange(false)) return;
    std::vector<std::shared_ptr<const Value>> all;
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
