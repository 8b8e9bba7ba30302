#pragma once

#include <filesystem>
#include <optional>

namespace telvo {

// The app's own folders, as the host names them. Nothing is set by default; safe from any
// thread.
class AppFolders {
  public:
    // The app's documents folder; an empty path clears it.
    static void setDocumentsFolder(std::filesystem::path folder);
    static std::optional<std::filesystem::path> documentsFolder();
};

}  // namespace telvo
