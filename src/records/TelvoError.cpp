#include "telvosdk/TelvoError.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

namespace telvo {

namespace {

struct Message {
    int64_t code;
    std::string_view text;
};

// Sorted by code. Codes without an entry have no text.
constexpr Message kMessages[] = {
    {0, "Executed Successfully."},
    {1307, "The appliance is offline"},
    {1321, "The appliance is report randomCode_failed"},
    {4006, "Unknown Device, the Wi-Fi AP SSID must start with fixed format"},
    {4007, "Failed to connect to Korvo Appliance"},
    {4011, "Find device time out in AP mode"},
    {4012, "Invalid home wifi BSSID"},
    {4013, "Find device time out in STA mode"},
    {4014, "Write temp deviceId time out"},
    {4019, "Failed to get wifi list"},
    {4020, "Set password and SSID wrong SSID"},
    {4021, "Set password and SSID wrong password length"},
    {4022, "Set password and SSID wrong BSSID"},
    {4023, "Set password and SSID timeout"},
    {4024, "Failed to set password and SSID"},
    {4025, "Set password and SSID time out"},
    {4029, "Failed to change AP to STA"},
    {4030, "Fast connect disconnect home wifi"},
    {4031, "Fast connect find device time out"},
    {4032, "Config version unSupport"},
    {4051, "BLE get public key fail"},
    {4052, "BLE check key fail"},
    {4053, "BLE send wifi info unknown reply"},
    {4056, "BLE find ssid fail"},
    {4058, "BLE parst DNS fail"},
    {4059, "BLE connect tcp with cloud fail"},
    {4060, "BLE heartbeat time out"},
    {4061, "BLE login sst fail"},
    {4062, "BLE module active restart"},
    {4063, "BLE module passive restart"},
    {4064, "BLE sdk auth fail"},
    {4065, "BLE closed by cloud"},
    {4066, "BLE logining send data fail"},
    {4085, "BLE connect peripheral fail"},
    {4086, "BLE discover service fail"},
    {4087, "BLE discover characteristics fail"},
    {4089, "BLE time out"},
    {4090, "Set password and SSID wrong password"},
    {4094, "BLE send wifi info password wrong"},
    {4096, "BLE send wifi info param different"},
    {4097, "BLE send wifi info param wrong"},
    {4098, "BLE router RSSI weak"},
    {4099, "BLE DHCP fail"},
    {4100, "BLE router auth error"},
    {4101, "BLE router association error"},
    {4115, "BLE login server time out"},
    {4116, "BLE scan channel fail module reply 0x11"},
    {4117, "BLE scan channel fail module reply 0x12"},
    {4118, "BLE scan channel fail module reply 0x13"},
    {4119, "BLE scan channel fail module reply 0x14"},
    {4120, "BLE scan channel fail module reply 0x15"},
    {4121, "BLE scan channel fail module reply 0x16"},
    {4122, "Current Wifi unable access cloud"},
    {4123, "BLE country code error"},
    {4124, "BLE time zone error"},
    {4125, "BLE channel list error"},
    {4127, "Set password and SSID country code error"},
    {4128, "Set password and SSID time zone error"},
    {4129, "Set password and SSID channel list error"},
    {4135, "Set password and SSID unknown error"},
    {4136, "Set password and SSID module server domain error"},
    {4137, "Set password and SSID module server port error"},
    {4138, "Set password and SSID regionID error"},
    {4139, "Set password and SSID function type error"},
    {4140, "BLE module server port error"},
    {4141, "BLE module server port error"},
    {4142, "BLE regionID error"},
    {4143, "BLE function type peripheral"},
    {4144, "BLE unsupport 5G WIFI error"},
    {4145, "BLE already bind error"},
    {4146, "BLE receive data error"},
    {4168, "The appliance is report ble_find_lan_online "},
    {4169, "The appliance is report ap_find_lan_online "},
    {6002, "Data sending is timeout"},
    {8000, "Invalid Parameter"},
    {9000, "Error back result from K-Cloud"},
    {9002, "Net request time out"},
    {9003, "Network is not available"},
};

constexpr bool sorted() {
    for (size_t i = 1; i < std::size(kMessages); ++i)
        if (kMessages[i - 1].code >= kMessages[i].code) return false;
    return true;
}
static_assert(sorted());

constexpr char kSuccessText[] = "Executed Successfully.";

}  // namespace

std::optional<std::string> TelvoError::desWithSDKErrorCode(int64_t code) {
    auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                               [](const Message& m, int64_t c) { return m.code < c; });
    if (it == std::end(kMessages) || it->code != code) return std::nullopt;
    return std::string(it->text);
}

ErrorPtr TelvoError::sucError() {
    static const ErrorPtr success = makeError(kDomain, 0, kSuccessText);
    return success;
}

int64_t TelvoError::compositeCode(int64_t type, int64_t src, int64_t code) {
    const int n = std::max(static_cast<int>(std::to_string(code).size()), 4);
    if (n > 18) return code;
    __int128 scale = 1;
    for (int i = 0; i < n; ++i) scale *= 10;
    // |type| * 10^19 + |src| * 10^18 + |code| stays far inside 128 bits.
    const __int128 composite = code + src * scale + type * scale * 10;
    if (composite > INT64_MAX || composite < INT64_MIN) return code;
    return static_cast<int64_t>(composite);
}

ErrorPtr TelvoError::errorWithType(int64_t type, int64_t src, int64_t code,
                                   std::optional<std::string> msg) {
    if (code == 0) return sucError();
    return makeError(kDomain, compositeCode(type, src, code), std::move(msg).value_or(""));
}

ErrorPtr TelvoError::sdkErrorWithType(int64_t type, int64_t code) {
    return errorWithType(type, 1, code, desWithSDKErrorCode(code).value_or(""));
}

ErrorPtr TelvoError::configNetErrorWithCode(int64_t code) {
    return sdkErrorWithType(1, code);
}

int64_t TelvoError::codeForSDKError(const ErrorPtr& error) {
    if (!error || error->code() == 0) return 0;
    std::string text = std::to_string(error->code());
    if (text.size() < 3) return -1;
    int64_t plain = 0;
    auto [end, ec] = std::from_chars(text.data() + 2, text.data() + text.size(), plain);
    if (ec != std::errc() || end != text.data() + text.size()) return -1;
    return plain;
}

}  // namespace telvo
