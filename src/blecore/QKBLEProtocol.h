#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/QKDeviceBleConfigParams.h"
#include "telvosdk/Value.h"

namespace telvo {

class CBPeripheral;

// CRC-32 (ISO-HDLC, as zlib and PNG) continued from crc over len bytes; crc for len 0. Lives in
// telvo so that it never clashes with zlib's own crc32.
uint32_t crc32(uint32_t crc, const uint8_t* buf, size_t len);

// The BLE frame codec and the builders of the BLE message bodies.
//
// Frame: AA 55, length L, sequence number, message type, payload, check value; L + 2 bytes.
// Protocol versions 0 and 1 (and any value but 2 and 3) write a short frame (one-byte L = P + 4,
// additive checksum); 2 and 3 a long frame (L = P + 6 little-endian, CRC-16/XMODEM). The
// payload of message type 0x10 is plain; any other payload is AES-128-ECB (versions 0 to 2) or
// AES-CCM with the frame's first six bytes as associated data (version 3). Version 3 puts a
// two-byte frame counter in front of the body (a sequence number: it does not stop a frame
// from being played again).
//
// Class operations are stateless apart from the process-wide sequence number; they may run on
// any thread. An instance is one parsed received frame, owned by whoever parsed it.
class QKBLEProtocol {
  public:
    // Splitter result codes.
    enum ReceiveResult : int64_t {
        kReceiveNoData = 0,
        kReceiveFrame = 1,         // one whole frame whose check value is right
        kReceiveFrameStart = 2,    // a frame start whose remaining bytes have not arrived
        kReceiveContinuation = 3,  // data that does not begin with AA 55
    };
    using ReceiveBlock = std::function<void(int64_t result, const std::optional<Bytes>& data)>;

    // ---- Frames.
    // The whole frame for a body, or nothing (and the sequence number unchanged) when the body
    // does not fit the length field or the payload cannot be encrypted (a key under 16 bytes,
    // a key the CCM engine refuses). Advances the sequence number.
    static std::optional<Bytes> getProtocolDataWithMsgBody(ByteView body, ByteView keyData,
                                                           int64_t msgType, int64_t protocolType,
                                                           int64_t antiCnt);
    // The parsed frame, or nullptr when the data is shorter than 6 bytes, its length field is
    // too small for its header or the payload it declares runs past the data. Does not verify
    // the check value (checkNumWithData does). decrptMsgBody is absent when decryption fails.
    // Version 3: the first two bytes of a body of two or more are the counter (cntId), taken
    // off it, so a counter alone leaves an empty body.
    static std::shared_ptr<QKBLEProtocol> initProtocolData(ByteView frame, ByteView keyData,
                                                           int64_t protocolType);
    // Cuts received data into frames and calls block synchronously, zero or more times, before
    // returning. A whole frame with a wrong length or check value is dropped without a call.
    // The data is not searched for a later AA 55.
    static void parseReceiveData(const std::optional<Bytes>& data, int64_t protocolType,
                                 const ReceiveBlock& block);
    // YES when the length field equals the data length minus 2, is large enough for the
    // header, and the check value matches.
    static bool checkNumWithData(ByteView frame, int64_t protocolType);
    // The low 16 bits of value, little-endian.
    static Bytes getAntiReplayCntData(int64_t value);
    // The classic key exchange's reply (message type 0x01): {"subCmd" 1, "encodeType" 2,
    // "devicePublicKey" (64 bytes)} or {"subCmd" 2, "encodeType", "result" (bool)}; nothing for
    // any other body.
    static std::optional<Dictionary> dicForAesKeyReplyWithData(ByteView body);
    // CRC-32 of data; 0 for empty data.
    static uint32_t crc32(ByteView data);

    // The sequence number the last frame carried (1 before any frame).
    static int currentMsgId();
    static void resetMsgIdForTesting();

