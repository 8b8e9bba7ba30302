#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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

namespace discovery_detail {
// A merge key: the serial number ('s') or else the appliance ID ('i') as text. Its text
// views the record's own dictionary where that holds the field as text, else the record's
// copy.
struct MergeKey {
    const char* data = nullptr;
    uint32_t size = 0;
    char kind = 0;  // 0: the record has neither serial nor ID
    std::string_view text() const { return {data, size}; }
    bool operator==(const MergeKey& other) const {
        return kind == other.kind && text() == other.text();
    }
};
}  // namespace discovery_detail

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
    // false retires the observer.
    void setIsValid(bool valid);
    // Runs once, on the retiring thread, when the observer retires: after a first-match report
    // has been queued, after the time-out's report, or at setIsValid(false). The discovery
    // manager drops the observer from its list then. Replaces an earlier handler.
    void setRetiredHandler(std::function<void()> handler);
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

    using MergeKey = discovery_detail::MergeKey;
    // What the merge reads of a dictionary: its key and the field the key's text views (null
    // when the key views scratch, where a field that is not text is written).
    struct Fields {
        MergeKey key;
        const Value* keyField = nullptr;
    };
    static Fields fieldsOf(const Value& dic, std::string& scratch);
    // Whether the dictionary has a non-zero appliance ID.
    static bool idOf(const Value& dic);

    // A record the observer keeps for a while (every record of a type-0 observer, those of a
    // reporting observer that do not pass its filter) is held packed, its bytes in the
    // observer's blocks: a fraction of the heap the dictionary takes. Records with the same
    // keys (all of one reply version) share them: each holds its values alone, its key's text
    // viewing them. One that is reported with the next reply is held as it came.
    struct Record {
        uint64_t seq = 0;            // 0: erased, a hole until the records are compacted
        std::shared_ptr<Value> dic;  // null when packed
        uint8_t* data = nullptr;     // in blocks_: the packed dictionary, then the key's text
                                     // when it can view neither dic nor the packed values
        const char* keyData = nullptr;
        uint32_t keySize = 0;
        uint32_t packedSize = 0;
        static constexpr uint8_t kWhole = UINT8_MAX;
        uint8_t keys = kWhole;  // its keys in keySets_, or kWhole: packed with its keys
        char keyKind = 0;
        bool passes = false;
        bool hasDeviceId = false;  // of a packed record: a non-zero appliance ID
        bool textSerial = false;   // the key is a serial number held as text
        bool ownKey = false;       // the key's text follows the packed form in data
        bool live() const { return seq != 0; }
        MergeKey key() const { return {keyData, keySize, keyKind}; }
        size_t dataSize() const { return packedSize + (ownKey ? keySize : 0); }
        bool keyInData() const { return keyKind != 0 && (ownKey || !dic); }
        bool hasId() const;
    };
    // With mutex_ held. A record's dictionary (shared when held as it came); take moves it
    // out (for a record about to be erased).
    std::optional<Value> unpackLocked(const Record& record) const;
    std::shared_ptr<Value> valueLocked(const Record& record) const;
    std::shared_ptr<Value> takeLocked(Record& record);
    // The packed form of dic, into scratch: its values alone when its keys are among keySets_
    // (added when new, up to kMostKeySets), keys telling which (else kWhole). keyAt: where the
    // text of keyField lies in it, when it lies there.
    std::optional<ByteView> packLocked(const Value& dic, const Value* keyField, uint8_t& keys,
                                       size_t& keyAt, Bytes& scratch);
    // Room for size bytes of a record in the blocks, which grow by a quarter of what they hold,
    // at least size and at most kBlockBytes, so that a few records take little more than
    // their bytes.
    uint8_t* allocateLocked(size_t size);
    // Copies the live records' bytes into new blocks, once erased records' bytes outnumber
    // them; only where no record's bytes are viewed.
    void repackLocked();
    static constexpr size_t kBlockBytes = 64 * 1024;
    static constexpr size_t kMostKeySets = 16;
    static constexpr size_t kNone = SIZE_MAX;
    bool passes(const Value& dic) const { return !filter_ || filter_->passes(dic); }
    // With mutex_ held. The position of the first record with the key, or kNone. tag:
    // tagOf(key), read while the observer keeps an index.
    size_t findLocked(const MergeKey& key, uint32_t tag) const;
    // What a new record of a dictionary holds: whether it passes the filter, and its packed
    // form (in the thread's scratch) when it is kept packed.
    struct Packed {
        bool passes = false;
        std::optional<ByteView> form;
        uint8_t keys = Record::kWhole;
        size_t keyAt = kNone;  // where the key's text lies in form, if it does
    };
    Packed packedLocked(const Value& dic, const Fields& fields);
    // fields: those of *dic; a key that views no field is text the record must copy. tag: as
    // for findLocked. packed: what packedLocked gave for dic, if it ran already.
    void insertLocked(std::shared_ptr<Value> dic, const Fields& fields, uint32_t tag,
                      const std::optional<Packed>& packed);
    // Leaves a hole: positions stay valid until compactLocked.
    void eraseLocked(size_t at);
    // Closes the holes once they outnumber the records (drops everything once none is left);
    // only where no position is held.
    void compactLocked();
    void clearLocked();
    // The index: open addressing over the records' positions, each slot the upper half of the
    // key's hash and the position + 1 (0: empty).
    static uint32_t tagOf(const MergeKey& key);
    void buildIndexLocked();
    void indexLocked(const MergeKey& key, uint32_t tag, size_t at);
    // Removes the key's slot when it leads to at; another record with the key takes it over.
    void unindexLocked(const MergeKey& key, size_t at);
    std::vector<const Value*> filtered(const std::vector<const Value*>& list) const;
    // Reports the list on the main queue; holders own the listed records.
    using Holder = std::pair<uint64_t, std::shared_ptr<Value>>;  // a record by sequence number
    void report(std::span<const Value* const> list, std::span<Holder> holders) const;
    // The rarer report of several records, or of one without a serial number: through the
    // filter's result, forgetting what it lists. Out of line, away from the usual path.
    [[gnu::noinline]] void reportFiltered(std::vector<Holder>& before);

    // Runs the retired handler, if one is set and has not run.
    void retired();
    std::mutex retiredMutex_;
    std::function<void()> retiredHandler_;

    std::atomic<bool> isValid_{true};
    std::atomic<bool> isUDPConfig_{false};
    std::atomic<bool> isImmediately_{false};
    const QKBroadcastCompletion completion_;
    const std::shared_ptr<const QKBroadcastFilter> filter_;
    const int64_t type_;
    const double timeOut_ = 0;  // never set: the time-out only arms the timer

    // The collected records, in order of arrival (by sequence number), indexed by merge key.
    mutable std::mutex mutex_;
    // A few records are found by scanning them; from kIndexedFrom on the observer keeps an
    // index until it holds none again.
    static constexpr size_t kIndexedFrom = 16;
    std::vector<Record> records_;  // with the holes erasures leave
    std::vector<Bytes> keySets_;   // packed keys the records share
    uint8_t lastKeySet_ = 0;
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    uint8_t* blockAt_ = nullptr;  // the free end of the last block
    size_t blockLeft_ = 0;
    size_t blockBytes_ = 0;  // in all blocks
    size_t deadBytes_ = 0;   // of erased records, in the blocks until repacked
    size_t live_ = 0;
    // Whether the last reply was a new appliance. A reply that most likely is one too is packed
    // while its index slot is fetched, before it is looked up.
    bool lastWasNew_ = true;
    bool indexed_ = false;
    std::vector<uint64_t> slots_;
    size_t indexedKeys_ = 0;
    bool sharedKeys_ = false;  // deviceArrayAddDic put in a key that was already there
    size_t passing_ = 0;
    uint64_t nextSeq_ = 1;
};

}  // namespace telvo
