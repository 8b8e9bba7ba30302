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

// An older request record with a text tag. Nothing in the library creates one.
class QKTcpSocketTaskItem {
  public:
    using Completion = std::function<void(const ErrorPtr&, std::shared_ptr<QKProtocol>)>;

    static std::shared_ptr<QKTcpSocketTaskItem> itemWithTagId(std::string tagId, Bytes data,
                                                              Completion block);

    void startTimerWithIntervel(double interval, QKTimer::Block block);
    void startTimerWithBlock(QKTimer::Block block);
    void releaseTimer();

    int32_t retryCount = 1;
    std::string tagId;
    Bytes data;
    Completion transportCompetion;
    double interval = 0;
    std::function<void()> timeoutBlock;
    std::shared_ptr<QKTimer> timer;
};

}  // namespace telvo
