#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "telvosdk/Export.h"

namespace telvo {

class DispatchTimer;

// A beat watchdog: beats() must come again within beatsInterval seconds (3 after create), else
// the break block runs; beatsOver() ends it until beatsRestart(). The timer is a repeating timer
// on the main queue whose handler holds the rhythm weakly; it is cancelled when the rhythm is
// destroyed, so replacing a rhythm releases its timer. The break block runs on the main queue
// when the timer fires, and inside beatsBreak() when it is called; the over block runs inside
// beatsOver(). Used on the main thread.
class TELVO_EXPORT QKBluetoothRhythm : public std::enable_shared_from_this<QKBluetoothRhythm> {
  public:
    using Block = std::function<void(const std::shared_ptr<QKBluetoothRhythm>&)>;

    static std::shared_ptr<QKBluetoothRhythm> create();
    ~QKBluetoothRhythm();

    void beats();
    void beatsBreak();
    void beatsOver();
    void beatsRestart();
    void setBlockOnBeatsBreak(Block block) { blockOnBeatBreak_ = std::move(block); }
    void setBlockOnBeatsOver(Block block) { blockOnBeatOver_ = std::move(block); }

    bool isOver() const { return isOver_; }
    // The library's timer, made by the first beats(); nullptr before.
    const std::shared_ptr<DispatchTimer>& beatsTimer() const { return beatsTimer_; }
    int64_t beatsInterval() const { return beatsInterval_; }
    void setBeatsInterval(int64_t seconds) { beatsInterval_ = seconds; }

  private:
    QKBluetoothRhythm() = default;

    bool isOver_ = false;
    Block blockOnBeatBreak_;
    Block blockOnBeatOver_;
    std::shared_ptr<DispatchTimer> beatsTimer_;
    int64_t beatsInterval_ = 3;
};

}  // namespace telvo
