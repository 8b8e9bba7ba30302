#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "blecore/QKBLEBaseConnect.h"
#include "cloud/QKNetWorkApplianceOperation.h"

namespace telvo {

// Network-bridge flow (bleType 4): binds a BLE gateway that fronts a BLE mesh to the user's
// home. Over one link: the full status (0x63), the cloud registration that gives the device
// id, the device and family ids (0x09), for a new-generation mesh bridge the mesh key and a
// batch of broadcast addresses from the cloud written into the bridge (0x20 04 and 05), then
// the random token (0x03) and the appliance's record.
//
// Created by name ("QKSingleBLENetworkBridgeConnect") like QKSingleBLEConnect. Main queue only:
// the cloud replies arrive there too. A cloud reply's success path holds the session weakly,
// its failure path strongly; a reply that arrives after the session ended does nothing.
class QKSingleBLENetworkBridgeConnect : public QKBLEBaseConnect {
  public:
    // The 16 random bytes of the last 0x03.
    std::optional<Bytes> token;
    // 3 new-generation mesh, 2 new-generation beacon, 1 neither (from the advertisement);
    // only 3 adds the mesh step.
    int64_t connectType = 1;
    // The mesh network key as the cloud gave it (hex text).
    std::string meshkey;

    // Copies only familyId from the parameters; ends at once with 4170 when it is absent,
    // else starts the overall timer and connects.
    void statConfig(const QKDeviceBleConfigParams& params, UpdateBlock update,
                    CompletionBlock completion);
    void isReady() override;
    void receiveProtocol(const std::shared_ptr<QKBLEProtocol>& protocol) override;

    // 4170 when the family id is absent (an empty text passes), else nothing.
    ErrorPtr checkParamIntegrity() const;
    // A cloud failure: type 3 around the code, 8000 in place of 0.
    ErrorPtr netErrorWithCode(int64_t code) const;

    void checkBleStatus();
    void receiveCheckStatusCommondWithData(const std::optional<Bytes>& data);
    void checkDeviceIdAndFamilyId();
    void sendDeviceIdAndFamilyId();
    void receiveCheckDeviceIdAndFamilyIdCommondWithData(const std::optional<Bytes>& data);
    void sendDeviceIdAndFamilyIdSucc();
    void beginMeshConfig();
    void receiveBleMeshConfigDataBack(const std::optional<Bytes>& data);
    void receiveBleMeshConfigDataBack04(uint32_t count, uint32_t netState);
    void reqyestMeshkeyConfig(int64_t count);
    void getMeshBroadcastAddress(int64_t count);
    // Ends with 4190 unless the addresses are hex texts of one even length, fewer than 256,
    // that fit the body.
    void sendBleMeshConfigData(const Value::Array& addresses);
    void receiveBleMeshConfigDataBack05(uint32_t result);
    void checkToken();
    void receiveCheckTokenCommondWithData(const std::optional<Bytes>& data);

  protected:
    std::string className() const override { return "QKSingleBLENetworkBridgeConnect"; }

  private:
    using Self = QKSingleBLENetworkBridgeConnect;
    void endWith(const ErrorPtr& error);
    // The blocks of one cloud call: the success block holds the session weakly and runs
    // onSuccess, the failure block holds it strongly and ends with the cloud's code; neither
    // acts once the session has ended.
    std::pair<QKNetWorkApplianceOperation::SuccessBlock, QKNetWorkApplianceOperation::FailedBlock>
    cloudBlocks(std::function<void(Self&, const std::optional<Value>&)> onSuccess);
};

}  // namespace telvo
