#include "sim/SimCloudApi.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cctype>
#include <cstdio>

#include "platform/dispatch/Clock.h"
#include "sim/TestSupport.h"
#include "telvosdk/Value.h"

namespace telvo::test {

namespace {

Bytes hmacSha256(const Bytes& key, const std::string& content) {
    Bytes out(32);
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), int(key.size()),
         reinterpret_cast<const unsigned char*>(content.data()), content.size(), out.data(),
         &length);
    return out;
}

const char* const kOperationPaths[] = {
    "/v1/appliance/sn/apExists",
    "/v2/open/sdk/device/sn/apExists",
    "/v1/appliance/register",
    "/v1/appliance/ble/meshkey/get",
    "/v1/appliance/ble/bcaddress/batch/get",
    "/v1/appliance/AKA/privateKey",
    "/v2/open/sdk/appliance/privateKey",
    "/v2/open/sdk/appliance/privateKey2",
    "/cert/pki/applyCertByP10",
    "/open/dca-tls/cert/pki/applyCertByP10",
    "/v2/open/sdk/device/getNetworkThreshold",
};

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string referenceBodySign(const std::string& signKey, const std::string& signSecret,
                              const std::string& body, const std::string& random) {
    return toHex(hmacSha256(Bytes(signKey.begin(), signKey.end()), signSecret + body + random));
}

std::string referenceOpenApiSignature(const std::string& accessToken, const std::string& path,
                                      const std::string& body) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(accessToken.data()), accessToken.size(), digest);
    std::string signedBody;
    for (char c : body)
        if (c != ' ' && c != '\n') signedBody += c;
    Bytes mac = hmacSha256(Bytes(digest, digest + 16), "POST" + path + signedBody);
    unsigned char base64[64] = {};
    int length = EVP_EncodeBlock(base64, mac.data(), int(mac.size()));
    return std::string(reinterpret_cast<char*>(base64), size_t(length));
}

SimCloudApi::SimCloudApi(FakeCloud& cloud, std::string signKey, std::string signSecret)
    : cloud_(cloud), state_(std::make_shared<State>()) {
    state_->signKey = std::move(signKey);
    state_->signSecret = std::move(signSecret);
    for (const char* path : kOperationPaths) serve(path);
}

SimCloudApi::~SimCloudApi() {
    std::lock_guard lock(state_->mutex);
}

void SimCloudApi::serve(const std::string& path) {
    cloud_.setHandler(
        path, [state = state_](const RecordedRequest& request) { return state->answer(request); });
}

void SimCloudApi::mountAt(const std::string& prefix) {
    {
        std::lock_guard lock(state_->mutex);
        state_->prefix = prefix;
    }
    for (const char* path : kOperationPaths) serve(prefix + path);
}

void SimCloudApi::setAccessToken(std::string token) {
    std::lock_guard lock(state_->mutex);
    state_->accessToken = std::move(token);
}

void SimCloudApi::acceptOnlyBodyToken(std::string token) {
    std::lock_guard lock(state_->mutex);
    state_->bodyToken = std::move(token);
}

void SimCloudApi::script(const std::string& path, std::vector<ScriptedReply> replies) {
    std::lock_guard lock(state_->mutex);
    state_->scripts[path] = std::deque<ScriptedReply>(replies.begin(), replies.end());
}

void SimCloudApi::reportOnline(std::string sn, std::string randomCode) {
    std::lock_guard lock(state_->mutex);
    state_->online.emplace_back(lowercase(std::move(randomCode)), std::move(sn));
}

void SimCloudApi::delay(const std::string& path, std::vector<std::optional<double>> holds) {
    std::lock_guard lock(state_->mutex);
    auto& queue = state_->holds[path];
    queue.insert(queue.end(), holds.begin(), holds.end());
}

void SimCloudApi::setOfflineCode(int64_t code) {
    std::lock_guard lock(state_->mutex);
    state_->offlineCode = code;
}

