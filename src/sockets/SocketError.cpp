#include "sockets/SocketError.h"

#include <netdb.h>

#include <cstring>

namespace telvo {

ErrorPtr posixError(int err, const std::string& reason) {
    Dictionary info;
    if (!reason.empty()) info.set(NSLocalizedFailureReasonErrorKey, reason);
    return makeError(NSPOSIXErrorDomain, err, std::strerror(err), std::move(info));
}

ErrorPtr resolverError(int gaiCode) {
    return makeError(kCFStreamErrorDomainNetDB, gaiCode, gai_strerror(gaiCode));
}

}  // namespace telvo
