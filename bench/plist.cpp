// Reading property lists that name objects many times: a binary document of arrays naming the
// next one twice, 22 and 20 levels deep (449 and 423 bytes, which would read as 8 and 2 million
// objects), the XML of that shape (entities naming entities, 726 bytes), a 16 KB text named 16 Ki
// times (32 KB that would read as 256 MB), all refused; read whole within the bound: the arrays
// 13 levels deep (332 bytes, 16,387 objects), a 1 KB text named a thousand times (2 KB), and 18
// levels beside a 9 KB text (half a million objects, half the most any document reads into).
// Counter: the heap's peak growth during one read (malloc and its relatives, the property-list
// library's included). Goal: a refusal reads nothing into memory, its peak growth stays within a
// few kilobytes whatever the document would expand to; a document within the bound peaks near
// 200 bytes an object (the library's nodes and the values at once). Measured on the README's
// benchmark build: 2.9 KB, 2.9 KB, 512 bytes and 200 bytes for the refusals (3.4 KB through the
// response serializer); 3.4 MB, 2.2 MB and 109 MB (0.56 s) for the three read.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "HeapCounter.h"
#include "http/QKAFHTTPResponseSerializer.h"
#include "platform/PropertyListDocuments.h"
#include "platform/foundation/PropertyList.h"

namespace {

using namespace telvo;

void readDocument(benchmark::State& state, const std::string& document, bool reads) {
    size_t peak = 0;
    for (auto _ : state) {
        bench::HeapPeak heap;
        auto value = PropertyListSerialization::propertyListWithData(document, 0, nullptr, nullptr);
        if (bool(value) != reads) state.SkipWithError("unexpected result");
        benchmark::DoNotOptimize(value);
        peak = std::max(peak, heap.growth());
    }
    state.counters["document_B"] = double(document.size());
    state.counters["heap_peak_growth_B"] = double(peak);
}

BENCHMARK_CAPTURE(readDocument, RefuseSharedArrays22, test::sharedArraysPlist(22), false);
BENCHMARK_CAPTURE(readDocument, RefuseSharedArrays20, test::sharedArraysPlist(20), false);
BENCHMARK_CAPTURE(readDocument, RefuseEntityLaughs22, test::entityLaughsPlist(22), false);
BENCHMARK_CAPTURE(readDocument, ReadSharedArrays13, test::sharedArraysPlist(13), true);
BENCHMARK_CAPTURE(readDocument, RefuseRepeatedText, test::repeatedTextPlist(16 << 10, 16 << 10),
                  false);
BENCHMARK_CAPTURE(readDocument, ReadRepeatedText, test::repeatedTextPlist(1024, 1000), true);
// Half a million objects, half the most any document reads into, from 9 KB.
BENCHMARK_CAPTURE(readDocument, ReadSharedArrays18In9KB,
                  test::sharedArraysPlist(18,
                                          {{"pad", test::binaryText(std::string(9 << 10, 'p'))}}),
                  true)
    ->Iterations(1);

// The same refusal as a cloud reply.
void BM_SerializerRefusesSharedArrays22(benchmark::State& state) {
    const std::string document = test::sharedArraysPlist(22);
    const Bytes body(document.begin(), document.end());
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
BENCHMARK(BM_SerializerRefusesSharedArrays22);

}  // namespace
