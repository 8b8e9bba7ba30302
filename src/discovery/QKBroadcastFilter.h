#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Value.h"

namespace telvo {

// Rule types of a discovery filter: which entry of a device dictionary a value is compared
// with, ignoring case.
enum QKBroadcastFilterType : int64_t {
    QKBroadcastFilterTypeSn = 0,          // kQKSDKDeviceSn
    QKBroadcastFilterTypeId = 1,          // kQKSDKDeviceId
    QKBroadcastFilterTypeTypeOrSSID = 2,  // type after its last "0x", whole type, or SSID
    QKBroadcastFilterTypeType = 3,        // kQKSDKDeviceType
    QKBroadcastFilterTypeAll = 4,         // every dictionary; the rule has no values
};

// Selects device dictionaries by rules. Set it up before its observer is registered; after
// that it is only read, from any thread.
class QKBroadcastFilter {
  public:
    QKBroadcastFilter() = default;

    // Adds one rule. An empty value array or a type outside 0...4 changes nothing (the latter
    // is logged). Type 4 replaces the rules' effect by "everything"; a later rule of another
    // type takes it away again. Values of a type are merged without duplicates.
    void addRulesWithFilterType(int64_t type, const std::vector<std::string>& values);

    // The dictionaries of the list that match a rule, in list order, without a second one of
    // the same serial number (ignoring case); with isCheckDeviceID only those whose
    // kQKSDKDeviceId reads as a non-zero integer. No rules: the list as given. nullopt for
    // nullopt.
    std::optional<Value::Array> filterResultListWithDeviceList(
        const std::optional<Value::Array>& list) const;
    // The same over borrowed dictionaries; the result points into the input.
    std::vector<const Value*> filterResult(const std::vector<const Value*>& list) const;
    // Whether a one-element list holding the dictionary gives a non-empty result. A list's
    // result is the result of its passing elements alone.
    bool passes(const Value& dic) const;

    // Whether the list holds a dictionary with the same kQKSDKDeviceSn, ignoring case.
    static bool isDeviceListContainDevice(const Value::Array& list, const Value& device);

    bool isCheckDeviceID() const { return isCheckDeviceID_; }
    void setIsCheckDeviceID(bool check) { isCheckDeviceID_ = check; }
    const std::map<int64_t, std::vector<std::string>>& mFilterDictionary() const { return rules_; }

  private:
    bool matchesAnyRule(const Value& dic, size_t* matchCount) const;

    bool isCheckDeviceID_ = false;
    std::map<int64_t, std::vector<std::string>> rules_;
};

}  // namespace telvo
