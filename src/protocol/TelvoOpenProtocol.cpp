#include "telvosdk/TelvoOpenProtocol.h"

#include "logging/QKLog.h"
#include "protocol/QKProtocol.h"

namespace telvo {

TelvoOpenProtocol::TelvoOpenProtocol(ByteView data, int64_t type) {
    if (type == 0) {
        QKSDKLOG("未知协议类型");
        return;
    }
    if (type == 2) {
        QKSDKLOG("未来协议类型...");
        return;
    }
    if (type != 1) return;
    auto frame = QKProtocol::initWithNSData(data);
    if (!frame) return;
    messageArray_ = frame->messageArray();
    auto m = std::make_shared<TelvoProtocolModel>();
    m->protocolVer = frame->protocolVer();
    m->messageDirection = frame->messageDirection();
    m->responseMark = frame->responseMark();
    m->compressMark = frame->compressMark();
    m->nullBit1 = frame->nullBit1();
    m->isAuthentication = frame->isAuthentication();
    m->isSign = frame->isSign();
    m->protocolHead = frame->protocolHead();
    m->messageLen = frame->messageLen();
    m->msgType = frame->msgType();
    m->timeOut = frame->timeOut();
    m->messageSign = frame->messageSign();
    m->messageTypeMark = frame->messageTypeMark();
    m->messageCheck = frame->messageCheck();
    m->tag = frame->tag();
    m->messageMark = frame->messageMark();
    m->nullBit2 = frame->nullBit2();
    m->deviceID = frame->deviceID();
    model_ = std::move(m);
}

}  // namespace telvo
