// The file a log line names is the library's source file from the source root
// ("src/blecore/QKBLEProtocolBodies.cpp"): never the path of the machine that built it.

#include <gtest/gtest.h>

#include <functional>

#include "blecore/QKBLEProtocol.h"
#include "core/QKUserDefault.h"
#include "platform/dispatch/Dispatch.h"
#include "records/QKMiddleInterface.h"
#include "telvosdk/TelvoOpenProtocol.h"

namespace telvo {
namespace {

class FileNames : public QKSDKCustomLogDelegate {
  public:
    void sdkCustomLogWithLevel(int, const std::string&, const std::string& fileName, int,
                               const Value&, const std::string&) override {
        files.push_back(fileName);
    }
    std::vector<std::string> files;
};

TEST(LogFileName, IsTheSourceFileFromTheSourceRoot) {
    DeterministicDispatch mode;
    QKUserDefault::setStorageDirectory({});
    resetForTesting<QKUserDefault>();
    resetForTesting<QKMiddleInterface>();
    QKUserDefault::standardUserDefaults()->setBool(true, "logenable");
    auto delegate = std::make_shared<FileNames>();
    QKMiddleInterface::shareInstance()->setCustomLogDelegate(delegate);

    struct Case {
        const char* file;
        std::function<void()> logs;
    } cases[] = {
        {"src/blecore/QKBLEProtocolBodies.cpp",
         [] { QKBLEProtocol::msgBodyForCheckDeviceId("42", "7"); }},
        {"src/protocol/TelvoOpenProtocol.cpp", [] { TelvoOpenProtocol(Bytes{}, 0); }},
    };
    for (const Case& c : cases) {
        delegate->files.clear();
        c.logs();
        ASSERT_FALSE(delegate->files.empty()) << c.file;
        for (const std::string& file : delegate->files) EXPECT_EQ(file, c.file);
    }
    resetForTesting<QKMiddleInterface>();
    resetForTesting<QKUserDefault>();
}

}  // namespace
}  // namespace telvo
