#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"
#include "telvosdk/QKDeviceApConfigParams.h"
#include "telvosdk/Value.h"

namespace telvo {

// One appliance LAN frame: a 40-byte header (magic 5A 5A, version, encryption and signing,
// length, message type, tag, local time stamp, appliance ID), the body, and a 16-byte MD5
// signature slot. Used over UDP for discovery and over the TCP session on port 6444.
//
// Bodies are byte strings. oriMessageArray is the plain body a builder sets; messageArray is
// the body as it went on the wire after getByteStream, and the plain, decrypted body after
// reading. A frame object is built, written or read on the caller's thread and not shared.
class QKProtocol {
  public:
    // The 8 raw time stamp bytes of a frame's header.
    using TimeStamp = std::array<uint8_t, 8>;

    // Version 1, encryption 0, signed, magic 0x5A5A, empty messageArray.
    QKProtocol();
    // Stores the three (a copy of the key), then applies setEncryptTypeByVerison.
    QKProtocol(int8_t protocolVer, std::optional<ByteView> ecdhSessionKey, int64_t cntId);

    // Version 1: AES-128-ECB and signed; version 3: AES-CCM, unsigned; others: plain, unsigned.
    void setEncryptTypeByVerison();

    // The bytes of one frame; reads the clock and, for encryption type 1 and signing,
    // apConfigDefaultKey. For protocol version 3 it puts the counter in front of
    // oriMessageArray; a later call renews those two bytes from cntId instead of adding a
    // second counter, so every call gives a frame of the same message. Empty (and logged) when the
    // frame cannot be written: type 1 without apConfigDefaultKey, type 2 without a session key or
    // when sealing fails, a builder that refused its input, a frame over 65535 bytes. Callers
    // send nothing then.
    Bytes getByteStream();

    // Reads received bytes. Fewer than 57 bytes (also after dropping an 83 70 wrapper): an
    // object with every field zero and no body. Wrong magic: nullptr. Otherwise the header
    // fields and the decrypted body (none when it does not decrypt or, for AES-CCM, does not
    // authenticate). Version 3: the first two bytes of a body of two or more are the counter
    // (cntId), taken off it. The signature is not checked.
    static std::shared_ptr<QKProtocol> initWithNSData(ByteView data);
    static std::shared_ptr<QKProtocol> initWithNSData(ByteView data,
                                                      std::optional<ByteView> ecdhSessionKey);
    // The 8-byte 83 70 wrapper some modules put in front of a frame.
    static bool isSSTPacketWithData(ByteView data);
    static Bytes unpackWithData(ByteView data);

    // ---- Message builders. Each sets msgType, the encryption and oriMessageArray. A builder
    // that cannot encode its input sets no body, returns false, and getByteStream then writes
    // nothing.
    // 0x92 discovery probe: encryption 1, body FF 00.
    void findDeviceInLanWithDic(const Value& dic = Value());
    // 0x7B heartbeat: plain, signed except for version 3, body 00.
    void heartbeatDataWithDeviceId(int64_t deviceId);
    // 0x43: the device dictionary's 32-character kQKSDKDeviceSn and kQKSDKDeviceSSID (type
    // field of two hex digits). The temporary ID is the FNV-1a 32-bit hash of the lowercase
    // hex MD5 of the serial (any stable hash serves; the appliance only stores it).
    bool writeTempDeviceId(const Value& deviceDic);
    // 0x20 appliance query: "type" (hex text) and kQKSDKDeviceId of the dictionary; also sets
    // deviceID.
    void getDeviceSubType(const Value& dic);
    // 0x68 router credentials, short form. Refuses an SSID or password over 255 bytes.
    bool writeWiFiSSIDWithConfigModel(const QKDeviceApConfigParams& params);
    // 0x81: body 01 for YES, 02 for NO.
    void switchWifiStatusToAP(bool toAP);
    // 0x70 router credentials with options. Refuses a missing SSID, a randomNum of fewer
    // than 32 hex digits, texts or items over 255 bytes, a country code that is not two bytes.
    bool writeNewWiFiSSIDWithConfigModel(const QKDeviceApConfigParams& params);
    // 0x71 body 01 00 00; 0x74 body 00; 0x6B body 00.
    void checkFormerConfigInfo();
    void getGroupDeviceInfo();
    void getWiFiList();
    // 0x75 key agreement, plain and signed: M1 (certificate form) and M3 of QKCommonProtocol.
    // Each returns the body it set (the session keeps M1 for the M2 check); empty, and no
    // body set, when the input does not fit the body's length fields.
    Bytes tlsKeyAgreementWithAppCert(ByteView appCert, ByteView twoCert, ByteView randomN1);
    Bytes tlsKeyAgreementConfirmWithFincData(ByteView finsc);
    // 0x09 bind token; the encryption stays as the constructor chose it. Nothing sends it.
    Bytes tlsKeyAgreementValidBindToken(ByteView token);

