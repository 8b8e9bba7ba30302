// TLS on OpenSSL: the TLS start that both request queues wait for, the handshake, trust, and
// the encrypted read and write paths. The socket itself moves the ciphertext between the
// descriptor and two memory BIOs, so nothing blocks and every send carries MSG_NOSIGNAL.

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <cerrno>
#include <deque>
#include <mutex>

#include "platform/base/Singleton.h"
#include "platform/crypto/OpenSSLLibrary.h"
#include "platform/crypto/OpenSSLPtr.h"
#include "platform/http/URLSession.h"
#include "sockets/QKGCDAsyncSocket.h"
#include "sockets/QKGCDAsyncSocketInternal.h"
#include "sockets/TlsSettings.h"

namespace telvo {

using namespace async_socket;

namespace {

using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSSLDeleter<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSSLDeleter<SSL_free>>;

// Plaintext asked of OpenSSL per call, and ciphertext taken from the descriptor per pass.
constexpr int kTlsChunk = 16384;
constexpr size_t kMaxReceivePerPass = 256 * 1024;
constexpr size_t kMaxCachedSessions = 32;

// Client sessions kept under the peer IDs their settings gave, newest last.
class SessionCache {
  public:
    static SessionCache& shared() {
        return processWide([] { return new SessionCache(); });
    }

    // Takes over the caller's reference.
    void put(const Bytes& id, SSL_SESSION* session) {
        std::lock_guard<std::mutex> lock(mutex_);
        drop(id);
        entries_.emplace_back(id, session);
        if (entries_.size() > kMaxCachedSessions) {
            SSL_SESSION_free(entries_.front().second);
            entries_.pop_front();
        }
    }

    // A reference of the caller's own, or null.
    SSL_SESSION* get(const Bytes& id) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [key, session] : entries_) {
            if (key == id) return SSL_SESSION_up_ref(session) == 1 ? session : nullptr;
        }
        return nullptr;
    }

  private:
    void drop(const Bytes& id) {
        for (auto i = entries_.begin(); i != entries_.end(); ++i) {
            if (i->first == id) {
                SSL_SESSION_free(i->second);
                entries_.erase(i);
                return;
            }
        }
    }

    std::mutex mutex_;
    std::deque<std::pair<Bytes, SSL_SESSION*>> entries_;
};

bool isNumericHost(const std::string& host) {
    unsigned char scratch[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), scratch) == 1 ||
           inet_pton(AF_INET6, host.c_str(), scratch) == 1;
}

}  // namespace

struct QKGCDAsyncSocket::Tls {
    enum class Trust { unasked, asked, accepted, refused };

    QKGCDAsyncSocket* socket = nullptr;
    SslCtxPtr context;
    SslPtr ssl;
    BIO* input = nullptr;   // ciphertext from the peer (owned by ssl)
    BIO* output = nullptr;  // ciphertext for the peer (owned by ssl)
    Bytes unsent;           // ciphertext taken from output that the kernel has not taken yet
    size_t sent = 0;
    bool server = false;
    bool manualTrust = false;
    std::optional<std::string> peerName;
    Bytes peerID;
    Trust trust = Trust::unasked;
    OSStatus verifyFailure = 0;
    bool closeNotify = false;
    bool established = false;         // the first handshake has ended
    bool renegotiationAsked = false;  // the server asked for another handshake after it

    // The steps of QKGCDAsyncSocket::makeTls after the settings are read: OpenSSL's context,
    // connection and memory BIOs; the settings' versions, suites and identity; the side of the
    // handshake. errSecSuccess or the status of the failure.
    OSStatus open();
    OSStatus configure(const TlsSettings& settings);
    OSStatus useCipherSuites(const std::vector<uint64_t>& suites);
    void begin();

