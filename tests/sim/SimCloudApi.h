#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/FakeCloud.h"

namespace telvo::test {

// The cloud's own check of a request's signature, from the raw bytes, on OpenSSL alone.
// Body-signed: "sign" = hex HMAC-SHA256 under signKey over signSecret, the body and "random".
std::string referenceBodySign(const std::string& signKey, const std::string& signSecret,
                              const std::string& body, const std::string& random);
// Open API: "Signature" = base64 HMAC-SHA256 under the first 16 bytes of SHA-256(token) over
// "POST", the path and the body with every blank and line feed removed.
std::string referenceOpenApiSignature(const std::string& accessToken, const std::string& path,
                                      const std::string& body);

// The appliance operations' side of the fake cloud: every request of a served path has its
// signature checked (the scheme told by its headers) and is answered from that path's
// script, in order; an empty script answers {"code":0,"data":{}}, except on the network
// bridge's paths: the registration answers kApplianceCode, the mesh key kMeshKey and the
// address batch "count" addresses meshAddress(1), meshAddress(2)... A bad signature is
// answered with code 99999. Thread-safe.
class SimCloudApi {
  public:
    enum class Scheme { bodySigned, openApi };
    struct Seen {
        RecordedRequest request;
        Scheme scheme;
        bool signatureValid;
        double time = 0;  // library clock when the request arrived
    };

    SimCloudApi(FakeCloud& cloud, std::string signKey, std::string signSecret);
    // Takes the lock once, so that what the server threads recorded is seen complete here.
    ~SimCloudApi();
    // Serves a path (the operations' paths are served from the start).
    void serve(const std::string& path);
    // As behind a gateway: the operations' paths are also served under this prefix ("/mas"),
    // and a request there is answered as the same path without it (signatures included).
    void mountAt(const std::string& prefix);
    // The token the cloud checks open-API signatures under.
    void setAccessToken(std::string token);
    void script(const std::string& path, std::vector<ScriptedReply> replies);
    // From now on a body-signed request whose "accessToken" is not this one is answered
    // token-invalid, whatever its script says (a script's replies are kept for the others), as
    // the cloud answers a stale token whatever order requests arrive in.
    void acceptOnlyBodyToken(std::string token);
    // The next requests of a path, one entry each in order, are answered late: their reply
    // (whatever it is) is held back that many seconds, or for ever (nullopt). Seconds are
    // virtual once the cloud answers in virtual time (FakeCloud::answerInVirtualTime).
    void delay(const std::string& path, std::vector<std::optional<double>> holds);
    // An appliance that has joined its router: from now on an unscripted presence query
    // ("apExists") with this random code (case-blind) lists the serial; others list nothing.
    void reportOnline(std::string sn, std::string randomCode);
    // A presence query of the body-signed API that lists nothing is answered with this code
    // (the cloud's "offline", 1307) instead of an empty list; 0 (the default) keeps the list.
    void setOfflineCode(int64_t code);
    std::vector<Seen> seen() const;

    static constexpr char kApplianceCode[] = "1234567";
    static constexpr char kMeshKey[] = "00112233445566778899AABBCCDDEEFF";
    // "C001", "C002", ...
    static std::string meshAddress(int index);

    static ScriptedReply json(const std::string& body) { return {.body = body}; }
    static ScriptedReply tokenInvalid() { return json(R"({"code":40001,"msg":"token invalid"})"); }

  private:
    // Shared with the cloud's handlers, which may still run on a server thread after this
    // object is gone (until the cloud stops).
    struct State {
        std::string signKey, signSecret;
        std::mutex mutex;
        std::string accessToken;
        std::optional<std::string> bodyToken;
        std::string prefix;
        std::map<std::string, std::deque<ScriptedReply>> scripts;
        std::map<std::string, std::deque<std::optional<double>>> holds;
        // Random code (lower case) and serial of each appliance reported online.
        std::vector<std::pair<std::string, std::string>> online;
        int64_t offlineCode = 0;
        std::vector<Seen> seen;
        // The reply, held back when the path's next hold says so.
        ScriptedReply answer(const RecordedRequest& request);
        ScriptedReply decide(const RecordedRequest& request);
        ScriptedReply presence(const RecordedRequest& request) const;
        static std::optional<ScriptedReply> bridgeDefault(const RecordedRequest& request);
    };

    FakeCloud& cloud_;
    const std::shared_ptr<State> state_;
};

}  // namespace telvo::test
