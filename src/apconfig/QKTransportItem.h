#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "apconfig/QKTimer.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

class QKProtocol;

// One pending request of the appliance configuration session: its frame, tag, table key,
// completion, budgets and time-out timer. The session owns it and uses it on its own queue.
class QKTransportItem {
  public:
    using Completion = std::function<void(const ErrorPtr&, std::shared_ptr<QKProtocol>)>;

    // leftCount 5, retryCount 1, no timer.
    static std::shared_ptr<QKTransportItem> transportItemWithTag(int32_t tag, std::string keyStr,
                                                                 Bytes data, Completion block);

    // Starts a QKTimer with that delay and block and keeps it in `timer`; an earlier timer is
    // replaced, not cancelled.
    void startTimerWithIntervel(double interval, QKTimer::Block block);
    // The same with 10.0 s.
    void startTimerWithBlock(QKTimer::Block block);
    // Cancels the timer and drops it.
    void releaseTimer();

    int32_t tagId = 0;
    int32_t leftCount = 5;
    int32_t retryCount = 1;
    Bytes data;
    std::string key;
    Completion transportCompetion;
    double interval = 0;
    std::function<void()> timeoutBlock;
    std::shared_ptr<QKTimer> timer;
};

}  // namespace telvo
