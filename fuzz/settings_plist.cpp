// Loads arbitrary bytes as the settings file: the store starts from what it can read, or
// empty, and never crashes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/QKUserDefault.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path folder = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "telvo-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        return std::filesystem::path(pattern);
    }();
    std::ofstream(folder / "QKUserDefault.plist", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    telvo::QKUserDefault::setStorageDirectory(folder);
    telvo::resetForTesting<QKUserDefault>();
    telvo::QKUserDefault::standardUserDefaults()->valueForKey("sdkWorkMode");
    return 0;
}
