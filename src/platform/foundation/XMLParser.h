#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

// NSXMLParser's error domain and the codes this parser reports.
inline constexpr const char* kNSXMLParserErrorDomain = "NSXMLParserErrorDomain";
namespace XMLParserError {
constexpr int64_t internal = 1;  // nested deeper than XMLParser::kMaximumDepth
constexpr int64_t outOfMemory = 2;
constexpr int64_t prematureDocumentEnd = 5;  // empty, or cut short
constexpr int64_t undeclaredEntity = 26;
constexpr int64_t entityIsExternal = 29;  // an external entity is declared
constexpr int64_t tagNameMismatch = 76;
constexpr int64_t notWellFormed = 85;
constexpr int64_t entityExpansion = 89;  // entities expand far beyond the document
constexpr int64_t delegateAbortedParse = 512;
}  // namespace XMLParserError

// What a parse reports, in document order, on the thread that called parse().
class XMLParserDelegate {
  public:
    using Attributes = std::vector<std::pair<std::string, std::string>>;
    virtual ~XMLParserDelegate() = default;
    virtual void didStartElement(const std::string& /*name*/, const Attributes& /*attributes*/) {}
    virtual void didEndElement(const std::string& /*name*/) {}
    // Text between tags, in pieces (one run of text may come in several).
    virtual void foundCharacters(const std::string& /*text*/) {}
};

// A streaming XML parser over a document's bytes (NSXMLParser), on expat. Untrusted input:
// a document that declares an external entity, whose entities expand to many times its own
// size, or that nests deeper than kMaximumDepth elements is refused, and nothing outside the
// bytes given is ever read (no external DTD, entity or file). Not thread-safe; parse once.
class XMLParser {
  public:
    static constexpr int kMaximumDepth = 256;

    explicit XMLParser(Bytes data) : data_(std::move(data)) {}
    const Bytes& data() const { return data_; }
    // The delegate is held weakly; none: the document is only checked.
    void setDelegate(std::weak_ptr<XMLParserDelegate> delegate) { delegate_ = std::move(delegate); }
    // True when the whole document was read; false with parserError() otherwise.
    bool parse();
    // Stops a parse from inside a delegate call (parserError: delegateAbortedParse).
    void abortParsing() { aborted_ = true; }
    const ErrorPtr& parserError() const { return error_; }

    // The error the bytes give when parsed, or null for a sound document.
    static ErrorPtr check(const Bytes& data);

  private:
    struct Run;
    Bytes data_;
    std::weak_ptr<XMLParserDelegate> delegate_;
    bool aborted_ = false;
    bool parsed_ = false;
    ErrorPtr error_;
};

}  // namespace telvo
