#pragma once

#include <filesystem>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"

namespace telvo {

// The encrypted log store (see QKSDKLogStore for the file format). Each line is kept as a
// compact JSON record {"c": text, "f": type, "l": milliseconds since 1970, "n": module,
// "file", "func", "line"} in the file of its local day. All work runs on one serial queue
// ("QKSDKLog"); logging never blocks on the files.
class TELVO_EXPORT QKSDKLog {
  public:
    // Writes one line; dropped while no folder or no 16-byte key and IV is set.
    static void log(int type, const std::string& moduleName, const char* file, const char* function,
                    int line, const char* format, ...) __attribute__((format(printf, 6, 7)));

    // Host set-up: the folder that holds "KorvoSDKLog" and "logan_cache", and the AES-128 key
    // and IV of the sections. A change closes the open section under the old settings first.
    static void setLogDirectory(const std::filesystem::path& folder);
    static void setKeyAndIv(const Bytes& key, const Bytes& iv);
    // Returns when every line logged so far is in its day file (the open section closed).
    static void flush();
};

}  // namespace telvo
