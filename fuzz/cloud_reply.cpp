// Runs a cloud reply through the reply mapping of both request schemes: the first byte picks
// the work mode, the token-invalid code and whether the request has its own saved entry; the
// rest is the body, read by the JSON response serializer as the session layer reads it. Each
// scheme must call its completion exactly once, with an error, and only a success may carry
// a reply that is not an object.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "cloud/QKNetWorkManager.h"
#include "telvosdk/QKMiddleInterface.h"

namespace {

void checkOnce(const std::function<void(telvo::QKNetWorkManager::Completion)>& run) {
    int calls = 0;
    run([&calls](const telvo::ErrorPtr& error, const std::optional<telvo::Value>&) {
        if (!error) std::abort();
        ++calls;
    });
    if (calls != 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static auto client = std::make_shared<telvo::QKNetWorkManager>();
    auto config = telvo::QKMiddleInterface::shareInstance()->middleConfig();
    config->setWorkmode((data[0] & 1) ? 1 : 3);
    config->setTokenInvalidErrorCode((data[0] & 2) ? 1 : 0);
    const bool inMap = (data[0] & 4) != 0;

    auto response = std::make_shared<telvo::HTTPURLResponse>();
    response->url = "https://cloud.test/fuzz";
    response->statusCode = 200;
    response->MIMEType = "application/json";
    std::optional<telvo::Bytes> body;
    if (size > 1) body = telvo::Bytes(data + 1, data + size);
    telvo::ErrorPtr error;
    auto reply = telvo::QKAFJSONResponseSerializer::serializer()->responseObjectForResponse(
        response, body, &error);

    checkOnce([&](telvo::QKNetWorkManager::Completion completion) {
        auto entry = std::make_shared<telvo::QKNetworkRequestObject>();
        if (inMap) entry->competionBlock = completion;
        if (error)
            client->handleTransportFailure(error, completion, entry, inMap);
        else
            client->handleBodySignedReply(response, reply, entry, inMap, completion);
    });
    checkOnce([&](telvo::QKNetWorkManager::Completion completion) {
        if (error)
            client->handleTransportFailure(error, completion, nullptr, false);
        else
            client->handleOpenApiReply(response, reply, completion);
    });
    return 0;
}
