// The XML form of a property list, read by expat in one pass: its events go straight into the
// value, so that what is counted and refused is exactly what the parser sees.
#define XML_DTD 1
#include <expat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/PropertyListReader.h"

namespace telvo::plistread {

namespace {

enum class Element {
    plist,
    array,
    dict,
    key,
    string,
    integer,
    real,
    boolTrue,
    boolFalse,
    date,
    data
};

std::optional<Element> elementNamed(const char* name) {
    static constexpr std::pair<const char*, Element> kNames[] = {
        {"dict", Element::dict},       {"key", Element::key},     {"string", Element::string},
        {"integer", Element::integer}, {"array", Element::array}, {"true", Element::boolTrue},
        {"false", Element::boolFalse}, {"real", Element::real},   {"data", Element::data},
        {"date", Element::date},       {"plist", Element::plist},
    };
    for (const auto& [text, element] : kNames)
        if (std::strcmp(name, text) == 0) return element;
    return std::nullopt;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// A decimal or 0x-hexadecimal integer with an optional sign; nullopt beyond 64 bits.
std::optional<Value> integerOf(std::string_view text) {
    std::string_view s = trimmed(text);
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return std::nullopt;
    uint64_t magnitude = 0;
    for (char c : s) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && (c | 0x20) >= 'a' && (c | 0x20) <= 'f')
            digit = unsigned((c | 0x20) - 'a' + 10);
        else
            return std::nullopt;
        if (digit >= base || magnitude > (UINT64_MAX - digit) / base) return std::nullopt;
        magnitude = magnitude * base + digit;
    }
    if (negative) {
        if (magnitude > uint64_t{INT64_MAX} + 1) return std::nullopt;
        return Value(static_cast<long long>(0 - magnitude));
    }
    if (magnitude > uint64_t{INT64_MAX}) return Value(static_cast<unsigned long long>(magnitude));
    return Value(static_cast<long long>(magnitude));
}

std::optional<Value> realOf(const std::string& text) {
    const std::string s(trimmed(text));
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    const double d = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size()) return std::nullopt;
    return Value(d);
}

// Base64 with blanks anywhere; padding may be left out.
std::optional<Bytes> base64Of(std::string_view text) {
    Bytes out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t group = 0;
    int bits = 0;
    bool padded = false;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=') {
            padded = true;
            continue;
        } else if (isBlank(c)) {
            continue;
        } else {
            return std::nullopt;
        }
        if (padded) return std::nullopt;
        group = group << 6 | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(uint8_t(group >> bits));
        }
    }
    if (bits >= 6) return std::nullopt;  // a lone character holds no byte
    return out;
}

// One reading: expat's callbacks and the value they build.
class XmlReader {
  public:
    XmlReader(XML_Parser parser, ValueBuilder& builder) : parser_(parser), builder_(builder) {}

    static void onStart(void* context, const XML_Char* name, const XML_Char**) {
        static_cast<XmlReader*>(context)->start(name);
    }
    static void onEnd(void* context, const XML_Char*) { static_cast<XmlReader*>(context)->end(); }
    static void onText(void* context, const XML_Char* text, int length) {
        static_cast<XmlReader*>(context)->characters(text, size_t(length));
    }
    // No entity is declared in a property list: one that is, or one named and not known, ends
    // the reading. Only the predefined and numeric references stand for text.
    static void onEntityDeclaration(void* context, const XML_Char*, int, const XML_Char*, int,
                                    const XML_Char*, const XML_Char*, const XML_Char*,
                                    const XML_Char*) {
        static_cast<XmlReader*>(context)->stop(Refusal::malformed);
    }
    static void onSkippedEntity(void* context, const XML_Char*, int) {
        static_cast<XmlReader*>(context)->stop(Refusal::malformed);
    }

    Refusal refusal() const { return builder_.refusal(); }
    bool sawPlist() const { return plistEnded_; }

    void stop(Refusal why) {
        if (builder_.refusal() == Refusal::none) builder_.refuse(why);
        XML_StopParser(parser_, XML_FALSE);
    }

