// OpenSSL stays usable until the process is gone: whichever part of the library reaches OpenSSL
// first, OpenSSL's own clean-up at exit is not armed, so threads of the library still running
// while the app exits never meet freed OpenSSL state. Each case runs the probe program (which,
// unlike a test program, links nothing else that sets OpenSSL up) in a process of its own.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "sim/TempFolder.h"

namespace telvo {
namespace {

struct ProbeRun {
    int status = -1;
    std::string output;
};

ProbeRun runProbe(const std::string& arguments) {
    ProbeRun run;
    FILE* pipe = popen((std::string(TELVO_OPENSSL_EXIT_PROBE) + " " + arguments).c_str(), "r");
    if (!pipe) return run;
    char chunk[256];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) run.output.append(chunk, n);
    run.status = pclose(pipe);
    return run;
}

TEST(OpenSSLLibrary, NoCleanUpAtExitWhateverReachesOpenSSLFirst) {
    for (const char* firstUse :
         {"pbkdf2", "digest", "random", "keypair", "certificate", "urlloading", "initialize"}) {
        SCOPED_TRACE(firstUse);
        const ProbeRun run = runProbe(firstUse);
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
        EXPECT_EQ(run.output, "OpenSSL still serves at exit\n");
    }
}

// The library decides nothing but the clean-up before the app's first use: a configuration file
// the app chose in main is the one OpenSSL goes on with.
TEST(OpenSSLLibrary, AnAppsOwnConfigurationChosenBeforeItsFirstUseIsKept) {
    test::TempFolder folder;
    const std::string file = (folder.path() / "app.cnf").string();
    std::ofstream(file) << "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\n"
                           "system_default = tls\n[tls]\nCipherString = DEFAULT@SECLEVEL=4\n";
    const ProbeRun run = runProbe("config " + file);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
    EXPECT_EQ(run.output, "security level 4\nOpenSSL still serves at exit\n");
}

}  // namespace
}  // namespace telvo