    // ---- Message bodies. Builders with a length byte return nothing when a value does not
    // fit it (over 255 bytes, a count over its field). Texts are taken as UTF-8; hex texts go
    // through QKStringFormat::dataFromHexString (mesh values: QKTool::dataForHexString);
    // numbers held as text are read as their leading decimal value, one-byte fields keeping
    // the low 8 bits.
    // 0x01: 01 and nine 00.
    static Bytes msgBodyForGetDevicePublicKey();
    // 0x01: 02 02, the public key (exactly 64 bytes, else nothing), the authentication key.
    static std::optional<Bytes> msgBodyForAuthSecretKey(ByteView publicKey, ByteView authKey);
    // 0x04: 03 01, action type, code.
    static Bytes msgBodyForWriteVericode(ByteView code, uint8_t actionType);
    // 0x66: 01; 02 and the authorisation type.
    static Bytes msgBodyForDeviceConfirmCheck();
    static Bytes msgBodyForDeviceConfirmSetWithAuthType(uint8_t authType);
    // 0x67 (first generation): 01, country code (00 00 absent), time zone (FF absent), N
    // channel entries (at most 127), region ID 32-bit LE.
    static std::optional<Bytes> msgBodyForCoutryChannelWithCountryCode(
        const std::optional<std::string>& countryCode, const std::optional<std::string>& timeZone,
        const Value::Array& channelList, const std::optional<std::string>& regionID);
    // 0x68 (first generation): BSSID, 01, SSID and password lengths, SSID, password, random
    // code, 00.
    static std::optional<Bytes> msgBodyForConnectWithRouterSSID(
        const std::optional<std::string>& routerSSID,
        const std::optional<std::string>& routerPassword,
        const std::optional<std::string>& routerBssid, const std::optional<std::string>& random);
    // 0x69 second-generation Wi-Fi configuration; logs the ADS cluster ID when it is written.
    static std::optional<Bytes> msgBodyForPreConnect(const QKDeviceBleConfigParams& params,
                                                     uint8_t mode);
    // 0x69 wired-network configuration; logs the ADS cluster ID when it is written.
    static std::optional<Bytes> msgBodyWired(const QKDeviceBleConfigParams& params, uint8_t mode);
    // 0x67 router update (retry flow): 02, field count, tagged fields.
    static std::optional<Bytes> msgBodyForRouterUpdateWithModel(
        const QKDeviceBleConfigParams& params);
    // 0x0E: 01 01, mode, action type.
    static Bytes msgBodyForSpecialModeBluetooth(uint8_t mode, uint8_t actionType);
    // 0x63: the query type and eighteen 00.
    static Bytes msgBodyForCheckStatus(uint8_t queryType);
    // 0x09: 24 bytes, the family ID before the appliance ID, each signed 64-bit LE. Logged.
    static Bytes msgBodyForCheckDeviceId(const std::optional<std::string>& deviceId,
                                         const std::optional<std::string>& familyId);
    // 0x40: 01. 0x20: 04.
    static Bytes msgBodyForGetProduct();
    static Bytes msgBodyForBleMeshConfigInfo();
    // 0x20: 05 01, field count, the fixed field, the key field when the key is not empty, the
    // address field when there are addresses (all of the first one's length, else nothing).
    static std::optional<Bytes> msgBodyForBleMeshNetKey(
        const std::optional<std::string>& meshNetKey,
        const std::vector<std::string>& meshAddressArr);

    // ---- A peripheral's stored advertisement, handed to TelvoBleTool (main thread: they read
    // the peripheral's record).
    // The capability dictionary of the stored advertisement's manufacturer data and local
    // name; nothing without a stored advertisement or for data that is not the product's.
    static std::optional<Dictionary> bleDeviceModelForAdvertisementData(
        const std::shared_ptr<CBPeripheral>& peripheral);
    // TelvoBleTool::bleAdvDicWithPeripheral.
    static std::optional<Dictionary> bleAdvDicWithPeripheral(
        ByteView manufacturerData, const std::optional<std::string>& bleName);
    // TelvoBleTool::bleModuleTypeForAdvertisementData for the peripheral; 99 means none.
    // Registered by registerBleCore() as class "QKBLEProtocol", class selector
    // "bleModuleTypeForAdvertisementData:configType:" with arguments (CBPeripheralPtr, int64_t),
    // answering an int64_t.
    static int64_t bleModuleTypeForAdvertisementData(
        const std::shared_ptr<CBPeripheral>& peripheral, int64_t configType);

