#include "core/TelvoTool.h"

#include "core/HexText.h"
#include "core/QKTool.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo {

std::optional<std::string> TelvoTool::returnJSONStringWithDictionary(const Value& dictionary) {
    if (!dictionary.isDictionary() && !dictionary.isArray()) return std::nullopt;
    std::optional<std::string> pretty = dictionary.toPrettyJSON();
    if (!pretty) return std::nullopt;
    std::string out;
    out.reserve(pretty->size());
    for (char c : *pretty)
        if (c != ' ' && c != '\n') out.push_back(c);
    return out;
}

Bytes TelvoTool::hexStrToNSData(const std::string& text) {
    return QKTool::hexStrToNSData(text);
}

std::vector<int64_t> TelvoTool::getDuplicationCodeForBindError() {
    Value mode = QKUserDefault::standardUserDefaults()->valueForKey("sdkWorkMode");
    if (mode.isText() && mode.text() == "10001") return {1370, 1385};
    return {};
}

std::optional<std::string> TelvoTool::hexDataToNSString(ByteView data) {
    if (data.empty()) return std::nullopt;
    return hextext::encode(data, true);
}

}  // namespace telvo
