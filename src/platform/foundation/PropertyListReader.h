#pragma once

#include <string_view>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/ValueBuilder.h"
#include "telvosdk/Value.h"

namespace telvo::plistread {

inline constexpr size_t kMaxNesting = kPropertyListMaxNesting;

using Refusal = ValueBuilder::Refusal;

// Readers of each form into builder; Refusal::none with builder.done() on success.
Refusal readXml(std::string_view document, ValueBuilder& builder);
Refusal readBinary(std::string_view document, ValueBuilder& builder);

}  // namespace telvo::plistread
