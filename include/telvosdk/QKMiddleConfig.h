#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"

namespace telvo {

// The SDK-wide configuration and credential state. The app writes it from its thread while
// flows read it from theirs: every accessor locks and returns a copy of the field. Readers
// take a field at the moment of use and keep no copy. Any field may be empty until set.
class TELVO_EXPORT QKMiddleConfig {
  public:
#define TELVO_CONFIG_FIELD(Type, name, Setter) \
    Type name() const {                        \
        std::lock_guard lock(mutex_);          \
        return name##_;                        \
    }                                          \
    void Setter(Type value) {                  \
        std::lock_guard lock(mutex_);          \
        name##_ = std::move(value);            \
    }
    TELVO_CONFIG_FIELD(std::string, apConfigDefaultKey, setApConfigDefaultKey)
    TELVO_CONFIG_FIELD(std::string, bleCommonDefaultKey, setBleCommonDefaultKey)
    TELVO_CONFIG_FIELD(Bytes, tlsRootCer, setTlsRootCer)
    TELVO_CONFIG_FIELD(Bytes, tlsAppCer, setTlsAppCer)
    TELVO_CONFIG_FIELD(Bytes, tlsTwoCer, setTlsTwoCer)
    TELVO_CONFIG_FIELD(Bytes, tlsPrivateKey, setTlsPrivateKey)
    TELVO_CONFIG_FIELD(std::string, accessToken, setAccessToken)
    TELVO_CONFIG_FIELD(std::string, appKey, setAppKey)
    TELVO_CONFIG_FIELD(std::string, dataKey, setDataKey)
    TELVO_CONFIG_FIELD(std::string, dataIv, setDataIv)
    TELVO_CONFIG_FIELD(std::string, serverHost, setServerHost)
    TELVO_CONFIG_FIELD(std::string, httpSignSecret, setHttpSignSecret)
    TELVO_CONFIG_FIELD(std::string, httpSignKey, setHttpSignKey)
    TELVO_CONFIG_FIELD(std::string, appId, setAppId)
    TELVO_CONFIG_FIELD(std::string, clientId, setClientId)
    TELVO_CONFIG_FIELD(int64_t, SSLPinningMode, setSSLPinningMode)
    TELVO_CONFIG_FIELD(std::vector<Bytes>, cers, setCers)
    // The cloud's TLS: the roots (DER certificates) its chain must lead to in place of the
    // system's trusted roots; empty: the system's. Read when the first cloud request is made.
    TELVO_CONFIG_FIELD(std::vector<Bytes>, cloudRootCers, setCloudRootCers)
    // The permissive policy: the cloud's chain, validity and host name go unchecked (pins, when
    // set, still apply). Off by default; the library logs a warning when it is on.
    TELVO_CONFIG_FIELD(bool, allowInvalidCloudCertificates, setAllowInvalidCloudCertificates)
    TELVO_CONFIG_FIELD(int64_t, tokenInvalidErrorCode, setTokenInvalidErrorCode)
    TELVO_CONFIG_FIELD(int64_t, workmode, setWorkmode)
    TELVO_CONFIG_FIELD(bool, isSupportTLS, setIsSupportTLS)
    TELVO_CONFIG_FIELD(std::vector<std::string>, SSID_FormatArray, setSSID_FormatArray)
#undef TELVO_CONFIG_FIELD

  private:
    mutable std::mutex mutex_;
    std::string apConfigDefaultKey_, bleCommonDefaultKey_;
    Bytes tlsRootCer_, tlsAppCer_, tlsTwoCer_, tlsPrivateKey_;
    std::string accessToken_, appKey_, dataKey_, dataIv_, serverHost_, httpSignSecret_,
        httpSignKey_, appId_, clientId_;
    int64_t SSLPinningMode_ = 0;
    std::vector<Bytes> cers_;
    std::vector<Bytes> cloudRootCers_;
    bool allowInvalidCloudCertificates_ = false;
    int64_t tokenInvalidErrorCode_ = 0;
    int64_t workmode_ = 0;
    bool isSupportTLS_ = false;
    std::vector<std::string> SSID_FormatArray_;
};

}  // namespace telvo
