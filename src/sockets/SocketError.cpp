#include "sockets/SocketError.h"

#include <netdb.h>

namespace telvo {

ErrorPtr resolverError(int gaiCode) {
    return makeError(kCFStreamErrorDomainNetDB, gaiCode, gai_strerror(gaiCode));
}

}  // namespace telvo
