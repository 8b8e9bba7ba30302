#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "apconfig/QKTransportItem.h"
#include "core/DropTally.h"
#include "core/QKSafeMutableDictionary.h"
#include "platform/dispatch/DispatchQueue.h"
#include "sockets/QKGCDAsyncSocket.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"
#include "telvosdk/Value.h"

namespace telvo {

class DispatchTimer;
class QKProtocol;

// The TCP session with an appliance's Wi-Fi module during its configuration (port 6444 on the
// appliance's own access point, or an old module found on the LAN).
//
// It connects and reconnects, sends a heartbeat every 3 s while connected, and sends request
// frames under random tags, each kept in a table with a 10-s time-out, one retry and five tries
// while the socket is down. The received byte stream is cut into frames by their length field;
// each reply finishes the request with its tag, exactly once.
//
// Threads: the socket events and every piece of the session's state live on one serial queue
// of the session. Every completion (connect completion, request and command completions) runs
// on the main queue, never inline in a call to the session. All members may be called from any
// thread. A pending request holds the session until it has completed; stopInitWifi() ends the
// connection for good, and requests still pending then finish with type 2 code 6002 within
// their budgets.
class QKConfigWifiDevice : public std::enable_shared_from_this<QKConfigWifiDevice>,
                           public QKGCDAsyncSocketDelegate {
    struct Token {};

  public:
    using ConnectCompletion = std::function<void(const ErrorPtr&)>;
    using ReplyCompletion = QKTransportItem::Completion;
    using TextCompletion = std::function<void(const ErrorPtr&, std::optional<std::string>)>;
    using ListCompletion = std::function<void(const ErrorPtr&, std::optional<Value::Array>)>;
    using ErrorCompletion = std::function<void(const ErrorPtr&)>;
    using DictionaryCompletion = std::function<void(std::optional<Dictionary>)>;
    using ErrorDictionaryCompletion =
        std::function<void(const ErrorPtr&, std::optional<Dictionary>)>;

    static constexpr int32_t kHeartTag = 1000;

    // initWithIp:andPort: and initWithIp:andPort:competion:. No connect starts. The connect
    // completion runs on the main queue after every completed connect.
    static std::shared_ptr<QKConfigWifiDevice> create(std::string ip, std::string port,
                                                      ConnectCompletion competion = nullptr);
    QKConfigWifiDevice(Token, std::string ip, std::string port, ConnectCompletion competion);
    ~QKConfigWifiDevice() override;
    QKConfigWifiDevice(const QKConfigWifiDevice&) = delete;
    QKConfigWifiDevice& operator=(const QKConfigWifiDevice&) = delete;

    // ---- Connection.
    // Connects (cutting off an attempt under way) unless connected; a completed connect starts
    // the heartbeat when enableHeart.
    void startConnecWithEnableHeart(bool enableHeart);
    // Stops the heartbeat, drops the socket; no socket event reaches the session afterwards.
    // Synchronous.
    void stopInitWifi();
    void startHeartPackage();
    void sendHeartPackage();
    void releaseHeartTimer();

    // ---- Requests. The completion receives the error (code 0, 9998 for a protocol-3 counter
    // outside the window, type 2 code 6002 when the request could not be completed) and the
    // reply frame (none on failure).
    void writeData(Bytes data, double timeout, int32_t tag, ReplyCompletion competion);
    // Finishes the request with that tag; a tag with no pending request is ignored.
    void resultCenter(const ErrorPtr& error, int32_t tag, std::shared_ptr<QKProtocol> protocol);
    void addTaskToListWithKey(const std::string& key, std::shared_ptr<QKTransportItem> task);
    std::shared_ptr<QKTransportItem> queryTaskFromListWithTag(int32_t tag) const;
    static std::string getKeyByTimeAndTag(int32_t tag);
    static int32_t getTagFromKey(const std::string& key);
    // Cuts received bytes into frames and dispatches each.
    void didReceiveData(Bytes data);

    // ---- Command operations: each sends the frame the caller built under a fresh tag with a
    // 10-s time-out and hands the reply, turned into its result, to the completion.
    void setDeviceIdWithProtocol(std::shared_ptr<QKProtocol> protocol, TextCompletion competion);
    void getDeviceSubTypeWithProtocol(std::shared_ptr<QKProtocol> protocol,
                                      TextCompletion competion);
    void findWifiAPListWithProtocol(std::shared_ptr<QKProtocol> protocol, ListCompletion block);
    void linkWifiAPWithProtocol(std::shared_ptr<QKProtocol> protocol, ErrorCompletion competion);
    void wifiDeviceSetStatusSTAWithBlock(ErrorCompletion block);
    void linkWifiAPWithNewDeviceProtocol(std::shared_ptr<QKProtocol> protocol,
                                         ErrorCompletion competion);
    void checkFormerConfigInfoWithProtocol(std::shared_ptr<QKProtocol> protocol,
                                           DictionaryCompletion competion);
    void getGroupDeviceWithProtocol(std::shared_ptr<QKProtocol> protocol, ListCompletion competion);
    void sendTLSKeyAgreementWithProtocol(std::shared_ptr<QKProtocol> protocol, int subCmd,
                                         ErrorDictionaryCompletion competion);

    // ---- Properties.
    bool tcpConnectStatus() const;
    int8_t connectProtocolVer() const;
    void setConnectProtocolVer(int8_t version);
    bool enableHeart() const;
    const std::string& ip() const { return ip_; }
    const std::string& port() const { return port_; }
    std::string applianceSSID() const;
    void setApplianceSSID(std::string ssid);
    std::string deviceSN() const;
    void setDeviceSN(std::string sn);
    int64_t deviceID() const;
    void setDeviceID(int64_t deviceId);
    std::optional<Bytes> ecdhSessionKey() const;
    void setEcdhSessionKey(std::optional<Bytes> key);
    std::function<int64_t()> antiReplayCountBlock() const;
    void setAntiReplayCountBlock(std::function<int64_t()> block);
    QKGCDAsyncSocketPtr socket() const;
    bool heartbeatRunning() const;
    size_t pendingRequestCount() const { return taskList_.count(); }
    int64_t internalRetryCount() const;
    int64_t tlsLastCntId() const;

  private:
    using ItemPtr = std::shared_ptr<QKTransportItem>;

    void setUp();
    // Everything below runs on queue_.
    bool connectedNow() const;
    void connect(bool enableHeart);
    void ensureConnecting();
    void connectLater(double seconds, bool enableHeart);
    void writeOnQueue(Bytes data, double timeout, int32_t tag, ReplyCompletion competion);
    void sendCommand(std::shared_ptr<QKProtocol> protocol, const char* step,
                     ReplyCompletion competion);
    void handToSlot(const ItemPtr& item, double timeout);
    void excuteWithTask(const ItemPtr& item, double timeout);
    void tryLater(const ItemPtr& item, double timeout);
    void tryTimedOut(const ItemPtr& item, const std::shared_ptr<QKTimer>& timer, double timeout);
    bool isPending(const ItemPtr& item) const;
    // Takes the item by value: callers pass members such as slot_, which finish() clears.
    void finish(ItemPtr item, const ErrorPtr& error, std::shared_ptr<QKProtocol> reply);
    void handleFrame(ByteView chunk);
    void readNext();
    void runOnQueue(std::function<void(QKConfigWifiDevice&)> step);

    // The socket's delegate; the session is its own socket's delegate and nothing else's.
    void socketDidConnectToHostPort(const QKGCDAsyncSocketPtr& sock, const std::string& host,
                                    uint16_t port) override;
    void socketDidReadDataWithTag(const QKGCDAsyncSocketPtr& sock, Bytes data,
                                  int64_t tag) override;
    void socketDidWriteDataWithTag(const QKGCDAsyncSocketPtr& sock, int64_t tag) override;
    void socketDidDisconnectWithError(const QKGCDAsyncSocketPtr& sock,
                                      const ErrorPtr& error) override;

    const std::string ip_;
    const std::string port_;
    const ConnectCompletion competionBlock_;
    const DispatchQueuePtr queue_;
    QKSafeMutableDictionary<std::string, ItemPtr> taskList_;

    // Set by the caller, read on queue_.
    mutable std::mutex mutex_;
    int8_t connectProtocolVer_ = 0;
    std::string applianceSSID_;
    std::string deviceSN_;
    int64_t deviceID_ = 0;
    std::optional<Bytes> ecdhSessionKey_;
    std::function<int64_t()> antiReplayCountBlock_;
    std::shared_ptr<DispatchTimer> heartTimer_;

    // queue_ only.
    QKGCDAsyncSocketPtr socket_;
    bool stopped_ = false;
    bool connecting_ = false;
    bool tcpConnectStatus_ = false;
    bool enableHeart_ = false;
    ItemPtr slot_;  // the request waiting for a connection (internalCompetionBlock)
    int64_t internalRetryCount_ = 0;
    int64_t tlsLastCntId_ = 0;
    Bytes received_;
    // Heartbeats written and not yet answered on this link.
    int heartbeatsUnanswered_ = 0;

    // The kinds of what is dropped.
    enum class Drop { noFrame, cutOff, unauthenticated, undecryptable, unrequested, count };
    // An appliance that sends garbage, or frames the session cannot use (bodies that do not
    // open, replies no request or heartbeat waits for), gets one log line per burst (at the next
    // reply the session takes, the link's end, or each second while it lasts), not one per
    // piece. queue_ only.
    DropTally<Drop> dropped_;
    void noteDropped(Drop kind, size_t bytes);
    void reportDropped();
};

}  // namespace telvo
