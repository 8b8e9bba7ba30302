#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace telvo {
class DispatchSource;
}

namespace telvo::test {

// What the simulated servers share: a TCP listener on an IPv4 address whose connections are
// accepted, and then read, by sources on the main queue (so that in deterministic mode they
// answer as the loop turns).

// A non-blocking listener on host:*port (0: any port; *port is then the one bound), watched by
// a read source on the main queue that owns it and runs onAcceptable while *alive. Throws
// std::runtime_error naming `who` when it cannot listen.
std::shared_ptr<DispatchSource> listenOnMainQueue(uint32_t host, uint16_t* port, int* listener,
                                                  const std::string& who,
                                                  std::shared_ptr<bool> alive,
                                                  std::function<void()> onAcceptable);

// An accepted connection (non-blocking, bytes sent at once), or -1 when none is pending.
int acceptConnection(int listener);

// A read source on the main queue that owns fd and runs onReadable while *alive.
std::shared_ptr<DispatchSource> readOnMainQueue(int fd, std::shared_ptr<bool> alive,
                                                std::function<void()> onReadable);

}  // namespace telvo::test
