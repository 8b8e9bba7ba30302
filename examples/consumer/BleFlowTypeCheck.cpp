// The flow type an app picks for a scanned appliance, the scan filter on manufacturer data, and
// the Bluetooth wrapper's beat watchdog, on the public headers alone.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "../HomeFile.h"
#include "ConsumerChecks.h"

namespace {

using namespace telvo;

// Version 0 (14 bytes, flags at byte 3) or version 1 (30 bytes, flags at bytes 18 and 28).
Bytes productData(uint8_t version, uint8_t flags, uint8_t flags3 = 0) {
    Bytes d = {0x17, 0x3D, version};
    if (version == 0) {
        d.insert(d.end(), {flags, 0x00, 0x00});
        d.insert(d.end(), 8, 'S');
        return d;
    }
    d.insert(d.end(), 15, 'A');
    d.insert(d.end(), {flags, 0x00, 0xC4, 1, 2, 3, 4, 5, 6, 0x00, flags3, 0x00});
    return d;
}

bool flowTypesOfAdvertisements() {
    struct Row {
        Bytes data;
        int64_t configType, bleType;
    } rows[] = {
        {productData(0, 0x01), 3, 0},       {productData(1, 0x00), 3, 2},
        {productData(1, 0x01), 3, 1},       {productData(0, 0x00), 3, 99},
        {productData(1, 0x00), 4, 2},       {productData(1, 0x20), 4, 4},
        {productData(1, 0x00, 0x10), 4, 4}, {productData(1, 0x41), 4, 3},
        {productData(1, 0x01), 4, 99},      {productData(1, 0x01), 5, 10},
        {productData(1, 0x00), 5, 99},      {productData(1, 0x41), 6, 99},
    };
    bool ok = true;
    for (const auto& row : rows) {
        const Value advertisement = Dictionary{{TelvoBleTool::kManufacturerDataKey, row.data},
                                               {TelvoBleTool::kLocalNameKey, "korvo_ac_1a2b"}};
        const int64_t got =
            TelvoBleTool::bleModuleTypeForAdvertisementData(Value(), advertisement, row.configType);
        if (got != row.bleType) {
            std::printf("consumer: configuration type %lld gave bleType %lld, not %lld\n",
                        (long long)row.configType, (long long)got, (long long)row.bleType);
            ok = false;
        }
    }
    Bytes reversed = productData(1, 0x00);
    std::swap(reversed[0], reversed[1]);
    return ok && TelvoBleTool::isQKBlePeripheral(productData(0, 0x00)) &&
           !TelvoBleTool::isQKBlePeripheral(reversed) &&
           !TelvoBleTool::isQKBlePeripheral(ByteView(productData(0, 0x00)).first(13)) &&
           TelvoBleTool::bleModuleTypeForAdvertisementData(nullptr, 4) == 2;
}

// The home's appliance is a double module that cannot transport.
bool flowTypesOfTheScannedAppliance(const char* homeFile) {
    auto home = telvo_example::readHome(homeFile);
    if (!home) return false;
    telvo_example::applyMakerSettings(*home);
    CBPeripheralPtr found = telvo_example::scanFor((*home)["name"].text(), 30);
    if (!found) {
        std::printf("consumer: the flow-type check heard no appliance\n");
        return false;
    }
    const int64_t second = telvo_example::bleTypeFor(found, 3);
    const int64_t fourth = telvo_example::bleTypeFor(found, 4);
    const int64_t retry = telvo_example::bleTypeFor(found, 5);
    std::printf("consumer: the scanned appliance's bleTypes for 3, 4, 5: %lld, %lld, %lld\n",
                (long long)second, (long long)fourth, (long long)retry);
    return second == 1 && fourth == 99 && retry == 10;
}

// A watchdog beaten, broken and ended by hand: no waiting on its timer.
bool beatWatchdog() {
    struct Seen {
        int breaks = 0, overs = 0;
        bool overAfterOver = false, overAfterRestart = true, timed = false;
    };
    auto seen = std::make_shared<Seen>();
    const bool ran = telvo_example::performAndWait([seen] {
        auto rhythm = QKBluetoothRhythm::create();
        rhythm->setBeatsInterval(60);
        rhythm->setBlockOnBeatsBreak([seen](const auto&) { ++seen->breaks; });
        rhythm->setBlockOnBeatsOver([seen](const auto& r) { seen->overs += r->isOver(); });
        rhythm->beats();
        seen->timed = rhythm->beatsTimer() != nullptr && rhythm->beatsInterval() == 60;
        rhythm->beatsBreak();
        rhythm->beatsOver();
        seen->overAfterOver = rhythm->isOver();
        rhythm->beatsRestart();
        seen->overAfterRestart = rhythm->isOver();
    });
    return ran && seen->timed && seen->breaks == 1 && seen->overs == 1 && seen->overAfterOver &&
           !seen->overAfterRestart;
}

const ConsumerCheck check("BLE flow type and beat watchdog", [](const char* homeFile) {
    bool ok = true;
    if (!flowTypesOfAdvertisements()) {
        std::printf("consumer: flow types of advertisements FAILED\n");
        ok = false;
    }
    if (!beatWatchdog()) {
        std::printf("consumer: the beat watchdog FAILED\n");
        ok = false;
    }
    if (homeFile && !flowTypesOfTheScannedAppliance(homeFile)) ok = false;
    return ok;
});

}  // namespace
