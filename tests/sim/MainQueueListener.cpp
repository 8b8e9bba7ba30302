#include "sim/MainQueueListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <stdexcept>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSource.h"

namespace telvo::test {

std::shared_ptr<DispatchSource> listenOnMainQueue(uint32_t host, uint16_t* port, int* listener,
                                                  const std::string& who,
                                                  std::shared_ptr<bool> alive,
                                                  std::function<void()> onAcceptable) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = htons(*port);
    socklen_t length = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
        ::listen(fd, 8) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        throw std::runtime_error(who + ": cannot listen");
    }
    *port = ntohs(a.sin_port);
    *listener = fd;
    return readOnMainQueue(fd, std::move(alive), std::move(onAcceptable));
}

int acceptConnection(int listener) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return -1;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

std::shared_ptr<DispatchSource> readOnMainQueue(int fd, std::shared_ptr<bool> alive,
                                                std::function<void()> onReadable) {
    auto source = DispatchSource::create(DispatchSource::Kind::Read, fd, DispatchQueue::main(),
                                         DispatchSource::Descriptor::Owned);
    source->setEventHandler([alive = std::move(alive), onReadable = std::move(onReadable)] {
        if (*alive) onReadable();
    });
    source->resume();
    return source;
}

}  // namespace telvo::test
