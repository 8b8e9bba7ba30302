#include "platform/foundation/XMLParser.h"

// The distribution's expat is built with DTD support, which its amplification limits belong to.
#define XML_DTD 1
#include <expat.h>

#include <climits>

namespace telvo {

namespace {

// Entities may expand a document at most this many times over, counted from the first
// 64 KiB of output (expat counts the input and all that entities put out).
constexpr float kMaximumAmplification = 16.0f;
constexpr unsigned long long kAmplificationThreshold = 64 * 1024;

ErrorPtr makeParserError(int64_t code, const std::string& reason, unsigned long line) {
    return makeError(
        kNSXMLParserErrorDomain, code,
        "The operation couldn't be completed. (" + reason + ", line " + std::to_string(line) + ")");
}

int64_t codeOf(XML_Error error) {
    switch (error) {
        case XML_ERROR_NO_MEMORY:
            return XMLParserError::outOfMemory;
        case XML_ERROR_NO_ELEMENTS:
        case XML_ERROR_UNCLOSED_TOKEN:
        case XML_ERROR_PARTIAL_CHAR:
        case XML_ERROR_UNCLOSED_CDATA_SECTION:
            return XMLParserError::prematureDocumentEnd;
        case XML_ERROR_UNDEFINED_ENTITY:
            return XMLParserError::undeclaredEntity;
        case XML_ERROR_TAG_MISMATCH:
            return XMLParserError::tagNameMismatch;
        case XML_ERROR_RECURSIVE_ENTITY_REF:
        case XML_ERROR_AMPLIFICATION_LIMIT_BREACH:
            return XMLParserError::entityExpansion;
        default:
            return XMLParserError::notWellFormed;
    }
}

}  // namespace

// One parse: the expat parser and what its callbacks need.
struct XMLParser::Run {
    XMLParser& owner;
    XML_Parser parser;
    std::shared_ptr<XMLParserDelegate> delegate;
    int depth = 0;
    // Set by a callback that stops the parse: the reason.
    int64_t refusal = 0;
    std::string refusalText;

    void refuse(int64_t code, std::string text) {
        if (refusal) return;
        refusal = code;
        refusalText = std::move(text);
        XML_StopParser(parser, XML_FALSE);
    }
    void checkAbort() {
        if (owner.aborted_) refuse(XMLParserError::delegateAbortedParse, "aborted by delegate");
    }

    static void onStart(void* context, const XML_Char* name, const XML_Char** attributes) {
        auto* run = static_cast<Run*>(context);
        if (++run->depth > kMaximumDepth) return run->refuse(XMLParserError::internal, "too deep");
        if (!run->delegate) return;
        XMLParserDelegate::Attributes list;
        for (int i = 0; attributes[i]; i += 2) list.emplace_back(attributes[i], attributes[i + 1]);
        run->delegate->didStartElement(name, list);
        run->checkAbort();
    }
    static void onEnd(void* context, const XML_Char* name) {
        auto* run = static_cast<Run*>(context);
        --run->depth;
        if (!run->delegate) return;
        run->delegate->didEndElement(name);
        run->checkAbort();
    }
    static void onText(void* context, const XML_Char* text, int length) {
        auto* run = static_cast<Run*>(context);
        if (!run->delegate) return;
        run->delegate->foundCharacters(std::string(text, size_t(length)));
        run->checkAbort();
    }
    static void onEntity(void* context, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                         const XML_Char* systemId, const XML_Char*, const XML_Char*) {
        // Never fetched, and refused outright: a server has no business naming one.
        if (systemId)
            static_cast<Run*>(context)->refuse(XMLParserError::entityIsExternal, "external entity");
    }
};

bool XMLParser::parse() {
    if (parsed_) return !error_;
    parsed_ = true;
    if (data_.size() > size_t(INT_MAX)) {
        error_ = makeParserError(XMLParserError::internal, "document too large", 0);
        return false;
    }
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) {
        error_ = makeParserError(XMLParserError::outOfMemory, "no memory", 0);
        return false;
    }
    Run run{*this, parser, delegate_.lock(), 0, 0, {}};
    XML_SetUserData(parser, &run);
    XML_SetElementHandler(parser, &Run::onStart, &Run::onEnd);
    XML_SetCharacterDataHandler(parser, &Run::onText);
    XML_SetEntityDeclHandler(parser, &Run::onEntity);
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser, kMaximumAmplification);
    XML_SetBillionLaughsAttackProtectionActivationThreshold(parser, kAmplificationThreshold);
    const XML_Status status =
        XML_Parse(parser, reinterpret_cast<const char*>(data_.data()), int(data_.size()), XML_TRUE);
    const unsigned long line = XML_GetCurrentLineNumber(parser);
    if (run.refusal) {
        error_ = makeParserError(run.refusal, run.refusalText, line);
    } else if (status != XML_STATUS_OK) {
        const XML_Error code = XML_GetErrorCode(parser);
        error_ = makeParserError(codeOf(code), XML_ErrorString(code), line);
    }
    XML_ParserFree(parser);
    return !error_;
}

ErrorPtr XMLParser::check(const Bytes& data) {
    XMLParser parser(data);
    parser.parse();
    return parser.parserError();
}

}  // namespace telvo
