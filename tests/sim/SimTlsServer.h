#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/TestPki.h"
#include "telvosdk/Bytes.h"

namespace telvo {
class DispatchSource;
}

namespace telvo::test {

// A TLS server on 127.0.0.1 for a client under test, on OpenSSL of its own (memory BIOs between
// the connection and the TLS engine). It serves one identity and the chain after it, reads what
// the client sends and keeps the plain bytes, and can misbehave as a server on the network may:
// fall silent after the client's first flight or half-way through its own reply, or ask for a
// renegotiation once the first plain bytes arrived (TLS 1.2 only: TLS 1.3 has none).
//
// It runs on the main queue (accept and read sources), so in deterministic mode it answers as
// the loop turns. One connection at a time. Not thread-safe.
class SimTlsServer {
  public:
    enum class Script {
        answer,                 // a normal server
        silentAfterHello,       // reads the ClientHello, answers nothing
        silentMidReply,         // sends the first half of its first flight, then nothing
        renegotiateAfterFirst,  // once the first plain bytes are read, asks to renegotiate
    };

    // maxVersion: OpenSSL's protocol version bound (0: none).
    SimTlsServer(const TestIdentity& leaf, std::vector<const TestIdentity*> chain, Script script,
                 int maxVersion = 0);
    ~SimTlsServer();
    SimTlsServer(const SimTlsServer&) = delete;
    SimTlsServer& operator=(const SimTlsServer&) = delete;

    uint16_t port() const { return port_; }
    int accepted() const { return accepted_; }
    // Bytes the client sent before the handshake ended, in the clear (its first flight).
    size_t handshakeBytes() const { return handshakeBytes_; }
    bool secured() const { return secured_; }
    // Plain bytes read from the client.
    const std::string& received() const { return received_; }
    bool renegotiationAsked() const { return renegotiationAsked_; }
    // The client's connection closed (an end of stream or an error on it).
    bool closed() const { return closed_; }

  private:
    struct Engine;
    void onAccept();
    void onReadable();
    void process();
    void flush(bool half);
    void drop();

    Script script_;
    std::unique_ptr<Engine> engine_;
    int listener_ = -1;
    int peer_ = -1;
    uint16_t port_ = 0;
    std::shared_ptr<DispatchSource> listenSource_, peerSource_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    int accepted_ = 0;
    size_t handshakeBytes_ = 0;
    bool secured_ = false, silent_ = false, renegotiationAsked_ = false, closed_ = false;
    std::string received_;
};

}  // namespace telvo::test
