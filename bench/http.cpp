// Bursts of 1, 10, 100 and 1,000 concurrent GET requests to the fake cloud over plain HTTP on
// loopback (a 2 KiB JSON reply, a new connection per request as the server closes each),
// through the URL session (the URL-loading thread driving libcurl, the events on the
// delegate's operation queue) beside bare libcurl with the same settings (one multi handle on
// the calling thread: at most 6 connections to the host, redirects followed, no signals, the
// same Accept-Encoding, the header block and the body collected per request). The time of an
// iteration is the CPU of one burst on every thread but the fake cloud's (the session's
// delegate counts its completions and wakes the waiting bench thread once, at the last);
// counters: requests/s (wall clock) and CPU per request. Goal: CPU per request within 1.3x
// libcurl's at every size.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
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

struct Burst {
    double cpu = 0, wall = 0;
    bool ok = true;
};

void report(benchmark::State& state, double cpu, double wall, int64_t requests) {
    state.counters["requests_per_s"] = wall > 0 ? double(requests) / wall : 0;
    state.counters["cpu_per_request_us"] = cpu * 1e6 / double(requests);
}

void Session(benchmark::State& state) {
    const int n = int(state.range(0));
    const std::string url = cloud().baseURL() + "/v1/bench";
    double cpu = 0, wall = 0;
    for (auto _ : state) {
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
        const double spent = meter.stop();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        cpu += spent;
        state.SetIterationTime(spent);
        if (counter->failed) state.SkipWithError("a request failed");
    }
    report(state, cpu, wall, state.iterations() * n);
}

size_t collect(char* data, size_t size, size_t count, void* into) {
    static_cast<std::string*>(into)->append(data, size * count);
    return size * count;
}

void BareLibcurl(benchmark::State& state) {
    const int n = int(state.range(0));
    const std::string url = cloud().baseURL() + "/v1/bench";
    double cpu = 0, wall = 0;
    for (auto _ : state) {
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
        const double spent = meter.stop();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        cpu += spent;
        state.SetIterationTime(spent);
        if (failed) state.SkipWithError("a request failed");
    }
    report(state, cpu, wall, state.iterations() * n);
}

const bool registered = [] {
    for (int n : {1, 10, 100, 1000}) {
        const int64_t iterations = n >= 1000 ? 3 : n >= 100 ? 10 : 50;
        benchmark::RegisterBenchmark("Session", Session)
            ->Arg(n)
            ->Iterations(iterations)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BareLibcurl", BareLibcurl)
            ->Arg(n)
            ->Iterations(iterations)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    using telvo::bench::Figure, telvo::bench::Goal;
    std::vector<Goal> goals;
    for (int n : {1, 10, 100, 1000}) {
        const int64_t iterations = n >= 1000 ? 3 : n >= 100 ? 10 : 50;
        const std::string suffix =
            "/" + std::to_string(n) + "/iterations:" + std::to_string(iterations) + "/manual_time";
        goals.push_back(Goal::ratio(
            "CPU per request, URL session over bare libcurl, " + std::to_string(n) + " at once",
            Figure::real("Session" + suffix), Figure::real("BareLibcurl" + suffix), 1.3));
    }
    return telvo::bench::runWithGoals(argc, argv, goals);
}
