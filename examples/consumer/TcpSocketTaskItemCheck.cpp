// The request record an app may keep for its own requests: built, filled and timed from the
// public headers alone.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "ConsumerChecks.h"
#include "telvosdk/TelvoSDK.h"

namespace {

bool taskItemCheck(const char*) {
    using telvo::Bytes;
    using telvo::QKTcpSocketTaskItem;
    QKTcpSocketTaskItem bare;
    int completions = 0;
    auto item = QKTcpSocketTaskItem::itemWithTagId(
        "42", Bytes{0x5A, 0x5A}, [&](const telvo::ErrorPtr&, const Bytes&) { ++completions; });
    std::string tag = "43";
    item->setTagId(tag);
    tag[0] = '9';
    item->transportCompetion()(telvo::TelvoError::sucError(), Bytes{});

    // Its time-out timer runs its block on the main queue.
    std::mutex mutex;
    std::condition_variable fired;
    bool done = false;
    item->startTimerWithIntervel(0, [&] {
        std::lock_guard lock(mutex);
        done = true;
        fired.notify_all();
    });
    const bool started = item->timer() != nullptr;
    {
        std::unique_lock lock(mutex);
        fired.wait_for(lock, std::chrono::seconds(5), [&] { return done; });
    }
    item->releaseTimer();
    const bool ok = bare.retryCount() == 1 && bare.tagId().empty() && !bare.timer() &&
                    item->retryCount() == 1 && item->tagId() == "43" &&
                    item->data() == Bytes{0x5A, 0x5A} && completions == 1 && started && done &&
                    !item->timer();
    std::printf("consumer: request record %s\n", ok ? "built, filled and timed" : "FAILED");
    return ok;
}

ConsumerCheck check("request record", taskItemCheck);

}  // namespace
