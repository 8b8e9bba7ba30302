#pragma once

// The appliance side of the facade program: a simulated home with one single-BLE appliance
// (tests/sim), on the simulated radio, in virtual time. It shares no header of the library's
// insides with the app side.

namespace telvo::facade {

// What every test program does first (tests/sim/TestMain.cpp): loopback only, none of the
// host's network facts, no system bus of the host's.
void isolateFromHost();

// Configures the appliance through the configuration entry, as an app starts it, until the
// flow's completion; true when it completed without an error.
bool configureSimulatedBleAppliance();

}  // namespace telvo::facade
