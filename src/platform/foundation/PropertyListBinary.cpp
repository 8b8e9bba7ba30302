// The binary form of a property list: its object table read in place, each object read where a
// reference names it (a copy for every place naming it), without recursion.
#include <cstring>

#include "platform/foundation/PropertyListReader.h"

namespace telvo::plistread {

namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 32;

class BinaryReader {
  public:
    BinaryReader(std::string_view document, ValueBuilder& builder)
        : b_(reinterpret_cast<const uint8_t*>(document.data())),
          size_(document.size()),
          builder_(builder) {}

    Refusal read() {
        if (!readTrailer()) return Refusal::malformed;
        if (!visit(top_)) return failure();
        while (!path_.empty()) {
            Frame& f = path_.back();
            if (f.next == f.count) {
                path_.pop_back();
                if (!builder_.end()) return failure();
                continue;
            }
            const uint64_t at = f.next++;
            if (f.dictionary && !readKey(refAt(f.refs, at))) return failure();
            if (!visit(refAt(f.refs, f.dictionary ? f.count + at : at))) return failure();
        }
        return builder_.done() ? Refusal::none : Refusal::malformed;
    }

  private:
    // An object's marker: its type (the high nibble), and its count and where its contents
    // start.
    struct Object {
        uint8_t type = 0;
        uint8_t info = 0;
        uint64_t count = 0;
        size_t at = 0;
    };
    struct Frame {
        bool dictionary;
        size_t refs;  // where its references start
        uint64_t count;
        uint64_t next = 0;
    };

    Refusal failure() const {
        return builder_.refusal() != Refusal::none ? builder_.refusal() : Refusal::malformed;
    }

    uint64_t be(size_t at, size_t width) const {
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i) v = v << 8 | b_[at + i];
        return v;
    }

    bool readTrailer() {
        if (size_ < kHeaderSize + kTrailerSize || std::memcmp(b_, "bplist00", 8) != 0) return false;
        const size_t t = size_ - kTrailerSize;
        offsetSize_ = b_[t + 6];
        refSize_ = b_[t + 7];
        count_ = be(t + 8, 8);
        top_ = be(t + 16, 8);
        table_ = be(t + 24, 8);
        return offsetSize_ >= 1 && offsetSize_ <= 8 && refSize_ >= 1 && refSize_ <= 8 &&
               count_ > 0 && top_ < count_ && table_ >= kHeaderSize && table_ <= t &&
               count_ <= (t - table_) / offsetSize_;
    }

    // The bytes [at, at + n) lie among the objects.
    bool fits(size_t at, uint64_t n) const { return at <= table_ && n <= table_ - at; }

    std::optional<Object> objectAt(uint64_t index) const {
        if (index >= count_) return std::nullopt;
        const uint64_t at = be(static_cast<size_t>(table_ + index * offsetSize_), offsetSize_);
        if (at < kHeaderSize || at >= table_) return std::nullopt;
        Object o;
        o.type = b_[at] >> 4;
        o.info = b_[at] & 0x0F;
        o.count = o.info;
        o.at = static_cast<size_t>(at) + 1;
        // Sized objects give a count of 15 or more as an integer after the marker.
        const bool sized = o.type == 0x4 || o.type == 0x5 || o.type == 0x6 || o.type == 0xA ||
                           o.type == 0xC || o.type == 0xD;
        if (sized && o.info == 0x0F) {
            if (!fits(o.at, 1) || (b_[o.at] & 0xF0) != 0x10) return std::nullopt;
            const size_t width = size_t{1} << (b_[o.at] & 0x0F);
            if (width > 8 || !fits(o.at + 1, width)) return std::nullopt;
            o.count = be(o.at + 1, width);
            o.at += 1 + width;
        }
        return o;
    }

    uint64_t refAt(size_t refs, uint64_t i) const {
        return be(refs + static_cast<size_t>(i) * refSize_, refSize_);
    }

    bool malformed() { return builder_.refuse(Refusal::malformed); }

