#include "sim/SimTlsServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/dispatch/DispatchSource.h"
#include "sim/MainQueueListener.h"
#include "sim/TestPki.h"

namespace telvo::test {

struct SimTlsServer::Engine {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    BIO* input = nullptr;   // owned by ssl
    BIO* output = nullptr;  // owned by ssl
    ~Engine() {
        SSL_free(ssl);
        SSL_CTX_free(context);
    }
};

SimTlsServer::SimTlsServer(const TestIdentity& leaf, std::vector<const TestIdentity*> chain,
                           Script script, int maxVersion)
    : script_(script), engine_(std::make_unique<Engine>()) {
    Engine& e = *engine_;
    e.context = SSL_CTX_new(TLS_server_method());
    std::vector<const Bytes*> issuers;
    for (const TestIdentity* issuer : chain) issuers.push_back(&issuer->certificate);
    bool ready = e.context && serveIdentity(*e.context, leaf, issuers);
    if (maxVersion) ready = ready && SSL_CTX_set_max_proto_version(e.context, maxVersion) == 1;
    ERR_clear_error();
    if (!ready) throw std::runtime_error("simulated TLS server: bad identity");

    listenSource_ = listenOnMainQueue(INADDR_LOOPBACK, &port_, &listener_, "simulated TLS server",
                                      alive_, [this] { onAccept(); });
}

SimTlsServer::~SimTlsServer() {
    *alive_ = false;
    drop();
    if (listenSource_) listenSource_->cancel();
}

void SimTlsServer::onAccept() {
    int fd = acceptConnection(listener_);
    if (fd < 0) return;
    drop();
    peer_ = fd;
    ++accepted_;
    Engine& e = *engine_;
    SSL_free(e.ssl);
    e.ssl = SSL_new(e.context);
    e.input = BIO_new(BIO_s_mem());
    e.output = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(e.input, -1);
    SSL_set_bio(e.ssl, e.input, e.output);
    SSL_set_accept_state(e.ssl);
    secured_ = silent_ = closed_ = false;
    peerSource_ = readOnMainQueue(fd, alive_, [this] { onReadable(); });
}

void SimTlsServer::drop() {
    if (peer_ >= 0) ::shutdown(peer_, SHUT_RDWR);
    if (peerSource_) peerSource_->cancel();
    peerSource_ = nullptr;
    peer_ = -1;
}

void SimTlsServer::onReadable() {
    char buffer[16384];
    ssize_t n = ::recv(peer_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        closed_ = true;
        drop();
        return;
    }
    if (!secured_) handshakeBytes_ += size_t(n);
    if (silent_ || script_ == Script::silentAfterHello) return;
    BIO_write(engine_->input, buffer, int(n));
    process();
}

// Runs the engine over what arrived and sends what it wrote.
void SimTlsServer::process() {
    SSL* ssl = engine_->ssl;
    if (!secured_) {
        int result = SSL_do_handshake(ssl);
        if (script_ == Script::silentMidReply) {
            flush(true);
            silent_ = true;
            return;
        }
        flush(false);
        if (result != 1) {
            if (SSL_get_error(ssl, result) != SSL_ERROR_WANT_READ) drop();
            ERR_clear_error();
            return;
        }
        secured_ = true;
    }
    char plain[4096];
    for (;;) {
        int got = SSL_read(ssl, plain, sizeof plain);
        if (got <= 0) break;
        received_.append(plain, size_t(got));
    }
    ERR_clear_error();
    if (script_ == Script::renegotiateAfterFirst && !received_.empty() && !renegotiationAsked_) {
        renegotiationAsked_ = SSL_renegotiate(ssl) == 1;
        SSL_do_handshake(ssl);
        ERR_clear_error();
    }
    flush(false);
}

void SimTlsServer::flush(bool half) {
    std::string out(BIO_ctrl_pending(engine_->output), '\0');
    int got = BIO_read(engine_->output, out.data(), int(out.size()));
    out.resize(size_t(std::max(got, 0)));
    if (half) out.resize(out.size() / 2);
    if (peer_ >= 0 && !out.empty()) ::send(peer_, out.data(), out.size(), MSG_NOSIGNAL);
}

}  // namespace telvo::test
