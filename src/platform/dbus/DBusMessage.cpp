#include "platform/dbus/DBusMessage.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace telvo {

namespace {

// The characters a std::string keeps inside itself.
constexpr size_t kInlineText = 15;

class Reader {
  public:
    Reader(sd_bus_message* m, const DBusReadLimits& limits, DBusError& error)
        : m_(m), limits_(limits), error_(error) {}

    bool readOne(DBusValue& out, int depth) {
        if (depth > limits_.maxDepth) return fail(DBusError::kLimitsExceeded, "nested too deep");
        if (++values_ > limits_.maxValues)
            return fail(DBusError::kLimitsExceeded, "too many values");
        char type = 0;
        const char* contents = nullptr;
        int r = sd_bus_message_peek_type(m_, &type, &contents);
        if (r <= 0) return failErrno(r == 0 ? -EBADMSG : r);
        switch (type) {
            case 'y':
                return basic<uint8_t>(type, out, DBusValue::ofByte);
            case 'b':
                return basic<int>(type, out, [](int v) { return DBusValue::ofBool(v != 0); });
            case 'n':
                return basic<int16_t>(type, out, DBusValue::ofInt16);
            case 'q':
                return basic<uint16_t>(type, out, DBusValue::ofUInt16);
            case 'i':
                return basic<int32_t>(type, out, DBusValue::ofInt32);
            case 'u':
                return basic<uint32_t>(type, out, DBusValue::ofUInt32);
            case 'x':
                return basic<int64_t>(type, out, DBusValue::ofInt64);
            case 't':
                return basic<uint64_t>(type, out, DBusValue::ofUInt64);
            case 'd':
                return basic<double>(type, out, DBusValue::ofDouble);
            case 's':
                return text(type, out, DBusValue::ofString);
            case 'o':
                return text(type, out, DBusValue::ofObjectPath);
            case 'g':
                return text(type, out, DBusValue::ofSignature);
            case 'h':
                return fail(DBusError::kNotSupported, "unix descriptors are not accepted");
            case 'a':
                if (contents && std::strcmp(contents, "y") == 0) return byteArray(out);
                [[fallthrough]];
            case 'r':
            case 'e':
            case 'v':
                return container(type, contents, out, depth);
            default:
                return fail(DBusError::kInvalidArgs, std::string("unknown type '") + type + "'");
        }
    }

    bool readToEnd(std::vector<DBusValue>& out, int depth) {
        for (;;) {
            int r = sd_bus_message_at_end(m_, 0);
            if (r < 0) return failErrno(r);
            if (r > 0) return true;
            DBusValue v;
            if (!readOne(v, depth)) return false;
            const size_t room = out.capacity();
            out.push_back(std::move(v));
            if (out.capacity() != room && !build((out.capacity() - room) * sizeof(DBusValue)))
                return false;
        }
    }

  private:
    template <class T, class Make>
    bool basic(char type, DBusValue& out, Make make) {
        T v{};
        int r = sd_bus_message_read_basic(m_, type, &v);
        if (r <= 0) return failErrno(r == 0 ? -EBADMSG : r);
        out = make(v);
        return true;
    }

    bool text(char type, DBusValue& out, DBusValue (*make)(std::string)) {
        const char* v = nullptr;
        int r = sd_bus_message_read_basic(m_, type, &v);
        if (r <= 0 || !v) return failErrno(r < 0 ? r : -EBADMSG);
        size_t n = std::strlen(v);
        // A short text stays inside its value; a longer one takes its length and a terminator.
        if (!spend(n) || !build(n > kInlineText ? n + 1 : 0)) return false;
        out = make(std::string(v, n));
        return true;
    }

    bool byteArray(DBusValue& out) {
        const void* p = nullptr;
        size_t n = 0;
        int r = sd_bus_message_read_array(m_, 'y', &p, &n);
        if (r < 0) return failErrno(r);
        if (!spend(n) || !build(n)) return false;
        const auto* b = static_cast<const uint8_t*>(p);
        out = DBusValue::ofBytes(n ? Bytes(b, b + n) : Bytes{});
        return true;
    }

