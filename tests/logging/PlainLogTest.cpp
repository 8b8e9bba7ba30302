#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Diagnostics.h"
#include "sim/LogCapture.h"
#include "sim/SimBleFlows.h"
#include "telvosdk/QKMiddleInterface.h"

namespace telvo {
namespace {

// Everything written to descriptor 2 while `run` runs.
std::string stderrDuring(const std::function<void()>& run) {
    std::fflush(stderr);
    FILE* file = std::tmpfile();
    const int saved = ::dup(2);
    ::dup2(::fileno(file), 2);
    run();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::string out;
    std::rewind(file);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) out.append(buffer, n);
    std::fclose(file);
    return out;
}

// A BLE configuration with logging off, the plain log as an app has it (the simulated home
// silences it; the test gives the default back once the home is set up): nothing reaches the
// app's stderr, and the Bluetooth wrapper's lines reach the app's log delegate when it set one.
// Without a delegate they go to the machine's journal, where it has one.
TEST(PlainLog, BleRunWithLoggingOffWritesNothingToStderr) {
    const sim::SimBleFlowKind kind = [] {
        for (const auto& flow : sim::simBleFlowKinds())
            if (flow.command == "single") return flow;
        return sim::SimBleFlowKind{};
    }();
    ASSERT_EQ(kind.command, "single");
    for (const bool withDelegate : {false, true}) {
        SCOPED_TRACE(withDelegate ? "with a log delegate" : "without a log delegate");
        auto delegate = std::make_shared<test::LogLines>();
        sim::SimBleRun run;
        const std::string written = stderrDuring([&] {
            DeterministicDispatch mode;
            run = sim::runSimBleFlow(
                kind, sim::simBleFaults(kind).front(), {}, {},
                [&](sim::SimBleHome&, sim::SimBleModule&) {
                    setPlainLogSink({});
                    if (withDelegate)
                        QKMiddleInterface::shareInstance()->setCustomLogDelegate(delegate);
                });
        });
        EXPECT_EQ(run.completions, 1u);
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(written, "");
        const bool wrapperLine = std::count(delegate->lines.begin(), delegate->lines.end(),
                                            "peripheral-didWriteValueForCharacteristic") > 0;
        EXPECT_EQ(wrapperLine, withDelegate);
    }
}

}  // namespace
}  // namespace telvo
