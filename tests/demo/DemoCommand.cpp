#include "DemoCommand.h"

#include <cstdio>
#include <utility>

#include "platform/dispatch/Clock.h"
#include "telvosdk/TelvoError.h"

namespace telvo::demo {

Transcript::Transcript(const std::string& title, std::map<int64_t, std::string> stepNames)
    : start_(Clock::now()), stepNames_(std::move(stepNames)) {
    std::printf("\n== %s\n", title.c_str());
}

void Transcript::note(const std::string& text) const {
    std::printf("[%8.3f s] %s\n", Clock::now() - start_, text.c_str());
    std::fflush(stdout);
}

void Transcript::step(int64_t step) const {
    auto name = stepNames_.find(step);
    note("step " + std::to_string(step) +
         (name == stepNames_.end() ? std::string() : " (" + name->second + ")"));
}

void Transcript::result(const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) const {
    const int64_t code = TelvoError::codeForSDKError(error);
    if (code != 0) {
        const std::string text = error ? error->localizedDescription() : std::string();
        note("error: code " + std::to_string(code) + (text.empty() ? "" : " (" + text + ")"));
        return;
    }
    note("success, device record:");
    if (!device) return;
    const std::pair<const char*, const std::string*> fields[] = {
        {"deviceId", &device->deviceId},
        {"deviceSn", &device->deviceSn},
        {"deviceType", &device->deviceType},
        {"deviceSsid", &device->deviceSsid},
        {"deviceSubType", &device->deviceSubType},
        {"ip", &device->deviceIP},
        {"udpVersion", &device->udpVersion},
        {"moduleVersion", &device->moduleVersion},
        {"randomCode", &device->randomCode},
        {"isWanOnline", &device->isWanOnline},
        {"btMac", &device->btMac},
        {"softwareVersion", &device->softwareVersion},
        {"bleToken", &device->bleToken},
    };
    for (const auto& [name, value] : fields)
        if (!value->empty()) std::printf("             %s = %s\n", name, value->c_str());
}

}  // namespace telvo::demo
