#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "blecore/QKBLEProtocol.h"
#include "core/DropTally.h"
#include "core/NotifiCenter.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/http/URLSession.h"
#include "telvosdk/BluetoothGatt.h"
#include "telvosdk/BluetoothTypes.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/CBPeripheral.h"
#include "telvosdk/Error.h"
#include "telvosdk/QKDevice.h"
#include "telvosdk/QKDeviceBleConfigParams.h"
#include "telvosdk/Value.h"

namespace telvo {

class QKEllipticCurveSecret;

// One BLE configuration session with one appliance: the GATT connection and discovery of the
// configuration service (FF80/FF81/FF82, or FD24/FF31/FF32 for BLE protocol version 3), the
// reconnect strategy, the key exchange (classic ECDH for versions 0 to 2, the certificate
// agreement for version 3), framed and encrypted messages with chunking, resends and the
// frame counter check (a counter 100 or more ahead of the last ends the session with 9999; a
// repeated or older one passes, so the check does not protect against replayed frames), and
// the module error reports. The BLE configuration flows derive from it
// and override the virtual operations (isReady and receiveProtocol above all).
//
// Created only through initWithParam<T>() (shared ownership). Main thread only: every block,
// delayed call and callback runs on the main queue, never inside the call that caused it,
// except that updateCallBack and configCompletion are called synchronously by the operation
// that reports (updateBlockWithState, finalResultWithError...). The GATT blocks, the
// find-device ticker, the counter, the scheduled queries and the cloud handlers hold the session
// weakly; the running overall timer and delayed calls (a busy-peripheral retry, the key-exchange
// start, resend checks, the next chunk of a frame) hold it until they run or are released or
// cancelled (disconnect, stopConfig, a final result).
class QKBLEBaseConnect : public std::enable_shared_from_this<QKBLEBaseConnect> {
  public:
    using UpdateBlock = std::function<void(int64_t state)>;
    using CompletionBlock =
        std::function<void(const ErrorPtr& error, const std::shared_ptr<QKDevice>& device)>;

    // Creates a session of class T (QKBLEBaseConnect or a flow) from the parameters. Stops any
    // scan of the device manager.
    template <class T = QKBLEBaseConnect>
    static std::shared_ptr<T> initWithParam(const QKDeviceBleConfigParams& params) {
        struct Made final : T {};
        std::shared_ptr<T> session = std::make_shared<Made>();
        session->setUpWithParam(params);
        return session;
    }
    virtual ~QKBLEBaseConnect();
    QKBLEBaseConnect(const QKBLEBaseConnect&) = delete;
    QKBLEBaseConnect& operator=(const QKBLEBaseConnect&) = delete;

    // ---- State the flows and the dispatcher read.
    bool isConnecting() const { return isConnecting_; }
    bool isReConnectBleDevice() const { return isReConnectBleDevice_; }
    // The link's key is agreed with the appliance (and, under protocol 3, its certificate
    // chain verified). Until then the flow is handed only the key-exchange answers.
    bool isKeyAgreed() const { return keyAgreed_; }
    // The cloud confirmation found the appliance; a new run of a kept session clears it.
    bool findDevice() const { return findDevice_; }
    // What belongs to one run starts afresh (the dispatcher calls it when it keeps a session
    // for a new run): the reconnect flag and count, the last module error, the last cloud
    // failure, the sighting on the LAN and the cloud's finding.
    void beginRun();
    // Set by every end (finalResultWithError), never by the wrong-password pause; a flow that
    // can be started again clears it at its start.
    bool isConfigEnded() const { return isConfigEnded_; }
    const QKDeviceBleConfigParams& configModel() const { return iConfigModel_; }
    const CBPeripheralPtr& peripheral() const { return peripheral_; }
    // The record the run fills (from the advertisement, then from the appliance); null until
    // either made it.
    const std::shared_ptr<QKDevice>& bleDevice() const { return bleDevice_; }
    // The record, made empty on first use.
    QKDevice& deviceRecord();
    // The progress and completion blocks of the run; empty ones silence the session.
    void setBlocks(UpdateBlock update, CompletionBlock completion) {
        updateCallBack_ = std::move(update);
        configCompletion_ = std::move(completion);
    }
    // The router BSSID the run sends, in the form the appliance takes.
    void setRouterBSSID(const std::optional<std::string>& bssid);