    // The status of a failed call, from the trust decision or OpenSSL's error queue, which
    // this empties.
    OSStatus failureStatus() const {
        OSStatus status = errSSLProtocol;
        unsigned long e = ERR_peek_error();
        if (verifyFailure != 0) {
            status = verifyFailure;
        } else if (ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) >= SSL_AD_REASON_OFFSET) {
            // The peer's alert.
            switch (ERR_GET_REASON(e) - SSL_AD_REASON_OFFSET) {
                case SSL_AD_HANDSHAKE_FAILURE:
                case SSL_AD_PROTOCOL_VERSION:
                case SSL_AD_INSUFFICIENT_SECURITY:
                    status = errSSLNegotiation;
                    break;
                case SSL_AD_BAD_CERTIFICATE:
                case SSL_AD_UNSUPPORTED_CERTIFICATE:
                case SSL_AD_CERTIFICATE_REVOKED:
                case SSL_AD_CERTIFICATE_EXPIRED:
                case SSL_AD_CERTIFICATE_UNKNOWN:
                case SSL_AD_UNKNOWN_CA:
                    status = errSSLPeerBadCert;
                    break;
                default:
                    status = errSSLFatalAlert;
            }
        } else if (ERR_GET_LIB(e) == ERR_LIB_SSL) {
            switch (ERR_GET_REASON(e)) {
                case SSL_R_UNSUPPORTED_PROTOCOL:
                case SSL_R_NO_PROTOCOLS_AVAILABLE:
                case SSL_R_NO_SHARED_CIPHER:
                case SSL_R_NO_CIPHERS_AVAILABLE:
                case SSL_R_VERSION_TOO_LOW:
                case SSL_R_VERSION_TOO_HIGH:
                    status = errSSLNegotiation;
                    break;
                case SSL_R_CERTIFICATE_VERIFY_FAILED:
                    status = errSSLXCertChainInvalid;
                    break;
                default:
                    break;
            }
        }
        ERR_clear_error();
        return status;
    }
};

// ---- starting ----

void QKGCDAsyncSocket::startTLS(Dictionary settings) {
    auto shared = std::make_shared<const Dictionary>(std::move(settings));
    enqueue([shared](QKGCDAsyncSocket& s) {
        if (!(s.flags_ & kSocketStarted) || (s.flags_ & (kForbidReadsWrites | kQueuedTLS))) {
            return;
        }
        auto read = std::make_shared<ReadPacket>(nullptr, 0, 0, -1, 0, Bytes{}, 0);
        read->tlsSettings = shared;
        auto write = std::make_shared<WritePacket>();
        write->tlsSettings = shared;
        s.readQueue_.push_back(read);
        s.writeQueue_.push_back(write);
        s.flags_ |= kQueuedTLS;
        s.maybeDequeueRead();
        s.maybeDequeueWrite();
    });
}

// Runs once the TLS start heads both queues: every earlier read and write has completed.
void QKGCDAsyncSocket::maybeStartTLS() {
    if (!(flags_ & kStartingReadTLS) || !(flags_ & kStartingWriteTLS)) return;
    ErrorPtr error;
    sslContext_ = makeTls(*currentRead_->tlsSettings, &error);
    if (!sslContext_) {
        closeWithError(error);
        return;
    }
    // The TLS start is the current read: its end (or the close) cancels the timer.
    readTimer_ = DispatchTimer::create(socketQueue_.dispatchQueue(), [weak = weak_from_this()] {
        auto self = weak.lock();
        if (self && (self->flags_ & kStartingReadTLS)) self->closeWithError(connectTimeoutError());
    });
    readTimer_->start(tlsHandshakeTimeout());
    continueHandshake();
}

double QKGCDAsyncSocket::tlsHandshakeTimeout() const {
    if (connectTimeout_ > 0) return connectTimeout_;
    if (!readQueue_.empty() && readQueue_.front()->timeout > 0) return readQueue_.front()->timeout;
    return kDefaultTLSHandshakeTimeout;
}

