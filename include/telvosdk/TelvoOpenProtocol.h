#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"

namespace telvo {

// A plain copy of a parsed LAN frame's header, for the app.
struct TELVO_EXPORT TelvoProtocolModel {
    int8_t protocolVer = 0;
    int8_t messageDirection = 0;
    int8_t responseMark = 0;
    int8_t compressMark = 0;
    int8_t nullBit1 = 0;
    bool isAuthentication = false;
    bool isEncrypt = false;  // never set
    bool isSign = false;
    int16_t protocolHead = 0;
    int16_t messageLen = 0;
    int16_t msgType = 0;
    int16_t timeOut = 0;
    int16_t messageSign = 0;
    int16_t messageTypeMark = 0;
    int16_t messageCheck = 0;
    int32_t tag = 0;
    int32_t messageMark = 0;
    int32_t nullBit2 = 0;
    int64_t timeStamp = 0;  // never set
    int64_t deviceID = 0;
};

// Parses an appliance's LAN frame that the app received by its own means. Runs on the
// caller's thread (any thread).
class TELVO_EXPORT TelvoOpenProtocol {
  public:
    // Type 1: reads the frame without a session key (AES-CCM bodies stay closed) and fills
    // model and messageArray; a frame the reader rejects leaves both empty. Types 0 and 2
    // are logged and leave both empty, as does any other type.
    TelvoOpenProtocol(ByteView data, int64_t type);

    const std::shared_ptr<TelvoProtocolModel>& model() const { return model_; }
    void setModel(std::shared_ptr<TelvoProtocolModel> model) { model_ = std::move(model); }
    const std::optional<Bytes>& messageArray() const { return messageArray_; }
    void setMessageArray(std::optional<Bytes> body) { messageArray_ = std::move(body); }

  private:
    std::shared_ptr<TelvoProtocolModel> model_;
    std::optional<Bytes> messageArray_;
};

}  // namespace telvo
