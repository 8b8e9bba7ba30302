#include "apconfig/QKTransportItem.h"

namespace telvo {

namespace {
constexpr double kDefaultTimeout = 10.0;
}  // namespace

std::shared_ptr<QKTransportItem> QKTransportItem::transportItemWithTag(int32_t tag,
                                                                       std::string keyStr,
                                                                       Bytes data,
                                                                       Completion block) {
    auto item = std::make_shared<QKTransportItem>();
    item->tagId = tag;
    item->key = std::move(keyStr);
    item->data = std::move(data);
    item->transportCompetion = std::move(block);
    return item;
}

void QKTransportItem::startTimerWithIntervel(double interval, QKTimer::Block block) {
    timer = QKTimer::timerWithBlock(std::move(block), interval);
}

void QKTransportItem::startTimerWithBlock(QKTimer::Block block) {
    startTimerWithIntervel(kDefaultTimeout, std::move(block));
}

void QKTransportItem::releaseTimer() {
    if (timer) timer->cancel();
    timer = nullptr;
}

}  // namespace telvo