    bool container(char type, const char* contents, DBusValue& out, int depth) {
        if (!contents) return fail(DBusError::kInvalidArgs, "container without a type");
        std::string elementType = contents;
        int r = sd_bus_message_enter_container(m_, type, contents);
        if (r <= 0) return failErrno(r == 0 ? -EBADMSG : r);
        std::vector<DBusValue> items;
        if (!readToEnd(items, depth + 1)) return false;
        r = sd_bus_message_exit_container(m_);
        if (r < 0) return failErrno(r);
        switch (type) {
            case 'a':
                out = DBusValue::array(std::move(elementType), std::move(items));
                return true;
            case 'r':
                out = DBusValue::structure(std::move(items));
                return true;
            case 'e':
                if (items.size() != 2) return fail(DBusError::kInvalidArgs, "bad dict entry");
                out = DBusValue::dictEntry(std::move(items[0]), std::move(items[1]));
                return true;
            default:
                if (items.size() != 1) return fail(DBusError::kInvalidArgs, "bad variant");
                out = DBusValue::variant(std::move(items[0]));
                return true;
        }
    }

    bool spend(size_t n) {
        if (n > limits_.maxBytes - bytes_)
            return fail(DBusError::kLimitsExceeded, "too much content");
        bytes_ += n;
        return true;
    }

    bool build(size_t n) {
        if (n > limits_.maxBuilt - built_)
            return fail(DBusError::kLimitsExceeded, "the values would take too much memory");
        built_ += n;
        return true;
    }

    bool fail(const char* name, std::string message) {
        error_ = DBusError{name, "unreadable message: " + std::move(message)};
        return false;
    }
    bool failErrno(int r) {
        error_ = dbusErrorFromErrno(r, "unreadable message");
        if (error_.name.rfind("System.Error.", 0) == 0) error_.name = DBusError::kInvalidArgs;
        return false;
    }

    sd_bus_message* m_;
    const DBusReadLimits& limits_;
    DBusError& error_;
    size_t values_ = 0;
    size_t bytes_ = 0;
    size_t built_ = 0;
};

class Writer {
  public:
    Writer(sd_bus_message* m, DBusError& error) : m_(m), error_(error) {}

    // type comes from a validated signature (an array's element type may be a dict entry).
    bool appendOne(std::string_view type, const DBusValue& v) {
        const char c = type[0];
        if (c == 'v') return appendVariant(v);
        if (c != 'a' && c != '(' && c != '{' && type.size() == 1) return appendBasic(c, v);
        if (c == 'a') return appendArray(type.substr(1), v);
        // A struct or a dict entry: its fields between the brackets.
        const bool entry = c == '{';
        if (v.type() != (entry ? DBusValue::Type::DictEntry : DBusValue::Type::Struct))
            return mismatch(type, v);
        std::string_view inner = type.substr(1, type.size() - 2);
        auto fields = DBusValue::splitSignature(inner);
        if (!fields || fields->size() != v.items().size()) return mismatch(type, v);
        if (int r =
                sd_bus_message_open_container(m_, entry ? 'e' : 'r', std::string(inner).c_str());
            r < 0)
            return failErrno(r);
        for (size_t i = 0; i < fields->size(); ++i)
            if (!appendOne((*fields)[i], v.items()[i])) return false;
        return close();
    }

  private:
    bool appendVariant(const DBusValue& v) {
        const DBusValue& inner =
            v.type() == DBusValue::Type::Variant && !v.items().empty() ? v.items()[0] : v;
        std::string sig = inner.signature();
        if (sig.empty() || DBusValue::completeTypeLength(sig) != sig.size())
            return fail("a variant holds no valid value");
        if (int r = sd_bus_message_open_container(m_, 'v', sig.c_str()); r < 0) return failErrno(r);
        return appendOne(sig, inner) && close();
    }

    bool appendArray(std::string_view element, const DBusValue& v) {
        if (v.type() != DBusValue::Type::Array || v.elementSignature() != element)
            return mismatch("a" + std::string(element), v);
        if (element == "y") {
            const Bytes bytes = *v.asBytes();
            int r = sd_bus_message_append_array(m_, 'y', bytes.data(), bytes.size());
            return r < 0 ? failErrno(r) : true;
        }
        if (int r = sd_bus_message_open_container(m_, 'a', std::string(element).c_str()); r < 0)
            return failErrno(r);
        for (const auto& item : v.items())
            if (!appendOne(element, item)) return false;
        return close();
    }

