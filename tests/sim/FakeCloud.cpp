#include "sim/FakeCloud.h"

#include <httplib.h>
#include <pthread.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "platform/crypto/OpenSSLPtr.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/http/URLProtocol.h"
#include "platform/http/URLSession.h"
#include "sim/TestPki.h"
#include "sim/TestSupport.h"

namespace telvo::test {

namespace {

std::unique_ptr<httplib::Server> makeServer(FakeCloud::Tls tls) {
    using Tls = FakeCloud::Tls;
    if (tls == Tls::none) return std::make_unique<httplib::Server>();
    const TestPki& pki = TestPki::shared();
    const TestIdentity* leaf = nullptr;
    switch (tls) {
        case Tls::none:
        case Tls::trusted:
        case Tls::withoutRoot:
            leaf = &pki.server();
            break;
        case Tls::selfSigned:
            leaf = &pki.selfSignedServer();
            break;
        case Tls::otherHost:
            leaf = &pki.otherHostServer();
            break;
        case Tls::attacker:
            leaf = &pki.attackerServer();
            break;
        case Tls::expired:
            leaf = &pki.expiredServer();
            break;
        case Tls::clientPurpose:
            leaf = &pki.clientPurposeServer();
            break;
        case Tls::rsa1024:
            leaf = &pki.rsa1024Server();
            break;
        case Tls::sha1Signed:
            leaf = &pki.sha1SignedServer();
            break;
    }
    std::vector<const Bytes*> chain;
    if (tls == Tls::withoutRoot)
        chain = {&pki.intermediate().certificate};
    else if (tls != Tls::selfSigned)
        chain = {&pki.intermediate().certificate, &pki.root().certificate};
    return std::make_unique<httplib::SSLServer>(
        [leaf, chain](SSL_CTX& ctx) { return serveIdentity(ctx, *leaf, chain); });
}

// The server's threads carry the name "fake-cloud", so that the flow benchmarks can leave the
// cloud's share out of a run's CPU time.
void nameThisThread() {
    thread_local bool named = [] {
        pthread_setname_np(pthread_self(), "fake-cloud");
        return true;
    }();
    (void)named;
}

class NamedThreadPool : public httplib::TaskQueue {
  public:
    explicit NamedThreadPool(size_t threads) : pool_(threads) {}
    void enqueue(std::function<void()> fn) override {
        pool_.enqueue([fn = std::move(fn)] {
            nameThisThread();
            fn();
        });
    }
    void shutdown() override { pool_.shutdown(); }

  private:
    httplib::ThreadPool pool_;
};

// SHA-256 over bytes that arrive in pieces.
class Sha256 {
  public:
    Sha256() : context_(EVP_MD_CTX_new()) {
        EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr);
    }
    void update(const char* data, size_t length) { EVP_DigestUpdate(context_.get(), data, length); }
    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context_.get(), digest, &length);
        return toHex(ByteView(digest, length));
    }

  private:
    EvpMdCtxPtr context_;
};

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name)) return value;
    return {};
}

FakeCloud::FakeCloud(Tls tls, std::string host)
    : tls_(tls), host_(std::move(host)), server_(makeServer(tls)) {
    if (!server_->is_valid()) throw std::runtime_error("fake cloud: TLS set-up");
    // One request per connection, and enough threads that many clients at once are served
    // without waiting for idle keep-alive connections.
    server_->set_keep_alive_max_count(1);
    server_->new_task_queue = [] { return new NamedThreadPool(64); };
    auto record = [](const httplib::Request& in) {
        RecordedRequest request;
        request.method = in.method;
        request.path = in.path;
        size_t question = in.target.find('?');
        if (question != std::string::npos) request.query = in.target.substr(question + 1);
        for (const auto& [name, value] : in.headers) {
            // cpp-httplib's own additions, not the client's.
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
                name == "LOCAL_PORT") {
                continue;
            }
            request.headers.emplace_back(name, value);
        }
        return request;
    };
    auto handle = [this, record](const httplib::Request& in, httplib::Response& out) {
        RecordedRequest request = record(in);
        request.body = in.body;
        serve(request, take(request), &out);
    };
    // Bodies are read as they arrive: a multipart/form-data body part by part, each part
    // digested rather than kept whole, so that large uploads cost the cloud little memory.
    auto handleBody = [this, record](const httplib::Request& in, httplib::Response& out,
                                     const httplib::ContentReader& reader) {
        RecordedRequest request = record(in);
        std::vector<Sha256> digests;
        if (in.is_multipart_form_data()) {
            request.bodyComplete = reader(
                [&](const httplib::MultipartFormData& header) {
                    RecordedPart part;
                    part.name = header.name;
                    part.fileName = header.filename;
                    part.contentType = header.content_type;
                    request.parts.push_back(std::move(part));
                    digests.emplace_back();
                    return true;
                },
                [&](const char* data, size_t length) {
                    RecordedPart& part = request.parts.back();
                    part.size += length;
                    size_t kept = std::min(length, RecordedPart::kKeptBytes - part.content.size());
                    part.content.append(data, kept);
                    digests.back().update(data, length);
                    return true;
                });
            for (size_t i = 0; i < digests.size(); ++i) request.parts[i].sha256 = digests[i].hex();
        } else {
            request.bodyComplete = reader([&](const char* data, size_t length) {
                request.body.append(data, length);
                return true;
            });
        }
        ScriptedReply reply = take(request);
        if (!request.bodyComplete) reply = {.status = 400, .body = R"({"msg":"bad body"})"};
        serve(request, std::move(reply), &out);
    };
    server_->Get(".*", handle);
    server_->Post(".*", handleBody);
    server_->Put(".*", handleBody);
    server_->Patch(".*", handleBody);
    server_->Delete(".*", handle);
    port_ = server_->bind_to_any_port(host_);
    if (port_ <= 0) throw std::runtime_error("fake cloud: bind");
    thread_ = std::thread([this] {
        nameThisThread();
        server_->listen_after_bind();
    });
    // stop() is lost on a server that has not started its accept loop.
    while (!server_->is_running()) std::this_thread::yield();
}

