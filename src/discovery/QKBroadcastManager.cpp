#include "discovery/QKBroadcastManager.h"

#include "logging/QKLog.h"
#include "platform/base/Singleton.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/AppLifecycle.h"

namespace telvo {

namespace {

constexpr double kDefaultInterval = 60.0;
// Posted by the HTTP layer's reachability monitor, which sits above discovery.
constexpr const char* kReachabilityDidChange = "QKcom.alamofire.networking.reachability.change";

struct Shared {
    std::mutex mutex;
    std::shared_ptr<QKBroadcastManager> manager;
    bool started = false;
};

Shared& shared() {
    return processWide([] { return new Shared(); });
}

}  // namespace

std::shared_ptr<QKBroadcastManager> QKBroadcastManager::sharedManager() {
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    if (!s.manager) s.manager.reset(new QKBroadcastManager());
    if (!s.started) {
        s.started = true;
        s.manager->start();
    }
    return s.manager;
}

void QKBroadcastManager::start() {
    isBroadCastOn_ = true;
    isSwitchOnOffState_ = false;
    broadcastInterval_ = kDefaultInterval;
    // The delegate first, so that replies to the first probe are not lost.
    QKUDPConnect::sharedKorvoUdpConnect()->setDelegate(weak_from_this());
    onMain([this] { armCycle(); });
    // The first probe once the caller's turn on the main queue is over: an observer that the
    // caller registers in that turn (the first use of a flow) hears the replies.
    DispatchQueue::main()->async([self = shared_from_this()] { self->sendBroadCastOneTime(); });
    addNotification();
}

template <class F>
void QKBroadcastManager::onMain(F&& block) {
    auto main = DispatchQueue::main();
    if (main->isCurrent() || MainLoop::isMainThread()) {
        block();
        return;
    }
    main->async([self = shared_from_this(), block = std::forward<F>(block)]() mutable {
        (void)self;
        block();
    });
}

void QKBroadcastManager::sendBroadCastPerCycle() {
    sendBroadCastOneTime();
    armCycle();
}

void QKBroadcastManager::armCycle() {
    if (!isBroadCastOn_) return;
    if (!broadcastTimer_) {
        std::weak_ptr<QKBroadcastManager> weak = weak_from_this();
        broadcastTimer_ = DispatchTimer::create(DispatchQueue::main(), [weak] {
            if (auto self = weak.lock()) self->sendBroadCastPerCycle();
        });
    }
    armedInterval_ = broadcastInterval_;
    broadcastTimer_->start(armedInterval_);
}

void QKBroadcastManager::sendBroadCastOneTime() {
    if (isBroadCastOn_) sendBroadCastData();
}

void QKBroadcastManager::sendBroadCastData() {
    if (isBroadCastOn_) QKUDPConnect::sharedKorvoUdpConnect()->sendBroadCast(protocol());
}

void QKBroadcastManager::releaseTimer() {
    if (!broadcastTimer_) return;
    broadcastTimer_->cancel();
    broadcastTimer_ = nullptr;
}

std::shared_ptr<QKProtocol> QKBroadcastManager::protocol() const {
    std::lock_guard lock(protocolMutex_);
    return protocol_;
}

bool QKBroadcastManager::startBroadCastWithInerval(double interval,
                                                   std::shared_ptr<QKProtocol> frame) {
    onMain([this, interval, frame = std::move(frame)]() mutable {
        {
            std::lock_guard lock(protocolMutex_);
            protocol_ = frame;
        }
        if (interval != broadcastInterval_) changeInterval(interval);
        if (isBroadCastOn_ && broadcastTimer_ && broadcastInterval_ < armedInterval_) {
            // A shorter interval must not wait out the longer one already armed.
            releaseTimer();
            sendBroadCastPerCycle();
        } else if (isBroadCastOn_) {
            sendBroadCastOneTime();
        } else {
            openBroadcast(std::move(frame));
        }
    });
    return true;
}

void QKBroadcastManager::openBroadcast(std::shared_ptr<QKProtocol> frame) {
    onMain([this, frame = std::move(frame)]() mutable {
        {
            std::lock_guard lock(protocolMutex_);
            protocol_ = std::move(frame);
        }
        isBroadCastOn_ = true;
        releaseTimer();
        sendBroadCastPerCycle();
    });
}

void QKBroadcastManager::closeBroadcast() {
    onMain([this] {
        isBroadCastOn_ = false;
        releaseTimer();
        QKUDPConnect::sharedKorvoUdpConnect()->releaseUdp();
    });
}

void QKBroadcastManager::changeInterval(double interval) {
    onMain([this, interval] { broadcastInterval_ = interval > 0 ? interval : kDefaultInterval; });
}

void QKBroadcastManager::changeIntervalAtOnce(double interval) {
    onMain([this, interval] {
        changeInterval(interval);
        releaseTimer();
        sendBroadCastPerCycle();
    });
}

ErrorPtr QKBroadcastManager::socketError() const {
    return QKUDPConnect::sharedKorvoUdpConnect()->socketError();
}

void QKBroadcastManager::addBroadcastObserver(std::shared_ptr<QKBroadcastObserver> observer) {
    if (!observer) return;
    concurrentQueue_->barrierAsync([self = shared_from_this(), observer = std::move(observer)] {
        for (const auto& listed : self->observers_.allObjects())
            if (listed->completion() == observer->completion()) return;
        // A retired observer leaves the list; one retired before it got here is not listed.
        observer->setRetiredHandler(
            [weakSelf = std::weak_ptr(self), weakObserver = std::weak_ptr(observer)] {
                auto manager = weakSelf.lock();
                if (auto retired = weakObserver.lock(); manager && retired)
                    manager->removeBroadcastObserver(retired);
            });
        if (observer->isValid()) self->observers_.addObject(observer);
    });
}

void QKBroadcastManager::releaseBroadObserver(const QKBroadcastCompletion& completion) {
    retireFirstWith(completion);
    // Again behind the registrations queued before this call, so that a release always finds
    // the observer that an earlier call registered.
    concurrentQueue_->barrierAsync(
        [self = shared_from_this(), completion] { self->retireFirstWith(completion); });
}

void QKBroadcastManager::retireFirstWith(const QKBroadcastCompletion& completion) {
    for (const auto& listed : observers_.allObjects()) {
        if (listed->completion() == completion) {
            listed->setIsValid(false);
            return;
        }
    }
}

void QKBroadcastManager::removeBroadcastObserver(
    const std::shared_ptr<QKBroadcastObserver>& observer) {
    concurrentQueue_->barrierAsync(
        [self = shared_from_this(), observer] { self->observers_.removeObject(observer); });
}

void QKBroadcastManager::deviceDicFromLan(const std::shared_ptr<Value>& deviceDic) {
    concurrentQueue_->barrierAsync(
        [self = shared_from_this(), deviceDic] { self->notifyObserversWithDeviceInfo(deviceDic); });
}

void QKBroadcastManager::deviceFromUDPConfig(const Bytes& data) {
    concurrentQueue_->barrierAsync(
        [self = shared_from_this(), data] { self->notifyObserversWithUDPDeviceInfo(data); });
}

void QKBroadcastManager::notifyObserversWithDeviceInfo(const std::shared_ptr<Value>& dic) {
    for (const auto& observer : observers_.allObjects())
        if (observer->isValid() && !observer->isUDPConfig()) observer->updateWithDeviceInfor(dic);
}

void QKBroadcastManager::notifyObserversWithUDPDeviceInfo(const Bytes& data) {
    const Value value(data);
    for (const auto& observer : observers_.allObjects())
        if (observer->isValid() && observer->isUDPConfig()) observer->updateWithudpConfig(value);
}

void QKBroadcastManager::addNotification() {
    auto center = NotificationCenter::defaultCenter();
    std::weak_ptr<QKBroadcastManager> weak = weak_from_this();
    auto handler = [weak](void (QKBroadcastManager::*step)()) {
        return [weak, step](const Notification&) {
            if (auto self = weak.lock()) self->onMain([self, step] { ((*self).*step)(); });
        };
    };
    notificationTokens_.push_back(
        center->addObserverForName(UIApplicationDidEnterBackgroundNotification, nullptr,
                                   handler(&QKBroadcastManager::qkApplicationEnterBackground)));
    notificationTokens_.push_back(
        center->addObserverForName(UIApplicationWillEnterForegroundNotification, nullptr,
                                   handler(&QKBroadcastManager::qkApplicationEnterForeground)));
    notificationTokens_.push_back(
        center->addObserverForName(kReachabilityDidChange, nullptr, [weak](const Notification& n) {
            if (auto self = weak.lock()) self->networkStatusChanged(n);
        }));
}

void QKBroadcastManager::emptyObserverLists() {
    for (const auto& observer : observers_.allObjects())
        if (observer->isValid()) observer->deviceArrayRemoveAll();
}

void QKBroadcastManager::qkApplicationEnterBackground() {
    if (isBroadCastOn_) {
        isSwitchOnOffState_ = true;
        closeBroadcast();
    }
    emptyObserverLists();
}

void QKBroadcastManager::qkApplicationEnterForeground() {
    emptyObserverLists();
    if (isSwitchOnOffState_) {
        openBroadcast(protocol());
        isSwitchOnOffState_ = false;
    }
}

void QKBroadcastManager::networkStatusChanged(const Notification& notification) {
    QKSDKLOG("networkStatusChanged %s", notification.name.c_str());
}

void QKBroadcastManager::stopForTesting() {
    auto center = NotificationCenter::defaultCenter();
    for (const auto& token : notificationTokens_) center->removeObserver(token);
    notificationTokens_.clear();
    releaseTimer();
    isBroadCastOn_ = false;
    isSwitchOnOffState_ = false;
    isLanScaning_ = false;
    broadcastInterval_ = kDefaultInterval;
    {
        std::lock_guard lock(protocolMutex_);
        protocol_ = nullptr;
    }
    for (const auto& observer : observers_.allObjects()) observers_.removeObject(observer);
}

void QKBroadcastManager::resetForTesting() {
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    if (s.manager) s.manager->stopForTesting();
    s.started = false;
    QKUDPConnect::resetForTesting();
}

}  // namespace telvo
