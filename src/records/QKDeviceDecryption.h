#pragma once

#include <functional>
#include <optional>
#include <string>

namespace telvo {

// The decryption of a serial number under "sn"/"applianceSn" in QKDevice::initContentWithDic:
// hex text in, text out; nullopt when it does not decrypt, and the serial number is left out.
using SensitiveDataDecryptor = std::function<std::optional<std::string>(const std::string&)>;

// The security layer sits above the records and installs its decryption with the keys of the
// work mode from TelvoSDKInitialize; without it a serial number is left out. Any thread.
void installSensitiveDataDecryptor(SensitiveDataDecryptor decryptor);

// Tests: a decryption that takes the installed one's place; an empty function gives it back.
void replaceSensitiveDataDecryptorForTesting(SensitiveDataDecryptor decryptor);

}  // namespace telvo
