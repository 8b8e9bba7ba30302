#pragma once

#include <stdexcept>
#include <string>

#include "telvosdk/Export.h"

namespace telvo {

// A raised failure with a name and a reason: how a class reports misuse (a programming error),
// such as a missing key. Never thrown out of a block the library calls.
class TELVO_EXPORT NamedException : public std::runtime_error {
  public:
    NamedException(std::string name, std::string reason)
        : std::runtime_error(name + ": " + reason),
          name_(std::move(name)),
          reason_(std::move(reason)) {}

    const std::string& name() const noexcept { return name_; }
    const std::string& reason() const noexcept { return reason_; }

  private:
    std::string name_;
    std::string reason_;
};

}  // namespace telvo
