// Property-list documents built byte by byte for the tests of every reader: binary tables laid
// out by hand (shared and nested objects a writer would not make) and XML.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/JsonDocuments.h"
#include "platform/foundation/PropertyList.h"

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

// A dict {"a": [[[...[]...]]]} with depth nested one-element arrays.
inline std::string deepBinaryPlist(size_t depth) {
    std::vector<std::string> objects = {"\xD1" + bigEndian(1, 4) + bigEndian(2, 4),
                                        '\x51' + std::string("a")};
    for (size_t i = 0; i < depth; ++i) objects.push_back("\xA1" + bigEndian(3 + i, 4));
    objects.push_back("\xA0");
    return binaryPlist(objects, 4);
}

// The entries and "a": [m1 x names, m2 x names, ...], arrays each naming a text of textBytes
// perArray times: with the defaults 17 KB that would read as a million 63-byte texts.
inline std::string fanOutTextPlist(
    const std::vector<std::pair<std::string, std::string>>& entries = {{"sdkWorkMode",
                                                                        binaryText("10001")}},
    int arrays = 8, int names = 128, int perArray = 1020, size_t textBytes = 63) {
    const size_t n = entries.size() + 1;
    std::string dict(1, char(0xD0 + n)), keys, values;
    std::vector<std::string> objects(1);
    for (size_t i = 0; i < n; ++i) {
        keys += bigEndian(1 + i, 2);
        values += bigEndian(1 + n + i, 2);
        objects.push_back(binaryText(i < entries.size() ? entries[i].first : "a"));
    }
    objects[0] = dict + keys + values;
    for (const auto& entry : entries) objects.push_back(entry.second);
    const size_t top = objects.size(), firstArray = top + 1, text = firstArray + arrays;
    std::string refs;
    for (int i = 0; i < arrays * names; ++i) refs += bigEndian(firstArray + i % arrays, 2);
    objects.push_back("\xAF\x11" + bigEndian(arrays * names, 2) + refs);
    for (int a = 0; a < arrays; ++a) {
        std::string textRefs;
        for (int i = 0; i < perArray; ++i) textRefs += bigEndian(text, 2);
        objects.push_back("\xAF\x11" + bigEndian(perArray, 2) + textRefs);
    }
    objects.push_back(binaryText(std::string(textBytes, 'f')));
    return binaryPlist(objects, 2);
}

// An XML document of levels arrays, each followed by between (markup that may hold what looks
// like a closing tag), and then the arrays' closing tags.
inline std::string deepXmlArrays(size_t levels, const std::string& between) {
    std::string data = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    data.reserve(data.size() + levels * (between.size() + 15) + 10);
    for (size_t i = 0; i < levels; ++i) data += "<array>" + between;
    for (size_t i = 0; i < levels; ++i) data += "</array>";
    return data + "</plist>\n";
}

// A document {"sdkWorkMode": "10001", "a": body} in XML.
inline std::string xmlWithWorkMode(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>sdkWorkMode</key><string>10001</string><key>a</key>" +
           body + "</dict></plist>\n";
}

// levels arrays whose tag names end in a zero byte, then an element no property list has.
inline std::string zeroInTagNames(size_t levels) {
    std::string body;
    body.reserve(levels * 8 + 16);
    for (size_t i = 0; i < levels; ++i) body += std::string("<array\0>", 8);
    return xmlWithWorkMode(body + "<unknown/>");
}

// A dictionary of the given keys, each naming true, in XML or binary, under "a".
inline std::string dictionaryOfKeys(const std::vector<std::string>& keys, bool binary) {
    if (!binary) {
        std::string body = "<dict>";
        for (const auto& k : keys) body += "<key>" + k + "</key><true/>";
        return xmlWithWorkMode(body + "</dict>");
    }
    constexpr int width = 4;
    std::vector<std::string> objects = {"\xD2" + bigEndian(1, width) + bigEndian(2, width) +
                                            bigEndian(3, width) + bigEndian(4, width),
                                        binaryText("sdkWorkMode"),
                                        binaryText("a"),
                                        binaryText("10001"),
                                        "",
                                        "\x09"};
    std::string dict = "\xDF\x12" + bigEndian(keys.size(), 4), values;
    for (size_t i = 0; i < keys.size(); ++i) {
        dict += bigEndian(6 + i, width);
        values += bigEndian(5, width);
        objects.push_back(binaryText(keys[i]));
    }
    objects[4] = dict + values;
    return binaryPlist(objects, width);
}