std::vector<SimCloudApi::Seen> SimCloudApi::seen() const {
    std::lock_guard lock(state_->mutex);
    return state_->seen;
}

ScriptedReply SimCloudApi::State::presence(const RecordedRequest& request) const {
    auto body = Value::fromJSON(request.body);
    std::string code = body && body->isDictionary() ? lowercase((*body)["randomCode"].text()) : "";
    std::string list;
    for (const auto& [random, sn] : online)
        if (random == code) list = R"([{"sn":")" + sn + R"("}])";
    if (list.empty() && offlineCode != 0 && request.path.starts_with("/v1/"))
        return json(R"({"code":)" + std::to_string(offlineCode) +
                    R"(,"msg":"The appliance is offline"})");
    if (list.empty()) list = "[]";
    return json(R"({"code":0,"data":{"list":)" + list + R"(,"applianceList":)" + list + "}}");
}

std::string SimCloudApi::meshAddress(int index) {
    char text[8];
    std::snprintf(text, sizeof text, "C%03X", index & 0xFFF);
    return text;
}

std::optional<ScriptedReply> SimCloudApi::State::bridgeDefault(const RecordedRequest& request) {
    if (request.path == "/v1/appliance/register")
        return json(std::string(R"({"code":0,"data":{"applianceCode":")") + kApplianceCode +
                    R"("}})");
    if (request.path == "/v1/appliance/ble/meshkey/get")
        return json(std::string(R"({"code":0,"data":{"meshkey":")") + kMeshKey + R"("}})");
    if (request.path != "/v1/appliance/ble/bcaddress/batch/get") return std::nullopt;
    auto body = Value::fromJSON(request.body);
    const int64_t count = body && body->isDictionary() ? (*body)["count"].int64Value() : 0;
    std::string list;
    for (int64_t i = 1; i <= count && i <= 255; ++i)
        list += (list.empty() ? "\"" : ",\"") + meshAddress(int(i)) + "\"";
    return json(R"({"code":0,"data":[)" + list + "]}");
}

ScriptedReply SimCloudApi::State::answer(const RecordedRequest& received) {
    std::lock_guard lock(mutex);
    RecordedRequest request = received;
    if (!prefix.empty() && request.path.starts_with(prefix + "/"))
        request.path.erase(0, prefix.size());
    ScriptedReply reply = decide(request);
    auto& held = holds[request.path];
    if (!held.empty()) {
        if (held.front())
            reply.delaySeconds = *held.front();
        else
            reply.neverAnswer = true;
        held.pop_front();
    }
    return reply;
}

ScriptedReply SimCloudApi::State::decide(const RecordedRequest& request) {
    Seen verdict{request, Scheme::bodySigned, false, Clock::now()};
    if (!request.header("Signature").empty()) {
        verdict.scheme = Scheme::openApi;
        verdict.signatureValid =
            request.header("Signature") ==
                referenceOpenApiSignature(accessToken, request.path, request.body) &&
            request.header("Authorization") == "Bearer " + accessToken;
    } else {
        verdict.signatureValid =
            request.header("sign") ==
            referenceBodySign(signKey, signSecret, request.body, request.header("random"));
    }
    seen.push_back(verdict);
    if (!verdict.signatureValid) return json(R"({"code":99999,"msg":"signature"})");
    if (verdict.scheme == Scheme::bodySigned && bodyToken &&
        request.header("accessToken") != *bodyToken)
        return tokenInvalid();
    auto& queue = scripts[request.path];
    if (queue.empty() && (!online.empty() || offlineCode != 0) &&
        request.path.ends_with("/sn/apExists"))
        return presence(request);
    if (queue.empty()) return bridgeDefault(request).value_or(json(R"({"code":0,"data":{}})"));
    ScriptedReply reply = std::move(queue.front());
    queue.pop_front();
    return reply;
}

}  // namespace telvo::test
