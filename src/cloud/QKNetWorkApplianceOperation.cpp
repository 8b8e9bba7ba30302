#include "cloud/QKNetWorkApplianceOperation.h"

#include "core/QKTool.h"
#include "security/QKDataSecurity.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKUserDefault.h"
#include "telvosdk/TelvoError.h"

namespace telvo {

namespace {

using ApplianceOperation = QKNetWorkApplianceOperation;

bool usesOpenApi() {
    const std::string mode =
        QKUserDefault::standardUserDefaults()->valueForKey("sdkWorkMode").stringValue();
    return mode == "10004" || mode == "10002";
}

const Value& sdkAddExtra() {
    static const Value extra(Dictionary{{"kLogTagIdKey", Value("SDKAdd")}});
    return extra;
}

Value encryptedSn(const std::optional<std::string>& sn) {
    return Value(QKDataSecurity::sensitiveDataEncryption(sn).value_or(""));
}

Value textOrEmpty(const std::optional<std::string>& text) {
    return Value(text.value_or(""));
}

// The open-API path in the open-API work modes when the operation has one, else the
// body-signed path.
URLSessionTaskPtr send(const std::optional<std::string>& openApiPath, const std::string& path,
                       const Value& body, const Value& extra,
                       QKNetWorkManager::Completion completion) {
    auto client = QKNetWorkManager::shareInstance();
    if (openApiPath && usesOpenApi())
        return client->requestKorvoOpenApi(*openApiPath, body, extra, std::move(completion));
    return client->requestServerWithApi(path, "", body, extra, std::move(completion));
}

// The first four operations: no request without network; the outcome split by its code.
URLSessionTaskPtr sendSplit(const std::optional<std::string>& openApiPath, const std::string& path,
                            const Value& body, ApplianceOperation::SuccessBlock success,
                            ApplianceOperation::FailedBlock failed) {
    if (!QKTool::getCurrentNetWorkStatus()) {
        if (failed) failed(ApplianceOperation::disConnectServer());
        return nullptr;
    }
    return send(openApiPath, path, body, sdkAddExtra(),
                [success, failed](const ErrorPtr& error, const std::optional<Value>& reply) {
                    if (error && error->code() == 0) {
                        if (success) success(reply);
                    } else if (failed) {
                        failed(error);
                    }
                });
}

bool succeeded(const ErrorPtr& error) {
    return error && error->code() == 0;
}

std::optional<Value> dataDictionary(const std::optional<Value>& reply) {
    if (!reply || !reply->isDictionary() || !(*reply)["data"].isDictionary()) return std::nullopt;
    return (*reply)["data"];
}

}  // namespace

ErrorPtr QKNetWorkApplianceOperation::disConnectServer() {
    return TelvoError::sdkErrorWithType(3, 9003);
}

URLSessionTaskPtr QKNetWorkApplianceOperation::getApplianceDevicesnAPExistsWithDeviceSn(
    const std::optional<std::string>& deviceSn, const std::optional<std::string>& randomCode,
    bool isForceValid, const std::optional<Value>& postExtraDict, SuccessBlock success,
    FailedBlock failed) {
    Dictionary body;
    if (postExtraDict)
        for (const auto& [key, value] : postExtraDict->dictionary()) body.set(key, value);
    body.set("randomCode", Value(randomCode.value_or("0")));
    body.set("sn", encryptedSn(deviceSn));
    body.set("forceValidRandomCode", Value(isForceValid));
    return sendSplit("/v2/open/sdk/device/sn/apExists", "/v1/appliance/sn/apExists",
                     Value(std::move(body)), std::move(success), std::move(failed));
}

URLSessionTaskPtr QKNetWorkApplianceOperation::getDeviceIdWithDeviceSn(
    const std::optional<std::string>& deviceSn, const std::optional<std::string>& applianceType,
    SuccessBlock success, FailedBlock failed) {
    Value body(
        Dictionary{{"sn", encryptedSn(deviceSn)}, {"applianceType", textOrEmpty(applianceType)}});
    return sendSplit(std::nullopt, "/v1/appliance/register", body, std::move(success),
                     std::move(failed));
}

URLSessionTaskPtr QKNetWorkApplianceOperation::getMeshkeyWithFamiyId(
    const std::optional<std::string>& familyId, SuccessBlock success, FailedBlock failed) {
    Value body(Dictionary{{"homegroupId", textOrEmpty(familyId)}});
    return sendSplit(std::nullopt, "/v1/appliance/ble/meshkey/get", body, std::move(success),
                     std::move(failed));
}

URLSessionTaskPtr QKNetWorkApplianceOperation::getMeshAddressWithFamiyId(
    const std::optional<std::string>& familyId, const std::optional<std::string>& deviceId,
    int64_t count, SuccessBlock success, FailedBlock failed) {
    Value body(Dictionary{{"homegroupId", textOrEmpty(familyId)},
                          {"applianceCode", textOrEmpty(deviceId)},
                          {"count", Value(count)}});
    return sendSplit(std::nullopt, "/v1/appliance/ble/bcaddress/batch/get", body,
                     std::move(success), std::move(failed));
}

URLSessionTaskPtr QKNetWorkApplianceOperation::requestNegotiatedKeyWithCompetion(
    ResultCompletion completion) {
    const bool tls = QKMiddleInterface::shareInstance()->middleConfig()->isSupportTLS();
    Value body(Dictionary{{"bizGroup", Value(tls ? "telvo,datakey" : "telvo")}});
    return send(tls ? "/v2/open/sdk/appliance/privateKey2" : "/v2/open/sdk/appliance/privateKey",
                "/v1/appliance/AKA/privateKey", body, Value(Dictionary{}),
                [completion](const ErrorPtr& error, const std::optional<Value>& reply) {
                    if (!completion) return;
                    if (!succeeded(error) || !reply || !reply->isDictionary()) {
                        completion(error, std::nullopt);
                        return;
                    }
                    completion(error, dataDictionary(reply).value_or(*reply));
                });
}

URLSessionTaskPtr QKNetWorkApplianceOperation::requestTLSCerWithParam(const Value& param,
                                                                      ResultCompletion completion) {
    return send("/open/dca-tls/cert/pki/applyCertByP10", "/cert/pki/applyCertByP10",
                param.isDictionary() ? param : Value(Dictionary{}), Value(Dictionary{}),
                [completion](const ErrorPtr& error, const std::optional<Value>& reply) {
                    if (completion)
                        completion(error, succeeded(error) ? dataDictionary(reply) : std::nullopt);
                });
}

URLSessionTaskPtr QKNetWorkApplianceOperation::requestNetworkThresholdWithType(
    const std::optional<std::string>& type, const std::optional<std::string>& modelCode,
    ResultCompletion completion) {
    const char* path = "/v2/open/sdk/device/getNetworkThreshold";
    Value body(Dictionary{{"type", textOrEmpty(type)}, {"modelCode", textOrEmpty(modelCode)}});
    return send(path, path, body, Value(Dictionary{}),
                [completion](const ErrorPtr& error, const std::optional<Value>& reply) {
                    if (completion)
                        completion(error, succeeded(error) ? dataDictionary(reply) : std::nullopt);
                });
}

URLSessionTaskPtr QKNetWorkApplianceOperation::requestDeviceIotConfirmInfo(
    const Value& param, ResultCompletion completion) {
    const char* path = "/v2/open/sdk/device/getNetworkThreshold";
    return send(path, path, param.isDictionary() ? param : Value(Dictionary{}), Value(Dictionary{}),
                [completion](const ErrorPtr& error, const std::optional<Value>& reply) {
                    if (!completion) return;
                    std::optional<Value> data =
                        !error || error->code() == 0 ? dataDictionary(reply) : std::nullopt;
                    if (data && !(*data)["confirmImgUrl"].stringValue().empty() &&
                        !(*data)["confirmDesc"].stringValue().empty()) {
                        completion(nullptr, data);
                        return;
                    }
                    completion(error, std::nullopt);
                });
}

}  // namespace telvo
