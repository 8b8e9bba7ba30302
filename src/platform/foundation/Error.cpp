#include "telvosdk/Error.h"

namespace telvo {

std::shared_ptr<const Error> Error::withUserInfo(const std::string& key, Value value) const {
    Value info = userInfo_;
    info.mutableDictionary().set(key, std::move(value));
    return std::make_shared<const Error>(domain_, code_, description_, std::move(info));
}

}  // namespace telvo
