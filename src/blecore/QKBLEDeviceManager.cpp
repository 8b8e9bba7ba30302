#include "blecore/QKBLEDeviceManager.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "blecore/QKBluetoothRhythm.h"
#include "blecore/TelvoBleTool.h"
#include "core/HexText.h"
#include "core/QKTool.h"
#include "logging/QKLog.h"
#include "platform/base/AsciiText.h"
#include "platform/base/Singleton.h"
#include "platform/foundation/FoundationErrors.h"
#include "telvosdk/CBPeripheralQKExtensions.h"

namespace telvo {

namespace {

constexpr double kWriteChunkSpacing = 0.02;
constexpr int kNoRSSI = 127;

SharedInstance<QKBLEDeviceManager>& sharedDeviceManager() {
    return processWide([] { return new SharedInstance<QKBLEDeviceManager>(); });
}

std::string channelOr(const QKBLEDeviceManager::Channel& channel) {
    return channel.value_or(QKBLEDeviceManager::kPeripheralChannelName);
}

// As the platform's string test: an empty needle is never contained.
bool containsText(const std::string& haystack, const std::string& needle) {
    return !needle.empty() && haystack.find(needle) != std::string::npos;
}

// A log line's view of a value: texts as they are, bytes as <hex>, containers in braces.
std::string describeField(const Value& value) {
    switch (value.type()) {
        case Value::Type::Null:
            return "(null)";
        case Value::Type::Text:
            return value.text();
        case Value::Type::Bytes:
            return "<" + hextext::encode(value.bytes(), false) + ">";
        case Value::Type::Array: {
            std::string out = "(";
            for (const auto& v : value.array())
                out += (out.size() > 1 ? ", " : "") + describeField(v);
            return out + ")";
        }
        case Value::Type::Dictionary: {
            std::string out = "{";
            for (const auto& [k, v] : value.dictionary())
                out += k + " = " + describeField(v) + "; ";
            return out + "}";
        }
        case Value::Type::Object:
            return "<object>";
        default:
            return value.stringValue();
    }
}
std::string describeField(const std::optional<Dictionary>& dict) {
    return dict ? describeField(Value(*dict)) : "(null)";
}

// The whole name is (korvo_|zubo_|qk0001_|varne_)[0-9a-f]{2}_[0-9a-z]{4}.
bool isProductName(const std::string& name) {
    for (std::string_view prefix : {"korvo_", "zubo_", "qk0001_", "varne_"}) {
        if (name.size() != prefix.size() + 7 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string_view rest = std::string_view(name).substr(prefix.size());
        auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
        auto alnum = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); };
        return hex(rest[0]) && hex(rest[1]) && rest[2] == '_' &&
               std::all_of(rest.begin() + 3, rest.end(), alnum);
    }
    return false;
}

// The name both scan filters test: the advertised local name ("%@" of whatever is stored),
// else the peripheral's name.
std::optional<std::string> filterName(const std::optional<std::string>& peripheralName,
                                      const Dictionary& advertisement) {
    if (const Value* local = advertisement.find(CBAdvertisementDataLocalNameKey))
        return local->isText() ? local->text() : describeField(*local);
    return peripheralName;
}

// Pieces of the body, the first now and each next one 20 ms after the one before; stops when
// the peripheral is gone.
void writePieces(const std::weak_ptr<CBPeripheral>& weak, std::shared_ptr<const Bytes> data,
                 size_t offset, const CBCharacteristicPtr& characteristic, size_t size) {
    auto peripheral = weak.lock();
    if (!peripheral || offset >= data->size()) return;
    const size_t end = std::min(offset + size, data->size());
    peripheral->writeValue(Bytes(data->begin() + static_cast<std::ptrdiff_t>(offset),
                                 data->begin() + static_cast<std::ptrdiff_t>(end)),
                           characteristic, CBCharacteristicWriteType::WithResponse);
    if (end < data->size())
        DispatchQueue::main()->after(kWriteChunkSpacing, [weak, data, end, characteristic, size] {
            writePieces(weak, data, end, characteristic, size);
        });
}

const Value& key(const Dictionary& dict, const char* name) {
    return dict[name];
}
int64_t version(const Dictionary& dict) {
    return key(dict, "bleProtcolVersion").int64Value();
}
bool isDouble(const Dictionary& dict) {
    return key(dict, "isDoubleModule").boolValue();
}
bool flag(const Dictionary& dict, const char* name) {
    return key(dict, name).boolValue();
}

}  // namespace

