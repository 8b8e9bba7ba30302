// GET requests to the fake cloud over plain HTTP on loopback (a 2 KiB JSON reply, a new
// connection per request as the server closes each): one at a time (each request started once
// the one before has completed, 20 to an iteration) and in bursts of 10, 100 and 1,000
// concurrent. Two sides, each keeping what it is made of across the iterations, as a program
// that makes requests does:
// - the URL session: one session, made before the timing, whose URL-loading thread drives
//   libcurl and whose delegate's events run on its operation queue (the delegate counts the
//   completions and wakes the waiting bench thread once, at the last);
// - bare libcurl on the calling thread: one multi handle, made before the timing, with the same
//   settings (at most 6 connections to the host, redirects followed, no signals, the same
//   Accept-Encoding), the header block and the body collected per request, an easy handle per
//   request.
// The time of an iteration is the CPU of its requests on every thread but the fake cloud's;
// counters: CPU per request and requests/s (wall clock) of each side, and context switches
// per request (voluntary and involuntary, of every thread of the process but the fake cloud's,
// whose own stay out). Goals: CPU per request within 1.15x bare libcurl's one at a time and
// 1.1x at 10, 100 and 1,000 concurrent, read from iterations of the two that alternate (either
// first in turn), so that both see the same load. Run it on one core: taskset -c N.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
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
        // The waiter is woken once, by the last completion it waits for, with the lock free.
        if (last) changed.notify_all();
    }
    // Waits for count more completions than the last wait saw.
    void waitFor(int count) {
        std::unique_lock lock(mutex);
        awaited = seen + count;
        changed.wait(lock, [&] { return done >= awaited; });
        seen = awaited;
    }
    std::mutex mutex;
    std::condition_variable changed;
    int done = 0, failed = 0, awaited = -1, seen = 0;
    std::atomic<size_t> bytes{0};
};

// The context switches so far of every thread of the process but the fake cloud's.
int64_t contextSwitches() {
    int64_t total = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return 0;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const std::string dir = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(dir + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind("fake-cloud", 0) == 0) continue;
        std::ifstream status(dir + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::atoll(line.c_str() + line.find(':') + 1);
    }
    closedir(tasks);
    return total;
}

// What the requests of one iteration took: the CPU on every thread but the fake cloud's, the
// wall-clock time, the context switches, and whether every request succeeded.
struct Burst {
    double cpu = 0, wall = 0;
    int64_t switches = 0;
    bool ok = true;
};

// Measures run(), which makes the iteration's requests.
template <class Run>
Burst measured(Run run) {
    bench::CpuMeter meter;
    const int64_t switchesBefore = contextSwitches();
    const auto begin = std::chrono::steady_clock::now();
    meter.start();
    Burst burst;
    burst.ok = run();
    burst.cpu = meter.stop();
    burst.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    burst.switches = contextSwitches() - switchesBefore;
    return burst;
}

std::string benchURL() {
    return cloud().baseURL() + "/v1/bench";
}

// The URL session side, kept across iterations.
class SessionSide {
  public:
    SessionSide()
        : counter_(std::make_shared<Counter>()),
          session_(URLSession::create(URLSessionConfiguration::defaultSessionConfiguration(),
                                      counter_, nullptr)) {}
    ~SessionSide() { session_->invalidateAndCancel(); }

    // n requests at once, or one after another (each once the one before has completed).
    Burst run(int n, bool oneAtATime) {
        return measured([&] {
            const int failedBefore = counter_->failed;
            for (int i = 0; i < n; ++i) {
                start();
                if (oneAtATime) counter_->waitFor(1);
            }
            if (!oneAtATime) counter_->waitFor(n);
            return counter_->failed == failedBefore;
        });
    }

  private:
    void start() {
        URLRequest request;
        request.url = url_;
        session_->dataTaskWithRequest(std::move(request))->resume();
    }
    const std::string url_ = benchURL();
    std::shared_ptr<Counter> counter_;
    std::shared_ptr<URLSession> session_;
};

size_t collect(char* data, size_t size, size_t count, void* into) {
    static_cast<std::string*>(into)->append(data, size * count);
    return size * count;
}

// The bare libcurl side: one multi handle kept across iterations.
class BareSide {
  public:
    BareSide() : multi_(curl_multi_init()) {
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
    }
    ~BareSide() { curl_multi_cleanup(multi_); }

    Burst run(int n, bool oneAtATime) {
        return measured([&] {
            std::vector<std::string> headers(static_cast<size_t>(n)),
                bodies(static_cast<size_t>(n));
            int failed = 0;
            if (oneAtATime) {
                for (int i = 0; i < n; ++i) {
                    add(headers[size_t(i)], bodies[size_t(i)]);
                    failed += perform();
                }
            } else {
                for (int i = 0; i < n; ++i) add(headers[size_t(i)], bodies[size_t(i)]);
                failed += perform();
            }
            return failed == 0;
        });
    }

  private:
    void add(std::string& header, std::string& body) {
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &collect);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &header);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, kAcceptEncoding);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 60000L);
        curl_multi_add_handle(multi_, easy);
    }
    // Runs the added requests to their end; the number that failed.
    int perform() {
        int running = 1, failed = 0;
        while (running > 0) {
            curl_multi_perform(multi_, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
                if (message->msg != CURLMSG_DONE) continue;
                failed += message->data.result != CURLE_OK;
                curl_multi_remove_handle(multi_, message->easy_handle);
                curl_easy_cleanup(message->easy_handle);
            }
            if (running > 0) curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
        return failed;
    }
    const std::string url_ = benchURL();
    CURLM* multi_;
};

constexpr int kOneAtATime = 20;  // requests of an iteration one at a time

// Argument 0: requests at once, 1 for one at a time. Batches of the two sides alternate
// (either first in turn) within each iteration.
void Alternating(benchmark::State& state) {
    const int concurrent = int(state.range(0));
    const bool oneAtATime = concurrent == 1;
    const int n = oneAtATime ? kOneAtATime : concurrent;
    SessionSide sessionSide;
    BareSide bareSide;
    Burst session, bare;
    bool sessionFirst = true;
    for (auto _ : state) {
        double spent = 0;
        for (bool sessionTurn : {sessionFirst, !sessionFirst}) {
            const Burst burst =
                sessionTurn ? sessionSide.run(n, oneAtATime) : bareSide.run(n, oneAtATime);
            Burst& side = sessionTurn ? session : bare;
            side.cpu += burst.cpu;
            side.wall += burst.wall;
            side.switches += burst.switches;
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
    state.counters["session_switches"] = double(session.switches) / requests;
    state.counters["bare_switches"] = double(bare.switches) / requests;
    state.SetLabel(oneAtATime ? "one at a time" : "concurrent");
}

int64_t iterationsFor(int n) {
    return n >= 1000 ? 5 : n >= 100 ? 15 : 50;
}

const bool registered = [] {
    for (int n : {1, 10, 100, 1000}) {
        benchmark::RegisterBenchmark("Alternating", &Alternating)
            ->Arg(n)
            ->Iterations(iterationsFor(n))
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
        const std::string name = "Alternating/" + std::to_string(n) +
                                 "/iterations:" + std::to_string(iterationsFor(n)) + "/manual_time";
        const std::string size = n == 1 ? "one at a time" : std::to_string(n) + " at once";
        goals.push_back(Goal::ratio("CPU per request, URL session over bare libcurl, " + size,
                                    Figure::counterOf(name, "session_us"),
                                    Figure::counterOf(name, "bare_us"), n == 1 ? 1.15 : 1.1));
    }
    return telvo::bench::runWithGoals(argc, argv, goals);
}