    // The 16-byte root key: the SDK's negotiated BLE default key when it is 16 characters,
    // else the fixed default; made on first read.
    const Bytes& rootKey();
    void setRootKey(Bytes key) { rootKey_ = std::move(key); }
    // The session's P-256 key pair, made on first read.
    const std::shared_ptr<QKEllipticCurveSecret>& secret();

    // ---- Lifecycle.
    // Connects the peripheral and registers the GATT steps; a busy peripheral is released and
    // retried 0.5 s later (three times, then the session ends with 4085). Without a peripheral
    // the session ends with 4085 inside the call.
    void connect();
    void resetRetryState();
    // After a lost or refused connection: reconnects while the configuration runs, the program
    // did not cancel the link, fewer than three reconnects followed one another since the last
    // connection and fewer than nine were made in the run; otherwise ends with 4085 (not when
    // the program cancelled the link or the cloud confirmation runs).
    void handleReConnectBLEStrategy();
    // Ends the session with 4085.
    virtual void blueDisconnect();
    // Cancels every pending resend, then disconnect(). No completion follows.
    virtual void stopConfig();
    // Cancels the delayed steps, resets the key and releases the peripheral (only while this
    // session is the one bound to it). No completion.
    virtual void disconnect();
    void updateBlockWithState(int64_t state);
    // Ends the session: the completion (when set) gets the error and the record (R, or a fresh
    // one) once per call.
    void finalResultWithError(const ErrorPtr& error, std::shared_ptr<QKDevice> device,
                              bool needDisConnect);
    std::shared_ptr<QKDevice> getDeviceInfo(const Dictionary& dict) const;
    virtual ErrorPtr bleErrorWithCode(int64_t code) const;
    ErrorPtr errWithCode(int64_t code, const std::string& des) const;
    void removeNotifiCenterObserver();

    // ---- Key exchange.
    // Starts the exchange of the appliance's protocol version 0.1 s later.
    void startExchangeKey();
    void startExchangeKeyThreeTLS();
    void startExchangeKeyThreeOneWayTLS();
    void receiveTLSAesKeyCommondWithData(ByteView body, const Dictionary& dict);
    void receiveTLSAesKeyAuthWithData(ByteView body, const Dictionary& dict);
    void receiveAesKeyCommondWithData(ByteView body);
    void exchangeKeySuccess();
    // Where a flow starts once the keys are exchanged; the base only logs.
    virtual void isReady();

    // ---- Messaging.
    // Frames the body (under aesKey, with the next frame counter), writes it in chunks
    // and, unless the write characteristic takes writes without response only, resends it
    // every 5 s until a frame of the same type arrives: four writes, then 4179.
    void sendBody(ByteView body, int64_t msgType,
                  const CBCharacteristicPtr& characteristic = nullptr);
    // Writes a frame in chunks of the peripheral's write length (at least 20 bytes), 20 ms
    // apart on the main loop: the first at once when no chunk is waiting, the rest from delayed
    // calls. Frames queue behind the chunks still waiting, so chunks never interleave. A lost
    // link, disconnect and stopConfig drop the chunks not yet written.
    void sendData(ByteView frame, const CBCharacteristicPtr& characteristic);
    int64_t getApAntiReplayCount();
    void cancelSendDataStrategySelector(int64_t msgType);
    void cancelAllSendDataStrategySelector();
    // One notification value of the notify characteristic.
    void receiveBleData(const std::optional<Bytes>& data);
    // One whole frame; answers whether it opened (parsed, decrypted, and before the key the
    // exchange's answer).
    bool baseReceiveData(ByteView frame);
    // Every accepted frame, the key-exchange frames included; empty in the base. Until the key
    // is agreed only the key-exchange answers are accepted: other frames are dropped, counted
    // and summarised in the log once per burst.
    virtual void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol);
    // A module status report carrying an error.
    void receiveErrorFromModuleWithData(ByteView data);
    static int64_t getSmartErrorCodeWithData(int32_t moduleCode);

