#pragma once

// The manufacturer-data parser is public; the library includes it through this header too.
#include "telvosdk/TelvoBleTool.h"
