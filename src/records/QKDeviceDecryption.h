#pragma once

#include "telvosdk/QKDevice.h"

namespace telvo {

// The decryption a device record applies to a serial number read from a cloud reply. The
// security layer sits above the records and installs it while the program starts (with the
// sensitive-data operations it uses); without it a serial number is left out. Any thread.
void installSensitiveDataDecryptor(QKDevice::SensitiveDataDecryptor decryptor);

}  // namespace telvo
