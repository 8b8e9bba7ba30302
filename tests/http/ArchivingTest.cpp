#include <gtest/gtest.h>

#include "http/HttpTestSupport.h"
#include "http/QKAFHTTPSessionManager.h"
#include "http/QKAFImageResponseSerializer.h"
#include "platform/foundation/KeyedArchive.h"
#include "sim/TestPki.h"

namespace telvo {
namespace {

// Through the bytes and back: what an app that stores the archive reads the next time.
std::optional<Dictionary> roundTrip(const Dictionary& archived) {
    auto data = KeyedArchive::archivedDataWithRootObject(archived);
    if (!data) return std::nullopt;
    return KeyedArchive::unarchivedObjectWithData(*data);
}

template <class T>
Dictionary archive(const T& object) {
    Dictionary coder;
    object.encodeWithCoder(coder);
    return coder;
}

// An archived HTTP manager comes back with its base URL, configuration, serializers and policy,
// each of its own class and settings; archived again it gives the same bytes.
TEST(KeyedArchiving, HTTPManagerComesBackEqual) {
    URLSessionConfiguration configuration;
    configuration.timeoutIntervalForRequest = 42;
    configuration.maximumDownloadBytes = 1 << 20;
    auto manager = QKAFHTTPSessionManager::initWithBaseURL("https://cloud.test/api", configuration);
    auto request = QKAFJSONRequestSerializer::serializerWithWritingOptions(1);
    request->setTimeoutInterval(30);
    request->setValue("token-less", "X-Client");
    request->setValue(std::nullopt, "Accept-Language");
    manager->setRequestSerializer(request);
    auto response = QKAFJSONResponseSerializer::serializer();
    response->setRemovesKeysWithNullValues(true);
    response->setAcceptableStatusCodes(std::set<long>{200, 204});
    manager->setResponseSerializer(response);
    const Bytes leaf = test::TestPki::shared().server().certificate;
    const Bytes root = test::TestPki::shared().root().certificate;
    auto policy = QKAFSecurityPolicy::policyWithPinningMode(
        QKAFSSLPinningModePublicKey, QKAFSecurityPolicy::CertificateSet{leaf});
    policy->setAnchorCertificates(QKAFSecurityPolicy::CertificateSet{root});
    policy->setValidatesDomainName(false);
    manager->setSecurityPolicy(policy);

    const Dictionary archived = archive(*manager);
    auto read = roundTrip(archived);
    ASSERT_TRUE(read);
    auto back = QKAFHTTPSessionManager::initWithCoder(*read);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->baseURL(), manager->baseURL());
    EXPECT_EQ(back->sessionConfiguration().timeoutIntervalForRequest, 42);
    EXPECT_EQ(back->sessionConfiguration().maximumDownloadBytes, 1 << 20);
    EXPECT_FALSE(back->sessionConfiguration().identifier);

    auto json = std::dynamic_pointer_cast<QKAFJSONRequestSerializer>(back->requestSerializer());
    ASSERT_TRUE(json);
    EXPECT_EQ(json->writingOptions, 1u);
    EXPECT_EQ(json->timeoutInterval(), 30);
    EXPECT_EQ(json->mutableObservedChangedKeyPaths(), std::set<std::string>{"timeoutInterval"});
    EXPECT_EQ(json->HTTPRequestHeaders().fields(), request->HTTPRequestHeaders().fields());
    EXPECT_FALSE(json->valueForHTTPHeaderField("Accept-Language"));
    auto built =
        json->requestWithMethod("POST", "https://cloud.test/a", Value(Dictionary{}), nullptr);
    ASSERT_TRUE(built);
    EXPECT_EQ(built->timeoutInterval, 30);

    auto reader = std::dynamic_pointer_cast<QKAFJSONResponseSerializer>(back->responseSerializer());
    ASSERT_TRUE(reader);
    EXPECT_TRUE(reader->removesKeysWithNullValues);
    EXPECT_EQ(reader->acceptableStatusCodes, (std::set<long>{200, 204}));
    EXPECT_EQ(reader->acceptableContentTypes, response->acceptableContentTypes);

    auto pinned = back->securityPolicy();
    EXPECT_EQ(pinned->SSLPinningMode(), uint64_t(QKAFSSLPinningModePublicKey));
    EXPECT_EQ(pinned->pinnedCertificates(), policy->pinnedCertificates());
    EXPECT_EQ(pinned->pinnedPublicKeys()->size(), 1u);
    EXPECT_EQ(pinned->anchorCertificates(), policy->anchorCertificates());
    EXPECT_FALSE(pinned->validatesDomainName());
    EXPECT_FALSE(pinned->allowInvalidCertificates());

