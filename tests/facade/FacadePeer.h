#pragma once

// The appliance side of the facade program: a simulated home with one single-BLE appliance
// (tests/sim), on the simulated radio, in virtual time. It shares no header of the library's
// insides with the app side.

namespace telvo::facade {

// Configures the appliance through the configuration entry, as an app starts it, until the
// flow's completion; true when it completed without an error.
bool configureSimulatedBleAppliance();

}  // namespace telvo::facade