std::shared_ptr<QKBLEDeviceManager> QKBLEDeviceManager::shareInstance() {
    return sharedDeviceManager().get(
        [] { return std::shared_ptr<QKBLEDeviceManager>(new QKBLEDeviceManagerImpl()); });
}

template <>
void resetForTesting<QKBLEDeviceManager>() {
    sharedDeviceManager().exchange();
}

void QKBLEDeviceManager::isBleEnable(StateBlock block) {
    auto bt = QKBluetooth::shareQKBluetooth();
    bt->switchChannel(std::nullopt);
    if (block) block(bt->centralManager());
    bt->setBlockOnCentralManagerDidUpdateState([block](const CBCentralManagerPtr& central) {
        if (block) block(central);
    });
}

void QKBLEDeviceManager::switchChannel(const Channel& channel) {
    QKBluetooth::shareQKBluetooth()->switchChannel(channel);
}

void QKBLEDeviceManager::resetCentralManager() {
    QKBluetooth::shareQKBluetooth()->resetCentralManager();
}

CBCentralManagerPtr QKBLEDeviceManager::centralManager() const {
    return QKBluetooth::shareQKBluetooth()->centralManager();
}

// ---- Scans.

void QKBLEDeviceManager::startScan(int64_t moduleType, double timeout, ScanBlock scanback) {
    bleModuleType_ = moduleType;
    std::weak_ptr<QKBLEDeviceManager> weak = weak_from_this();
    beginScan(
        ScanKind::ModuleType,
        [weak](const std::optional<std::string>& name, const Dictionary& adv, int) {
            auto self = weak.lock();
            return self && self->filterDiscoverPeripheral(self->bleModuleType_, name, adv);
        },
        timeout, std::move(scanback));
}

void QKBLEDeviceManager::startScanWithFilter(std::vector<std::string> names, double timeout,
                                             ScanBlock scanback) {
    std::weak_ptr<QKBLEDeviceManager> weak = weak_from_this();
    beginScan(
        ScanKind::NameList,
        [weak, names = std::move(names)](const std::optional<std::string>& name,
                                         const Dictionary& adv, int) {
            auto self = weak.lock();
            return self && self->filterContains(names, name, adv);
        },
        timeout, std::move(scanback));
}

void QKBLEDeviceManager::beginScan(ScanKind kind, QKPeripheralFilter filter, double timeout,
                                   ScanBlock scanback) {
    auto bt = QKBluetooth::shareQKBluetooth();
    bt->setFilterOnDiscoverPeripherals(std::move(filter));
    std::weak_ptr<QKBLEDeviceManager> weak = weak_from_this();
    bt->setBlockOnDiscoverToPeripherals(
        [weak, kind, scanback = std::move(scanback)](const CBCentralManagerPtr&,
                                                     const CBPeripheralPtr& peripheral,
                                                     const Dictionary& advertisement, int rssi) {
            auto self = weak.lock();
            if (!self || rssi == kNoRSSI) return;
            self->record(kind, peripheral, advertisement, rssi);
            if (scanback) scanback(peripheral);
        });
    bt->scanForPeripherals().begin();
    if (timeout > 0) {
        // Whole seconds, as a 32-bit count; a fraction below 1 stops at the next turn.
        const double whole =
            std::min(std::trunc(timeout), double{std::numeric_limits<int32_t>::max()});
        bt->stop(static_cast<int32_t>(whole));
    }
}

void QKBLEDeviceManager::record(ScanKind kind, const CBPeripheralPtr& peripheral,
                                const Dictionary& advertisement, int rssi) {
    auto ext = qkExtensions(peripheral);
    if (!ext) return;
    ext->qkAdvertiDictonary = advertisement;
    ext->qkAdvertisementRSSI = rssi;
    if (kind == ScanKind::NameList) {
        const Value* connectable = advertisement.find(CBAdvertisementDataIsConnectable);
        ext->unreachableAdv = connectable && !connectable->boolValue();
    }
    const Bytes& data = advertisement[CBAdvertisementDataManufacturerDataKey].bytes();
    if (TelvoBleTool::isQKBlePeripheral(data)) {
        ext->qkDevice = ext->configable = true;
        if (kind == ScanKind::ModuleType)
            QKSDKLOG("Telvo蓝牙设备信息:%s", describeField(ext->qkSmartDictonary).c_str());
    } else {
        ext->qkDevice = false;
    }
    const auto localName = advertisement[CBAdvertisementDataLocalNameKey].optionalText();
    auto capabilities = bleAdvDicWithPeripheral(data, localName);
    if (kind == ScanKind::ModuleType || capabilities)
        ext->qkSmartDictonary = std::move(capabilities);
    ext->mas_name = localName && !localName->empty() ? localName : peripheral->name();
    ext->mas_mac =
        ext->qkSmartDictonary ? (*ext->qkSmartDictonary)["deviceMac"].optionalText() : std::nullopt;
    ext->configed = false;
    if (ext->qkSmartDictonary) {
        if (const Value* v = ext->qkSmartDictonary->find("isWiredStatus"))
            ext->isWiredStatus = v->boolValue();
        if (const Value* v = ext->qkSmartDictonary->find("isWiredConfigurable"))
            ext->isWiredConfigurable = v->boolValue();
    }
}

