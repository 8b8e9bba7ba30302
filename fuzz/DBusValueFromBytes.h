#pragma once

// Fuzz bytes to D-Bus value trees, for the fuzz targets of everything that reads values from
// the bus: a reader's target builds the replies and signals it reads (property maps with the
// keys it looks up, object-manager trees) from the input and runs the reader on them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dbus/DBusValue.h"

namespace telvo::fuzz {

class DBusValueFromBytes {
  public:
    // paths: the object paths the reader knows, which object-path values may name (the bus's
    // own paths are longer than a text of the input can be).
    DBusValueFromBytes(const uint8_t* data, size_t size,
                       const std::vector<std::string>* paths = nullptr)
        : p_(data), end_(data + size), paths_(paths) {}

    bool empty() const { return p_ == end_; }
    uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
    uint64_t integer(size_t bytes) {
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i) v = (v << 8) | byte();
        return v;
    }
    // Up to 40 bytes of text (any bytes: often not UTF-8, not a valid path).
    std::string text() {
        size_t n = std::min<size_t>(byte() % 41, size_t(end_ - p_));
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }
    std::string pick(const std::vector<std::string>& choices) {
        uint8_t b = byte();
        if (choices.empty() || b >= 0xf0) return text();
        return choices[b % choices.size()];
    }

    // A value of some type; its shape follows the bytes.
    DBusValue value(int depth = 0) {
        ++built_;
        static const char kBasic[] = "ybnqiuxtdsog";
        const uint8_t code = depth >= kMaxDepth ? byte() % 12 : byte() % 20;
        if (code < 12) return ofSignature(std::string(1, kBasic[code]), depth);
        switch (code) {
            case 12:
                return ofSignature("ay", depth);
            case 13:
                return ofSignature(std::string("a") + kBasic[byte() % 12], depth);
            case 14: {
                std::vector<DBusValue> fields;
                for (int n = 1 + byte() % 4; n > 0; --n) fields.push_back(value(depth + 1));
                return DBusValue::structure(std::move(fields));
            }
            case 15:
                return DBusValue::variant(value(depth + 1));
            case 16:
                return propertyMap({}, depth + 1);
            case 17: {
                // Elements of one complex type: the first decides it.
                DBusValue first = value(depth + 1);
                std::string element = first.signature();
                std::vector<DBusValue> elements;
                elements.push_back(std::move(first));
                for (int n = byte() % 4; n > 0 && room(); --n)
                    elements.push_back(ofSignature(element, depth + 1));
                return DBusValue::array(element, std::move(elements));
            }
            case 19: {
                // A dictionary of basic keys and variant values ("a{qv}", "a{ov}", ...).
                const std::string key(1, kBasic[byte() % 12]);
                std::vector<std::pair<DBusValue, DBusValue>> entries;
                for (int n = byte() % 5; n > 0 && room(); --n) {
                    DBusValue k = ofSignature(key, depth + 1);
                    entries.emplace_back(std::move(k), DBusValue::variant(value(depth + 2)));
                }
                return DBusValue::dictionary(key, "v", std::move(entries));
            }
            default: {
                // A mistyped array: a basic element type, elements of any type.
                std::string element(1, kBasic[byte() % 12]);
                std::vector<DBusValue> elements;
                for (int n = byte() % 4; n > 0 && room(); --n) elements.push_back(value(depth + 1));
                return DBusValue::array(element, std::move(elements));
            }
        }
    }

