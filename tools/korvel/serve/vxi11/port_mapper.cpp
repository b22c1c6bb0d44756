#include "serve/vxi11/port_mapper.h"

#include <netdb.h>
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "serve/vxi11/rpcbind_client.h"
#include "vxi11.h"

namespace korvel::cli::serve::vxi11 {
namespace {

constexpr char kRpcbindSocket[] = "/run/rpcbind.sock";
constexpr int kPortMapperPort = 111;

// rpcbind answers on its local socket when it runs.
bool rpcbindRuns() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kRpcbindSocket, sizeof address.sun_path - 1);
    const bool runs = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return runs;
}

int listenOn111(const std::string& bind, std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int status = getaddrinfo(bind.c_str(), "111", &hints, &found); status != 0) {
        *why = gai_strerror(status);
        return -1;
    }
    int fd = -1;
    *why = "no address";
    for (addrinfo* entry = found; entry != nullptr && fd < 0; entry = entry->ai_next) {
        fd = socket(entry->ai_family, entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, entry->ai_addr, entry->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
            *why = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

}  // namespace

PortMapping arrangePortMapping(const std::string& bind, int corePort) {
    PortMapping mapping;
    if (rpcbindRuns()) {
        if (std::string missing = openRpcbindClient(); !missing.empty()) {
            mapping.why = missing;
            return mapping;
        }
        // A registration left by a server that did not stop cleanly goes first.
        pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
        if (pmap_set(DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, static_cast<unsigned short>(corePort))) {
            mapping.kind = PortMapping::Registered;
            return mapping;
        }
        mapping.why = "rpcbind runs but refused the registration of the VXI-11 program";
        return mapping;
    }
    std::string why;
    mapping.listener = listenOn111(bind, &why);
    if (mapping.listener >= 0) {
        mapping.kind = PortMapping::Answering;
        return mapping;
    }
    mapping.why = "no port mapper (rpcbind) runs, and port " + std::to_string(kPortMapperPort) + " on " + bind +
                  " cannot be bound to answer for it (" + why +
                  "); start rpcbind, or give korvel serve CAP_NET_BIND_SERVICE";
    return mapping;
}

void withdrawPortMapping(const PortMapping& mapping) {
    if (mapping.kind == PortMapping::Registered) pmap_unset(DEVICE_CORE, DEVICE_CORE_VERSION);
    if (mapping.listener >= 0) ::close(mapping.listener);
}

}  // namespace korvel::cli::serve::vxi11
