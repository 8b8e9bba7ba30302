#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "telvosdk/Export.h"
#include "telvosdk/Value.h"

namespace telvo {

// A failure as the platform reports it: a domain, a code, user information and a text.
// Shared and immutable; extending the user information makes a new error.
class TELVO_EXPORT Error {
  public:
    Error(std::string domain, int64_t code, std::string description, Value userInfo = Dictionary{})
        : domain_(std::move(domain)),
          code_(code),
          description_(std::move(description)),
          userInfo_(std::move(userInfo)) {}

    const std::string& domain() const { return domain_; }
    int64_t code() const { return code_; }
    const std::string& localizedDescription() const { return description_; }
    const Value& userInfo() const { return userInfo_; }

    // A copy of this error with key set to value in its user information.
    std::shared_ptr<const Error> withUserInfo(const std::string& key, Value value) const;

  private:
    std::string domain_;
    int64_t code_;
    std::string description_;
    Value userInfo_;
};

using ErrorPtr = std::shared_ptr<const Error>;

inline ErrorPtr makeError(std::string domain, int64_t code, std::string description,
                          Value userInfo = Dictionary{}) {
    return std::make_shared<const Error>(std::move(domain), code, std::move(description),
                                         std::move(userInfo));
}

}  // namespace telvo
