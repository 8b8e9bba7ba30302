// Bursts of 1, 10, 100 and 1,000 concurrent GET requests to the fake cloud over plain HTTP on
// loopback (a 2 KiB JSON reply, a new connection per request as the server closes each),
// through the URL session (the URL-loading thread driving libcurl, the events on the
// delegate's operation queue) beside bare libcurl with the same settings (one multi handle on
// the calling thread: at most 6 connections to the host, redirects followed, no signals, the
// same Accept-Encoding, the header block and the body collected per request). The time of an
// iteration is the CPU of one burst on every thread but the fake cloud's (the session's
// delegate counts its completions and wakes the waiting bench thread once, at the last);
// counters: requests/s (wall clock) and CPU per request. Goal: CPU per request within 1.3x
// libcurl's at every size, read from bursts of the two that alternate, so that both see the
// same load (the separate benchmarks' ratio is printed for comparison; on a shared machine the load
// can differ between them).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "CpuMeter.h"
#include "Goals.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/http/URLSession.h"
#include "sim/FakeCloud.h"

namespace {

using namespace telvo;

// What the library sends as its Accept-Encoding (URLLoader), for libcurl's side too.
constexpr const char* kAcceptEncoding = "gzip, deflate";

test::FakeCloud& cloud() {
    static test::FakeCloud* server = [] {
        auto* s = new test::FakeCloud();
        std::string body = "{\"code\":0,\"data\":[";
        for (int i = 0; i < 40; ++i)
            body += std::string(i ? "," : "") + "{\"deviceId\":\"" + std::to_string(100000 + i) +
                    "\",\"online\":true,\"name\":\"appliance\"}";
        body += "]}";
        s->setReply("/v1/bench", test::ScriptedReply{200, body});
        return s;
    }();
    return *server;
}

class Counter : public URLSessionDelegate {
  public:
    void didReceiveData(const URLSessionTaskPtr&, const Bytes& data) override {
        bytes.fetch_add(data.size());
    }
    void didCompleteWithError(const URLSessionTaskPtr&, const ErrorPtr& error) override {
        bool last;
        {
            std::lock_guard lock(mutex);
            if (error) ++failed;
            last = ++done == awaited;
        }
        // The waiter is woken once, by the burst's last completion, with the lock free.
        if (last) changed.notify_all();
    }
    void waitFor(int count) {
        std::unique_lock lock(mutex);
        awaited = count;
        changed.wait(lock, [&] { return done >= count; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    int done = 0, failed = 0, awaited = -1;
    std::atomic<size_t> bytes{0};
};

// One burst: the CPU it took on every thread but the fake cloud's, its wall-clock time, and
// whether every request succeeded.
struct Burst {
    double cpu = 0, wall = 0;
    bool ok = true;
};

Burst sessionBurst(int n) {
    const std::string url = cloud().baseURL() + "/v1/bench";
    auto counter = std::make_shared<Counter>();
    auto session = URLSession::create(URLSessionConfiguration::defaultSessionConfiguration(),
                                      counter, nullptr);
    bench::CpuMeter meter;
    const auto begin = std::chrono::steady_clock::now();
    meter.start();
    std::vector<URLSessionTaskPtr> tasks;
    for (int i = 0; i < n; ++i) {
        URLRequest request;
        request.url = url;
        tasks.push_back(session->dataTaskWithRequest(std::move(request)));
        tasks.back()->resume();
    }
    counter->waitFor(n);
    Burst burst;
    burst.cpu = meter.stop();
    burst.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    burst.ok = counter->failed == 0;
    return burst;
}

size_t collect(char* data, size_t size, size_t count, void* into) {
    static_cast<std::string*>(into)->append(data, size * count);
    return size * count;
}

Burst bareBurst(int n) {
    const std::string url = cloud().baseURL() + "/v1/bench";
    bench::CpuMeter meter;
    const auto begin = std::chrono::steady_clock::now();
    meter.start();
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
    std::vector<std::string> headers(static_cast<size_t>(n)), bodies(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &collect);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &headers[size_t(i)]);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &bodies[size_t(i)]);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, kAcceptEncoding);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 60000L);
        curl_multi_add_handle(multi, easy);
    }
    int running = n, failed = 0;
    while (running > 0) {
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            failed += message->data.result != CURLE_OK;
            curl_multi_remove_handle(multi, message->easy_handle);
            curl_easy_cleanup(message->easy_handle);
        }
        if (running > 0) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    curl_multi_cleanup(multi);
    Burst burst;
    burst.cpu = meter.stop();
    burst.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    burst.ok = failed == 0;
    return burst;
}

