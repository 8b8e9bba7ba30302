#include <gtest/gtest.h>

#include "http/HttpTestSupport.h"
#include "http/QKAFHTTPResponseSerializer.h"
#include "platform/foundation/XMLParser.h"

namespace telvo {
namespace {

using test::response;

// Writes the elements and text a parse reports, as one line.
class Transcript : public XMLParserDelegate {
  public:
    void didStartElement(const std::string& name, const Attributes& attributes) override {
        text += "<" + name;
        for (const auto& [key, value] : attributes) text += " " + key + "=" + value;
        text += ">";
    }
    void didEndElement(const std::string& name) override { text += "</" + name + ">"; }
    void foundCharacters(const std::string& characters) override { text += characters; }
    std::string text;
};

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The XML serializer takes the JSON serializer's rules (content types, status codes, empty
// bodies, the parse error over the validation error) and answers with a parser that reads the
// document; documents that would make a parser fetch, expand or recurse without end are refused
// with the parser's error and give no parser.
TEST(XMLResponseSerializer, ParsesSoundDocumentsAndRefusesHostileOnes) {
    const std::string sound = R"(<?xml version="1.0"?><!DOCTYPE r [<!ENTITY co "Telvo">]>)"
                              R"(<r id="7"><name>&co; &amp; co</name><v/></r>)";
    std::string laughs = R"(<?xml version="1.0"?><!DOCTYPE l [<!ENTITY l0 "ha">)";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    laughs += "]><l>&l9;</l>";
    const std::string external =
        R"(<?xml version="1.0"?><!DOCTYPE r [<!ENTITY x SYSTEM "file:///etc/hostname">]><r>&x;</r>)";
    const std::string parameter =
        R"(<!DOCTYPE r [<!ENTITY % p SYSTEM "http://127.0.0.1:1/p.dtd"> %p;]><r/>)";
    std::string deep, deepEnd;
    for (int i = 0; i <= XMLParser::kMaximumDepth; ++i) {
        deep += "<e>";
        deepEnd += "</e>";
    }
    struct Case {
        const char* name;
        long status;
        const char* type;
        std::string body;
        std::string transcript;  // empty: no parser
        std::string domain;
        int64_t code;
        int64_t underlying;  // the validation error under the parse error, or 0
    } cases[] = {
        {"sound", 200, "text/xml", sound, "<r id=7><name>Telvo & co</name><v></v></r>", "", 0, 0},
        {"application/xml", 200, "application/xml", "<a>1</a>", "<a>1</a>", "", 0, 0},
        {"status refused, body parsed", 500, "text/xml", "<e/>", "<e></e>",
         QKAFURLResponseSerializationErrorDomain, -1011, 0},
        {"type refused", 200, "application/json", "<a/>", "",
         QKAFURLResponseSerializationErrorDomain, -1016, 0},
        {"empty", 200, "text/xml", "", "", "", 0, 0},
        {"billion laughs", 200, "text/xml", laughs, "", kNSXMLParserErrorDomain,
         XMLParserError::entityExpansion, 0},
        {"external entity", 200, "text/xml", external, "", kNSXMLParserErrorDomain,
         XMLParserError::entityIsExternal, 0},
        {"external parameter entity", 200, "text/xml", parameter, "", kNSXMLParserErrorDomain,
         XMLParserError::entityIsExternal, 0},
        {"too deep", 200, "text/xml", deep + deepEnd, "", kNSXMLParserErrorDomain,
         XMLParserError::internal, 0},
        {"cut short", 200, "text/xml", "<a><b>", "", kNSXMLParserErrorDomain,
         XMLParserError::prematureDocumentEnd, 0},
        {"mismatched on a refused status", 404, "text/xml", "<a></b>", "", kNSXMLParserErrorDomain,
         XMLParserError::tagNameMismatch, -1011},
    };
    auto serializer = QKAFXMLParserResponseSerializer::serializer();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ErrorPtr error;
        auto object = serializer->responseObjectForResponse(response(c.status, c.type),
                                                            bytesOf(c.body), &error);
        EXPECT_EQ(error ? error->domain() : "", c.domain);
        EXPECT_EQ(error ? error->code() : 0, c.code);
        auto underlying = underlyingErrorOf(error);
        EXPECT_EQ(underlying ? underlying->code() : 0, c.underlying);
        ASSERT_EQ(bool(object), !c.transcript.empty());
        if (!object) continue;
        auto parser = object->objectAs<XMLParser>();
        ASSERT_TRUE(parser);
        auto transcript = std::make_shared<Transcript>();
        parser->setDelegate(transcript);
        EXPECT_TRUE(parser->parse());
        EXPECT_EQ(transcript->text, c.transcript);
    }
    // A copy keeps the content types.
    auto copy = std::dynamic_pointer_cast<QKAFXMLParserResponseSerializer>(serializer->copy());
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->acceptableContentTypes, (std::set<std::string>{"application/xml", "text/xml"}));
}

// A delegate may stop a parse; the parser then reports that it was stopped.
TEST(XMLResponseSerializer, DelegateStopsAParse) {
    class Stopper : public XMLParserDelegate {
      public:
        XMLParser* parser = nullptr;
        int elements = 0;
        void didStartElement(const std::string&, const Attributes&) override {
            if (++elements == 2) parser->abortParsing();
        }
    };
    XMLParser parser(bytesOf("<a><b/><c/><d/></a>"));
    auto stopper = std::make_shared<Stopper>();
    stopper->parser = &parser;
    parser.setDelegate(stopper);
    EXPECT_FALSE(parser.parse());
    EXPECT_EQ(stopper->elements, 2);
    ASSERT_TRUE(parser.parserError());
    EXPECT_EQ(parser.parserError()->code(), XMLParserError::delegateAbortedParse);
}

}  // namespace
}  // namespace telvo
