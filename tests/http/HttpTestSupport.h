#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/http/URLSession.h"

namespace telvo::test {

// A response as the loader makes it, for serializer tests.
inline HTTPURLResponsePtr response(long status, std::optional<std::string> mime) {
    auto r = std::make_shared<HTTPURLResponse>();
    r->url = "https://cloud.test/a";
    r->statusCode = status;
    r->MIMEType = std::move(mime);
    return r;
}

}  // namespace telvo::test