void report(benchmark::State& state, double cpu, double wall, int64_t requests) {
    state.counters["requests_per_s"] = wall > 0 ? double(requests) / wall : 0;
    state.counters["cpu_per_request_us"] = cpu * 1e6 / double(requests);
}

template <Burst (*run)(int)>
void Separate(benchmark::State& state) {
    const int n = int(state.range(0));
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const Burst burst = run(n);
        cpu += burst.cpu;
        wall += burst.wall;
        state.SetIterationTime(burst.cpu);
        if (!burst.ok) state.SkipWithError("a request failed");
    }
    report(state, cpu, wall, state.iterations() * n);
}

// The goal's ratio, robust to a shared machine's changing load: a burst through the session and
// one through bare libcurl alternate (either first in turn) within each iteration, so both see
// the same load. Counters: CPU per request and requests/s of each side.
void Alternating(benchmark::State& state) {
    const int n = int(state.range(0));
    Burst session, bare;
    bool sessionFirst = true;
    for (auto _ : state) {
        double spent = 0;
        for (bool sessionTurn : {sessionFirst, !sessionFirst}) {
            const Burst burst = sessionTurn ? sessionBurst(n) : bareBurst(n);
            Burst& side = sessionTurn ? session : bare;
            side.cpu += burst.cpu;
            side.wall += burst.wall;
            side.ok = side.ok && burst.ok;
            spent += burst.cpu;
        }
        sessionFirst = !sessionFirst;
        state.SetIterationTime(spent);
    }
    if (!session.ok || !bare.ok) state.SkipWithError("a request failed");
    const double requests = double(state.iterations()) * n;
    state.counters["session_us"] = session.cpu * 1e6 / requests;
    state.counters["bare_us"] = bare.cpu * 1e6 / requests;
    state.counters["session_per_s"] = session.wall > 0 ? requests / session.wall : 0;
    state.counters["bare_per_s"] = bare.wall > 0 ? requests / bare.wall : 0;
}

int64_t iterationsFor(int n) {
    return n >= 1000 ? 3 : n >= 100 ? 10 : 50;
}

const bool registered = [] {
    for (int n : {1, 10, 100, 1000}) {
        for (auto [name, function] : {std::pair{"Session", &Separate<sessionBurst>},
                                      std::pair{"BareLibcurl", &Separate<bareBurst>},
                                      std::pair{"Alternating", &Alternating}}) {
            benchmark::RegisterBenchmark(name, function)
                ->Arg(n)
                ->Iterations(iterationsFor(n))
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    std::vector<Goal> goals;
    for (int n : {1, 10, 100, 1000}) {
        const std::string suffix = "/" + std::to_string(n) +
                                   "/iterations:" + std::to_string(iterationsFor(n)) +
                                   "/manual_time";
        const std::string size = std::to_string(n) + " at once";
        goals.push_back(Goal::ratio(
            "CPU per request, URL session over bare libcurl, alternating bursts, " + size,
            Figure::counterOf("Alternating" + suffix, "session_us"),
            Figure::counterOf("Alternating" + suffix, "bare_us"), 1.3));
        goals.push_back(Goal::comparison(
            "the same from the separate benchmarks (load may differ between them), " + size,
            Figure::real("Session" + suffix), Figure::real("BareLibcurl" + suffix)));
    }
    return telvo::bench::runWithGoals(argc, argv, goals);
}