  private:
    void start(const char* name) {
        const std::optional<Element> element = elementNamed(name);
        // Only containers hold elements, and the root is the plist element alone.
        if (!element || scalar_ || plistEnded_ || (*element == Element::plist) == inPlist_)
            return stop(Refusal::malformed);
        switch (*element) {
            case Element::plist:
                inPlist_ = true;
                return;
            case Element::array:
            case Element::dict:
                if (!builder_.begin(*element == Element::dict)) stop(builder_.refusal());
                return;
            case Element::key:
                if (!builder_.inDictionary() || builder_.keyWaiting())
                    return stop(Refusal::malformed);
                break;
            default:
                if (builder_.inDictionary() && !builder_.keyWaiting())
                    return stop(Refusal::malformed);
                break;
        }
        scalar_ = element;
        text_.clear();
    }

    void end() {
        if (!scalar_) {
            if (builder_.depth() > 0) {
                if (!builder_.end()) stop(builder_.refusal());
            } else {
                // The plist element: it holds one value.
                if (!builder_.done()) return stop(Refusal::malformed);
                inPlist_ = false;
                plistEnded_ = true;
            }
            return;
        }
        const Element element = *scalar_;
        scalar_.reset();
        if (!finishScalar(element)) stop(builder_.refusal());
    }

    bool finishScalar(Element element) {
        switch (element) {
            case Element::key:
                return builder_.key(std::move(text_));
            case Element::string:
                return builder_.text(std::move(text_));
            case Element::integer:
                if (auto v = integerOf(text_)) return builder_.add(std::move(*v));
                break;
            case Element::real:
                if (auto v = realOf(text_)) return builder_.add(std::move(*v));
                break;
            case Element::boolTrue:
            case Element::boolFalse:
                if (trimmed(text_).empty())
                    return builder_.add(Value(element == Element::boolTrue));
                break;
            case Element::date:
                // Dates read as null.
                return builder_.add(Value());
            case Element::data:
                if (auto bytes = base64Of(text_)) return builder_.bytes(std::move(*bytes));
                break;
            default:
                break;
        }
        return builder_.refuse(Refusal::malformed);
    }

    void characters(const char* text, size_t length) {
        if (scalar_) {
            text_.append(text, length);
            return;
        }
        for (size_t i = 0; i < length; ++i)
            if (!isBlank(text[i])) return stop(Refusal::malformed);
    }

    XML_Parser parser_;
    ValueBuilder& builder_;
    bool inPlist_ = false;
    bool plistEnded_ = false;
    std::optional<Element> scalar_;
    std::string text_;
};

}  // namespace

Refusal readXml(std::string_view document, ValueBuilder& builder) {
    if (document.size() > size_t(INT_MAX)) return Refusal::malformed;
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) return Refusal::malformed;
    XmlReader reader(parser, builder);
    XML_SetUserData(parser, &reader);
    XML_SetElementHandler(parser, &XmlReader::onStart, &XmlReader::onEnd);
    XML_SetCharacterDataHandler(parser, &XmlReader::onText);
    XML_SetEntityDeclHandler(parser, &XmlReader::onEntityDeclaration);
    XML_SetSkippedEntityHandler(parser, &XmlReader::onSkippedEntity);
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
    // In pieces: expat keeps a copy of what it has not parsed when it stops.
    constexpr size_t kPiece = 256 << 10;
    XML_Status status = XML_STATUS_OK;
    for (size_t at = 0; status == XML_STATUS_OK;) {
        const size_t n = std::min(kPiece, document.size() - at);
        const bool last = at + n == document.size();
        status = XML_Parse(parser, document.data() + at, int(n), last ? XML_TRUE : XML_FALSE);
        at += n;
        if (last) break;
    }
    XML_ParserFree(parser);
    if (reader.refusal() != Refusal::none) return reader.refusal();
    if (status != XML_STATUS_OK || !reader.sawPlist()) return Refusal::malformed;
    return Refusal::none;
}

}  // namespace telvo::plistread
