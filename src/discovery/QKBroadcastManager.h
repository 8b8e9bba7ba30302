#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "core/QKSafeMutableArray.h"
#include "discovery/QKBroadcastObserver.h"
#include "discovery/QKUDPConnect.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/NotificationCenter.h"
#include "protocol/QKProtocol.h"

namespace telvo {

// LAN discovery for the whole process. From its first use it probes the LAN at once (once the
// caller's turn on the main queue is over, so that an observer registered in that turn hears
// the replies) and then every broadcastInterval seconds (60 at first) through QKUDPConnect, and
// hands every device dictionary to the registered observers. A caller registers its observer
// before the probe that may draw its reply. It stops probing while the app is in the background
// and resumes on return when it was probing before.
//
// Threads: the switch, the interval, the probe frame and the cycle timer live on the main
// queue. The operations that change them run at once when called on the main queue or the
// main thread, else they are queued there in call order; the getters answer from any thread.
// Observers are registered, released, removed and fed in barrier blocks on the concurrent queue
// "com.TelvoSDK.broadcast", one at a time, in the order they were called and the replies
// arrived.
class QKBroadcastManager : public QKUDPConnectProtocol,
                           public std::enable_shared_from_this<QKBroadcastManager> {
  public:
    // The one manager. The first call switches discovery on: the manager becomes the
    // endpoint's delegate, the 60-second cycle is armed, and the first probe goes out on the
    // main queue after the caller's turn (unless discovery is off by then).
    static std::shared_ptr<QKBroadcastManager> sharedManager();

    // Sets the frame (nullptr: the default probe) and the interval; while on, one probe at
    // once, and the cycle restarted with the interval when it is shorter than the armed one
    // (else the running timer keeps its time); while off, as openBroadcast. Always accepted.
    bool startBroadCastWithInerval(double interval, std::shared_ptr<QKProtocol> frame);
    // Switches on with the frame: probe at once, next one after the interval.
    void openBroadcast(std::shared_ptr<QKProtocol> frame);
    // Switches off: no timer, the discovery sockets released.
    void closeBroadcast();
    // The interval for the next arming (0 or less: 60); the running timer keeps its time.
    void changeInterval(double interval);
    // The interval, one probe at once and the cycle restarted with it.
    void changeIntervalAtOnce(double interval);

    // Registers an observer unless one with the same completion object is listed. An observer
    // leaves the list when it retires (a first-match report, its time-out, a release); a report
    // already on its way still arrives, and the list then no longer holds the app's block.
    void addBroadcastObserver(std::shared_ptr<QKBroadcastObserver> observer);
    // Retires the first listed observer with this completion object: at once on the calling
    // thread, and in order after the registrations called before it (so a release right after
    // a registration always finds it). Safe from inside the observer's own report.
    void releaseBroadObserver(const QKBroadcastCompletion& completion);
    // Removes that very observer from the list.
    void removeBroadcastObserver(const std::shared_ptr<QKBroadcastObserver>& observer);

    bool broadCastOnState() const { return isBroadCastOn_.load(); }
    bool isSwitchOnOffState() const { return isSwitchOnOffState_.load(); }
    double broadcastInterval() const { return broadcastInterval_.load(); }
    std::shared_ptr<QKProtocol> protocol() const;
    // The error with which a discovery socket last closed (the endpoint's), or nullptr.
    ErrorPtr socketError() const;
    bool isLanScaning() const { return isLanScaning_.load(); }
    void setIsLanScaning(bool scanning) { isLanScaning_.store(scanning); }
    std::vector<std::shared_ptr<QKBroadcastObserver>> UDPObserversArray() const {
        return observers_.allObjects();
    }

    // QKUDPConnectProtocol: queue a fan-out to the observers.
    void deviceDicFromLan(const std::shared_ptr<Value>& deviceDic) override;
    void deviceFromUDPConfig(const Bytes& data) override;
    // The fan-outs themselves (run in the barrier blocks).
    void notifyObserversWithDeviceInfo(const std::shared_ptr<Value>& deviceDic);
    void notifyObserversWithUDPDeviceInfo(const Bytes& data);

    // Tests: switches discovery off, forgets observers and notifications, and makes the next
    // sharedManager() start discovery again as a first use does.
    static void resetForTesting();

  private:
    QKBroadcastManager() = default;
    void start();
    void stopForTesting();
    void retireFirstWith(const QKBroadcastCompletion& completion);
    template <class F>
    void onMain(F&& block);
    // Main queue.
    void sendBroadCastPerCycle();
    // Arms the cycle's timer with the interval, while on.
    void armCycle();
    void sendBroadCastOneTime();
    void sendBroadCastData();
    void releaseTimer();
    void addNotification();
    void qkApplicationEnterBackground();
    void qkApplicationEnterForeground();
    void networkStatusChanged(const Notification& notification);
    void emptyObserverLists();

    std::atomic<bool> isLanScaning_{false};
    std::atomic<bool> isBroadCastOn_{false};
    std::atomic<bool> isSwitchOnOffState_{false};
    std::atomic<double> broadcastInterval_{60.0};
    QKSafeMutableArray<std::shared_ptr<QKBroadcastObserver>> observers_;
    std::shared_ptr<DispatchTimer> broadcastTimer_;  // main queue only
    double armedInterval_ = 0;                       // main queue only: the timer's interval
    const DispatchQueuePtr concurrentQueue_ =
        DispatchQueue::createConcurrent("com.TelvoSDK.broadcast");
    mutable std::mutex protocolMutex_;
    std::shared_ptr<QKProtocol> protocol_;
    std::vector<NotificationObserverToken> notificationTokens_;
};

}  // namespace telvo
