#include "blecore/QKBluetoothRhythm.h"

#include "platform/dispatch/Clock.h"
#include "platform/foundation/Diagnostics.h"

namespace telvo {

namespace {
double now() {
    return static_cast<double>(Clock::shared()->wallNanos()) / 1e9;
}
}  // namespace

std::shared_ptr<QKBluetoothRhythm> QKBluetoothRhythm::create() {
    return std::shared_ptr<QKBluetoothRhythm>(new QKBluetoothRhythm());
}

QKBluetoothRhythm::~QKBluetoothRhythm() {
    if (beatsTimer_) beatsTimer_->cancel();
}

void QKBluetoothRhythm::beats() {
    if (isOver_) {
        plainLog(">>>beats isOver");
        return;
    }
    plainLog(">>>beats at :%.3f", now());
    const auto interval = static_cast<double>(beatsInterval_);
    if (!beatsTimer_) {
        std::weak_ptr<QKBluetoothRhythm> weak = weak_from_this();
        beatsTimer_ = DispatchTimer::create(DispatchQueue::main(), [weak] {
            if (auto self = weak.lock()) self->beatsBreak();
        });
        beatsTimer_->start(interval, interval);
    } else {
        beatsTimer_->rearm(interval);
    }
}

// "Moving the fire date to the distant future" is a pause; the next beats() re-arms it.
void QKBluetoothRhythm::beatsBreak() {
    plainLog(">>>beatsBreak :%.3f", now());
    if (beatsTimer_) beatsTimer_->pause();
    if (blockOnBeatBreak_) blockOnBeatBreak_(shared_from_this());
}

void QKBluetoothRhythm::beatsOver() {
    plainLog(">>>beatsOver :%.3f", now());
    if (beatsTimer_) beatsTimer_->pause();
    isOver_ = true;
    if (blockOnBeatOver_) blockOnBeatOver_(shared_from_this());
}

void QKBluetoothRhythm::beatsRestart() {
    plainLog(">>>beatsRestart :%.3f", now());
    isOver_ = false;
    beats();
}

}  // namespace telvo
