#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"

namespace telvo {

class CBPeripheral;

// Helpers of the configuration flows: hex and MAC texts, checksums, appliance SSIDs.
// Stateless class operations, callable from any thread.
class QKTool {
  public:
    // The appliance SSID prefixes accepted when the app gave none.
    static const std::vector<std::string>& defaultSSIDPrefixes();
    // The app's prefixes, or the default ones when it gave none.
    static const std::vector<std::string>& acceptedSSIDPrefixes(
        const std::vector<std::string>& prefixArray);

    // Two hex digits a byte, a final odd digit alone making the last byte; a pair is read
    // base-16 up to its first non-digit. nullopt for nullopt or empty text.
    static std::optional<Bytes> convertHexStrToData(const std::optional<std::string>& text);
    // Lowercases the text and turns each pair into one byte (read as above); a lone last
    // digit is dropped. nullopt for nullopt or empty text.
    static std::optional<Bytes> dataFromHexString(const std::optional<std::string>& text);
    // Lowercases the text and turns each pair into one byte, high nibble from the first
    // character, low from the second; a character that is not a hex digit counts as 0 and a
    // lone last character gives its value times 16. nullopt for nullopt; empty for empty.
    static std::optional<Bytes> dataForHexString(const std::optional<std::string>& text);
    // The bytes a hex text writes, blanks ignored (pairs as convertHexStrToData reads them).
    static Bytes hexStrToNSData(const std::string& text);
    // Lowercase hex text of the UTF-8 bytes of a text.
    static std::string hexStringFromString(const std::string& text);
    // Two uppercase hex digits a byte; "" for no bytes.
    static std::string stringExchangeWithData(ByteView data);
    // The bytes in reverse order.
    static Bytes turnOverData(ByteView data);
    // YES when both texts, without ":" and in upper case, are equal; an absent text matches
    // nothing.
    static bool isEqualMacStr(const std::optional<std::string>& mac,
                              const std::optional<std::string>& targetMac);
    // Groups between ":" padded to two characters ("a" -> "0a", "" -> "00") and joined;
    // "000000000000" unless that gives exactly 12 characters.
    static std::string safeSetBssid(const std::optional<std::string>& bssid);
    // CRC-16/XMODEM (polynomial 0x1021, initial 0, MSB first, no final XOR); 0 for len < 1.
    static uint16_t crc16(const uint8_t* data, int len);
    // CRC-8/MAXIM (reflected polynomial 0x8C, initial 0, no final XOR); 0 for len < 1.
    static uint8_t crc8(const uint8_t* data, int len);
    // The second "_"-separated field of an SSID with at least three fields.
    static std::optional<std::string> getDeviceTypeWithSSID(const std::optional<std::string>& ssid);
    // YES when the SSID is an accepted prefix (either case), "_", two characters, "_" and four
    // characters. An empty prefix array means the default prefixes.
    static bool isKorvoSSID(const std::optional<std::string>& ssid,
                            const std::vector<std::string>& prefixArray);
    // "<prefix>_<XX>_<last four characters of the serial>" for a type "0xXX" (two hex digits);
    // nullopt when the serial is shorter than four characters or the type has another form.
    static std::optional<std::string> getSSIDBySN(const std::optional<std::string>& sn,
                                                  const std::optional<std::string>& type,
                                                  const std::string& prefix);

    // The IPv4 broadcast address of "en0", else that of "en2" unless it is link-local
    // (169.254.x.x); nullopt when neither gives one.
    static std::optional<std::string> getIPBordcastAddress();
    // Calls block before returning, on the calling thread, with the current Wi-Fi SSID, BSSID
    // ("00:00:00:00:00:00" when there is none) and security type. When the Wi-Fi facts may not
    // be read, logs "currentwifi = isNotWifiInfoEnable" and hands no SSID.
    using WifiInfoBlock =
        std::function<void(const std::optional<std::string>& ssid, const std::string& bssid,
                           std::optional<int64_t> securityType)>;
    static void currentWifiInfoWithBlock(const WifiInfoBlock& block);
    // YES when the Wi-Fi facts may be read.
    static bool isWifiInfoEnable();
    // NO only when the platform's reachability reports the cloud host (settings value
    // "QKServerAddress", else the configuration's server host, else any address by the default
    // route) not reachable; YES when reachable or unknown.
    static bool getCurrentNetWorkStatus();

    // The longest piece of a BLE frame one write carries: the smaller of the peripheral's
    // maximum write lengths with and without response, but at least 20 (also for nullptr).
    static int64_t getBleMTUWithPeripheral(const std::shared_ptr<CBPeripheral>& peripheral);

    // A new request id: lowercase hex MD5 of a new UUID, the local time "yyyyMMddHHmmss" and
    // a random number below 65535.
    static std::string createReqId();
    // A new random UUID, 32 uppercase hex digits without dashes.
    static std::string getCurrentUUID();
    // A date (seconds since 1970, as Clock::wallTime()) in the local time zone of the library
    // clock, by a date pattern: yyyy, yy, MM, M, dd, d, HH, H, hh, h, mm, m, ss, s, S... (the
    // fraction), a (AM/PM) and 'quoted' text; other characters are copied.
    static std::string getNSStringFromNSDate(double date, const std::string& format);
    // Milliseconds since 1970 of a date, fraction dropped.
    static int64_t longLongFromDate(double date);
};

}  // namespace telvo
