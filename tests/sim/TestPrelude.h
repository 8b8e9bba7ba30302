#pragma once

// The start of a test file: GoogleTest and the shared test helpers, named in namespace telvo.
#include <gtest/gtest.h>

#include "platform/crypto/Crypto.h"
#include "sim/TestSupport.h"

namespace telvo {

using crypto::AesMode;
using crypto::AesPadding;
using crypto::DigestAlgorithm;
using test::hex;
using test::toHex;

}  // namespace telvo
