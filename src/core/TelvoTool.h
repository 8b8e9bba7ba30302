#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/Value.h"

namespace telvo {

// Helpers of the older public classes. Stateless class operations, callable from any thread.
class TelvoTool {
  public:
    // The pretty-printed JSON text of a dictionary with every " " and every "\n" removed,
    // inside texts too; nullopt when the value cannot be written as JSON.
    static std::optional<std::string> returnJSONStringWithDictionary(const Value& dictionary);
    // The bytes a hex text writes, blanks ignored.
    static Bytes hexStrToNSData(const std::string& text);
    // The cloud bind codes that end a BLE session at once: 1370 and 1385 when the settings
    // value "sdkWorkMode" is "10001", else none. Read afresh at every call.
    static std::vector<int64_t> getDuplicationCodeForBindError();
    // Two uppercase hex digits a byte; nullopt for no bytes.
    static std::optional<std::string> hexDataToNSString(ByteView data);
};

}  // namespace telvo
