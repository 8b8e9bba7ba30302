// Datagrams as a route netlink socket could deliver them: read into changes without reading
// past the datagram, and with names no longer than the kernel allows.
#include <net/if.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/net/RtnetlinkMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto read = telvo::RtnetlinkMessages::parse(telvo::ByteView(data, size));
    for (const auto& change : read.changes) {
        if (change.interfaceName.size() >= IFNAMSIZ) std::abort();
        if (change.prefixLength < 0 || change.prefixLength > 255) std::abort();
    }
    return 0;
}