std::shared_ptr<QKGCDAsyncSocket::Tls> QKGCDAsyncSocket::makeTls(const Dictionary& settings,
                                                                 ErrorPtr* error) {
    std::string invalidKey;
    std::optional<TlsSettings> parsed = TlsSettings::parse(settings, &invalidKey);
    if (!parsed) {
        *error = badParamError("Invalid value for " + invalidKey + ".");
        return nullptr;
    }
    auto tls = std::make_shared<Tls>();
    tls->socket = this;
    tls->server = parsed->server;
    tls->manualTrust = parsed->manualTrust;
    tls->peerID = parsed->peerID;
    tls->peerName = parsed->peerName;
    if (!tls->peerName && !connectHost_.empty()) {
        tls->peerName = connectHost_;
    } else if (!tls->peerName) {
        if (auto peer = socketAddressParts(addressOf(connectedFD(), true)); peer.family)
            tls->peerName = peer.host;
    }
    OSStatus status = tls->open();
    if (status == errSecSuccess) status = tls->configure(*parsed);
    if (status != errSecSuccess) {
        ERR_clear_error();
        *error = sslError(status);
        return nullptr;
    }
    tls->begin();
    ERR_clear_error();
    return tls;
}

OSStatus QKGCDAsyncSocket::Tls::open() {
    context.reset(SSL_CTX_new(TLS_method()));
    if (!context) return errSSLInternal;
    SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
    if (!server) {
        // The check below alone decides on the server's chain.
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_cert_verify_callback(
            context.get(),
            [](X509_STORE_CTX* store, void* arg) {
                auto* tls = static_cast<Tls*>(arg);
                return tls->socket->verifyPeer(store);
            },
            this);
        if (!peerID.empty()) {
            SSL_CTX_set_session_cache_mode(
                context.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
            SSL_CTX_sess_set_new_cb(context.get(), [](SSL* ssl, SSL_SESSION* session) {
                auto* tls = static_cast<Tls*>(SSL_get_app_data(ssl));
                SessionCache::shared().put(tls->peerID, session);
                return 1;
            });
        }
    }
    ssl.reset(SSL_new(context.get()));
    if (!ssl) return errSSLInternal;
    SSL_set_app_data(ssl.get(), this);
    if (!server) {
        // OpenSSL declines a server's renegotiation with a warning and goes on; the socket
        // ends the session instead.
        SSL_set_msg_callback(ssl.get(), [](int written, int, int type, const void* message,
                                           size_t length, SSL* s, void*) {
            auto* tls = static_cast<Tls*>(SSL_get_app_data(s));
            if (!written && type == SSL3_RT_HANDSHAKE && length > 0 && tls->established &&
                static_cast<const uint8_t*>(message)[0] == SSL3_MT_HELLO_REQUEST) {
                tls->renegotiationAsked = true;
            }
        });
    }
    input = BIO_new(BIO_s_mem());
    output = BIO_new(BIO_s_mem());
    if (!input || !output) {
        BIO_free(input);
        BIO_free(output);
        input = output = nullptr;
        return errSSLInternal;
    }
    BIO_set_mem_eof_return(input, -1);
    SSL_set_bio(ssl.get(), input, output);
    return errSecSuccess;
}

OSStatus QKGCDAsyncSocket::Tls::configure(const TlsSettings& settings) {
    SSL* s = ssl.get();
    if (settings.minVersion && !SSL_set_min_proto_version(s, *settings.minVersion))
        return errSSLBadConfiguration;
    if (settings.maxVersion && !SSL_set_max_proto_version(s, *settings.maxVersion))
        return errSSLBadConfiguration;
    if (settings.cipherSuites) {
        if (OSStatus status = useCipherSuites(*settings.cipherSuites); status != errSecSuccess)
            return status;
    }
    if (settings.identity) {
        if (SSL_use_certificate(s, settings.identity->certificate->handle()) != 1 ||
            SSL_use_PrivateKey(s, settings.identity->privateKey->handle()) != 1 ||
            SSL_check_private_key(s) != 1) {
            return errSSLBadConfiguration;
        }
        for (const SecCertificateRef& certificate : settings.chain) {
            if (SSL_add1_chain_cert(s, certificate->handle()) != 1) return errSSLBadConfiguration;
        }
    }
    return errSecSuccess;
}

// Only the suites OpenSSL offers of those asked for; none at all is an error.
OSStatus QKGCDAsyncSocket::Tls::useCipherSuites(const std::vector<uint64_t>& suites) {
    SSL* s = ssl.get();
    std::string tls12, tls13;
    for (uint64_t number : suites) {
        const unsigned char id[2] = {uint8_t(number >> 8), uint8_t(number)};
        const SSL_CIPHER* cipher = number <= 0xFFFF ? SSL_CIPHER_find(s, id) : nullptr;
        if (!cipher) continue;
        std::string& list =
            std::string_view(SSL_CIPHER_get_version(cipher)) == "TLSv1.3" ? tls13 : tls12;
        list += (list.empty() ? "" : ":") + std::string(SSL_CIPHER_get_name(cipher));
    }
    if (tls12.empty() && tls13.empty()) return errSSLBadCipherSuite;
    // No suite below TLS 1.3 leaves TLS 1.3 alone (OpenSSL refuses an empty list).
    bool set = SSL_set_ciphersuites(s, tls13.c_str()) == 1 &&
               (tls12.empty() ? SSL_set_min_proto_version(s, TLS1_3_VERSION) == 1
                              : SSL_set_cipher_list(s, tls12.c_str()) == 1);
    return set ? errSecSuccess : errSSLBadCipherSuite;
}

// The side of the handshake; a client names the server and offers a kept session.
void QKGCDAsyncSocket::Tls::begin() {
    SSL* s = ssl.get();
    if (server) {
        SSL_set_accept_state(s);
        return;
    }
    SSL_set_connect_state(s);
    if (peerName && !peerName->empty() && !isNumericHost(*peerName)) {
        SSL_set_tlsext_host_name(s, peerName->c_str());
    }
    if (!peerID.empty()) {
        if (SSL_SESSION* session = SessionCache::shared().get(peerID)) {
            SSL_set_session(s, session);
            SSL_SESSION_free(session);
        }
    }
}

// ---- the handshake ----

void QKGCDAsyncSocket::continueHandshake() {
    Tls& tls = *sslContext_;
    if (tls.trust == Tls::Trust::asked) {
        // The delegate's answer resumes the handshake.
        setSourceSuspended(Side::Read, true);
        return;
    }
    ErrorPtr error;
    Fill fill = sslFill(&error);
    if (fill == Fill::failed) {
        closeWithError(error);
        return;
    }
    ERR_clear_error();
    int result = SSL_do_handshake(tls.ssl.get());
    int code = result == 1 ? SSL_ERROR_NONE : SSL_get_error(tls.ssl.get(), result);
    bool pending = code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_RETRY_VERIFY;
    OSStatus status = code == SSL_ERROR_NONE || pending ? 0 : tls.failureStatus();
    // What the handshake wrote goes out, a failure's alert included.
    if (!flushSslOutput(&error) && status == 0) {
        closeWithError(error);
        return;
    }
    if (status == 0 && code == SSL_ERROR_WANT_READ && fill == Fill::eof) {
        status = errSSLClosedAbort;
    }
    if (status != 0) {
        lastSSLHandshakeError_ = status;
        closeWithError(sslError(status));
    } else if (code == SSL_ERROR_NONE) {
        handshakeDone();
    } else {
        setSourceSuspended(Side::Read, code == SSL_ERROR_WANT_RETRY_VERIFY);
    }
}

void QKGCDAsyncSocket::handshakeDone() {
    flags_ &= ~(kStartingReadTLS | kStartingWriteTLS);
    flags_ |= kSocketSecure;
    sslContext_->established = true;
    endCurrentRead();
    endCurrentWrite();
    notify([](QKGCDAsyncSocketDelegate& d, const QKGCDAsyncSocketPtr& s) { d.socketDidSecure(s); });
    maybeDequeueRead();
    maybeDequeueWrite();
}

// OpenSSL's check of the server's chain, inside the handshake on the socket queue: the
// platform's trust evaluation, or the delegate's answer. Asking the delegate suspends the
// handshake; the answer runs the check again.
int QKGCDAsyncSocket::verifyPeer(X509_STORE_CTX* store) {
    Tls& tls = *sslContext_;
    auto refuse = [&](OSStatus status) {
        tls.verifyFailure = status;
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    };
    if (tls.trust == Tls::Trust::accepted) return 1;
    if (tls.trust == Tls::Trust::refused) return refuse(errSSLXCertChainInvalid);
    std::shared_ptr<SecTrust> trust =
        SecTrust::create(peerCertificateChain(store), SecPolicy::sslServer);
    if (!trust) return refuse(errSSLXCertChainInvalid);
    trust->setPolicy(SecPolicy::sslServer, tls.peerName);
    URLSession::applySystemAnchorCertificates(*trust);
    if (!tls.manualTrust) {
        SecTrustResultType result;
        if (trust->evaluate(&result) == errSecSuccess &&
            (result == SecTrustResultType::proceed || result == SecTrustResultType::unspecified)) {
            return 1;
        }
        int failure = trust->lastVerifyError();
        bool wrongName =
            failure == X509_V_ERR_HOSTNAME_MISMATCH || failure == X509_V_ERR_IP_ADDRESS_MISMATCH;
        return refuse(wrongName ? errSSLHostNameMismatch : errSSLXCertChainInvalid);
    }
    if (delegate_.expired() || !delegateQueue_) return refuse(errSSLXCertChainInvalid);
    tls.trust = Tls::Trust::asked;
    std::weak_ptr<Tls> weakTls = sslContext_;
    std::weak_ptr<QKGCDAsyncSocket> weakSelf = weak_from_this();
    auto answer = [weakTls, weakSelf](bool trusted) {
        if (auto self = weakSelf.lock()) {
            self->enqueue([weakTls, trusted](QKGCDAsyncSocket& s) {
                auto tls = weakTls.lock();
                if (!tls || s.sslContext_ != tls || tls->trust != Tls::Trust::asked) return;
                tls->trust = trusted ? Tls::Trust::accepted : Tls::Trust::refused;
                s.continueHandshake();
            });
        }
    };
    notify([trust, answer](QKGCDAsyncSocketDelegate& d, const QKGCDAsyncSocketPtr& s) {
        d.socketDidReceiveTrustCompletionHandler(s, trust, answer);
    });
    return SSL_set_retry_verify(tls.ssl.get());
}

// ---- moving ciphertext ----

// Moves what the kernel reported as readable into the TLS input.
QKGCDAsyncSocket::Fill QKGCDAsyncSocket::sslFill(ErrorPtr* error) {
    if (socketFDBytesAvailable_ == 0) return Fill::none;
    Bytes scratch(std::min<uint64_t>(socketFDBytesAvailable_, kMaxReceivePerPass));
    ssize_t result = ::recv(connectedFD(), scratch.data(), scratch.size(), 0);
    if (result < 0) {
        socketFDBytesAvailable_ = 0;
        if (errno == EWOULDBLOCK || errno == EINTR) return Fill::none;
        *error = errorWithErrno(errno, "Error in read() function");
        return Fill::failed;
    }
    if (result == 0) {
        socketFDBytesAvailable_ = 0;
        return Fill::eof;
    }
    auto got = uint64_t(result);
    socketFDBytesAvailable_ = got < scratch.size() ? 0 : socketFDBytesAvailable_ - got;
    BIO_write(sslContext_->input, scratch.data(), int(result));
    return Fill::none;
}

// Sends the ciphertext waiting; on a full kernel the rest waits for the write source.
bool QKGCDAsyncSocket::flushSslOutput(ErrorPtr* error) {
    Tls& tls = *sslContext_;
    if (size_t pending = BIO_ctrl_pending(tls.output); pending > 0) {
        size_t old = tls.unsent.size();
        tls.unsent.resize(old + pending);
        int got = BIO_read(tls.output, tls.unsent.data() + old, int(pending));
        tls.unsent.resize(old + size_t(std::max(got, 0)));
    }
    while (tls.sent < tls.unsent.size()) {
        ssize_t result = ::send(connectedFD(), tls.unsent.data() + tls.sent,
                                tls.unsent.size() - tls.sent, MSG_NOSIGNAL);
        if (result >= 0) {
            tls.sent += size_t(result);
        } else if (errno == EWOULDBLOCK || errno == EINTR) {
            flags_ &= ~kSocketCanAcceptBytes;
            setSourceSuspended(Side::Write, false);
            return true;
        } else {
            *error = errorWithErrno(errno, "Error in write() function");
            return false;
        }
    }
    tls.unsent.clear();
    tls.sent = 0;
    return true;
}

bool QKGCDAsyncSocket::sslHasBufferedInput() const {
    if (!(flags_ & kSocketSecure) || !sslContext_) return false;
    return BIO_ctrl_pending(sslContext_->input) > 0 || SSL_has_pending(sslContext_->ssl.get());
}

// ---- reading and writing ----

// Decrypts everything that has arrived into the pre-buffer (bounded by what one pass takes
// from the kernel).
void QKGCDAsyncSocket::sslReadIntoPreBuffer(bool* eof, bool* waiting, ErrorPtr* error) {
    Tls& tls = *sslContext_;
    Fill fill = sslFill(error);
    if (fill == Fill::failed) return;
    *eof = fill == Fill::eof;
    // Whatever stays in the kernel brings the read source back.
    *waiting = true;
    for (;;) {
        preBuffer_->ensureCapacityForWrite(kTlsChunk);
        ERR_clear_error();
        int result = SSL_read(tls.ssl.get(), preBuffer_->writeBuffer(), kTlsChunk);
        if (result > 0) {
            preBuffer_->didWrite(size_t(result));
            continue;
        }
        int code = SSL_get_error(tls.ssl.get(), result);
        if (code == SSL_ERROR_WANT_READ) break;
        if (code == SSL_ERROR_ZERO_RETURN) {
            tls.closeNotify = true;
            *eof = true;
            break;
        }
        sslErrCode_ = tls.failureStatus();
        *error = sslError(sslErrCode_);
        return;
    }
    if (flushSslOutput(error) && tls.renegotiationAsked) {
        sslErrCode_ = errSSLProtocol;
        *error = sslError(sslErrCode_);
    }
}

// Encrypts and sends as much of the request as the kernel takes; answers the request's bytes
// that went out. Bytes OpenSSL has encrypted count once their ciphertext is sent.
uint64_t QKGCDAsyncSocket::sslWrite(const WritePacket& packet, bool* waiting, ErrorPtr* error) {
    Tls& tls = *sslContext_;
    uint64_t written = 0;
    for (;;) {
        if (!flushSslOutput(error)) return written;
        if (!tls.unsent.empty()) {
            *waiting = true;
            return written;
        }
        written += std::exchange(sslWriteCachedLength_, 0);
        uint64_t done = packet.bytesDone + written;
        if (done == packet.buffer.size()) return written;
        int chunk = int(std::min<uint64_t>(packet.buffer.size() - done, 4 * kTlsChunk));
        ERR_clear_error();
        int result = SSL_write(tls.ssl.get(), packet.buffer.data() + done, chunk);
        if (result <= 0) {
            sslErrCode_ = tls.failureStatus();
            *error = sslError(sslErrCode_);
            return written;
        }
        sslWriteCachedLength_ = uint64_t(result);
    }
}

ErrorPtr QKGCDAsyncSocket::endOfStreamError() const {
    if (flags_ & (kStartingReadTLS | kStartingWriteTLS)) return sslError(errSSLClosedAbort);
    if (flags_ & kSocketSecure) {
        return sslError(sslContext_ && sslContext_->closeNotify ? errSSLClosedGraceful
                                                                : errSSLClosedAbort);
    }
    return connectionClosedError();
}

// Part of every close: a secured connection says goodbye with close_notify (as far as the
// kernel takes it at once), then the connection is freed.
void QKGCDAsyncSocket::sslClose() {
    if ((flags_ & kSocketSecure) && connectedFD() >= 0) {
        ERR_clear_error();
        SSL_shutdown(sslContext_->ssl.get());
        ErrorPtr ignored;
        flushSslOutput(&ignored);
        ERR_clear_error();
    }
    sslContext_.reset();
}

SSL* QKGCDAsyncSocket::sslContext() {
    if (!socketQueue_.isCurrent() || !sslContext_) return nullptr;
    return sslContext_->ssl.get();
}

}  // namespace telvo
