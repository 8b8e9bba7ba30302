// A certificate as an appliance could send it in its key-agreement reply.
#include <cstddef>
#include <cstdint>

#include "platform/foundation/Diagnostics.h"
#include "security/QKSigECCEncryptHelper.h"

using telvo::Bytes;
using telvo::QKSigECCEncryptHelper;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        telvo::setDiagnosticSink([](std::string_view) {});
        return true;
    }();
    (void)quiet;
    Bytes certificate(data, data + size);
    auto publicKey = QKSigECCEncryptHelper::getPublicKeyRefrenceFromData(certificate);
    if (publicKey && publicKey->empty()) __builtin_trap();
    // Used as its own anchor and intermediate: whatever the verdict, no crash.
    QKSigECCEncryptHelper::validCertificate(certificate, certificate, certificate);
    auto end = QKSigECCEncryptHelper::getExpiredDateStrWithCerData(certificate);
    if (end && end->size() < 19) __builtin_trap();
    return 0;
}
