// Reading property lists that are built to hurt, and an honest one of the largest reply body.
// Refused: a binary document of arrays naming the next one twice, 22 and 20 levels deep (449
// and 423 bytes, which would read as 8 and 2 million objects), the XML of that shape (entities
// naming entities, 726 bytes), a 16 KB text named 16 Ki times (32 KB that would read as
// 256 MB), 18 KB of arrays naming a 63-byte text a million times (read as 327 MB while a text
// counted as one object), and XML arrays 600, 50,000 and 500,000 levels deep, bare or with a
// comment, a CDATA section or a processing instruction holding a closing tag after every
// opening one (up to 17.5 MB). Read whole within the bound: the shared arrays 10 levels deep
// (2,047 objects), a 1 KB text named a thousand times (2 KB), 17 levels beside a 26 KB text
// (25 MB counted, near 1 KiB a byte), and a cloud's reply of devices just under 4 MiB, XML and
// binary.
// Counters: the heap's peak growth during one read (malloc and its relatives, the property-list
// library's included), and what a value read counts against the bound. Goals: a refusal reads
// nothing into memory and takes microseconds, whatever the document would expand to or however
// deep it goes; the honest 4 MiB replies read within a second. Measured on a developer build
// (RelWithDebInfo) of a shared, loaded machine: the deep documents refused in 23 to 67 us with
// no heap at all, the 18 KB document in 62 us with 472 bytes; the 4 MiB replies read in 0.20 s
// (XML, 12 MB counted, 26 MB of heap at the peak) and 0.35 s (binary, denser: 51 MB counted,
// 109 MB of heap).
#include <benchmark/benchmark.h>

#include <algorithm>

#include "Goals.h"
#include "HeapCounter.h"
#include "http/QKAFHTTPResponseSerializer.h"
#include "platform/PropertyListDocuments.h"
#include "platform/foundation/PropertyList.h"

