#include "apconfig/QKTcpSocketTaskItem.h"

namespace telvo {

namespace {
constexpr double kTaskTimeout = 10.0;
}  // namespace

std::shared_ptr<QKTcpSocketTaskItem> QKTcpSocketTaskItem::itemWithTagId(std::string tagId,
                                                                        Bytes data,
                                                                        Completion block) {
    auto item = std::make_shared<QKTcpSocketTaskItem>();
    item->tagId = std::move(tagId);
    item->data = std::move(data);
    item->transportCompetion = std::move(block);
    return item;
}

void QKTcpSocketTaskItem::startTimerWithIntervel(double interval, QKTimer::Block block) {
    timer = QKTimer::timerWithBlock(std::move(block), interval);
}

void QKTcpSocketTaskItem::startTimerWithBlock(QKTimer::Block block) {
    startTimerWithIntervel(kTaskTimeout, std::move(block));
}

void QKTcpSocketTaskItem::releaseTimer() {
    if (timer) timer->cancel();
    timer = nullptr;
}

}  // namespace telvo
