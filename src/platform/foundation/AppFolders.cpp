#include "platform/foundation/AppFolders.h"

#include <mutex>

namespace telvo {

namespace {

std::mutex gMutex;
std::filesystem::path gDocuments;

}  // namespace

void AppFolders::setDocumentsFolder(std::filesystem::path folder) {
    std::lock_guard<std::mutex> lock(gMutex);
    gDocuments = std::move(folder);
}

std::optional<std::filesystem::path> AppFolders::documentsFolder() {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gDocuments.empty()) return std::nullopt;
    return gDocuments;
}

}  // namespace telvo
