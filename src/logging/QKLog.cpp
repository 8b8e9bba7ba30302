#include "logging/QKLog.h"

namespace telvo {

void QKLogGate(const char*, const char*, const char*, int, const char*, ...) {}

}  // namespace telvo
