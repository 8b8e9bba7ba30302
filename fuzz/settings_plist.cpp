// Loads arbitrary bytes as the settings file: the store starts from what it can read, or
// empty, and never crashes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>

#include "core/QKUserDefault.h"
#include "sim/TempFolder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One folder per process, removed with its contents when the process exits.
    static const telvo::test::TempFolder folder;
    if (folder.path().empty()) std::abort();
    std::ofstream(folder.path() / "QKUserDefault.plist", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    telvo::QKUserDefault::setStorageDirectory(folder.path());
    telvo::resetForTesting<telvo::QKUserDefault>();
    telvo::QKUserDefault::standardUserDefaults()->valueForKey("sdkWorkMode");
    return 0;
}
