#pragma once

#include <string>
#include <vector>

#include "telvosdk/QKMiddleInterface.h"

namespace telvo::test {

// An app log delegate that keeps the text of every line it is handed.
class LogLines : public QKSDKCustomLogDelegate {
  public:
    void sdkCustomLogWithLevel(int, const std::string&, const std::string&, int, const Value&,
                               const std::string& text) override {
        lines.push_back(text);
    }
    std::vector<std::string> lines;
};

}  // namespace telvo::test
