#include <gtest/gtest.h>

#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/MainThreadRule.h"

namespace telvo {
namespace {

bool fromAnotherThread() {
    bool may = false;
    std::thread([&] { may = callerMayActAsMainThread(); }).join();
    return may;
}

// Who may call the facades: any thread while no loop runs; only the loop's thread while one
// runs, a run of the caller's own or the library's loop thread.
TEST(MainThreadRule, OnlyTheLoopsThreadWhileALoopRuns) {
    {
        SCOPED_TRACE("no loop runs");
        EXPECT_TRUE(callerMayActAsMainThread());
        EXPECT_TRUE(fromAnotherThread());
    }
    {
        SCOPED_TRACE("a run of this thread");
        DeterministicDispatch mode;
        bool inBlock = false, otherInBlock = true;
        DispatchQueue::main()->async([&] {
            inBlock = callerMayActAsMainThread();
            otherInBlock = fromAnotherThread();
        });
        MainLoop::drain();
        EXPECT_TRUE(inBlock);
        EXPECT_FALSE(otherInBlock);
        EXPECT_TRUE(fromAnotherThread()) << "the run has ended";
    }
    {
        SCOPED_TRACE("the library's loop thread");
        MainLoop::startThread();
        EXPECT_FALSE(callerMayActAsMainThread());
        bool onLoop = false;
        DispatchQueue::main()->sync([&] { onLoop = callerMayActAsMainThread(); });
        EXPECT_TRUE(onLoop);
        MainLoop::stopThread();
        EXPECT_TRUE(callerMayActAsMainThread());
    }
}

}  // namespace
}  // namespace telvo
