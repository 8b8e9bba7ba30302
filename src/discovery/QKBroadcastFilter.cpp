#include "discovery/QKBroadcastFilter.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "logging/QKLog.h"
#include "telvosdk/QKSDKConstants.h"

namespace telvo {

namespace {

// qksdk_isEqualToStringIgnoreCase on texts in place: the filter runs for every reply.
bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return x == y || std::tolower(static_cast<unsigned char>(x)) ==
                                    std::tolower(static_cast<unsigned char>(y));
           });
}

// Only a text entry can equal a value.
bool equalIgnoringCase(const Value& entry, std::string_view value) {
    return entry.isText() && sameIgnoringCase(entry.text(), value);
}

bool matchesValue(const Dictionary& dic, int64_t type, const std::string& value) {
    switch (type) {
        case QKBroadcastFilterTypeSn:
            return equalIgnoringCase(dic[kQKSDKDeviceSn], value);
        case QKBroadcastFilterTypeId:
            return equalIgnoringCase(dic[kQKSDKDeviceId], value);
        case QKBroadcastFilterTypeTypeOrSSID: {
            const Value& type = dic[kQKSDKDeviceType];
            if (type.isText()) {
                const std::string_view text = type.text();
                const size_t at = text.rfind("0x");
                if (at != std::string_view::npos && sameIgnoringCase(text.substr(at + 2), value))
                    return true;
            }
            return equalIgnoringCase(type, value) ||
                   equalIgnoringCase(dic[kQKSDKDeviceSSID], value);
        }
        case QKBroadcastFilterTypeType:
            return equalIgnoringCase(dic[kQKSDKDeviceType], value);
        default:
            return false;
    }
}

bool sameSerial(const Value& a, const Value& b) {
    const Value& x = a[kQKSDKDeviceSn];
    const Value& y = b[kQKSDKDeviceSn];
    return x.isText() && y.isText() && sameIgnoringCase(x.text(), y.text());
}

}  // namespace

void QKBroadcastFilter::addRulesWithFilterType(int64_t type,
                                               const std::vector<std::string>& values) {
    if (values.empty()) return;
    if (static_cast<uint64_t>(type) > QKBroadcastFilterTypeAll) {
        QKSDKLOG("不支持的过滤条件");
        return;
    }
    if (type == QKBroadcastFilterTypeAll) {
        rules_[QKBroadcastFilterTypeAll] = {};
        return;
    }
    rules_.erase(QKBroadcastFilterTypeAll);
    auto& rule = rules_[type];
    if (rule.empty()) {
        rule = values;
        return;
    }
    for (const auto& value : values)
        if (std::find(rule.begin(), rule.end(), value) == rule.end()) rule.push_back(value);
}

bool QKBroadcastFilter::matchesAnyRule(const Value& dic, size_t* matchCount) const {
    // A non-dictionary reads as an empty dictionary: it matches only the type-4 rule.
    const Dictionary& d = dic.dictionary();
    size_t count = 0;
    for (const auto& [type, values] : rules_) {
        if (type == QKBroadcastFilterTypeAll) {
            ++count;
        } else {
            for (const auto& value : values) count += matchesValue(d, type, value);
        }
        // Without a count to give, the first match answers.
        if (!matchCount && count > 0) return true;
    }
    if (matchCount) *matchCount = count;
    return count > 0;
}

std::vector<const Value*> QKBroadcastFilter::filterResult(
    const std::vector<const Value*>& list) const {
    if (rules_.empty()) return list;
    std::vector<const Value*> result;
    for (const Value* dic : list) {
        size_t matches = 0;
        if (!matchesAnyRule(*dic, &matches)) continue;
        // One entry per match, unless the result already has the serial number (a dictionary
        // without one is never found, so it enters once per matching value).
        for (size_t i = 0; i < matches; ++i) {
            const bool known = std::any_of(result.begin(), result.end(),
                                           [&](const Value* r) { return sameSerial(*r, *dic); });
            if (!known) result.push_back(dic);
        }
    }
    if (isCheckDeviceID_) {
        std::erase_if(result,
                      [](const Value* d) { return (*d)[kQKSDKDeviceId].int64Value() == 0; });
    }
    return result;
}

std::optional<Value::Array> QKBroadcastFilter::filterResultListWithDeviceList(
    const std::optional<Value::Array>& list) const {
    if (!list) return std::nullopt;
    if (rules_.empty()) return list;
    std::vector<const Value*> in;
    in.reserve(list->size());
    for (const auto& d : *list) in.push_back(&d);
    Value::Array out;
    for (const Value* d : filterResult(in)) out.push_back(*d);
    return out;
}

bool QKBroadcastFilter::passes(const Value& dic) const {
    if (rules_.empty()) return true;
    if (!matchesAnyRule(dic, nullptr)) return false;
    return !isCheckDeviceID_ || dic[kQKSDKDeviceId].int64Value() != 0;
}

bool QKBroadcastFilter::isDeviceListContainDevice(const Value::Array& list, const Value& device) {
    return std::any_of(list.begin(), list.end(),
                       [&](const Value& d) { return sameSerial(d, device); });
}

}  // namespace telvo