    EXPECT_EQ(KeyedArchive::archivedDataWithRootObject(archive(*back)),
              KeyedArchive::archivedDataWithRootObject(archived));
}

// Every serializer class comes back as itself with its settings (archived again, the same
// bytes); a configuration archived only by its identifier becomes a background configuration;
// archives of another class or with fields of the wrong kinds are refused.
TEST(KeyedArchiving, SerializersConfigurationsAndRefusals) {
    auto form = QKAFHTTPRequestSerializer::serializer();
    form->setAllowsCellularAccess(false);
    form->HTTPMethodsEncodingParametersInURI = {"GET"};
    std::vector<std::shared_ptr<QKAFURLRequestSerialization>> requests = {
        form, QKAFJSONRequestSerializer::serializer(),
        QKAFPropertyListRequestSerializer::serializerWithFormat(kPropertyListBinaryFormat, 0)};
    for (const auto& serializer : requests) {
        const Dictionary archived = archive(*serializer);
        SCOPED_TRACE(KeyedArchive::classOf(Value(archived)));
        auto back = QKAFURLRequestSerialization::initWithCoder(*roundTrip(archived));
        ASSERT_TRUE(back);
        const auto &read = *back, &original = *serializer;
        EXPECT_EQ(typeid(read), typeid(original));
        EXPECT_EQ(archive(*back), archived);
    }
    auto any = QKAFHTTPResponseSerializer::serializer();
    any->setAcceptableStatusCodes(std::nullopt);
    auto scaledImages = QKAFImageResponseSerializer::serializer();
    scaledImages->setImageScale(2.5);
    scaledImages->setAutomaticallyInflatesResponseImage(false);
    std::vector<std::shared_ptr<QKAFURLResponseSerialization>> responses = {
        any,
        QKAFJSONResponseSerializer::serializerWithReadingOptions(1),
        QKAFPropertyListResponseSerializer::serializerWithFormat(kPropertyListBinaryFormat, 2),
        QKAFXMLParserResponseSerializer::serializer(),
        scaledImages,
        QKAFCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
            {QKAFJSONResponseSerializer::serializer(),
             QKAFXMLParserResponseSerializer::serializer(), scaledImages})};
    for (const auto& serializer : responses) {
        const Dictionary archived = archive(*serializer);
        SCOPED_TRACE(KeyedArchive::classOf(Value(archived)));
        auto back = QKAFURLResponseSerialization::initWithCoder(*roundTrip(archived));
        ASSERT_TRUE(back);
        const auto &read = *back, &original = *serializer;
        EXPECT_EQ(typeid(read), typeid(original));
        EXPECT_EQ(archive(*back), archived);
    }
    // Null sets stay null: any status and any type still pass.
    auto open = std::dynamic_pointer_cast<QKAFHTTPResponseSerializer>(
        QKAFURLResponseSerialization::initWithCoder(archive(*any)));
    ASSERT_TRUE(open);
    EXPECT_TRUE(open->validateResponse(test::response(599, "x/y"), Bytes{1}, nullptr));

    auto plain = QKAFURLSessionManager::initWithCoder(
        archive(*QKAFURLSessionManager::initWithSessionConfiguration(URLSessionConfiguration{})));
    ASSERT_TRUE(plain);
    auto background = QKAFHTTPSessionManager::initWithCoder(
        Dictionary{{KeyedArchive::kClassKey, Value("QKAFHTTPSessionManager")},
                   {"identifier", Value("com.example.transfers")}});
    ASSERT_TRUE(background);
    EXPECT_EQ(background->sessionConfiguration().identifier, "com.example.transfers");
    EXPECT_FALSE(background->baseURL());

    EXPECT_FALSE(KeyedArchive::unarchivedObjectWithData(Bytes{'b', 'p', 'l', 'i', 's', 't'}));
    EXPECT_FALSE(QKAFURLSessionManager::initWithCoder(archive(*background)));
    Dictionary badHeader = archive(*form);
    badHeader.set("mutableHTTPRequestHeaders", Value(Dictionary{{"X", Value(1)}}));
    EXPECT_FALSE(QKAFURLRequestSerialization::initWithCoder(badHeader));
    Dictionary badPolicy = archive(*QKAFSecurityPolicy::defaultPolicy());
    badPolicy.set("pinnedCertificates", Value("not a list"));
    EXPECT_FALSE(QKAFSecurityPolicy::initWithCoder(badPolicy));
    Dictionary foreign = archive(*background);
    foreign.set("responseSerializer", Value(archive(*form)));
    EXPECT_FALSE(QKAFHTTPSessionManager::initWithCoder(foreign));
}

}  // namespace
}  // namespace telvo
