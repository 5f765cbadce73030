#include "announcement_player/service.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include <nlohmann/json.hpp>

#include "announcement_player/warm_output.hpp"

namespace pellimar::announcement {

using nlohmann::json;

namespace {

class Service {
  public:
    Service(int fd, RunLoop& loop) : fd_(fd), loop_(loop) {}
    ~Service() {
        source_.reset();
        output_.reset();
        ::close(fd_);
    }

    // One event, one line, one write. A controller that vanished or stopped reading ends the
    // service; it is said on standard error, the only channel left.
    bool write(const json& event) {
        if (finished()) {
            return false;
        }
        const std::string line = event.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        const ssize_t n = ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL);
        if (n == ssize_t(line.size())) {
            return true;
        }
        const int error = n < 0 ? errno : EAGAIN;
        programLog().write(LogLevel::error,
                           withStatus("Cannot write announcement event", error) +
                               (error == EAGAIN ? " The controller is not reading." : ""));
        finish(1);
        return false;
    }

    void finish(int status) {
        if (!exitStatus_) {
            exitStatus_ = status;
        }
        loop_.stop();
    }
    bool finished() const { return exitStatus_.has_value(); }
    std::optional<int> exitStatus() const { return exitStatus_; }

    void closeOutput() {
        if (output_) {
            output_->close();
        }
    }

    void readable() {
        if (finished()) {
            return;
        }
        char chunk[8192];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n == 0) {
            closeOutput();
            finish(0);
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return;
            }
            programLog().write(LogLevel::error,
                               withStatus("Cannot read announcement control socket", errno));
            closeOutput();
            finish(1);
            return;
        }
        lines_.append(std::string_view(chunk, std::size_t(n)));
        while (!finished()) {
            const auto line = lines_.next();
            if (!line) {
                break;
            }
            auto object = decodeControlLine(*line);
            if (!object) {
                programLog().write(LogLevel::error,
                                   "Announcement control line is not a JSON object.");
                closeOutput();
                finish(1);
                return;
            }
            output_->command(decodeAnnouncementCommand(*object));
        }
        if (!finished() && lines_.tooLong()) {
            programLog().write(LogLevel::error,
                               "Announcement control line longer than 65536 bytes.");
            closeOutput();
            finish(1);
        }
    }

    int fd_;
    RunLoop& loop_;
    std::unique_ptr<WarmAnnouncementOutput> output_;
    std::unique_ptr<ReadSource> source_;
    ControlLineBuffer lines_;
    std::optional<int> exitStatus_;
};

json helloOrReady(const char* event) {
    return {{"event", event}, {"pid", ::getpid()}};
}

}  // namespace

PlayerResult<int> runPersistentAnnouncementService(const std::string& socketPath,
                                                   audio::AudioSystem& system, RunLoop& loop,
                                                   AnnouncementTapWait& tapWait) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return fail(PlayerError::playback("Cannot create announcement control socket."));
    }
    sockaddr_un address{};
    if (socketPath.size() + 1 > 104) {
        ::close(fd);
        return fail(PlayerError::playback("Announcement socket path is too long."));
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(
            PlayerError::playback(withStatus("Cannot connect announcement control socket", error)));
    }
    Service service(fd, loop);
    if (!service.write(helloOrReady("hello"))) {
        return *service.exitStatus();
    }
    auto output = WarmAnnouncementOutput::create(system, loop, tapWait);
    if (!output) {
        return fail(std::move(output).error());
    }
    service.output_ = std::move(output).value();
    service.output_->emit = [&service](const AnnouncementEvent& event) {
        service.write(encodeAnnouncementEvent(event));
    };
    service.output_->onFatal = [&service](int status) { service.finish(status); };

    if (!system.supportsProcessTaps()) {
        return fail(PlayerError::playback(kNeedsProcessTaps));
    }
    if (auto attached = tapWait.waitBlocking(); !attached) {
        if (service.finished()) {
            return *service.exitStatus();
        }
        return fail(std::move(attached).error());
    }
    if (service.finished()) {
        return *service.exitStatus();
    }
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    service.source_ = loop.watchReadable(fd, [&service] { service.readable(); });
    if (!service.write(helloOrReady("ready"))) {
        return *service.exitStatus();
    }
    loop.runUntil([&service] { return service.finished(); });
    return service.exitStatus().value_or(0);
}

}  // namespace pellimar::announcement
