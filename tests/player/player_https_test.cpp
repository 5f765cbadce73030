// https sources against a local TLS server on loopback with a throwaway certificate.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "tests/player/e2e_support.hpp"

namespace pellimar::testing {
namespace {

using namespace std::chrono_literals;

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    (void)::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool listening(int port) {
    char local[32];
    std::snprintf(local, sizeof(local), "0100007F:%04X", port);
    std::istringstream table(readText("/proc/net/tcp"));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, localAddress, remote, state;
        fields >> slot >> localAddress >> remote >> state;
        if (localAddress == local && state == "0A") {
            return true;
        }
    }
    return false;
}

// One TLS connection served by openssl s_server, which relays a prepared HTTP response from
// its standard input and closes the connection at the end of it.
class OneShotHttpsServer {
  public:
    // `names` are the certificate's subject alternative names; the player is trusted to
    // check them against the URL's host.
    OneShotHttpsServer(PlayerWorld& world, const std::string& response,
                       const std::string& names = "IP:127.0.0.1")
        : cert_(world.dir / "cert.pem") {
        const std::string key = world.dir / "key.pem";
        EXPECT_TRUE(
            shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                  "-nodes -days 1 -subj /CN=localhost -addext subjectAltName=" +
                  names + " -keyout '" + key + "' -out '" + cert_ + "' 2>/dev/null"));
        const std::string& cert = cert_;
        const std::string responseFile = world.dir / "response.http";
        writeText(responseFile, response);
        for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
            port_ = freeLoopbackPort();
            const std::string command =
                "exec openssl s_server -accept 127.0.0.1:" + std::to_string(port_) + " -cert '" +
                cert + "' -key '" + key + "' -naccept 1 -quiet -no_ign_eof < '" + responseFile +
                "' > /dev/null 2>&1";
            pid_t pid = spawnChild({.argv = {"/bin/sh", "-c", command}});
            if (pid < 0) {
                continue;
            }
            if (eventually([&] { return listening(port_); }, 20s)) {
                pid_ = pid;
            } else {
                signalAndReap(pid, SIGKILL);
            }
        }
        EXPECT_GT(pid_, 0);
    }
    ~OneShotHttpsServer() { signalAndReap(pid_, SIGKILL); }
    std::string url(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(port_) + path;
    }
    // The self-signed certificate, which is its own authority.
    const std::string& certificate() const { return cert_; }

  private:
    std::string cert_;
    int port_ = 0;
    pid_t pid_ = -1;
};

std::string httpResponse(const std::string& body, std::size_t declaredLength) {
    // A live stream: no range requests, so the decoder never seeks back to the server.
    return "HTTP/1.1 200 OK\r\nContent-Type: audio/wav\r\nAccept-Ranges: none\r\n"
           "Content-Length: " +
           std::to_string(declaredLength) + "\r\n\r\n" + body;
}

TEST(PlayerHttps, CompleteStreamEndsCleanly) {
    PlayerWorld world;
    const std::string input = world.makeTone("tone.wav", 2);
    const std::string wav = readText(input);
    OneShotHttpsServer server(world, httpResponse(wav, wav.size()));
    world.set("PELLIMAR_PLAYER_CA_FILE", server.certificate());
    EXPECT_EQ(world.run({"--url", server.url("/tone.wav")}), 0);
    EXPECT_EQ(world.err(),
              "[pellimar-player] progressive url \u2192 stereo AudioQueue @ 48000 Hz\n");
    EXPECT_EQ(withoutSilentFrames(world.recorded()), withoutSilentFrames(world.decode(input)));
}

TEST(PlayerHttps, StreamCutShortIsReportedIncomplete) {
    PlayerWorld world;
    const std::string input = world.makeTone("tone.wav", 3);
    const std::string wav = readText(input);
    OneShotHttpsServer server(world, httpResponse(wav.substr(0, wav.size() / 2), wav.size()));
    world.set("PELLIMAR_PLAYER_CA_FILE", server.certificate());
    EXPECT_EQ(world.run({"--url", server.url("/tone.wav")}), 1);
    const std::string err = world.err();
    EXPECT_NE(err.find("[pellimar-player] progressive url"), std::string::npos) << err;
    const std::string last =
        "[pellimar-player] Incomplete media stream; automatic restart disabled.\n";
    ASSERT_GE(err.size(), last.size());
    EXPECT_EQ(err.substr(err.size() - last.size()), last) << err;
}

TEST(PlayerHttps, ServerThatCannotProveItsNameIsRefused) {
    // Not vouched for by the system's authorities; vouched for, but under another name.
    for (const bool trusted : {false, true}) {
        SCOPED_TRACE(trusted);
        PlayerWorld world;
        const std::string input = world.makeTone("tone.wav", 2);
        const std::string wav = readText(input);
        OneShotHttpsServer server(world, httpResponse(wav, wav.size()),
                                  trusted ? "DNS:elsewhere.invalid" : "IP:127.0.0.1");
        if (trusted) {
            world.set("PELLIMAR_PLAYER_CA_FILE", server.certificate());
        }
        EXPECT_EQ(world.run({"--url", server.url("/tone.wav")}), 1);
        const std::string err = world.err();
        EXPECT_EQ(err.find("progressive"), std::string::npos) << err;
        EXPECT_EQ(err.rfind("[pellimar-player] ", 0), 0u) << err;
        EXPECT_NE(err.find("certificate"), std::string::npos) << err;
        EXPECT_TRUE(recordings(world.dir / "rec").empty());
    }
}

}  // namespace
}  // namespace pellimar::testing
