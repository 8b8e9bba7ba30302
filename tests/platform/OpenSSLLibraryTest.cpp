// OpenSSL stays usable until the process is gone: whichever part of the library reaches OpenSSL
// first, OpenSSL's own clean-up at exit is not armed, so threads of the library still running
// while the app exits never meet freed OpenSSL state. Each case runs the probe program (which,
// unlike a test program, links nothing else that sets OpenSSL up) in a process of its own.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace telvo {
namespace {

TEST(OpenSSLLibrary, NoCleanUpAtExitWhateverReachesOpenSSLFirst) {
    for (const char* firstUse :
         {"pbkdf2", "digest", "random", "keypair", "certificate", "urlloading", "initialize"}) {
        SCOPED_TRACE(firstUse);
        const std::string command = std::string(TELVO_OPENSSL_EXIT_PROBE) + " " + firstUse;
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        char chunk[256];
        while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
        const int status = pclose(pipe);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(output, "OpenSSL still serves at exit\n");
    }
}

}  // namespace
}  // namespace telvo
