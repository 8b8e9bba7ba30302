#pragma once

// The beat watchdog is public; the library reaches its timer through this header.
#include "platform/dispatch/DispatchTimer.h"
#include "telvosdk/QKBluetoothRhythm.h"
