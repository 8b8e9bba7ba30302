// Received LAN frames, with and without a session key, through the reader and the app-facing
// wrapper. The first input byte chooses the key; the rest is the datagram.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "protocol/QKProtocol.h"
#include "telvosdk/TelvoOpenProtocol.h"

using telvo::Bytes;
using telvo::ByteView;
using telvo::QKProtocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    telvo::fuzz::configureApDefaultKey();
    if (size == 0) return 0;
    const ByteView frame(data + 1, size - 1);
    std::optional<Bytes> key;
    if (data[0] & 1) key = Bytes(16, 0x5C);
    auto p = QKProtocol::initWithNSData(frame, key);
    if (p && p->messageArray()) {
        // What the reader gives must be usable by what reads the bodies next.
        QKProtocol::getUdpDeviceWithMessageArray(*p->messageArray(), p.get());
        if (p->messageArray()->size() > frame.size()) __builtin_trap();
    }
    telvo::TelvoOpenProtocol open(frame, 1);
    return 0;
}