FakeCloud::~FakeCloud() {
    if (inVirtualTime_) URLProtocol::registerOrigin(baseURL(), {});
    alive_.reset();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string FakeCloud::baseURL() const {
    return std::string(tls_ == Tls::none ? "http" : "https") + "://" + host_ + ":" +
           std::to_string(port_);
}

void FakeCloud::setKeepAlive(bool keepAlive) {
    server_->set_keep_alive_max_count(keepAlive ? 100 : 1);
}

void FakeCloud::setReply(const std::string& path, ScriptedReply reply) {
    setHandler(path, [reply](const RecordedRequest&) { return reply; });
}

void FakeCloud::setHandler(const std::string& path,
                           std::function<ScriptedReply(const RecordedRequest&)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[path] = std::move(handler);
}

ScriptedReply FakeCloud::take(const RecordedRequest& request) {
    std::function<ScriptedReply(const RecordedRequest&)> handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        auto it = handlers_.find(request.path);
        if (it != handlers_.end()) handler = it->second;
    }
    if (handler) return handler(request);
    return {.status = 404, .body = "{\"msg\":\"not found\"}"};
}

void FakeCloud::answerInVirtualTime() {
    inVirtualTime_ = true;
    std::weak_ptr<int> alive = alive_;
    URLProtocol::registerOrigin(
        baseURL(), [this, alive](const URLRequest& in, std::shared_ptr<URLProtocolClient> client) {
            // A request that went out just before the cloud stopped finds nobody.
            if (alive.expired()) return;
            RecordedRequest request;
            request.method = in.httpMethod;
            request.path = pathOfURL(in.url).value_or("/");
            if (size_t question = in.url.find('?'); question != std::string::npos)
                request.query = in.url.substr(question + 1);
            request.headers = in.headers.fields();
            if (in.httpBody) request.body.assign(in.httpBody->begin(), in.httpBody->end());
            ScriptedReply reply = take(request);
            if (reply.neverAnswer) return;
            auto answer = [client, reply] {
                if (reply.closeAbruptly) return client->fail(URLError::networkConnectionLost);
                HTTPHeaderFields headers;
                for (const auto& [name, value] : reply.headers) headers.add(name, value);
                headers.set("Content-Type", reply.contentType);
                client->respond(reply.status, std::move(headers),
                                Bytes(reply.body.begin(), reply.body.end()));
            };
            if (reply.delaySeconds > 0)
                DispatchQueue::main()->after(reply.delaySeconds, answer);
            else
                answer();
        });
}

std::vector<RecordedRequest> FakeCloud::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t FakeCloud::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

void FakeCloud::serve(const RecordedRequest& request, ScriptedReply reply, void* response) {
    auto& out = *static_cast<httplib::Response*>(response);
    if (reply.neverAnswer || reply.delaySeconds > 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto stop = [this] { return stopping_; };
        if (reply.neverAnswer) {
            stopped_.wait(lock, stop);
        } else {
            stopped_.wait_for(lock, std::chrono::duration<double>(reply.delaySeconds), stop);
        }
    }
    out.status = reply.status;
    for (const auto& [name, value] : reply.headers) out.set_header(name, value);
    if (reply.closeAbruptly) {
        auto body = std::make_shared<std::string>(std::move(reply.body));
        out.set_content_provider(body->size(), reply.contentType,
                                 [body](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset == 0) sink.write(body->data(), body->size() / 2);
                                     return false;
                                 });
        return;
    }
    auto body = std::make_shared<std::string>(std::move(reply.body));
    size_t from = 0;
    const std::string range = request.header("Range");
    if (!range.empty()) {
        // Ranges only for a body with a tag; ranges of other forms are not kept.
        std::string tag;
        for (const auto& [name, value] : reply.headers)
            if (strcasecmp(name.c_str(), "ETag") == 0) tag = value;
        unsigned long long first = 0;
        char dash = 0;
        const std::string ifRange = request.header("If-Range");
        if (!tag.empty() && reply.status == 200 && (ifRange.empty() || ifRange == tag) &&
            std::sscanf(range.c_str(), "bytes=%llu%c", &first, &dash) == 2 && dash == '-' &&
            range.find(',') == std::string::npos && first < body->size()) {
            from = size_t(first);
            out.status = 206;
            out.set_header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                std::to_string(body->size() - 1) + "/" +
                                                std::to_string(body->size()));
        }
    }
    if (range.empty() && reply.stallAfterBytes == 0)
        return out.set_content(*body, reply.contentType);
    // Written by a provider of its own: the server's own range handling stays out of it.
    const size_t stall = reply.stallAfterBytes;
    out.set_chunked_content_provider(
        reply.contentType, [this, body, from, stall](size_t offset, httplib::DataSink& sink) {
            const size_t start = from + offset;
            const size_t end = stall ? std::min(body->size(), from + stall) : body->size();
            if (start < end) {
                sink.write(body->data() + start, end - start);
                return true;
            }
            if (end < body->size()) {
                std::unique_lock<std::mutex> lock(mutex_);
                stopped_.wait(lock, [this] { return stopping_; });
                return false;
            }
            sink.done();
            return true;
        });
}

}  // namespace telvo::test