namespace {

using namespace telvo;

// What a value counts against the bound: kPropertyListBytesPerObject for every object,
// dictionary keys included, and the bytes of every text and data.
uint64_t counted(const Value& value) {
    uint64_t n = kPropertyListBytesPerObject;
    if (value.isText()) n += value.text().size();
    if (value.isBytes()) n += value.bytes().size();
    if (value.isArray())
        for (const auto& element : value.array()) n += counted(element);
    if (value.isDictionary())
        for (const auto& [key, element] : value.dictionary())
            n += kPropertyListBytesPerObject + key.size() + counted(element);
    return n;
}

void readDocument(benchmark::State& state, const std::string& document, bool reads) {
    size_t peak = 0;
    uint64_t bytes = 0;
    for (auto _ : state) {
        bench::HeapPeak heap;
        auto value = PropertyListSerialization::propertyListWithData(document, 0, nullptr, nullptr);
        if (bool(value) != reads) state.SkipWithError("unexpected result");
        benchmark::DoNotOptimize(value);
        peak = std::max(peak, heap.growth());
        if (value) bytes = counted(*value);
    }
    state.counters["document_B"] = double(document.size());
    state.counters["heap_peak_growth_B"] = double(peak);
    if (reads) state.counters["counted_B"] = double(bytes);
}

BENCHMARK_CAPTURE(readDocument, RefuseSharedArrays22, test::sharedArraysPlist(22), false);
BENCHMARK_CAPTURE(readDocument, RefuseSharedArrays20, test::sharedArraysPlist(20), false);
BENCHMARK_CAPTURE(readDocument, RefuseEntityLaughs22, test::entityLaughsPlist(22), false);
BENCHMARK_CAPTURE(readDocument, ReadSharedArrays10, test::sharedArraysPlist(10), true);
BENCHMARK_CAPTURE(readDocument, RefuseRepeatedText, test::repeatedTextPlist(16 << 10, 16 << 10),
                  false);
BENCHMARK_CAPTURE(readDocument, ReadRepeatedText, test::repeatedTextPlist(1024, 1000), true);
BENCHMARK_CAPTURE(readDocument, RefuseFanOutText, test::fanOutTextPlist(), false);
BENCHMARK_CAPTURE(readDocument, ReadSharedArrays17In26KB,
                  test::sharedArraysPlist(17,
                                          {{"pad", test::binaryText(std::string(26 << 10, 'p'))}}),
                  true)
    ->Iterations(1);

// An array of 200,000 integers, each its own object (2 MB): the conversion steps through a
// container's children in constant time each (looking a child up by its index walks a parsed
// binary array from its start: 11 s for 80,000, about 70 s for this one). Measured: 46 ms,
// 32 MB of heap.
std::string wideBinaryArray(uint32_t count) {
    std::string top = "\xAF\x12" + test::bigEndian(count, 4);
    std::vector<std::string> objects(1);
    for (uint32_t i = 1; i <= count; ++i) {
        top += test::bigEndian(i, 4);
        objects.push_back(test::binaryInteger(uint8_t(i)));
    }
    objects[0] = top;
    return test::binaryPlist(objects, 4);
}
BENCHMARK_CAPTURE(readDocument, ReadWideBinaryArray, wideBinaryArray(200000), true)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(readDocument, RefuseDeep600, test::deepXmlArrays(600, ""), false);
BENCHMARK_CAPTURE(readDocument, RefuseDeep50000, test::deepXmlArrays(50000, ""), false);
BENCHMARK_CAPTURE(readDocument, RefuseDeep500000, test::deepXmlArrays(500000, ""), false);
BENCHMARK_CAPTURE(readDocument, RefuseDeep600Comments, test::deepXmlArrays(600, "<!--</array>-->"),
                  false);
BENCHMARK_CAPTURE(readDocument, RefuseDeep500000Comments,
                  test::deepXmlArrays(500000, "<!--</array>-->"), false);
BENCHMARK_CAPTURE(readDocument, RefuseDeep500000CDATA,
                  test::deepXmlArrays(500000, "<![CDATA[</array>]]>"), false);
BENCHMARK_CAPTURE(readDocument, RefuseDeep500000Instructions,
                  test::deepXmlArrays(500000, "<?pi </array>?>"), false);

BENCHMARK_CAPTURE(readDocument, ReadHonestReplyXML,
                  test::honestReply(4 << 20, kPropertyListXMLFormat).second, true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(readDocument, ReadHonestReplyBinary,
                  test::honestReply(4 << 20, kPropertyListBinaryFormat).second, true)
    ->Unit(benchmark::kMillisecond);

// The same refusals as a cloud reply.
void serializerRefuses(benchmark::State& state, const std::string& document) {
    const std::optional<Bytes> body = Bytes(document.begin(), document.end());
    auto response = std::make_shared<HTTPURLResponse>();
    response->statusCode = 200;
    response->MIMEType = "application/x-plist";
    auto serializer = QKAFPropertyListResponseSerializer::serializer();
    size_t peak = 0;
    for (auto _ : state) {
        bench::HeapPeak heap;
        ErrorPtr error;
        auto object = serializer->responseObjectForResponse(response, body, &error);
        if (object || !error) state.SkipWithError("unexpected result");
        benchmark::DoNotOptimize(object);
        peak = std::max(peak, heap.growth());
    }
    state.counters["heap_peak_growth_B"] = double(peak);
}
BENCHMARK_CAPTURE(serializerRefuses, SharedArrays22, test::sharedArraysPlist(22));
BENCHMARK_CAPTURE(serializerRefuses, FanOutText, test::fanOutTextPlist());
BENCHMARK_CAPTURE(serializerRefuses, Deep500000Comments,
                  test::deepXmlArrays(500000, "<!--</array>-->"));

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    auto heap = [](const char* name) { return Figure::counterOf(name, "heap_peak_growth_B"); };
    const std::vector<Goal> goals = {
        Goal::limit("500,000 XML levels with a comment between tags, refused",
                    Figure::cpu("readDocument/RefuseDeep500000Comments"), 100e-6, "us"),
        Goal::limit("... its heap", heap("readDocument/RefuseDeep500000Comments"), 64 << 10, "B"),
        Goal::limit("500,000 XML levels with a CDATA section between tags, refused",
                    Figure::cpu("readDocument/RefuseDeep500000CDATA"), 100e-6, "us"),
        Goal::limit("500,000 XML levels with an instruction between tags, refused",
                    Figure::cpu("readDocument/RefuseDeep500000Instructions"), 100e-6, "us"),
        Goal::limit("18 KB naming a 63-byte text a million times, refused",
                    Figure::cpu("readDocument/RefuseFanOutText"), 100e-6, "us"),
        Goal::limit("... its heap", heap("readDocument/RefuseFanOutText"), 64 << 10, "B"),
        Goal::limit("an honest 4 MiB XML reply, read",
                    Figure::cpu("readDocument/ReadHonestReplyXML"), 1.0, "ms"),
        Goal::limit("... its heap", heap("readDocument/ReadHonestReplyXML"), 256 << 20, "B"),
        Goal::limit("an honest 4 MiB binary reply, read",
                    Figure::cpu("readDocument/ReadHonestReplyBinary"), 1.0, "ms"),
        Goal::limit("... its heap", heap("readDocument/ReadHonestReplyBinary"), 256 << 20, "B"),
        Goal::limit("a binary array of 200,000 integers, read",
                    Figure::cpu("readDocument/ReadWideBinaryArray"), 0.2, "ms"),
    };
    return telvo::bench::runWithGoals(argc, argv, goals);
}
