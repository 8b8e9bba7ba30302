#pragma once

// What a configuration's progress steps mean, for printing them.

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

// The access-point flow's steps (QKDeviceManager, type 1).
inline const std::map<int64_t, std::string>& apStepNames() {
    static const std::map<int64_t, std::string> names = {
        {0, "appliance found on its hotspot"},
        {1, "asking for the sub type"},
        {2, "sub type stored"},
        {4, "appliance accepted the credentials"},
        {5, "old module took the credentials"},
        {6, "cloud confirmed the appliance"},
        {8, "session open, sending the credentials"},
        {9, "connect half failed"},
        {10, "10 s into the confirmation: scanning the LAN"},
        {11, "appliance refused the random code"},
        {12, "appliance seen on the home LAN"},
        {13, "former configuration reported"},
        {14, "no answer to the credentials, going on"},
        {15, "first cloud answer"},
    };
    return names;
}

}  // namespace telvo_example
