// Property-list documents built byte by byte for the tests of every reader: binary tables laid
// out by hand (shared and nested objects a writer would not make) and XML.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace telvo::test {

// Big-endian unsigned of the given width.
inline std::string bigEndian(uint64_t value, int width) {
    std::string out;
    for (int k = width - 1; k >= 0; --k) out.push_back(static_cast<char>(value >> (8 * k)));
    return out;
}

// A binary property list of the given objects, object 0 on top; offsets and references are
// width bytes wide, unless references are given a width of their own.
inline std::string binaryPlist(const std::vector<std::string>& objects, int width = 1,
                               int referenceWidth = 0) {
    std::string data = "bplist00", table;
    for (const std::string& object : objects) {
        table += bigEndian(data.size(), width);
        data += object;
    }
    return data + table + std::string(6, '\0') + bigEndian(width, 1) +
           bigEndian(referenceWidth ? referenceWidth : width, 1) + bigEndian(objects.size(), 8) +
           bigEndian(0, 8) + bigEndian(data.size(), 8);
}

// An ASCII text object of a binary property list.
inline std::string binaryText(const std::string& text) {
    if (text.size() < 15) return char(0x50 + text.size()) + text;
    return "\x5F\x12" + bigEndian(text.size(), 4) + text;
}

// A one-byte integer object of a binary property list.
inline std::string binaryInteger(uint8_t value) {
    return std::string("\x10") + char(value);
}

// The entries (keys with their objects) and "a": [a1, a1], where array i names array i + 1
// twice, levels arrays deep, the last naming a text of leafBytes: with the default entry about
// 450 bytes for 22 levels, whose "a" read in full is 2^(levels + 1) - 1 objects.
inline std::string sharedArraysPlist(
    int levels,
    const std::vector<std::pair<std::string, std::string>>& entries = {{"sdkWorkMode",
                                                                        binaryText("10001")}},
    size_t leafBytes = 60) {
    const size_t n = entries.size() + 1;
    std::string dict(1, char(0xD0 + n)), keys, values;
    std::vector<std::string> objects(1);
    for (size_t i = 0; i < n; ++i) {
        keys += bigEndian(1 + i, 4);
        values += bigEndian(1 + n + i, 4);
        objects.push_back(binaryText(i < entries.size() ? entries[i].first : "a"));
    }
    objects[0] = dict + keys + values;
    for (const auto& entry : entries) objects.push_back(entry.second);
    for (int i = 0; i < levels; ++i) {
        const size_t next = objects.size() + 1;
        objects.push_back("\xA2" + bigEndian(next, 4) + bigEndian(next, 4));
    }
    objects.push_back(binaryText(std::string(leafBytes, 'x')));
    return binaryPlist(objects, 4);
}

// An array naming one text of textBytes bytes times times, as a writer lays out a list that
// repeats an equal text.
inline std::string repeatedTextPlist(size_t textBytes, uint32_t times) {
    return binaryPlist({"\xAF\x12" + bigEndian(times, 4) + std::string(times, '\x01'),
                        binaryText(std::string(textBytes, 't'))},
                       4, 1);
}

// The same shape in XML, which names no object twice: entities each naming the one before
// twice, levels deep, in the text under "a".
inline std::string entityLaughsPlist(int levels) {
    std::string entities = "<!ENTITY e0 \"laugh\">";
    for (int i = 1; i <= levels; ++i) {
        const std::string before = "&e" + std::to_string(i - 1) + ";";
        entities += "<!ENTITY e" + std::to_string(i) + " \"" + before + before + "\">";
    }
    return "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [" + entities +
           "]>\n<plist version=\"1.0\"><dict><key>sdkWorkMode</key><string>10001</string>"
           "<key>a</key><string>&e" +
           std::to_string(levels) + ";</string></dict></plist>\n";
}

// {"k0": list, "k1": list, ...}: one array of texts named from count keys, as a writer that
// keeps one object for each object it is given lays out a value that holds one list many times.
inline std::string aliasedListPlist(int count, int elements) {
    std::vector<std::string> objects(1);
    std::string keys, values, list = "\xAF\x10" + bigEndian(elements, 1);
    const int listAt = 1 + count;
    objects[0] = "\xDF\x10" + bigEndian(count, 1);
    for (int i = 0; i < count; ++i) {
        keys += bigEndian(1 + i, 2);
        values += bigEndian(listAt, 2);
        objects.push_back(binaryText("k" + std::to_string(i)));
    }
    objects[0] += keys + values;
    for (int i = 0; i < elements; ++i) {
        list += bigEndian(listAt + 1 + i, 2);
        objects.push_back(binaryText("element " + std::to_string(i)));
    }
    objects.insert(objects.begin() + listAt, list);
    return binaryPlist(objects, 2);
}

}  // namespace telvo::test
