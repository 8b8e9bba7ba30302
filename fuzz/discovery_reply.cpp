// Discovery reply bodies, including encrypted serial numbers, through the reply parser. The
// first 8 input bytes are the carrying frame's time stamp.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "protocol/QKProtocol.h"

using telvo::ByteView;
using telvo::QKProtocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    telvo::fuzz::configureApDefaultKey();
    if (size < 8) return 0;
    QKProtocol carrier;
    QKProtocol::TimeStamp stamp;
    std::copy_n(data, stamp.size(), stamp.begin());
    carrier.setTimeStampData(stamp);
    auto d = QKProtocol::getUdpDeviceWithMessageArray(ByteView(data + 8, size - 8), &carrier);
    if (d && !d->contains("ip")) __builtin_trap();
    return 0;
}