    bool appendBasic(char c, const DBusValue& v) {
        if (char(v.type()) != c) return mismatch(std::string(1, c), v);
        int r;
        switch (c) {
            case 'y':
                r = put(c, *v.asByte());
                break;
            case 'b':
                r = put(c, int(*v.asBool() ? 1 : 0));
                break;
            case 'n':
                r = put(c, *v.asInt16());
                break;
            case 'q':
                r = put(c, *v.asUInt16());
                break;
            case 'i':
                r = put(c, *v.asInt32());
                break;
            case 'u':
                r = put(c, *v.asUInt32());
                break;
            case 'x':
                r = put(c, *v.asInt64());
                break;
            case 't':
                r = put(c, *v.asUInt64());
                break;
            case 'd':
                r = put(c, *v.asDouble());
                break;
            case 's':
            case 'o':
            case 'g': {
                std::string x = c == 's'   ? *v.asString()
                                : c == 'o' ? *v.asObjectPath()
                                           : *v.asSignature();
                if (x.find('\0') != std::string::npos) return fail("a text holds a NUL");
                r = sd_bus_message_append_basic(m_, c, x.c_str());
                break;
            }
            default:
                return fail("unix descriptors are not sent");
        }
        return r < 0 ? failErrno(r) : true;
    }

    template <class T>
    int put(char c, T x) {
        return sd_bus_message_append_basic(m_, c, &x);
    }

    bool close() {
        int r = sd_bus_message_close_container(m_);
        return r < 0 ? failErrno(r) : true;
    }
    bool mismatch(std::string_view type, const DBusValue& v) {
        std::string has = v.isValid() ? "\"" + v.signature() + "\"" : "no value";
        return fail("\"" + std::string(type) + "\" expected, " + has + " given");
    }
    bool fail(std::string message) {
        error_ = DBusError{DBusError::kInvalidArgs, std::move(message)};
        return false;
    }
    bool failErrno(int r) {
        // sd-bus refuses invalid object paths, signatures and UTF-8 with -EINVAL.
        error_ = dbusErrorFromErrno(r, "value not written");
        if (r == -EINVAL) error_.name = DBusError::kInvalidArgs;
        return false;
    }

    sd_bus_message* m_;
    DBusError& error_;
};

}  // namespace

bool readDBusArguments(sd_bus_message* m, std::vector<DBusValue>& out, DBusError& error,
                       const DBusReadLimits& limits) {
    out.clear();
    Reader reader(m, limits, error);
    if (reader.readToEnd(out, 0)) return true;
    out.clear();
    return false;
}

bool readDBusValue(sd_bus_message* m, DBusValue& out, DBusError& error,
                   const DBusReadLimits& limits) {
    Reader reader(m, limits, error);
    DBusValue v;
    if (!reader.readOne(v, 0)) return false;
    out = std::move(v);
    return true;
}

bool appendDBusArguments(sd_bus_message* m, std::string_view signature,
                         const std::vector<DBusValue>& values, DBusError& error) {
    auto types = DBusValue::splitSignature(signature);
    if (!types) {
        error = DBusError{DBusError::kInvalidArgs,
                          "invalid signature \"" + std::string(signature) + "\""};
        return false;
    }
    if (types->size() != values.size()) {
        error = DBusError{DBusError::kInvalidArgs, "signature \"" + std::string(signature) +
                                                       "\" wants " + std::to_string(types->size()) +
                                                       " values, " + std::to_string(values.size()) +
                                                       " given"};
        return false;
    }
    Writer writer(m, error);
    for (size_t i = 0; i < values.size(); ++i)
        if (!writer.appendOne((*types)[i], values[i])) return false;
    return true;
}

bool appendDBusValue(sd_bus_message* m, std::string_view completeType, const DBusValue& value,
                     DBusError& error) {
    if (completeType.empty() ||
        DBusValue::completeTypeLength(completeType) != completeType.size()) {
        error = DBusError{DBusError::kInvalidArgs,
                          "\"" + std::string(completeType) + "\" is not one complete type"};
        return false;
    }
    Writer writer(m, error);
    return writer.appendOne(completeType, value);
}

DBusError dbusErrorFromErrno(int negativeErrno, std::string_view what) {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_error_set_errno(&e, negativeErrno < 0 ? -negativeErrno : negativeErrno);
    DBusError out{e.name ? e.name : DBusError::kFailed,
                  std::string(what) + ": " + (e.message ? e.message : "")};
    sd_bus_error_free(&e);
    return out;
}

DBusError dbusErrorOfMessage(sd_bus_message* m) {
    const sd_bus_error* e = sd_bus_message_get_error(m);
    if (!e || !e->name) return {};
    return DBusError{e->name, e->message ? e->message : ""};
}

}  // namespace telvo
