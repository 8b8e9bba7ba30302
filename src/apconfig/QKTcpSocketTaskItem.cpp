#include "telvosdk/QKTcpSocketTaskItem.h"

#include "apconfig/QKTimer.h"

namespace telvo {

namespace {
constexpr double kTaskTimeout = 10.0;
}  // namespace

QKTcpSocketTaskItem::QKTcpSocketTaskItem() = default;

QKTcpSocketTaskItem::~QKTcpSocketTaskItem() = default;

std::shared_ptr<QKTcpSocketTaskItem> QKTcpSocketTaskItem::itemWithTagId(std::string tagId,
                                                                        Bytes data,
                                                                        Completion block) {
    auto item = std::make_shared<QKTcpSocketTaskItem>();
    item->tagId_ = std::move(tagId);
    item->data_ = std::move(data);
    item->transportCompetion_ = std::move(block);
    return item;
}

void QKTcpSocketTaskItem::startTimerWithIntervel(double interval, TimerBlock block) {
    timer_ = QKTimer::timerWithBlock(std::move(block), interval);
}

void QKTcpSocketTaskItem::startTimerWithBlock(TimerBlock block) {
    startTimerWithIntervel(kTaskTimeout, std::move(block));
}

void QKTcpSocketTaskItem::releaseTimer() {
    if (timer_) timer_->cancel();
    timer_ = nullptr;
}

}  // namespace telvo