void QKBLEDeviceManager::stopScan() {
    QKBluetooth::shareQKBluetooth()->cancelScan();
}

// ---- Filters.

bool QKBLEDeviceManager::filterDiscoverPeripheral(int64_t moduleType,
                                                  const std::optional<std::string>& peripheralName,
                                                  const Dictionary& advertisement) const {
    if (moduleType == 0) return true;
    if (moduleType < 1 || moduleType > 3) return false;
    const auto name = filterName(peripheralName, advertisement);
    return name && !name->empty() && isProductName(lowercased(*name));
}

bool QKBLEDeviceManager::filterContains(const std::vector<std::string>& names,
                                        const std::optional<std::string>& peripheralName,
                                        const Dictionary& advertisement) const {
    if (names.empty()) return true;
    const auto name = filterName(peripheralName, advertisement);
    if (!name || name->empty()) return true;
    const std::string upperName = uppercased(*name);
    bool accepted = false;
    for (const auto& entry : names) {
        const std::string upperEntry = uppercased(entry);
        if (containsText(upperName, upperEntry) || containsText(upperEntry, upperName))
            accepted = true;
    }
    return accepted;
}

bool QKBLEDeviceManager::filterDiscover(const std::vector<std::string>& names,
                                        const std::optional<std::string>& peripheralName,
                                        const Dictionary&) const {
    if (!peripheralName) return false;
    const std::string upperName = uppercased(*peripheralName);
    for (const auto& entry : names)
        if (containsText(uppercased(entry), upperName)) return true;
    return false;
}

// ---- Connections by channel.

void QKBLEDeviceManager::connect(const CBPeripheralPtr& peripheral, const Channel& channel,
                                 ConnectBlock block) {
    QKSDKLOG("QK_Get_Peripheral_Channel(channel) = %s", channel ? channel->c_str() : "(null)");
    const std::string c = channelOr(channel);
    auto bt = QKBluetooth::shareQKBluetooth();
    std::weak_ptr<QKBLEDeviceManager> weak = weak_from_this();
    bt->setBlockOnConnectedAtChannel(
        c, [weak, block, c](const CBCentralManagerPtr& central, const CBPeripheralPtr& p) {
            auto ext = qkExtensions(p);
            QKSDKLOG("ble connected %s success",
                     describeField(ext ? ext->qkAdvertiDictonary : std::nullopt).c_str());
            if (block) block(central, p, nullptr);
            if (auto self = weak.lock(); self && p)
                QKBLEDeviceManagerImpl::of(*self).curConnectedMacDict.setObject(
                    c, p->identifier().UUIDString());
        });
    bt->setBlockOnDisconnectAtChannel(
        c, [weak, block](const CBCentralManagerPtr& central, const CBPeripheralPtr& p,
                         const ErrorPtr& error) {
            QKSDKLOG("ble disconnected failed error: %s", errorLogText(error).c_str());
            if (block) block(central, p, error);
            if (auto self = weak.lock(); self && p)
                QKBLEDeviceManagerImpl::of(*self).curConnectedMacDict.removeObjectForKey(
                    p->identifier().UUIDString());
        });
    // A refused connection is this connect's outcome too: without it the caller would wait
    // for an event that never comes. Another peripheral's failure is not ours to report.
    const std::string wanted = peripheral ? peripheral->identifier().UUIDString() : "";
    bt->setBlockOnFailToConnectAtChannel(
        c, [block, wanted](const CBCentralManagerPtr& central, const CBPeripheralPtr& p,
                           const ErrorPtr& error) {
            QKSDKLOG("ble connect failed error: %s", errorLogText(error).c_str());
            if (block && p && p->identifier().UUIDString() == wanted) block(central, p, error);
        });
    bt->having(peripheral)
        .and_()
        .channel(c)
        .then()
        .connectToPeripherals()
        .discoverServices()
        .discoverCharacteristics()
        .readValueForCharacteristic()
        .discoverDescriptorsForCharacteristic()
        .readValueForDescriptors()
        .begin();
}

