#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace telvo::test {

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "telvo-core-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

  private:
    std::filesystem::path path_;
};

}  // namespace telvo::test
