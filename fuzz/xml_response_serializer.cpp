// Runs the XML response serializer over a reply: the first byte picks the status code and
// whether the content type is acceptable, the rest is the body. The result is a parser, an
// error, both, or neither; never a crash, and a refused status or content type always comes with
// an error. A parser handed out reads its whole document with a delegate, elements balanced and
// never deeper than the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "ResponseSerializerRun.h"
#include "platform/foundation/XMLParser.h"

namespace {

class Balance : public telvo::XMLParserDelegate {
  public:
    void didStartElement(const std::string&, const Attributes&) override {
        if (++depth > telvo::XMLParser::kMaximumDepth) std::abort();
    }
    void didEndElement(const std::string&) override {
        if (--depth < 0) std::abort();
    }
    int depth = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool acceptableType = (data[0] & 0x80) == 0;
    auto serializer = telvo::QKAFXMLParserResponseSerializer::serializer();
    auto object = telvo::fuzz::serializeReply(
        *serializer, telvo::fuzz::kReplyStatuses[(data[0] & 0x7F) % 6],
        acceptableType ? "text/xml" : "application/json", acceptableType, data, size);
    if (object) {
        auto parser = object->objectAs<telvo::XMLParser>();
        if (!parser) std::abort();
        auto delegate = std::make_shared<Balance>();
        parser->setDelegate(delegate);
        if (!parser->parse() || delegate->depth != 0) std::abort();
    }
    return 0;
}