    // A value of the given complete type (a valid one; anything else gives the absent value).
    DBusValue ofSignature(const std::string& type, int depth = 0) {
        ++built_;
        if (type.empty()) return {};
        switch (type[0]) {
            case 'y':
                return DBusValue::ofByte(byte());
            case 'b':
                return DBusValue::ofBool(byte() & 1);
            case 'n':
                return DBusValue::ofInt16(int16_t(integer(2)));
            case 'q':
                return DBusValue::ofUInt16(uint16_t(integer(2)));
            case 'i':
                return DBusValue::ofInt32(int32_t(integer(4)));
            case 'u':
                return DBusValue::ofUInt32(uint32_t(integer(4)));
            case 'x':
                return DBusValue::ofInt64(int64_t(integer(8)));
            case 't':
                return DBusValue::ofUInt64(integer(8));
            case 'd': {
                uint64_t bits = integer(8);
                double d;
                std::memcpy(&d, &bits, sizeof d);
                return DBusValue::ofDouble(d);
            }
            case 's':
                return DBusValue::ofString(text());
            case 'o': {
                const uint8_t how = byte();
                if (how & 1) return DBusValue::ofObjectPath("/" + text());
                if (how & 2 && paths_ && !paths_->empty())
                    return DBusValue::ofObjectPath((*paths_)[byte() % paths_->size()]);
                return DBusValue::ofObjectPath("/o/" + std::to_string(byte()));
            }
            case 'g':
                return DBusValue::ofSignature(text());
            case 'v':
                return DBusValue::variant(value(depth + 1));
            case 'a': {
                std::string element = type.substr(1);
                if (element == "y") {
                    std::string bytes = text();
                    return DBusValue::ofBytes(Bytes(bytes.begin(), bytes.end()));
                }
                std::vector<DBusValue> elements;
                if (depth < kMaxDepth)
                    for (int n = byte() % 5; n > 0 && room(); --n)
                        elements.push_back(ofSignature(element, depth + 1));
                return DBusValue::array(element, std::move(elements));
            }
            case '(':
            case '{': {
                const std::string inner = type.substr(1, type.size() - 2);
                auto parts = DBusValue::splitSignature(inner);
                std::vector<DBusValue> fields;
                if (parts)
                    for (auto part : *parts)
                        fields.push_back(ofSignature(std::string(part), depth + 1));
                if (type[0] == '{' && fields.size() == 2)
                    return DBusValue::dictEntry(std::move(fields[0]), std::move(fields[1]));
                return DBusValue::structure(std::move(fields));
            }
            default:
                return {};
        }
    }

    // "a{sv}" whose keys mostly come from keys (so that a reader's lookups find them); each
    // value is of any type.
    DBusValue propertyMap(const std::vector<std::string>& keys, int depth = 0) {
        std::vector<std::pair<std::string, DBusValue>> entries;
        for (int n = byte() % 8; n > 0 && !empty() && room(); --n) {
            std::string key = pick(keys);
            entries.emplace_back(std::move(key), value(depth + 1));
        }
        return DBusValue::propertyMap(std::move(entries));
    }

    // An object manager's answer, "a{oa{sa{sv}}}", over the given paths, interfaces and keys.
    DBusValue objectTree(const std::vector<std::string>& paths,
                         const std::vector<std::string>& interfaces,
                         const std::vector<std::string>& keys) {
        std::vector<std::pair<DBusValue, DBusValue>> objects;
        for (int n = byte() % 6; n > 0 && !empty(); --n) {
            std::vector<std::pair<DBusValue, DBusValue>> ifaces;
            for (int m = 1 + byte() % 3; m > 0; --m) {
                std::string name = pick(interfaces);  // before the map it names
                ifaces.emplace_back(DBusValue::ofString(std::move(name)), propertyMap(keys));
            }
            objects.emplace_back(DBusValue::ofObjectPath(pick(paths)),
                                 DBusValue::dictionary("s", "a{sv}", std::move(ifaces)));
        }
        return DBusValue::dictionary("o", "a{sa{sv}}", std::move(objects));
    }

  private:
    // Every value built counts against a budget, and an array takes no more elements once it
    // is spent: the readers look at a few dozen values, and inputs grown to a few kilobytes
    // built a thousand values and more, each then written, read, compared or stored.
    static constexpr size_t kMaxValues = 512;
    bool room() const { return built_ < kMaxValues; }

    static constexpr int kMaxDepth = 8;
    const uint8_t* p_;
    const uint8_t* end_;
    const std::vector<std::string>* paths_;
    size_t built_ = 0;
};

}  // namespace telvo::fuzz
