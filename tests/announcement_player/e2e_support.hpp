#pragma once
// Runs the built announcement player as the controller would: the test serves the control
// socket, and the capture tap is made through the simulated audio system (or by the capture
// program itself).

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/sim/world.hpp"
#include "tests/player/e2e_support.hpp"

namespace pellimar::testing {

inline constexpr auto kPatience = std::chrono::seconds(60);

class AnnouncementWorld : public PlayerWorld {
  public:
    AnnouncementWorld() {
        program = "pellimar-announcement-player";
        set("PELLIMAR_ANNOUNCEMENT_BUFFER_LOG", dir / "buffer.log");
    }
    std::string world() { return dir / "world.json"; }
};

// The controller's end: a listening Unix socket and the one connection the player makes.
class ControlSocket {
  public:
    explicit ControlSocket(const std::string& path) : path_(path) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << std::strerror(errno);
        EXPECT_EQ(::listen(listener_, 1), 0);
    }
    ~ControlSocket() {
        closeConnection();
        ::close(listener_);
    }

    bool accept() {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, int(std::chrono::milliseconds(kPatience).count())) <= 0) {
            return false;
        }
        fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return fd_ >= 0;
    }
    void closeConnection() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    // Writes raw bytes (any framing); false once the player is gone.
    bool write(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += std::size_t(n);
        }
        return true;
    }
    bool send(const nlohmann::json& command) { return write(command.dump() + "\n"); }

    // The next line; none at end of stream or after the patience ran out.
    std::optional<std::string> line(std::chrono::milliseconds limit = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string text = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return text;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[65536];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            buffer_.append(chunk, std::size_t(n));
        }
    }
    nlohmann::json event(std::chrono::milliseconds limit = kPatience) {
        auto text = line(limit);
        return text ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
    }
    // True when the player closed its end (nothing more will come).
    bool ended() { return !line(kPatience).has_value(); }

  private:
    std::string path_;
    int listener_ = -1;
    int fd_ = -1;
    std::string buffer_;
};

// Makes the capture tap for a process of `pid` as soon as the process appears in the world,
// the way the capture program does when it re-aims its announcement slot.
class TapMaker {
  public:
    TapMaker(std::string world, pid_t pid)
        : thread_([this, world = std::move(world), pid] {
              audio::sim::WorldControl control(world);
              const auto deadline = std::chrono::steady_clock::now() + kPatience;
              while (!stop_ && std::chrono::steady_clock::now() < deadline) {
                  bool made = false;
                  auto updated = control.update([&](audio::sim::World& w) {
                      for (const auto& p : w.processes) {
                          if (p.pid == pid) {
                              audio::sim::Tap tap;
                              tap.id = w.allocateID();
                              tap.uid = audio::sim::newTapUID();
                              tap.description.name = "Pellimar application slot 1";
                              tap.description.processes = {p.id};
                              tap.format = audio::sim::tapFormat(false);
                              w.taps.push_back(tap);
                              made = true;
                              return;
                          }
                      }
                  });
                  if (updated && made) {
                      return;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
          }) {}
    ~TapMaker() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace pellimar::testing
