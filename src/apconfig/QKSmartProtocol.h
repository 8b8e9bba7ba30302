#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"

namespace telvo {

// Fills the first n bytes of buffer with c when n > 0, then writes a zero at position n;
// returns buffer. The buffer must hold n + 1 bytes.
char* smartmemset(char* buffer, int c, int n);

// The smart-connect encoder: turns the router's SSID, password and BSSID and two random bytes
// A and B (1..255) into a multicast sequence (addresses 239.x.y.z whose last three octets
// carry the data) and a broadcast sequence (numbers carried as datagram lengths, sent as that
// many 'a' bytes). It sends nothing, never fails and keeps no state beyond its inputs; one
// object serves one thread at a time.
//
// The fields carry a password of up to 64 bytes and an SSID of up to 32 bytes (the Wi-Fi
// limits); longer values are encoded as they are and do not fit their index fields.
class QKSmartProtocol {
  public:
    QKSmartProtocol(std::string routerSSID, std::string routerPassword, std::string routerBSSID,
                    int32_t randomA, int32_t randomB);
    QKSmartProtocol(const QKSmartProtocol&) = default;
    QKSmartProtocol& operator=(const QKSmartProtocol&) = default;
    ~QKSmartProtocol() { wipe(); }

    // The password, its bytes and its checksum, cleansed: the encoder carries no password any
    // more (its sequences are then those of an empty one).
    void wipe();

    // "239.x.y.z" texts, built afresh on each call.
    std::vector<std::string> createMulticastArray() const;
    // Fill texts whose lengths are the sequence's values, built afresh on each call.
    std::vector<std::string> createBroadcastArray() const;

    // The BSSID split at ":": six parts read as hexadecimal, each kept to its low 8 bits;
    // any other number of parts gives six zeros.
    void getArrayForBSSID();
    // Lengths, byte buffers and CRC-16/XMODEM values of password and SSID.
    void initData();
    // The three BSSID addresses that lead both halves of the multicast sequence.
    std::vector<std::string> leadingArray() const;
    // The nine broadcast elements of password group index (SSID group when isSSID), or none
    // when the data is not longer than 4 * index bytes.
    std::vector<std::string> arrayWithIndex(int index, bool isSSID) const;
    // n bytes of 'a'.
    static std::string msgStringWithLength(int n);
    // (v OR 0x100) bytes of 'a'.
    static std::string msgBodyStringWithLength(int v);
    // The group checksum of five fill texts: CRC-8/MAXIM over their lengths modulo 256, made
    // odd, as a fill text.
    static std::string checkSumWith(const std::string& strA, const std::string& strB,
                                    const std::string& strC, const std::string& strD,
                                    const std::string& strE);
    // (crc AND 0xFE) OR 1.
    static int checkSum(int crc);

    int32_t randomA() const { return randomA_; }
    int32_t randomB() const { return randomB_; }
    int32_t passCRC() const { return passCRC_; }
    int32_t SSIDCRC() const { return SSIDCRC_; }
    int32_t passLength() const { return passLength_; }
    int32_t SSIDLength() const { return SSIDLength_; }
    const std::string& routerSSID() const { return routerSSID_; }
    const std::string& routerPassword() const { return routerPassword_; }
    const std::string& routerBSSID() const { return routerBSSID_; }
    const Bytes& passphrase() const { return passphrase_; }
    const Bytes& AP_SSID() const { return AP_SSID_; }
    const std::vector<int>& routerBSSIDArray() const { return routerBSSIDArray_; }

  private:
    int32_t randomA_;
    int32_t randomB_;
    int32_t passCRC_ = 0;
    int32_t SSIDCRC_ = 0;
    int32_t passLength_ = 0;
    int32_t SSIDLength_ = 0;
    std::string routerSSID_;
    std::string routerPassword_;
    std::string routerBSSID_;
    Bytes passphrase_;
    Bytes AP_SSID_;
    std::vector<int> routerBSSIDArray_;
};

}  // namespace telvo