    // ---- The overall timer, the cloud confirmation and the success paths.
    // (Re)starts the one-shot overall timer (180 s); its expiry calls connectTimeout().
    void startTotalTimer();
    void startTotalTimerWithTotalCount(uint64_t seconds);
    // Pausing stops the countdown (and the handling of received data); each resume moves the
    // deadline later by the length of that pause.
    void pauseTotalTimer();
    void resumeTotalTimer();
    void releaseTotalTimer();
    // Ends the session with the time-out error chosen from how far the run got (4094 after a
    // wrong-password report, 4168 offline but seen on the LAN, the last cloud code, else 4089).
    void connectTimeout();
    // Reports state 11 and starts the 90-tick find-device ticker, the seconds counter and the
    // cloud polling (every 2 s, every 0.5 s from 11 s to 31 s, counted from each answer).
    void startCloudCheck();
    void startIncreaseSeconds();
    void findDeviceTimeout();
    // One cloud query; its handlers run on the main queue, the no-network failure inside the
    // call. The answers of a query are ignored once the session has ended (disconnect or a
    // final result) or the query was cancelled on return to the foreground.
    void checkAPExist();
    void handleLoopCheckAPExist();
    // Success without a cloud reply entry; the second-generation and wired flows extend it.
    virtual void findDeviceDo();
    // Success with the cloud's reply entry.
    void findDeviceDoWithDict(const Dictionary& entry);
    // Final success: disconnects only for bleType 0, 1, 2, 4 and 10.
    void callBackDevice();
    // Stops the seconds counter and the find-device ticker.
    void releaseTimer();
    void willEnterForeground();

  protected:
    QKBLEBaseConnect() = default;
    void setUpWithParam(const QKDeviceBleConfigParams& params);
    // What a flow sets up for its run.
    QKDeviceBleConfigParams& mutableConfigModel() { return iConfigModel_; }
    void setConfigEnded(bool ended) { isConfigEnded_ = ended; }
    void setBleForceValidRandom(bool force) { isBleForceValidRandom_ = force; }
    // The random code the run sends the appliance and checks in the cloud's answer.
    const std::string& randomNum() const { return randomNum_; }
    void setRandomNum(std::string random) { randomNum_ = std::move(random); }
    // The class name in log lines; each flow gives its own.
    virtual std::string className() const { return "QKBLEBaseConnect"; }

  private:
    friend struct QKBLEBaseConnectTestPeer;  // the tests' view of the session state

    bool isConnecting_ = false;
    bool isAfterSales_ = false;
    bool isReConnectBleDevice_ = false;
    bool isBleForceValidRandom_ = false;
    bool isPauseConfig_ = false;
    bool findDevice_ = false;
    bool isFindDeviceInLAN_ = false;
    bool isConfigProcessIng_ = false;
    bool isConfigEnded_ = false;
    bool keyAgreed_ = false;
    Bytes aesKey_;
    UpdateBlock updateCallBack_;
    CompletionBlock configCompletion_;
    QKDeviceBleConfigParams iConfigModel_;
    std::shared_ptr<QKDevice> bleDevice_;
    std::string randomNum_;
    CBPeripheralPtr peripheral_;
    CBCharacteristicPtr writeCharacteristic_;
    Bytes tlsRandomN1_;
    Bytes tlsDataM1_;
    Bytes tlsPrivateKeyData_;
    Bytes tlsRandomN2_;
    Bytes tlsSessionKey_;
    int64_t checkApFailedResultCode_ = 0;
    int64_t moduleErrorCode_ = 0;
    int64_t bledisConnectingCount_ = 0;
    std::optional<Dictionary> extras_;
    int64_t tlsLastCntId_ = 0;
    int64_t tlsAntiReplayCnt_ = 0;
    // The overall time-out (a one-shot timer on the main queue) and its seconds, all ones
    // after release. Dates are seconds on the library clock (Clock::now()).
    std::shared_ptr<DispatchTimer> totalTimer_;
    uint64_t totalCount_ = 0;
    double originalFireDate_ = 0;
    double pauseStartDate_ = 0;
    // The cloud confirmation: the one-second ticker and its ticks left, the seconds since it
    // began (-1 once stopped) and the cloud query last made (kept until the final result).
    std::shared_ptr<DispatchTimer> findDeviceTimer_;
    uint64_t timeCount_ = 0;
    double secondsCount_ = 0;
    URLSessionTaskPtr cuCheckApTask_;