// "a": one text of count entity references.
inline std::string entityText(size_t count) {
    std::string body = "<string>";
    body.reserve(count * 5 + 20);
    for (size_t i = 0; i < count; ++i) body += "&amp;";
    return xmlWithWorkMode(body + "</string>");
}

// "a": a chain of arrays length deep, each naming the next and, when every is set, also a fan:
// an array naming one small text fan times.
inline std::string chainAboveFan(size_t length, size_t fan, bool every) {
    std::vector<std::string> objects = {
        "\xD2" + bigEndian(1, 4) + bigEndian(2, 4) + bigEndian(3, 4) + bigEndian(4, 4),
        binaryText("sdkWorkMode"), binaryText("a"), binaryText("10001")};
    const size_t fanAt = 4 + length, textAt = fanAt + 1;
    for (size_t i = 0; i < length; ++i) {
        const size_t next = i + 1 < length ? 5 + i : fanAt;
        objects.push_back(every ? "\xA2" + bigEndian(next, 4) + bigEndian(fanAt, 4)
                                : "\xA1" + bigEndian(next, 4));
    }
    std::string refs = "\xAF\x12" + bigEndian(fan, 4);
    for (size_t i = 0; i < fan; ++i) refs += bigEndian(textAt, 4);
    objects.push_back(std::move(refs));
    objects.push_back(binaryText("fan"));
    return binaryPlist(objects, 4);
}

// The document of value in format.
inline std::string writtenPlist(const Value& value, uint64_t format) {
    ErrorPtr error;
    auto bytes = PropertyListSerialization::dataWithPropertyList(value, format, 0, &error);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// What an app's cloud might answer: {"total": n, "devices": [{...}, ...]}, each device with
// texts of its own and fields equal to other devices'.
inline Value honestDevices(size_t count) {
    Value::Array list;
    list.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        list.push_back(Dictionary{{"deviceId", "AC-7F3E-" + n},
                                  {"name", "Living room " + n},
                                  {"type", "0xAC"},
                                  {"online", i % 3 != 0},
                                  {"firmware", "2.4." + std::to_string(i % 7)},
                                  {"temperature", static_cast<long long>(18 + i % 12)},
                                  {"modes", Value::Array{"cool", "heat", "dry"}}});
    }
    return Value(
        Dictionary{{"total", static_cast<long long>(count)}, {"devices", std::move(list)}});
}

// honestDevices(count) as a binary writer lays it out, in linear time: every device's
// dictionary, texts and modes array objects of their own, keys and repeated fields shared.
inline std::string honestDevicesBinary(size_t count) {
    const std::vector<std::string> keys = {"deviceId", "name",        "type", "online",
                                           "firmware", "temperature", "modes"};
    std::vector<std::string> objects(2);  // the top dictionary and the devices array
    auto add = [&](std::string object) {
        objects.push_back(std::move(object));
        return objects.size() - 1;
    };
    constexpr int width = 3;
    auto ref = [](size_t i) { return bigEndian(i, width); };
    std::vector<size_t> keyRefs;
    for (const auto& k : keys) keyRefs.push_back(add(binaryText(k)));
    const size_t total = add(binaryText("total")), devicesKey = add(binaryText("devices"));
    const size_t type = add(binaryText("0xAC")), yes = add("\x09"), no = add("\x08");
    std::vector<size_t> firmware, temperature, modes;
    for (int i = 0; i < 7; ++i) firmware.push_back(add(binaryText("2.4." + std::to_string(i))));
    for (int i = 0; i < 12; ++i) temperature.push_back(add(binaryInteger(uint8_t(18 + i))));
    for (const char* m : {"cool", "heat", "dry"}) modes.push_back(add(binaryText(m)));
    const size_t countRef = add("\x13" + bigEndian(count, 8));
    std::string list = "\xAF\x13" + bigEndian(count, 8);
    for (size_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        const size_t id = add(binaryText("AC-7F3E-" + n));
        const size_t name = add(binaryText("Living room " + n));
        const size_t modeList = add("\xA3" + ref(modes[0]) + ref(modes[1]) + ref(modes[2]));
        std::string device = "\xD7";
        for (size_t k : keyRefs) device += ref(k);
        for (size_t v : {id, name, type, i % 3 != 0 ? yes : no, firmware[i % 7],
                         temperature[i % 12], modeList})
            device += ref(v);
        list += ref(add(std::move(device)));
    }
    objects[1] = std::move(list);
    objects[0] = "\xD2" + ref(total) + ref(devicesKey) + ref(countRef) + ref(1);
    return binaryPlist(objects, width);
}

