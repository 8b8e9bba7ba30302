#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "blecore/QKBluetoothCallback.h"

namespace telvo {

// The channel table: channel names to their blocks, the current channel, and the notify
// callbacks. The default channel "babyDefault" always exists; a channel, once created, is
// never removed. Used on the main thread; not locked.
class QKBluetoothSpeaker {
  public:
    static constexpr const char* kDefaultChannel = "babyDefault";

    QKBluetoothSpeaker();

    // The default channel's holder.
    std::shared_ptr<QKBluetoothCallback> callback() const;
    std::shared_ptr<QKBluetoothCallback> callbackOnCurrChannel() const;
    // The holder of a name, or nullptr.
    std::shared_ptr<QKBluetoothCallback> callbackOnChnnel(const std::string& channel) const;
    // As above; creates and registers a fresh holder when asked and missing.
    std::shared_ptr<QKBluetoothCallback> callbackOnChnnel(const std::string& channel,
                                                          bool createWhenNotExist);
    // nullopt selects the default channel; a name without a holder changes nothing.
    void switchChannel(const std::optional<std::string>& channel);
    const std::string& currChannel() const { return currChannel_; }

    // Notify callbacks keyed by the characteristic's UUID alone.
    void addNotifyCallback(const CBCharacteristicPtr& characteristic, QKCharacteristicBlock block);
    void removeNotifyCallback(const CBCharacteristicPtr& characteristic);
    QKCharacteristicBlock notifyCallback(const CBCharacteristicPtr& characteristic) const;
    // Keyed by the peripheral and the characteristic
    // (getPeripheralCallBackKeyWithCharacteristic).
    void addNotifyCallback(const CBCharacteristicPtr& characteristic,
                           const CBPeripheralPtr& peripheral, QKCharacteristicBlock block);
    void removeNotifyCallback(const CBCharacteristicPtr& characteristic,
                              const CBPeripheralPtr& peripheral);
    QKCharacteristicBlock notifyCallback(const CBCharacteristicPtr& characteristic,
                                         const CBPeripheralPtr& peripheral) const;
    const std::map<std::string, QKCharacteristicBlock>& notifyCallBackList() const {
        return notifyList_;
    }
    // "<peripheral identifier>/<characteristic UUID>".
    static std::string getPeripheralCallBackKeyWithCharacteristic(
        const CBCharacteristicPtr& characteristic, const CBPeripheralPtr& peripheral);

  private:
    std::map<std::string, std::shared_ptr<QKBluetoothCallback>> channels_;
    std::string currChannel_ = kDefaultChannel;
    std::map<std::string, QKCharacteristicBlock> notifyList_;
};

}  // namespace telvo
