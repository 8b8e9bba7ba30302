#include "blecore/QKBluetoothSpeaker.h"

#include "platform/foundation/Diagnostics.h"

namespace telvo {

namespace {
std::string uuidKey(const CBCharacteristicPtr& characteristic) {
    return characteristic ? characteristic->UUID().description() : "";
}
}  // namespace

QKBluetoothSpeaker::QKBluetoothSpeaker() {
    channels_[kDefaultChannel] = std::make_shared<QKBluetoothCallback>();
}

std::shared_ptr<QKBluetoothCallback> QKBluetoothSpeaker::callback() const {
    return channels_.at(kDefaultChannel);
}

std::shared_ptr<QKBluetoothCallback> QKBluetoothSpeaker::callbackOnCurrChannel() const {
    return callbackOnChnnel(currChannel_);
}

std::shared_ptr<QKBluetoothCallback> QKBluetoothSpeaker::callbackOnChnnel(
    const std::string& channel) const {
    auto it = channels_.find(channel);
    return it == channels_.end() ? nullptr : it->second;
}

std::shared_ptr<QKBluetoothCallback> QKBluetoothSpeaker::callbackOnChnnel(
    const std::string& channel, bool createWhenNotExist) {
    auto holder = callbackOnChnnel(channel);
    if (!holder && createWhenNotExist) {
        holder = std::make_shared<QKBluetoothCallback>();
        channels_[channel] = holder;
    }
    return holder;
}

void QKBluetoothSpeaker::switchChannel(const std::optional<std::string>& channel) {
    if (!channel) {
        currChannel_ = kDefaultChannel;
        plainLog(">>>已切换到默认频道");
        return;
    }
    if (channels_.count(*channel)) {
        currChannel_ = *channel;
        plainLog(">>>已切换到%s", channel->c_str());
    } else {
        plainLog(">>>所要切换的channel不存在");
    }
    plainLog("channel ====== %s", channel->c_str());
}

void QKBluetoothSpeaker::addNotifyCallback(const CBCharacteristicPtr& characteristic,
                                           QKCharacteristicBlock block) {
    notifyList_[uuidKey(characteristic)] = std::move(block);
}

void QKBluetoothSpeaker::removeNotifyCallback(const CBCharacteristicPtr& characteristic) {
    notifyList_.erase(uuidKey(characteristic));
}

QKCharacteristicBlock QKBluetoothSpeaker::notifyCallback(
    const CBCharacteristicPtr& characteristic) const {
    auto it = notifyList_.find(uuidKey(characteristic));
    return it == notifyList_.end() ? nullptr : it->second;
}

std::string QKBluetoothSpeaker::getPeripheralCallBackKeyWithCharacteristic(
    const CBCharacteristicPtr& characteristic, const CBPeripheralPtr& peripheral) {
    return (peripheral ? peripheral->identifier().UUIDString() : "") + "/" +
           uuidKey(characteristic);
}

void QKBluetoothSpeaker::addNotifyCallback(const CBCharacteristicPtr& characteristic,
                                           const CBPeripheralPtr& peripheral,
                                           QKCharacteristicBlock block) {
    notifyList_[getPeripheralCallBackKeyWithCharacteristic(characteristic, peripheral)] =
        std::move(block);
}

void QKBluetoothSpeaker::removeNotifyCallback(const CBCharacteristicPtr& characteristic,
                                              const CBPeripheralPtr& peripheral) {
    notifyList_.erase(getPeripheralCallBackKeyWithCharacteristic(characteristic, peripheral));
}

QKCharacteristicBlock QKBluetoothSpeaker::notifyCallback(const CBCharacteristicPtr& characteristic,
                                                         const CBPeripheralPtr& peripheral) const {
    auto it =
        notifyList_.find(getPeripheralCallBackKeyWithCharacteristic(characteristic, peripheral));
    return it == notifyList_.end() ? nullptr : it->second;
}

}  // namespace telvo
