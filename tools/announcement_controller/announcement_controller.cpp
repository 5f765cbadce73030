// A minimal controller for the announcement service: serves the control socket, starts the
// player on it, loads one prepared clip, plays it (optionally stopping it early) and closes the
// connection, printing every line that crosses the socket.
//
//   pellimar-announcement-controller --socket PATH --clip /ABS/clip.wav
//                                    [--stop-after-ms N] [--player PATH]

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::optional<std::string> option(const std::vector<std::string>& args, const std::string& name) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == name) {
            return args[i + 1];
        }
    }
    return std::nullopt;
}

// The event's name; empty when "event" is missing or not a string (json::value would throw).
std::string eventName(const json& event) {
    const auto it = event.find("event");
    return it != event.end() && it->is_string() ? it->get<std::string>() : std::string();
}

class Connection {
  public:
    explicit Connection(int fd) : fd_(fd) {}
    ~Connection() { close(); }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    bool send(const json& command) {
        const std::string line = command.dump() + "\n";
        std::printf("-> %s", line.c_str());
        std::fflush(stdout);
        return ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size());
    }

    // The next event, or none at end of stream or after `limit`.
    std::optional<json> next(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
                const std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                std::printf("<- %s\n", line.c_str());
                std::fflush(stdout);
                json event = json::parse(line, nullptr, false);
                if (event.is_object()) {
                    return event;
                }
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            buffer_.append(chunk, std::size_t(n));
        }
    }

    // Reads until the event named `name` arrives (others are printed and skipped).
    std::optional<json> until(const std::string& name, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            auto event = next(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (!event) {
                return std::nullopt;
            }
            if (eventName(*event) == name || eventName(*event) == "error") {
                return event;
            }
        }
        return std::nullopt;
    }

  private:
    int fd_;
    std::string buffer_;
};

int failWith(const std::string& message) {
    std::fprintf(stderr, "announcement-controller: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto socketPath = option(args, "--socket");
    const auto clip = option(args, "--clip");
    if (!socketPath || !clip) {
        return failWith(
            "usage: --socket PATH --clip /ABS/clip.wav [--stop-after-ms N] "
            "[--player PATH]");
    }
    const std::string player =
        option(args, "--player")
            .value_or((std::filesystem::read_symlink("/proc/self/exe").parent_path() /
                       "pellimar-announcement-player")
                          .string());
    int stopAfter = -1;
    if (const auto text = option(args, "--stop-after-ms")) {
        const auto [end, error] =
            std::from_chars(text->data(), text->data() + text->size(), stopAfter);
        if (error != std::errc() || end != text->data() + text->size() || stopAfter < 0) {
            return failWith("--stop-after-ms takes a whole number of milliseconds");
        }
    }

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath->size() >= sizeof address.sun_path) {
        return failWith("socket path too long");
    }
    std::memcpy(address.sun_path, socketPath->data(), socketPath->size());
    struct stat st {};
    if (::lstat(socketPath->c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        ::unlink(socketPath->c_str());  // left by an earlier run
    }
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0) {
        return failWith("cannot listen on " + *socketPath + ": " + std::strerror(errno));
    }

    std::vector<std::string> playerArgs{player, "--service-socket", *socketPath};
    std::vector<char*> cargs;
    for (auto& a : playerArgs) {
        cargs.push_back(a.data());
    }
    cargs.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, player.c_str(), nullptr, nullptr, cargs.data(), environ) != 0) {
        return failWith("cannot start " + player);
    }
    auto finish = [&](int status) {
        ::close(listener);
        ::unlink(socketPath->c_str());
        int waited = 0;
        if (::waitpid(pid, &waited, 0) == pid) {
            std::printf("player exited with status %d\n",
                        WIFEXITED(waited) ? WEXITSTATUS(waited) : 128 + WTERMSIG(waited));
        }
        return status;
    };

    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) {
        ::kill(pid, SIGTERM);
        return finish(failWith("the player did not connect"));
    }
    Connection connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    using std::chrono::milliseconds;
    if (!connection.until("hello", milliseconds(10000)) ||
        !connection.until("ready", milliseconds(10000))) {
        connection.close();
        return finish(failWith("the player did not get ready"));
    }
    connection.send({{"command", "load"}, {"id", "clip-1"}, {"filePath", *clip}});
    auto loaded = connection.until("loaded", milliseconds(30000));
    if (!loaded || eventName(*loaded) != "loaded") {
        connection.close();
        return finish(failWith("the clip was not loaded"));
    }
    connection.send({{"command", "play"}, {"id", "play-1"}, {"clip", "clip-1"}});
    if (!connection.until("playing", milliseconds(10000))) {
        connection.close();
        return finish(failWith("the clip did not start"));
    }
    if (stopAfter >= 0) {
        ::usleep(useconds_t(stopAfter) * 1000);
        connection.send({{"command", "stop"}, {"target", "play-1"}});
    }
    auto completed = connection.until("completed", std::chrono::hours(1));
    connection.close();
    return finish(completed && eventName(*completed) == "completed" ? 0 : 1);
}
