#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace telvo::test {

// One part of a multipart/form-data body as the fake cloud parsed it: every byte counted and
// digested, the first kKeptBytes kept.
struct RecordedPart {
    static constexpr size_t kKeptBytes = 64 * 1024;
    std::string name;
    std::string fileName;
    std::string contentType;
    std::string content;
    uint64_t size = 0;
    std::string sha256;  // lowercase hex
};

// One request as the fake cloud received it.
struct RecordedRequest {
    std::string method;
    std::string path;  // without the query
    std::string query;
    // cpp-httplib keeps fields in order of their (case-blind) names, and repeated fields in
    // arrival order.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // raw bytes; empty for a multipart/form-data body, which is in parts
    std::vector<RecordedPart> parts;
    // False when the body ended before its length or (multipart) before its closing boundary;
    // the cloud then answers 400.
    bool bodyComplete = true;
    std::string header(const std::string& name) const;
};

// What the fake cloud answers on a path.
struct ScriptedReply {
    int status = 200;
    std::string body = "{}";
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers = {};
    // Before the reply: real seconds, or library-clock seconds once the cloud answers in
    // virtual time.
    double delaySeconds = 0;
    // Holds the request until the cloud stops; in virtual time, never answers at all.
    bool neverAnswer = false;
    // Sends the headers and half the body, then closes; in virtual time, the request fails as
    // a lost connection.
    bool closeAbruptly = false;
    // Above 0: sends the headers and that many bytes of the body, then nothing more until the
    // cloud stops (over HTTP only).
    size_t stallAfterBytes = 0;
};

// The maker's cloud, faked on cpp-httplib: HTTP or HTTPS on 127.0.0.1 (an ephemeral port),
// with certificates from the test PKI. Records every request; answers per path (exact path)
// with a scripted reply, 404 for unknown paths. A reply with an "ETag" field answers a request
// for "bytes=N-" as a server that keeps ranges does: 206 with the rest of the body while the
// request's "If-Range" (if any) names that tag, the whole body with 200 otherwise. Requests are
// served on the server's own threads; every member is thread-safe.
class FakeCloud {
  public:
    enum class Tls {
        none,           // plain HTTP
        trusted,        // server <- intermediate <- root, for localhost and 127.0.0.1
        withoutRoot,    // server <- intermediate, the root not sent (as servers usually do)
        selfSigned,     // selfSignedServer alone
        otherHost,      // otherHostServer <- intermediate <- root, for other.example.com only
        attacker,       // attackerServer with the intermediate and the root appended
        expired,        // expiredServer <- intermediate <- root
        clientPurpose,  // clientPurposeServer <- intermediate <- root
        rsa1024,        // rsa1024Server <- intermediate <- root
        sha1Signed,     // sha1SignedServer <- intermediate <- root
    };

    // host: the numeric IPv4 address to listen on (a namespace's own address for runs between
    // network namespaces).
    explicit FakeCloud(Tls tls = Tls::none, std::string host = "127.0.0.1");
    ~FakeCloud();
    FakeCloud(const FakeCloud&) = delete;
    FakeCloud& operator=(const FakeCloud&) = delete;

    int port() const { return port_; }
    // "http://HOST:PORT" or "https://HOST:PORT".
    std::string baseURL() const;
    std::string url(const std::string& path) const { return baseURL() + path; }

    // As a real cloud does: a connection stays open for further requests after its answer.
    // Off by default (the cloud closes each connection after one request). Call it before the
    // first request.
    void setKeepAlive(bool keepAlive);

    void setReply(const std::string& path, ScriptedReply reply);
    // A reply made from each request (runs on a server thread).
    void setHandler(const std::string& path,
                    std::function<ScriptedReply(const RecordedRequest&)> handler);

    std::vector<RecordedRequest> requests() const;
    size_t requestCount() const;

    // From now on the cloud answers the library inside the process (a URL protocol for its
    // origin) instead of over HTTP: each request reaches the handlers on the main queue and its
    // reply is given on the library clock, so in deterministic mode a reply comes after its
    // delay in virtual seconds, or never, and the library's own time-outs run against it.
    // Recorded requests then carry the header fields the library sets, without the HTTP
    // client's own. Main thread, before the requests it is meant for.
    void answerInVirtualTime();

  private:
    // Records the request and makes its reply (404 for a path without a handler).
    ScriptedReply take(const RecordedRequest& request);
    void serve(const RecordedRequest& request, ScriptedReply reply, void* response);

    const Tls tls_;
    const std::string host_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::vector<RecordedRequest> requests_;
    std::map<std::string, std::function<ScriptedReply(const RecordedRequest&)>> handlers_;
    bool inVirtualTime_ = false;
    // Expires when the cloud stops (in-process requests already queued find nobody then).
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace telvo::test
