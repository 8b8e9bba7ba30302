// Discovery reply bodies, including encrypted serial numbers, through the reply parser. The
// first 8 input bytes are the carrying frame's time stamp.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "protocol/QKProtocol.h"

using telvo::Bytes;
using telvo::ByteView;
using telvo::QKProtocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    telvo::fuzz::configureApDefaultKey();
    if (size < 8) return 0;
    QKProtocol carrier;
    carrier.setTimeStampData(Bytes(data, data + 8));
    auto d = QKProtocol::getUdpDeviceWithMessageArray(ByteView(data + 8, size - 8), &carrier);
    if (d && !d->contains("ip")) __builtin_trap();
    return 0;
}