void QKBLEDeviceManager::disconnectConnectChannel(const Channel& channel, ConnectBlock block) {
    const std::string c = channelOr(channel);
    QKBLEDeviceManagerImpl::of(*this).curDisconnectedCallBackDict.setObject(block, c);
    std::weak_ptr<QKBLEDeviceManager> weak = weak_from_this();
    auto routed = [weak](const CBCentralManagerPtr& central, const CBPeripheralPtr& p,
                         const ErrorPtr& error) {
        QKSDKLOG("ble disconnected !error: %s", errorLogText(error).c_str());
        auto self = weak.lock();
        if (!self) return;
        if (auto fetched = self->getConnectedStatusCallBackWithPeripheral(p))
            fetched(central, p, error);
    };
    auto bt = QKBluetooth::shareQKBluetooth();
    bt->setBlockOnDisconnectAtChannel(c, routed);
    bt->setBlockOnDisconnect(routed);
}

QKBLEDeviceManager::ConnectBlock QKBLEDeviceManager::getConnectedStatusCallBackWithPeripheral(
    const CBPeripheralPtr& peripheral) {
    if (!peripheral) return nullptr;
    auto& d = QKBLEDeviceManagerImpl::of(*this);
    auto channel = d.curConnectedMacDict.takeObjectForKey(peripheral->identifier().UUIDString());
    if (!channel) return nullptr;
    return d.curDisconnectedCallBackDict.takeObjectForKey(*channel).value_or(nullptr);
}

// ---- Discovery, notifications, descriptors, writes.

void QKBLEDeviceManager::discoverServicesChannel(const Channel& channel, ServicesBlock block) {
    // The watchdog belongs to this registration and goes (with its timer) when it is replaced.
    auto rhythm = QKBluetoothRhythm::create();
    rhythm->setBlockOnBeatsBreak([](auto&) { QKSDKLOG("setBlockOnBeatsBreak call"); });
    rhythm->setBlockOnBeatsOver([](auto&) { QKSDKLOG("setBlockOnBeatsOver call"); });
    QKBluetooth::shareQKBluetooth()->setBlockOnDiscoverServicesAtChannel(
        channelOr(channel), [block, rhythm](const CBPeripheralPtr& p, const ErrorPtr& error) {
            if (block) block(p, error);
            rhythm->beats();
        });
}

void QKBLEDeviceManager::discoverCharacteristics(const Channel& channel,
                                                 CharacteristicsBlock block) {
    QKBluetooth::shareQKBluetooth()->setBlockOnDiscoverCharacteristicsAtChannel(channelOr(channel),
                                                                                std::move(block));
}

void QKBLEDeviceManager::readValueFromPeripheral(const Channel& channel, const CBPeripheralPtr&,
                                                 CharacteristicsBlock block) {
    discoverCharacteristics(channel, std::move(block));
}

void QKBLEDeviceManager::notify(const CBPeripheralPtr& peripheral,
                                const CBCharacteristicPtr& characteristic, NotifyBlock block) {
    QKBluetooth::shareQKBluetooth()->notify(
        peripheral, characteristic,
        [block, characteristic](const CBPeripheralPtr& p, const CBCharacteristicPtr&,
                                const ErrorPtr& error) {
            if (block) block(p, characteristic, error);
        });
}

void QKBLEDeviceManager::characteristicDetails(const Channel& channel,
                                               const CBPeripheralPtr& peripheral,
                                               const CBCharacteristicPtr& characteristic) {
    QKBluetooth::shareQKBluetooth()
        ->channel(channelOr(channel))
        .characteristicDetails(peripheral, characteristic);
}

void QKBLEDeviceManager::writeValueForCharacteristic(const Channel& channel, const CBPeripheralPtr&,
                                                     WriteBlock block) {
    QKBluetooth::shareQKBluetooth()->setBlockOnDidWriteValueForCharacteristicAtChannel(
        channelOr(channel), std::move(block));
}

void QKBLEDeviceManager::writeValuetoPeripheral(const Channel&, const CBPeripheralPtr& peripheral,
                                                const std::optional<Bytes>& data,
                                                const CBCharacteristicPtr& characteristic,
                                                CBCharacteristicWriteType) {
    if (!peripheral) {
        QKSDKLOG("外设为空");
        return;
    }
    if (!data) {
        QKSDKLOG("ble write data is nil");
        return;
    }
    const auto size = static_cast<size_t>(QKTool::getBleMTUWithPeripheral(peripheral));
    writePieces(peripheral, std::make_shared<const Bytes>(*data), 0, characteristic, size);
}

