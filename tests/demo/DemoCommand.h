#pragma once

// The demo's commands. Each flow family defines its commands in a file of its own and is listed
// once in the family table of SimDemo.cpp. A command runs its flow against the simulators in this
// process, in deterministic mode (virtual time), and prints what an app sees.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "telvosdk/Error.h"
#include "telvosdk/QKDevice.h"

namespace telvo::demo {

// An error path a command can show.
struct Fault {
    std::string name;
    std::string what;
};

struct Command {
    std::string name;
    std::string summary;
    std::vector<Fault> faults;
    // Runs the flow, with the fault named when it is one of `faults` (else none). True when the
    // run ended as the demo expects (the flow's result with no fault, the fault's error with one).
    std::function<bool(const std::string& fault)> run;
    // The flow without a fault over the BlueZ radio, in real time, against a fake bluetoothd on
    // a private bus whose controller is the simulated air; empty for commands without
    // Bluetooth. True when the run ended with the flow's result.
    std::function<bool()> runOverBlueZ = {};
};

// Prints one run as the app sees it, every line stamped with the virtual time since the run
// began: "[  12.340 s] step 8 (…)", then the device record or the error.
class Transcript {
  public:
    // Prints the title; `stepNames` labels the flow's progress steps.
    Transcript(const std::string& title, std::map<int64_t, std::string> stepNames = {});
    void note(const std::string& text) const;
    void step(int64_t step) const;
    // "device" and the record's fields that are set, or "error: code N (text)" for a failure.
    void result(const ErrorPtr& error, const std::shared_ptr<QKDevice>& device) const;

  private:
    double start_;
    std::map<int64_t, std::string> stepNames_;
};

}  // namespace telvo::demo
