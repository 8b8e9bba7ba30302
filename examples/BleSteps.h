#pragma once

// What a BLE configuration's progress steps mean, for printing them.

#include <cstdint>
#include <map>
#include <string>

namespace telvo_example {

inline const std::map<int64_t, std::string>& bleStepNames() {
    static const std::map<int64_t, std::string> names = {
        {1, "connected"},
        {2, "configuration service found"},
        {3, "write and notify characteristics found"},
        {4, "session key agreed"},
        {5, "status read"},
        {6, "router settings sent"},
        {7, "joining the router"},
        {8, "router joined"},
        {9, "address obtained"},
        {10, "logged in to the cloud"},
        {11, "cloud check started"},
        {12, "appliance confirmed"},
        {14, "random token accepted"},
        {15, "bind code verified"},
        {17, "module asks to wait"},
        {18, "cable unplugged"},
        {19, "cable plugged in"},
        {20, "factory mode set"},
    };
    return names;
}

}  // namespace telvo_example