    // ---- Reply parsers: class operations on a decrypted reply body. None reads past it.
    // Reply to 0x70: nullptr for an empty body, else success or a configuration error.
    static ErrorPtr handleConfigWiFiAndPWDResp(ByteView body);
    // Reply to 0x71: kQKSDKFormerErrorCode and, after a failed configuration, the former
    // router's SSID, password and status; nullopt when malformed.
    static std::optional<Dictionary> handleLastTimeConfigResp(ByteView body);
    // Reply to 0x74: one dictionary ("sn", "a0") per appliance. An appliance whose items run
    // past the body ends the list.
    static Value::Array handleGroupDeviceResp(ByteView body);
    // Reply to 0x6B: "ssid" and "miType" per network; nullopt when malformed.
    static std::optional<Value::Array> getWifiListWithByteArray(ByteView body);
    // A discovery reply body to the device dictionary; oriProtocol is the frame that carried
    // it (its version and time stamp), or nullptr. nullopt when not a valid reply.
    static std::optional<Dictionary> getUdpDeviceWithMessageArray(ByteView body,
                                                                  const QKProtocol* oriProtocol);

// clang-format off
#define TELVO_LAN_FIELD(Type, name, Setter, init)                 \
  public:                                                         \
    const Type& name() const { return name##_; }                  \
    void Setter(Type value) { name##_ = std::move(value); }       \
                                                                  \
  private:                                                        \
    Type name##_ = init;
    // clang-format on

    TELVO_LAN_FIELD(int8_t, protocolVer, setProtocolVer, 0)
    TELVO_LAN_FIELD(int8_t, miMark, setMiMark, 0)
    TELVO_LAN_FIELD(int8_t, messageDirection, setMessageDirection, 0)
    TELVO_LAN_FIELD(int8_t, responseMark, setResponseMark, 0)
    TELVO_LAN_FIELD(int8_t, compressMark, setCompressMark, 0)
    TELVO_LAN_FIELD(int8_t, nullBit1, setNullBit1, 0)
    TELVO_LAN_FIELD(bool, isAuthentication, setIsAuthentication, false)
    TELVO_LAN_FIELD(int8_t, encryptType, setEncryptType, 0)
    TELVO_LAN_FIELD(bool, isSign, setIsSign, false)
    TELVO_LAN_FIELD(int16_t, protocolHead, setProtocolHead, 0)
    TELVO_LAN_FIELD(int16_t, messageLen, setMessageLen, 0)
    TELVO_LAN_FIELD(int16_t, msgType, setMsgType, 0)
    TELVO_LAN_FIELD(int16_t, timeOut, setTimeOut, 0)
    TELVO_LAN_FIELD(int16_t, messageSign, setMessageSign, 0)
    TELVO_LAN_FIELD(int16_t, messageTypeMark, setMessageTypeMark, 0)
    TELVO_LAN_FIELD(int16_t, messageCheck, setMessageCheck, 0)
    TELVO_LAN_FIELD(int32_t, tag, setTag, 0)
    TELVO_LAN_FIELD(int32_t, messageMark, setMessageMark, 0)
    TELVO_LAN_FIELD(int32_t, nullBit2, setNullBit2, 0)
    TELVO_LAN_FIELD(std::optional<TimeStamp>, timeStampData, setTimeStampData, std::nullopt)
    TELVO_LAN_FIELD(int64_t, deviceID, setDeviceID, 0)
    // oriMessageArray is written by hand below: setting it drops the counter mark.
    TELVO_LAN_FIELD(int64_t, cntId, setCntId, 0)
#undef TELVO_LAN_FIELD

  public:
    // A view of the frame's own copy of the key.
    std::optional<ByteView> ecdhSessionKey() const {
        return ecdhSessionKey_.view();
    }
    void setEcdhSessionKey(std::optional<ByteView> key) {
        if (sealedBody_) resealBody();
        ecdhSessionKey_.assign(key);
    }

    // After a write that sealed the body (AES-CCM), the sealed body is made again from what
    // sealed it, under the same nonce, when it is first asked for: a frame that only goes on the
    // wire keeps no second copy of it.
    const std::optional<Bytes>& messageArray() const {
        if (sealedBody_) resealBody();
        return messageArray_;
    }
    void setMessageArray(std::optional<Bytes> value) {
        sealedBody_.reset();
        messageArray_ = std::move(value);
    }

    const std::optional<Bytes>& oriMessageArray() const {
        if (counterOnWire_) leadWithCounter(*counterOnWire_);
        return oriMessageArray_;
    }
    void setOriMessageArray(std::optional<Bytes> value) {
        if (sealedBody_) resealBody();
        oriMessageArray_ = std::move(value);
        counterLeads_ = false;
        counterOnWire_.reset();
    }

  private:
    // The session key kept in the object itself: an AES key has at most 32 bytes; a longer
    // one, which no cipher takes, is kept on the heap.
    class SessionKey {
      public:
        void assign(std::optional<ByteView> key) {
            present_ = key.has_value();
            size_ = key ? key->size() : 0;
            if (size_ <= inline_.size()) {
                if (size_) std::memmove(inline_.data(), key->data(), size_);
                longKey_ = Bytes();
            } else {
                longKey_ = Bytes(key->begin(), key->end());
            }
        }
        std::optional<ByteView> view() const {
            if (!present_) return std::nullopt;
            return size_ <= inline_.size() ? ByteView(inline_.data(), size_) : ByteView(longKey_);
        }

      private:
        std::array<uint8_t, 32> inline_{};
        Bytes longKey_;
        size_t size_ = 0;
        bool present_ = false;
    };
    SessionKey ecdhSessionKey_;

    // A protocol-3 AES-CCM write seals the counter and the body straight into the frame; the
    // counter joins oriMessageArray only when that is read (a frame object is not shared).
    void leadWithCounter(uint16_t counter) const;
    // The steps of getByteStream, in its order.
    void placeCounter();
    bool preparePlainBody(const std::string& key);
    void writeHeader(Bytes& buffer, size_t total) const;
    bool sealInto(Bytes& buffer, std::span<uint8_t> body, ByteView sessionKey);
    size_t sealedPlainSize() const;
    void writeSealedPlain(std::span<uint8_t> into) const;
    bool sign(Bytes& buffer, size_t bodyLen, const std::string& key) const;
    mutable std::optional<Bytes> messageArray_;
    // What the last write sealed the body with, until messageArray is made from it: the header
    // (the associated data) and the nonce. The key, the counter and the plain body are the
    // object's own, and whatever changes one of them makes messageArray first.
    struct SealedBody {
        std::array<uint8_t, 40> header;
        std::array<uint8_t, 13> nonce;
    };
    mutable std::optional<SealedBody> sealedBody_;
    void resealBody() const;
    mutable std::optional<Bytes> oriMessageArray_;
    // Whether oriMessageArray already starts with the protocol-3 counter.
    mutable bool counterLeads_ = false;
    // The counter the last write put in front of the body, not yet in oriMessageArray.
    mutable std::optional<uint16_t> counterOnWire_;
    struct Bare {};
    explicit QKProtocol(Bare) {}
    bool refuse(const char* what);
    void setBody(Bytes body);
    // Sets a key-agreement body, or refuses the frame when the body is empty; returns it.
    Bytes adoptKeyAgreementBody(Bytes body, const char* refusal);
    bool refused_ = false;
};

// 0 for an empty buffer or a first byte below 3; else the two's complement of the sum of the
// first (first byte - 2) bytes; 0 when the buffer is shorter than that.
uint8_t getChkSum(ByteView buffer);

}  // namespace telvo