    // A text of a string object: ASCII (or any bytes) as it stands, UTF-16 as UTF-8.
    std::optional<std::string> textOf(const Object& o) const {
        if (o.type == 0x5) {
            if (!fits(o.at, o.count)) return std::nullopt;
            return std::string(reinterpret_cast<const char*>(b_ + o.at), o.count);
        }
        if (o.type != 0x6 || o.count > table_ / 2 || !fits(o.at, o.count * 2)) return std::nullopt;
        std::string text;
        text.reserve(o.count);
        for (uint64_t i = 0; i < o.count; ++i) {
            uint32_t c = uint32_t(be(o.at + static_cast<size_t>(i) * 2, 2));
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < o.count) {
                const uint32_t low = uint32_t(be(o.at + static_cast<size_t>(i + 1) * 2, 2));
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
            if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // half of a pair
            if (c < 0x80) {
                text += char(c);
            } else if (c < 0x800) {
                text += char(0xC0 | c >> 6);
                text += char(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                text += char(0xE0 | c >> 12);
                text += char(0x80 | (c >> 6 & 0x3F));
                text += char(0x80 | (c & 0x3F));
            } else {
                text += char(0xF0 | c >> 18);
                text += char(0x80 | (c >> 12 & 0x3F));
                text += char(0x80 | (c >> 6 & 0x3F));
                text += char(0x80 | (c & 0x3F));
            }
        }
        return text;
    }

    bool readKey(uint64_t index) {
        const std::optional<Object> o = objectAt(index);
        if (!o) return malformed();
        std::optional<std::string> key = textOf(*o);
        return key ? builder_.key(std::move(*key)) : malformed();
    }

    bool visit(uint64_t index) {
        const std::optional<Object> o = objectAt(index);
        if (!o) return malformed();
        switch (o->type) {
            case 0x0:
                // null, false, true, fill
                if (o->info == 0x8 || o->info == 0x9) return builder_.add(Value(o->info == 0x9));
                if (o->info == 0x0 || o->info == 0xF) return builder_.add(Value());
                return malformed();
            case 0x1:
                return integer(*o);
            case 0x2: {
                if (o->info == 2 && fits(o->at, 4)) {
                    const uint32_t bits = uint32_t(be(o->at, 4));
                    float f;
                    std::memcpy(&f, &bits, 4);
                    return builder_.add(Value(double(f)));
                }
                if (o->info != 3 || !fits(o->at, 8)) return malformed();
                const uint64_t bits = be(o->at, 8);
                double d;
                std::memcpy(&d, &bits, 8);
                return builder_.add(Value(d));
            }
            case 0x3:
                // A date reads as null.
                return o->info == 3 && fits(o->at, 8) ? builder_.add(Value()) : malformed();
            case 0x4:
                if (!fits(o->at, o->count)) return malformed();
                return builder_.bytes(Bytes(b_ + o->at, b_ + o->at + o->count));
            case 0x5:
            case 0x6: {
                std::optional<std::string> text = textOf(*o);
                return text ? builder_.text(std::move(*text)) : malformed();
            }
            case 0x8:
                // A keyed archive's reference reads as null.
                return fits(o->at, o->info + 1u) ? builder_.add(Value()) : malformed();
            case 0xA:
            case 0xC:
            case 0xD: {
                const bool dictionary = o->type == 0xD;
                const uint64_t refs = dictionary ? 2 : 1;
                if (o->count > table_ / refs / refSize_ || !fits(o->at, o->count * refs * refSize_))
                    return malformed();
                if (!builder_.begin(dictionary)) return false;
                path_.push_back({dictionary, o->at, o->count});
                return true;
            }
            default:
                return malformed();
        }
    }

    // 1, 2 and 4 bytes unsigned, 8 signed; of 16, the low 8, unsigned when the high are zero.
    bool integer(const Object& o) {
        if (o.info > 4 || !fits(o.at, size_t{1} << o.info)) return malformed();
        if (o.info < 3)
            return builder_.add(Value(static_cast<long long>(be(o.at, size_t{1} << o.info))));
        if (o.info == 3) return builder_.add(Value(static_cast<long long>(be(o.at, 8))));
        const uint64_t high = be(o.at, 8), low = be(o.at + 8, 8);
        if (high == 0 && low > uint64_t{INT64_MAX})
            return builder_.add(Value(static_cast<unsigned long long>(low)));
        return builder_.add(Value(static_cast<long long>(low)));
    }

    const uint8_t* b_;
    const size_t size_;
    ValueBuilder& builder_;
    size_t offsetSize_ = 0, refSize_ = 0;
    uint64_t count_ = 0, top_ = 0, table_ = 0;
    std::vector<Frame> path_;
};

}  // namespace

Refusal readBinary(std::string_view document, ValueBuilder& builder) {
    return BinaryReader(document, builder).read();
}

}  // namespace telvo::plistread
