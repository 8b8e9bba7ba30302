#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "cloud/QKNetWorkManager.h"

namespace telvo {

// The appliance calls of the cloud API. Class operations only, callable from any thread.
// Blocks run on the main queue, once per call; the no-network failure of the first four
// operations runs at once on the caller's thread, and they then return a null task.
class QKNetWorkApplianceOperation {
  public:
    using SuccessBlock = std::function<void(const std::optional<Value>& reply)>;
    using FailedBlock = std::function<void(const ErrorPtr& error)>;
    // The error as it came (or none) and the operation's result, or nullopt.
    using ResultCompletion =
        std::function<void(const ErrorPtr& error, const std::optional<Value>& result)>;

    // Whether the appliance with this serial number came online with the random code.
    static URLSessionTaskPtr getApplianceDevicesnAPExistsWithDeviceSn(
        const std::optional<std::string>& deviceSn, const std::optional<std::string>& randomCode,
        bool isForceValid, const std::optional<Value>& postExtraDict, SuccessBlock success,
        FailedBlock failed);
    static URLSessionTaskPtr getDeviceIdWithDeviceSn(
        const std::optional<std::string>& deviceSn, const std::optional<std::string>& applianceType,
        SuccessBlock success, FailedBlock failed);
    static URLSessionTaskPtr getMeshkeyWithFamiyId(const std::optional<std::string>& familyId,
                                                   SuccessBlock success, FailedBlock failed);
    static URLSessionTaskPtr getMeshAddressWithFamiyId(const std::optional<std::string>& familyId,
                                                       const std::optional<std::string>& deviceId,
                                                       int64_t count, SuccessBlock success,
                                                       FailedBlock failed);

    // Result: the reply's "data" when a dictionary, else the whole reply (on success only).
    static URLSessionTaskPtr requestNegotiatedKeyWithCompetion(ResultCompletion completion);
    // Result: the reply's "data" when a dictionary (on success only).
    static URLSessionTaskPtr requestTLSCerWithParam(const Value& param,
                                                    ResultCompletion completion);
    static URLSessionTaskPtr requestNetworkThresholdWithType(
        const std::optional<std::string>& type, const std::optional<std::string>& modelCode,
        ResultCompletion completion);
    // No error and the data when the data has a non-empty "confirmImgUrl" and "confirmDesc";
    // else the error as it came and nothing.
    static URLSessionTaskPtr requestDeviceIotConfirmInfo(const Value& param,
                                                         ResultCompletion completion);

    static std::string className() { return "QKNetWorkApplianceOperation"; }
    // Type 3, code 9003, "Network is not available".
    static ErrorPtr disConnectServer();
};

}  // namespace telvo
