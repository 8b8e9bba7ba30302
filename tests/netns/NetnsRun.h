#pragma once

// What the phone and the appliance programs of the run between two network namespaces share:
// the names of the run, the keys both sides know, and the hand-over of the app's credentials
// (the appliance side makes the test PKI and the fake cloud; the phone reads them from a file).

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "sim/SimWifiHome.h"
#include "sim/TestSupport.h"
#include "telvosdk/QKMiddleInterface.h"
#include "telvosdk/QKUserDefault.h"

namespace telvo::netns {

constexpr const char* kSubnet = "198.18.0.0/24";
constexpr const char* kApplianceAddress = "198.18.0.2";
constexpr const char* kCloudAddress = "198.18.0.3";

using Home = sim::SimWifiHome;

// The keys both sides hold: the appliance's default key, the cloud's request signing, and the
// keys that read the cloud's serials under the work mode.
inline void configureSharedKeys() {
    auto config = QKMiddleInterface::shareInstance()->middleConfig();
    config->setApConfigDefaultKey(Home::kDefaultKey);
    config->setHttpSignKey(Home::kSignKey);
    config->setHttpSignSecret(Home::kSignSecret);
    config->setAccessToken(Home::kToken);
    Home::setSerialKeys();
    QKUserDefault::standardUserDefaults()->setValue(Value("10001"), "sdkWorkMode");
}

// The command line of both programs: --scenario ap|smart|fault --interface IFACE --state FILE;
// the appliance's also takes --phone-interface IFACE --app-file FILE (for an app of its own).
struct Options {
    std::string scenario;
    std::string interface;
    std::string state;
    std::string phoneInterface;
    std::string appFile;
};

inline Options parse(int argc, char** argv, const char* program) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--scenario") o.scenario = value;
        if (name == "--interface") o.interface = value;
        if (name == "--state") o.state = value;
        if (name == "--phone-interface") o.phoneInterface = value;
        if (name == "--app-file") o.appFile = value;
    }
    if (o.interface.empty() || o.state.empty() ||
        (o.scenario != "ap" && o.scenario != "smart" && o.scenario != "fault") ||
        o.phoneInterface.empty() != o.appFile.empty())
        throw std::invalid_argument(std::string("usage: ") + program +
                                    " --scenario ap|smart|fault --interface IFACE --state FILE");
    return o;
}

// Seconds of real time since the program started; every printed line carries it.
inline double elapsed() {
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <class... A>
void say(const char* who, const char* format, A... args) {
    std::printf("[%7.3f] %s: ", elapsed(), who);
    if constexpr (sizeof...(A) == 0)
        std::fputs(format, stdout);
    else
        std::printf(format, args...);
    std::printf("\n");
    std::fflush(stdout);
}

// The hand-over file: "name=value" lines, written whole under a temporary name and renamed.
using State = std::map<std::string, std::string>;

inline void writeState(const std::filesystem::path& file, const State& state) {
    const auto temporary = file.string() + ".tmp";
    {
        std::ofstream out(temporary);
        for (const auto& [name, value] : state) out << name << '=' << value << '\n';
    }
    std::filesystem::rename(temporary, file);
}

// The file as the appliance side wrote it (the script starts the phone once it is there).
inline State readState(const std::filesystem::path& file) {
    State state;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) state[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return state;
}

}  // namespace telvo::netns
