#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "discovery/QKBroadcastFilter.h"
#include "telvosdk/Value.h"

namespace telvo {

// The caller's result block. Its object identity names the observer: the discovery manager
// refuses a second observer with the same block object and releases observers by it.
using QKBroadcastCompletionBlock = std::function<void(const Value::Array& devices)>;
using QKBroadcastCompletion = std::shared_ptr<const QKBroadcastCompletionBlock>;

// Report types of an observer.
enum QKBroadcastReportType : int64_t {
    QKBroadcastReportAtTimeOut = 0,   // once, at the time-out, possibly empty
    QKBroadcastReportFirstMatch = 1,  // the first non-empty list, then retires
    QKBroadcastReportEveryMatch = 2,  // every non-empty list; once more at a time-out
};

// One flow's discovery request: collects one record per appliance from the device
// dictionaries the discovery manager hands in, filters them and reports to its completion.
//
// Reports always run asynchronously on the main queue, never inside a call to this class. A
// report that is on its way still arrives after the observer is released. Records are
// merged by serial number, else by appliance ID; a record with ID 0 gives way to one with a
// real ID. A type-2 observer forgets exactly the records it reported, so appliances that
// answer in turn are all reported. All members are thread-safe; the manager calls
// updateWithDeviceInfor one call at a time.
class QKBroadcastObserver : public std::enable_shared_from_this<QKBroadcastObserver> {
  public:
    // A valid observer; a time-out above 0 seconds arms timeOutDo on the main queue, which
    // holds the observer until it has run. filter: nullptr passes everything.
    static std::shared_ptr<QKBroadcastObserver> initWithFilter(
        std::shared_ptr<const QKBroadcastFilter> filter, double timeOut, int64_t type,
        QKBroadcastCompletion completion);

    // Merges one device dictionary and reports the records collected before it when they
    // pass the filter (types 1 and 2). Anything but a dictionary is ignored. The shared form
    // never changes the dictionary while someone else holds it; once the observer holds the
    // last reference it may move it into a report.
    void updateWithDeviceInfor(const Value& info);
    void updateWithDeviceInfor(std::shared_ptr<Value> info);
    // A raw datagram (bytes) to the completion, as a one-element array, on the main queue.
    void updateWithudpConfig(const Value& data);

    // The collected records, changed under the observer's lock.
    void deviceArrayAddDic(const Value& dic);
    void deviceArrayRemoveDic(const Value& dic);
    void deviceArrayRemoveAll();
    // A copy of the collected records, in order.
    Value::Array devicesArray() const;
    // How many records devicesArray() would hold, without copying them.
    size_t deviceCount() const;

    // The time-out step (main queue): reports the filtered records once and retires.
    void timeOutDo();

    bool isValid() const { return isValid_.load(); }
    void setIsValid(bool valid) { isValid_.store(valid); }
    bool isUDPConfig() const { return isUDPConfig_.load(); }
    void setIsUDPConfig(bool udpConfig) { isUDPConfig_.store(udpConfig); }
    bool isImmediately() const { return isImmediately_.load(); }
    void setIsImmediately(bool immediately) { isImmediately_.store(immediately); }
    const QKBroadcastCompletion& completion() const { return completion_; }
    const std::shared_ptr<const QKBroadcastFilter>& myFilter() const { return filter_; }
    int64_t type() const { return type_; }
    double timeOut() const { return timeOut_; }

  private:
    QKBroadcastObserver(std::shared_ptr<const QKBroadcastFilter> filter, int64_t type,
                        QKBroadcastCompletion completion)
        : completion_(std::move(completion)), filter_(std::move(filter)), type_(type) {}

    // A record the observer keeps for a while (every record of a type-0 observer, those of a
    // reporting observer that do not pass its filter) is held packed, in a fraction of the
    // heap; one that is reported with the next reply is held as it came.
    struct Record {
        std::shared_ptr<Value> dic;  // null when packed
        Bytes packed;
        std::string key;  // merge key; empty when the record has neither serial nor ID
        bool passes = false;
        bool hasDeviceId = false;  // of a packed record: a non-zero appliance ID
        std::shared_ptr<Value> value() const;
        bool hasId() const;
        static bool idOf(const Value& dic);
    };
    static std::string mergeKey(const Value& dic);
    bool passes(const Value& dic) const { return !filter_ || filter_->passes(dic); }
    // With mutex_ held.
    void insertLocked(std::shared_ptr<Value> dic, std::string key);
    void eraseLocked(std::map<uint64_t, Record>::iterator it);
    std::vector<const Value*> filtered(const std::vector<const Value*>& list) const;
    // Reports the list on the main queue; holders own the listed records.
    using Holder = std::pair<uint64_t, std::shared_ptr<Value>>;  // a record by sequence number
    void report(std::span<const Value* const> list, std::span<Holder> holders) const;

    std::atomic<bool> isValid_{true};
    std::atomic<bool> isUDPConfig_{false};
    std::atomic<bool> isImmediately_{false};
    const QKBroadcastCompletion completion_;
    const std::shared_ptr<const QKBroadcastFilter> filter_;
    const int64_t type_;
    const double timeOut_ = 0;  // never set: the time-out only arms the timer

    // The collected records, in order of arrival (by sequence number), indexed by merge key.
    mutable std::mutex mutex_;
    std::map<uint64_t, Record> records_;
    std::unordered_map<std::string_view, uint64_t> index_;  // key -> first record holding it
    bool sharedKeys_ = false;  // deviceArrayAddDic put in a key that was already there
    size_t passing_ = 0;
    uint64_t nextSeq_ = 1;
};

}  // namespace telvo