void QKBLEDeviceManager::disconnectPeriphera(const CBPeripheralPtr& peripheral) {
    if (!peripheral) {
        QKSDKLOG("断开蓝牙连接失败,蓝牙外设为空");
        return;
    }
    QKBluetooth::shareQKBluetooth()->cancelPeripheralConnection(peripheral);
    QKSDKLOG("断开蓝牙连接成功");
}

void QKBLEDeviceManager::readRSSIPeripheral(const CBPeripheralPtr& peripheral, RSSIBlock block) {
    if (!peripheral || peripheral->state() != CBPeripheralState::Connected) {
        auto ext = qkExtensions(peripheral);
        if (block) block(ext ? ext->qkAdvertisementRSSI : std::nullopt, nullptr);
        return;
    }
    peripheral->readRSSI();
    QKBluetooth::shareQKBluetooth()->setBlockOnDidReadRSSI(
        [block](std::optional<int> rssi, const ErrorPtr&) {
            if (block) block(rssi, nullptr);
        });
}

const std::vector<CBPeripheralPtr>& QKBLEDeviceManager::findConnectedPeripherals() const {
    return QKBluetooth::shareQKBluetooth()->findConnectedPeripherals();
}

void QKBLEDeviceManager::setQKBluetoothOptionsWithScanForPeripheralsWithOptions(
    std::optional<Dictionary> scanOptions, std::optional<Dictionary>,
    std::optional<std::vector<CBUUID>>, std::optional<std::vector<CBUUID>>,
    std::optional<std::vector<CBUUID>>) {
    QKBluetooth::shareQKBluetooth()->setQKBluetoothOptionsWithScanForPeripheralsWithOptions(
        std::move(scanOptions), std::nullopt, std::nullopt, std::nullopt, std::nullopt);
}

void QKBLEDeviceManager::setsetQKBluetoothOptionsWithScanForPeripheralsWithOptionsChannel(
    const Channel&, std::optional<Dictionary> scanOptions, std::optional<Dictionary>,
    std::optional<std::vector<CBUUID>>, std::optional<std::vector<CBUUID>>,
    std::optional<std::vector<CBUUID>>) {
    QKBluetooth::shareQKBluetooth()->setQKBluetoothOptionsAtChannel(
        kPeripheralChannelName, std::move(scanOptions), std::nullopt, std::nullopt, std::nullopt,
        std::nullopt);
}

// ---- Capability dictionary.

std::optional<Dictionary> QKBLEDeviceManager::bleAdvDicWithPeripheral(
    ByteView manufacturerData, const std::optional<std::string>& bleName) {
    return TelvoBleTool::bleAdvDicWithPeripheral(manufacturerData, bleName);
}

bool QKBLEDeviceManager::bleAdvIsWifiConfigEnableWithDict(const std::optional<Dictionary>& dict) {
    if (!dict) return false;
    if (version(*dict) <= 0) return flag(*dict, "wifiConfigEnable");
    return isDouble(*dict) || flag(*dict, "isAuthority");
}

bool QKBLEDeviceManager::bleAdvIsBeConfigedWithDict(const std::optional<Dictionary>& dict) {
    if (!dict) return false;
    if (version(*dict) <= 0) return flag(*dict, "isWifiConfiged");
    if (isDouble(*dict)) return flag(*dict, "isWifiConfiged") || flag(*dict, "bindState");
    return flag(*dict, "bindState");
}

bool QKBLEDeviceManager::bleAdvIsCanConfigWithDict(const std::optional<Dictionary>& dict) {
    return bleAdvIsWifiConfigEnableWithDict(dict) && !bleAdvIsBeConfigedWithDict(dict);
}

bool QKBLEDeviceManager::bleAdvIsAuthedWithDict(const std::optional<Dictionary>& dict) {
    if (!dict) return false;
    if (version(*dict) <= 0) return bleAdvIsCanConfigWithDict(dict);
    return flag(*dict, isDouble(*dict) ? "wifiConfigEnable" : "isAuthority");
}

bool QKBLEDeviceManager::bleAdvIsCanUpdateRouterWithDict(const std::optional<Dictionary>& dict) {
    if (!dict || !isDouble(*dict) || key(*dict, "moduleType").uint64Value() < 3 ||
        !flag(*dict, "isWifiConfiged"))
        return false;
    const int64_t errorCode = key(*dict, "errorCode").int64Value();
    return (errorCode == 1 || errorCode == 2) && flag(*dict, "isUpdateRouter");
}

}  // namespace telvo