    void connectionBlock(const CBPeripheralPtr& peripheral, const ErrorPtr& error);
    void servicesBlock(const CBPeripheralPtr& peripheral, const ErrorPtr& error);
    void characteristicsBlock(const CBPeripheralPtr& peripheral, const CBServicePtr& service,
                              const ErrorPtr& error, const std::shared_ptr<bool>& once);
    void discoveryFailed(int64_t code);
    void endWithError(const ErrorPtr& error);
    void handleReSendDataStrategy(const std::shared_ptr<Bytes>& body, int64_t msgType,
                                  const CBCharacteristicPtr& characteristic);
    void reSendDataStrategySelector(const std::shared_ptr<Bytes>& body, int64_t msgType);
    void sendStoredBody(const std::shared_ptr<Bytes>& body, int64_t msgType,
                        const CBCharacteristicPtr& characteristic);
    void cancelDelayedSteps();
    bool ownsPeripheral() const;
    // Discovery failures while a reconnect runs beside the cloud confirmation are ignored.
    bool ignoresDiscoveryFailure() const;
    // releaseTimer, releaseTotalTimer, and the pending cloud check, query and counter step
    // cancelled; the answer of a query in flight is ignored.
    void stopClocks();
    void ignoreCloudQueryInFlight();
    void checkAPExistReplied(const std::optional<Value>& reply);
    void checkAPExistFailed(const ErrorPtr& error);
    void writeNextChunk();
    void dropPendingChunks();
    // Back to the root key: the agreed key is gone until the next exchange.
    void useRootKey();
    bool isKeyExchangeAnswer(int64_t msgType) const;
    void noteFrameBeforeKey(size_t bytes);
    void reportFramesBeforeKey();
    static std::string sdkWorkMode();

    std::optional<Bytes> rootKey_;
    std::shared_ptr<QKEllipticCurveSecret> secret_;
    CBUUID serviceUUID_, writeUUID_, notifyUUID_;
    QKBLEFrameAssembler assembler_;
    uint64_t disconnects_ = 0;  // disconnect() calls so far
    int64_t reconnects_ = 0;    // reconnects since the run began (disconnect() ends a run)
    NotifiCenter observers_;
    double pausedSeconds_ = 0;  // pauses of the running overall timer so far
    // Set when the answer of the cloud query in flight is to be ignored.
    std::shared_ptr<bool> cloudQueryIgnored_;
    struct Chunk {
        Bytes data;
        CBCharacteristicPtr target;
        bool withoutResponse = false;
    };
    std::deque<Chunk> chunks_;      // chunks waiting for their turn
    bool chunkTimerArmed_ = false;  // the next chunk's delayed call is pending
    // Frames dropped because they came before the key was agreed, since the last log line:
    // reported when the key is agreed, at disconnect, or each second while they go on.
    enum class BeforeKey { frame, count };
    DropTally<BeforeKey> framesBeforeKey_;
};

}  // namespace telvo
