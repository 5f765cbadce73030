// Stands in for the runtime: reports the descriptors and environment it was started with and,
// on request, takes one datagram or connection from each named descriptor.
//
// Output lines: "uid N", "arg I TEXT", "env ENTRY",
// "fd N cloexec=0|1 type=stream|dgram|other|none listening=0|1 name=ADDRESS",
// "served N TEXT" for every "--serve=N" argument.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

extern char** environ;

namespace {

constexpr int kWaitMs = 60'000;

std::string socketName(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "-";
    }
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
    }
    if (address.ss_family == AF_UNIX && length > offsetof(sockaddr_un, sun_path)) {
        const auto* un = reinterpret_cast<const sockaddr_un*>(&address);
        return std::string(un->sun_path);
    }
    return "-";
}

void describe(int fd, int flags) {
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof type;
    std::string typeName = "none";
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0) {
        typeName = type == SOCK_STREAM ? "stream" : type == SOCK_DGRAM ? "dgram" : "other";
        length = sizeof listening;
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length);
    }
    std::printf("fd %d cloexec=%d type=%s listening=%d name=%s\n", fd, (flags & FD_CLOEXEC) ? 1 : 0,
                typeName.c_str(), listening ? 1 : 0, socketName(fd).c_str());
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, kWaitMs) == 1;
}

std::string serve(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || !readable(fd)) {
        return "<nothing>";
    }
    char buffer[256] = {};
    if (type == SOCK_DGRAM) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return n < 0 ? "<recv failed>" : std::string(buffer, static_cast<std::size_t>(n));
    }
    const int connection = accept(fd, nullptr, nullptr);
    if (connection < 0) {
        return "<accept failed>";
    }
    std::string text;
    while (readable(connection)) {
        const ssize_t n = read(connection, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(connection);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::printf("uid %u\n", static_cast<unsigned>(getuid()));
    for (int i = 0; i < argc; ++i) {
        std::printf("arg %d %s\n", i, argv[i]);
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::printf("env %s\n", *entry);
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const int highest = limit.rlim_cur > 65536 ? 65536 : static_cast<int>(limit.rlim_cur);
    for (int fd = 0; fd < highest; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0) {
            describe(fd, flags);
        }
    }
    std::fflush(stdout);
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("--serve=")) {
            const int fd = std::stoi(std::string(arg.substr(8)));
            std::printf("served %d %s\n", fd, serve(fd).c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}