    // ---- One parsed frame.
    int32_t msgID() const { return msgID_; }
    void setMsgID(int32_t value) { msgID_ = value; }
    int64_t msgType() const { return msgType_; }
    void setMsgType(int64_t value) { msgType_ = value; }
    const Bytes& encrptMsgBody() const { return encrptMsgBody_; }
    void setEncrptMsgBody(Bytes value) { encrptMsgBody_ = std::move(value); }
    // Absent when decryption failed.
    const std::optional<Bytes>& decrptMsgBody() const { return decrptMsgBody_; }
    void setDecrptMsgBody(std::optional<Bytes> value) { decrptMsgBody_ = std::move(value); }
    int64_t cntId() const { return cntId_; }
    void setCntId(int64_t value) { cntId_ = value; }

  private:
    int32_t msgID_ = 0;
    int64_t msgType_ = 0;
    Bytes encrptMsgBody_;
    std::optional<Bytes> decrptMsgBody_;
    int64_t cntId_ = 0;
};

// Reassembles the notification values of one BLE link into frames. Bytes are appended to one
// buffer; a frame is handed over as soon as the buffer holds its declared length, and the rest
// stays for the next frame. A frame whose length field or check value is wrong is dropped and
// the buffer resynchronises on the next AA 55. A notification that begins with AA 55 while a
// frame is incomplete is read both ways: as a new frame in the buffer, and as that frame's next
// piece (its sealed bytes may begin with AA 55 by chance). Every such reading that can still
// grow is kept, at most kMaxReadings of them (the oldest goes first), until one makes a whole
// frame whose check value holds and that onFrame opens; the others are dropped then. A frame
// that onFrame cannot open (its check value held by chance: a one-byte checksum does for one
// false frame start in 256) ends only its own reading, and the others are tried next. The
// buffer and each reading never hold more than kCapacity bytes (the largest long frame). The
// work grows with the bytes received, not with the lengths that the frame starts among them
// claim. One link, one thread at a time; onFrame runs synchronously, inside receive, and must
// not call receive or reset on the same object.
class QKBLEFrameAssembler {
  public:
    static constexpr size_t kCapacity = 65537;
    static constexpr size_t kMaxReadings = 8;
    // Takes a whole frame whose check value holds; answers whether it opened.
    using FrameSink = std::function<bool(Bytes)>;

    void receive(ByteView data, int64_t protocolType, const FrameSink& onFrame);
    void reset() {
        buffer_.clear();
        crcs_.assign(1, 0);
        readings_.clear();
    }
    size_t pendingSize() const { return buffer_.size(); }
    // The bytes held in the buffer and in every other reading.
    size_t heldSize() const;

  private:
    // Hands over a reading's first frame, `length` bytes; when it opens, the rest of the
    // reading becomes the buffer, the other readings are dropped and the rest's frames follow.
    // Answers whether it opened.
    bool offer(Bytes reading, size_t length, int64_t protocolType, const FrameSink& onFrame);
    // Appends data to the buffer, at most kCapacity bytes at a time, handing over its frames.
    void take(ByteView data, int64_t protocolType, const FrameSink& onFrame);
    void drain(int64_t protocolType, const FrameSink& onFrame);
    // The buffer grows at its end and gives up its front; crcs_ follows it.
    void keep(ByteView data);
    void consume(size_t count);
    Bytes takeBuffer();
    // The CRC-16/XMODEM of buffer_[from, to), in the same few steps whatever its length.
    uint16_t crcOf(size_t from, size_t to) const;
    Bytes buffer_;
    // crcs_[i]: the CRC-16/XMODEM register after the bytes kept before buffer_[i], counted from
    // the buffer's last replacement; one more entry than buffer_ holds. A long frame's check
    // value anywhere in the buffer comes from two of them, so resynchronising through bytes
    // full of frame starts that claim long lengths does not check each claimed length anew.
    std::vector<uint16_t> crcs_{0};
    // The other readings of incomplete frames, oldest first: a frame start with every later
    // notification appended.
    std::vector<Bytes> readings_;
};

// Registers the BLE core's run-time names (called once by the library's initialiser).
void registerBleCore();

}  // namespace telvo