// honestDevices(count) in XML as a writer lays it out (one element a line, tabs before), in
// linear time.
inline std::string honestDevicesXml(size_t count) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
        "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist "
        "version=\"1.0\">\n<dict>\n\t<key>total</key>\n\t<integer>" +
        std::to_string(count) + "</integer>\n\t<key>devices</key>\n\t<array>\n";
    xml.reserve(count * 420 + 400);
    auto entry = [&](const char* key, const std::string& element) {
        xml += "\t\t\t<key>";
        xml += key;
        xml += "</key>\n\t\t\t" + element + "\n";
    };
    auto text = [](const std::string& t) { return "<string>" + t + "</string>"; };
    for (size_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        xml += "\t\t<dict>\n";
        entry("deviceId", text("AC-7F3E-" + n));
        entry("name", text("Living room " + n));
        entry("type", text("0xAC"));
        entry("online", i % 3 != 0 ? "<true/>" : "<false/>");
        entry("firmware", text("2.4." + std::to_string(i % 7)));
        entry("temperature", "<integer>" + std::to_string(18 + i % 12) + "</integer>");
        entry("modes",
              "<array>\n\t\t\t\t<string>cool</string>\n\t\t\t\t<string>heat</string>\n"
              "\t\t\t\t<string>dry</string>\n\t\t\t</array>");
        xml += "\t\t</dict>\n";
    }
    return xml + "\t</array>\n</dict>\n</plist>\n";
}

// An honest reply (honestDevices) and its document in format, as many devices as fit in a little
// under bytes. The library's own writer of the same value is tested apart.
inline std::pair<Value, std::string> honestReply(size_t bytes, uint64_t format) {
    auto document = [&](size_t count) {
        return format == kPropertyListBinaryFormat ? honestDevicesBinary(count)
                                                   : honestDevicesXml(count);
    };
    size_t count = 10000;
    for (;;) {
        std::string written = document(count);
        if (written.size() <= bytes && written.size() > bytes / 100 * 97)
            return {honestDevices(count), std::move(written)};
        count = count * (bytes / 100 * 99) / written.size();
    }
}

// The resident memory a read of a document of size bytes may add: its bound, twice over under
// AddressSanitizer (whose allocator pads every block), and 16 MiB for the rest of the process.
// ThreadSanitizer's shadow grows with every byte the heap touches, several times over: resident
// memory there says nothing of the heap, and any growth passes.
inline size_t residentAllowance(size_t size) {
    size_t perHeapByte = 1;
#if defined(__SANITIZE_THREAD__)
    return SIZE_MAX;
#elif defined(__SANITIZE_ADDRESS__)
    perHeapByte = 2;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return SIZE_MAX;
#elif __has_feature(address_sanitizer)
    perHeapByte = 2;
#endif
#endif
    const size_t bound =
        std::min<size_t>(kPropertyListMaxBytes, kPropertyListMaxBytesPerByte * size);
    return perHeapByte * bound + (size_t(16) << 20);
}

// Runs body on a thread of its own with a 256 KiB stack, as an app's worker thread may have;
// false when no such thread could be made.
inline bool onSmallStack(const std::function<void()>& body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_t thread;
    auto run = [](void* p) -> void* {
        (*static_cast<const std::function<void()>*>(p))();
        return nullptr;
    };
    const bool made =
        pthread_attr_setstacksize(&attributes, 256 << 10) == 0 &&
        pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)) == 0;
    if (made) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    return made;
}

}  // namespace telvo::test
