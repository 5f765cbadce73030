// Runs the real launcher with prepared activation sockets and the probe as its runtime.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "socket_exec/socket_exec.hpp"

namespace pellimar::socket_exec {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPatience = 120s;
constexpr const char* kNobody = "65534";

bool runningAsRoot() {
    return ::geteuid() == 0;
}

std::optional<std::string> findTool(std::initializer_list<const char*> candidates) {
    for (const char* path : candidates) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return std::nullopt;
}

// The launcher refuses root, so as root every run goes through setpriv to nobody.
std::vector<std::string> unprivileged(std::vector<std::string> argv) {
    if (!runningAsRoot()) {
        return argv;
    }
    const auto setpriv = findTool({"/usr/bin/setpriv", "/bin/setpriv"});
    if (!setpriv) {
        ADD_FAILURE() << "setpriv is needed to run the launcher as a user other than root";
        return argv;
    }
    std::vector<std::string> wrapped = {*setpriv, std::string("--reuid=") + kNobody,
                                        std::string("--regid=") + kNobody, "--clear-groups"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

struct Outcome {
    int exitStatus = -1;  // -1 unless the child exited normally
    std::string out;
    std::string err;
};

struct Spawn {
    std::vector<std::string> argv;                 // argv[0] is the path executed
    std::vector<std::pair<int, int>> descriptors;  // {descriptor here, descriptor in the child}
    std::vector<std::string> environment;          // the whole environment
    bool listenPidIsChild = false;
    std::optional<rlim_t> descriptorLimit;
    std::vector<int> closed;  // closed in the child just before the exec
};

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

// Everything the child does between fork and exec works on memory prepared beforehand.
[[noreturn]] void becomeChild(std::vector<std::pair<int, int>> moves, char* listenPidDigits,
                              const std::optional<rlim_t>& limit, const std::vector<int>& closed,
                              char** argv, char** envp) {
    std::vector<int> staged;
    for (const auto& [from, to] : moves) {
        staged.push_back(::fcntl(from, F_DUPFD, 100));
    }
    int highestTarget = 2;
    for (std::size_t i = 0; i < moves.size(); ++i) {
        if (staged[i] < 0 || ::dup2(staged[i], moves[i].second) < 0) {
            ::_exit(126);
        }
        highestTarget = std::max(highestTarget, moves[i].second);
    }
    for (int fd = 3; fd <= highestTarget; ++fd) {
        const bool target = std::any_of(moves.begin(), moves.end(),
                                        [fd](const auto& move) { return move.second == fd; });
        if (!target) {
            ::close(fd);
        }
    }
    ::close_range(static_cast<unsigned>(highestTarget) + 1, ~0U, 0);
    if (listenPidDigits != nullptr) {
        char reversed[16];
        int n = 0;
        for (pid_t pid = ::getpid(); pid > 0; pid /= 10) {
            reversed[n++] = static_cast<char>('0' + pid % 10);
        }
        while (n > 0) {
            *listenPidDigits++ = reversed[--n];
        }
        *listenPidDigits = '\0';
    }
    if (limit) {
        const rlimit value{*limit, *limit};
        if (::setrlimit(RLIMIT_NOFILE, &value) != 0) {
            ::_exit(126);
        }
    }
    for (int fd : closed) {
        ::close(fd);
    }
    ::execve(argv[0], argv, envp);
    ::_exit(127);
}

class Child {
  public:
    explicit Child(Spawn spawn) {
        int outPipe[2];
        int errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return;
        }
        std::size_t listenPidIndex = 0;
        if (spawn.listenPidIsChild) {
            listenPidIndex = spawn.environment.size();
            spawn.environment.push_back("LISTEN_PID=" + std::string(20, '0'));
        }
        auto argv = pointers(spawn.argv);
        auto envp = pointers(spawn.environment);
        char* listenPidDigits = spawn.listenPidIsChild
                                    ? envp[listenPidIndex] + std::string_view("LISTEN_PID=").size()
                                    : nullptr;
        auto moves = spawn.descriptors;
        moves.emplace_back(outPipe[1], STDOUT_FILENO);
        moves.emplace_back(errPipe[1], STDERR_FILENO);

        pid_ = ::fork();
        if (pid_ == 0) {
            becomeChild(std::move(moves), listenPidDigits, spawn.descriptorLimit, spawn.closed,
                        argv.data(), envp.data());
        }
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        out_ = UniqueFd(outPipe[0]);
        err_ = UniqueFd(errPipe[0]);
        if (pid_ < 0) {
            ADD_FAILURE() << "fork failed";
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // Collects both streams to their end, then the exit status.
    Outcome finish() {
        Outcome outcome;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (out_.get() >= 0 || err_.get() >= 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the launched program did not finish; output so far:\n"
                              << outcome.out << outcome.err;
                return outcome;
            }
            std::array<pollfd, 2> fds = {pollfd{out_.get(), POLLIN, 0},
                                         pollfd{err_.get(), POLLIN, 0}};
            if (::poll(fds.data(), fds.size(), 1000) < 0) {
                continue;
            }
            drain(fds[0], out_, outcome.out);
            drain(fds[1], err_, outcome.err);
        }
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
            pid_ = -1;
            outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return outcome;
    }

  private:
    static void drain(const pollfd& p, UniqueFd& fd, std::string& into) {
        if (fd.get() < 0 || p.revents == 0) {
            return;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            fd.reset();
        }
    }

    pid_t pid_ = -1;
    UniqueFd out_;
    UniqueFd err_;
};

Outcome run(Spawn spawn) {
    return Child(std::move(spawn)).finish();
}

struct FdFacts {
    bool cloexec = true;
    std::string type;
    bool listening = false;
    std::string name;
};

// What the probe saw, parsed from its output.
struct Report {
    std::optional<unsigned> uid;
    std::vector<std::string> args;
    std::vector<std::string> environment;
    std::map<int, FdFacts> fds;
    std::map<int, std::string> served;

    std::vector<std::string> valuesOf(const std::string& name) const {
        std::vector<std::string> values;
        for (const auto& entry : environment) {
            if (entry.starts_with(name + "=")) {
                values.push_back(entry.substr(name.size() + 1));
            }
        }
        return values;
    }
    bool hasVariable(const std::string& prefix) const {
        return std::any_of(environment.begin(), environment.end(),
                           [&](const std::string& entry) { return entry.starts_with(prefix); });
    }
};

Report parseReport(const std::string& text) {
    Report report;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "uid") {
            unsigned uid = 0;
            words >> uid;
            report.uid = uid;
        } else if (kind == "arg") {
            int index = 0;
            words >> index;
            const auto space = line.find(' ', 4);
            report.args.push_back(space == std::string::npos ? "" : line.substr(space + 1));
        } else if (kind == "env") {
            report.environment.push_back(line.substr(4));
        } else if (kind == "fd") {
            int fd = 0;
            std::string cloexec, type, listening, name;
            words >> fd >> cloexec >> type >> listening >> name;
            report.fds[fd] = {cloexec == "cloexec=1", type.substr(5), listening == "listening=1",
                              name.substr(5)};
        } else if (kind == "served") {
            int fd = 0;
            words >> fd;
            const auto space = line.find(' ', 7);
            report.served[fd] = space == std::string::npos ? "" : line.substr(space + 1);
        }
    }
    return report;
}

struct LocalSocket {
    UniqueFd fd;
    std::string name;  // address as the probe prints it
    int port = 0;
};

LocalSocket localSocket(int type) {
    LocalSocket s{UniqueFd(::socket(AF_INET, type | SOCK_CLOEXEC, 0)), "", 0};
    EXPECT_GE(s.fd.get(), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(s.fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (type == SOCK_STREAM) {
        EXPECT_EQ(::listen(s.fd.get(), 8), 0);
    }
    socklen_t length = sizeof address;
    EXPECT_EQ(::getsockname(s.fd.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    s.port = ntohs(address.sin_port);
    s.name = "127.0.0.1:" + std::to_string(s.port);
    return s;
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

void sendDatagram(int port, const std::string& text) {
    UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to = loopback(port);
    EXPECT_EQ(::sendto(s.get(), text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to),
              static_cast<ssize_t>(text.size()));
}

// The connection waits in the listen queue until the probe accepts it.
void sendOnConnection(int port, const std::string& text) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to = loopback(port);
    ASSERT_EQ(::connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(::send(s.get(), text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
    ::shutdown(s.get(), SHUT_WR);
}

// Retries while the path does not exist yet or is not listening yet.
bool reachUnixSocket(const std::string& path, int type, const std::string& text) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        ADD_FAILURE() << "socket path too long: " << path;
        return false;
    }
    std::copy(path.begin(), path.end(), address.sun_path);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        UniqueFd s(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
        const auto* to = reinterpret_cast<const sockaddr*>(&address);
        if (type == SOCK_DGRAM) {
            if (::sendto(s.get(), text.data(), text.size(), 0, to, sizeof address) ==
                static_cast<ssize_t>(text.size())) {
                return true;
            }
        } else if (::connect(s.get(), to, sizeof address) == 0) {
            const bool sent = ::send(s.get(), text.data(), text.size(), MSG_NOSIGNAL) ==
                              static_cast<ssize_t>(text.size());
            ::shutdown(s.get(), SHUT_WR);
            return sent;
        }
        if (errno != ENOENT && errno != ECONNREFUSED) {
            ADD_FAILURE() << path << ": " << std::strerror(errno);
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "nothing listened on " << path;
    return false;
}

class SocketExecTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Copies in a world-readable directory, so nobody can run them wherever the build is.
        std::string pattern = (fs::temp_directory_path() / "socket-exec-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::permissions(dir_, fs::perms(0755));
        for (const char* program : {"socket-exec", "socket-exec-probe"}) {
            fs::copy_file(fs::path(PELLIMAR_BIN_DIR) / program, dir_ / program);
            fs::permissions(dir_ / program, fs::perms(0755));
        }
        launcher_ = (dir_ / "socket-exec").string();
        probe_ = (dir_ / "socket-exec-probe").string();
    }

    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::vector<std::string> baseEnvironment() const {
        return {"PATH=/usr/bin:/bin", "NODE_OPTIONS=--max-old-space-size=64", "NODE_PATH=/opt/node",
                "NODE_COMPILE_CACHE=/tmp/cache", "KEEP_ME=kept value"};
    }

    // Each set of sockets in the activation order given, placed from descriptor 3 up.
    Spawn activated(const std::vector<std::pair<std::string, const LocalSocket*>>& order,
                    std::vector<std::string> launcherArgs) const {
        Spawn spawn;
        std::vector<std::string> argv = {launcher_};
        argv.insert(argv.end(), launcherArgs.begin(), launcherArgs.end());
        spawn.argv = unprivileged(argv);
        spawn.environment = baseEnvironment();
        std::string names;
        for (std::size_t i = 0; i < order.size(); ++i) {
            spawn.descriptors.emplace_back(order[i].second->fd.get(), 3 + static_cast<int>(i));
            names += (i == 0 ? "" : ":") + order[i].first;
        }
        spawn.environment.push_back("LISTEN_FDS=" + std::to_string(order.size()));
        spawn.environment.push_back("LISTEN_FDNAMES=" + names);
        spawn.listenPidIsChild = true;
        return spawn;
    }

    void expectOnlyStandardAnd(const Report& report, std::vector<int> placed) const {
        std::vector<int> open;
        for (const auto& [fd, facts] : report.fds) {
            open.push_back(fd);
        }
        placed.insert(placed.begin(), {0, 1, 2});
        EXPECT_EQ(open, placed) << "no staging copy at 20 or above may survive";
    }

    void expectRanUnprivileged(const Report& report) const {
        ASSERT_TRUE(report.uid);
        EXPECT_NE(*report.uid, 0u);
    }

    fs::path dir_;
    std::string launcher_;
    std::string probe_;
};

TEST_F(SocketExecTest, FullModePlacesThreeSocketsWhateverOrderTheyArriveIn) {
    const LocalSocket udp = localSocket(SOCK_DGRAM);
    const LocalSocket dnsTcp = localSocket(SOCK_STREAM);
    const LocalSocket httpsTcp = localSocket(SOCK_STREAM);
    std::vector<std::pair<std::string, const LocalSocket*>> order = {
        {"dnsTCP", &dnsTcp}, {"dnsUDP", &udp}, {"httpsTCP", &httpsTcp}};
    std::sort(order.begin(), order.end());

    int round = 0;
    do {
        SCOPED_TRACE("activation order " + order[0].first + " " + order[1].first + " " +
                     order[2].first);
        const std::string tag = std::to_string(round++);
        auto spawn = activated(
            order, {probe_, "--serve=3", "--serve=4", "--serve=5", "two words", "--dns-only", ""});
        spawn.environment.push_back("PELLIMAR_TEST_SOCKET_ACTIVATION=stale");
        Child child(std::move(spawn));
        sendDatagram(udp.port, "dns query " + tag);
        sendOnConnection(dnsTcp.port, "dns stream " + tag);
        sendOnConnection(httpsTcp.port, "https " + tag);
        const Outcome outcome = child.finish();

        ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        Report report = parseReport(outcome.out);
        expectRanUnprivileged(report);
        EXPECT_EQ(report.args,
                  (std::vector<std::string>{probe_, "--serve=3", "--serve=4", "--serve=5",
                                            "two words", "--dns-only", ""}));
        expectOnlyStandardAnd(report, {3, 4, 5});
        const std::array<std::pair<const LocalSocket*, std::string>, 3> expected = {
            {{&udp, "dgram"}, {&dnsTcp, "stream"}, {&httpsTcp, "stream"}}};
        for (int i = 0; i < 3; ++i) {
            const FdFacts& facts = report.fds[3 + i];
            EXPECT_EQ(facts.name, expected[i].first->name) << "descriptor " << 3 + i;
            EXPECT_EQ(facts.type, expected[i].second) << "descriptor " << 3 + i;
            EXPECT_FALSE(facts.cloexec) << "descriptor " << 3 + i;
        }
        EXPECT_TRUE(report.fds[4].listening);
        EXPECT_TRUE(report.fds[5].listening);
        EXPECT_EQ(report.served[3], "dns query " + tag);
        EXPECT_EQ(report.served[4], "dns stream " + tag);
        EXPECT_EQ(report.served[5], "https " + tag);

        EXPECT_EQ(report.valuesOf("PELLIMAR_TEST_SOCKET_ACTIVATION"),
                  std::vector<std::string>{"1"});
        EXPECT_FALSE(report.hasVariable("PELLIMAR_DNS_SOCKET_ACTIVATION="));
        EXPECT_FALSE(report.hasVariable("NODE_"));
        EXPECT_FALSE(report.hasVariable("LISTEN_"));
        EXPECT_EQ(report.valuesOf("KEEP_ME"), std::vector<std::string>{"kept value"});
        EXPECT_EQ(report.valuesOf("PATH"), std::vector<std::string>{"/usr/bin:/bin"});
        if (HasFailure()) {
            break;  // one misplacement is enough; each costs the probe's full wait
        }
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST_F(SocketExecTest, DnsOnlyPlacesTwoAndLeavesDescriptorFiveAlone) {
    const LocalSocket udp = localSocket(SOCK_DGRAM);
    const LocalSocket dnsTcp = localSocket(SOCK_STREAM);
    const LocalSocket other = localSocket(SOCK_STREAM);

    struct Case {
        std::string what;
        std::vector<std::pair<std::string, const LocalSocket*>> order;
        bool strayOnFive;
    };
    const std::vector<Case> cases = {
        {"two sockets, reversed, another socket on 5",
         {{"dnsTCP", &dnsTcp}, {"dnsUDP", &udp}},
         true},
        {"three declared, httpsTCP on 5",
         {{"dnsUDP", &udp}, {"dnsTCP", &dnsTcp}, {"httpsTCP", &other}},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto spawn = activated(c.order, {"--dns-only", probe_, "--serve=3", "--serve=4"});
        if (c.strayOnFive) {
            spawn.descriptors.emplace_back(other.fd.get(), 5);
        }
        spawn.environment.push_back("PELLIMAR_DNS_SOCKET_ACTIVATION=0");
        Child child(std::move(spawn));
        sendDatagram(udp.port, "dns only query");
        sendOnConnection(dnsTcp.port, "dns only stream");
        const Outcome outcome = child.finish();

        ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        Report report = parseReport(outcome.out);
        expectRanUnprivileged(report);
        EXPECT_EQ(report.args, (std::vector<std::string>{probe_, "--serve=3", "--serve=4"}));
        expectOnlyStandardAnd(report, {3, 4, 5});
        EXPECT_EQ(report.fds[3].name, udp.name);
        EXPECT_EQ(report.fds[4].name, dnsTcp.name);
        EXPECT_FALSE(report.fds[3].cloexec);
        EXPECT_FALSE(report.fds[4].cloexec);
        EXPECT_EQ(report.fds[5].name, other.name);
        EXPECT_FALSE(report.fds[5].cloexec);
        EXPECT_EQ(report.served[3], "dns only query");
        EXPECT_EQ(report.served[4], "dns only stream");

        EXPECT_EQ(report.valuesOf("PELLIMAR_DNS_SOCKET_ACTIVATION"), std::vector<std::string>{"1"});
        EXPECT_FALSE(report.hasVariable("PELLIMAR_TEST_SOCKET_ACTIVATION="));
        EXPECT_FALSE(report.hasVariable("NODE_"));
        EXPECT_FALSE(report.hasVariable("LISTEN_"));
    }
}

TEST_F(SocketExecTest, RuntimeStartsWithStandardDescriptorsOpenWhenTheLauncherHadThemClosed) {
    const LocalSocket udp = localSocket(SOCK_DGRAM);
    const LocalSocket dnsTcp = localSocket(SOCK_STREAM);
    auto spawn = activated({{"dnsUDP", &udp}, {"dnsTCP", &dnsTcp}}, {"--dns-only", probe_, "x"});
    spawn.closed = {STDIN_FILENO, STDERR_FILENO};
    const Outcome outcome = run(std::move(spawn));
    ASSERT_EQ(outcome.exitStatus, 0);
    Report report = parseReport(outcome.out);
    expectOnlyStandardAnd(report, {3, 4});
    EXPECT_EQ(report.fds[0].type, "none");
    EXPECT_EQ(report.fds[2].type, "none");
    EXPECT_EQ(report.fds[3].name, udp.name);
    EXPECT_EQ(report.fds[4].name, dnsTcp.name);
}

TEST_F(SocketExecTest, RefusesShortCommandLines) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {probe_}, {"--dns-only"}}) {
        std::vector<std::string> argv = {launcher_};
        argv.insert(argv.end(), args.begin(), args.end());
        const Outcome outcome = run({unprivileged(argv), {}, baseEnvironment(), false, {}, {}});
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_EQ(outcome.err, "non-root runtime required\n");
        EXPECT_EQ(outcome.out, "");
    }
}

TEST_F(SocketExecTest, RefusesRootEvenWhenActivated) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "refusing root needs root";
    }
    const LocalSocket udp = localSocket(SOCK_DGRAM);
    const LocalSocket dnsTcp = localSocket(SOCK_STREAM);
    auto spawn = activated({{"dnsUDP", &udp}, {"dnsTCP", &dnsTcp}}, {"--dns-only", probe_, "x"});
    spawn.argv = {launcher_, "--dns-only", probe_, "x"};
    const Outcome outcome = run(std::move(spawn));
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_EQ(outcome.err, "non-root runtime required\n");
    EXPECT_EQ(outcome.out, "");
}

TEST_F(SocketExecTest, DnsOnlyWithoutProgramArgumentFailsSilently) {
    const LocalSocket udp = localSocket(SOCK_DGRAM);
    const LocalSocket dnsTcp = localSocket(SOCK_STREAM);
    const Outcome outcome =
        run(activated({{"dnsUDP", &udp}, {"dnsTCP", &dnsTcp}}, {"--dns-only", probe_}));
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, "");
}

TEST_F(SocketExecTest, ReportsActivationFailures) {
    const LocalSocket udp = localSocket(SOCK_DGRAM);
    const LocalSocket dnsTcp = localSocket(SOCK_STREAM);
    const LocalSocket httpsTcp = localSocket(SOCK_STREAM);
    const std::vector<std::pair<std::string, const LocalSocket*>> all = {
        {"dnsUDP", &udp}, {"dnsTCP", &dnsTcp}, {"httpsTCP", &httpsTcp}};

    std::vector<std::pair<std::string, Spawn>> cases;
    {
        Spawn byHand;
        byHand.argv = unprivileged({launcher_, probe_, "x"});
        byHand.environment = baseEnvironment();
        cases.emplace_back("started by hand", std::move(byHand));
    }
    {
        Spawn otherProcess = activated(all, {probe_, "x"});
        otherProcess.listenPidIsChild = false;
        otherProcess.environment.push_back("LISTEN_PID=1");
        cases.emplace_back("activation meant for another process", std::move(otherProcess));
    }
    cases.emplace_back("httpsTCP missing in full mode", activated({all[0], all[1]}, {probe_, "x"}));
    cases.emplace_back("a name given twice", activated({all[0], all[1], {"dnsUDP", &httpsTcp}},
                                                       {"--dns-only", probe_, "x"}));
    {
        Spawn mismatch = activated(all, {probe_, "x"});
        for (auto& entry : mismatch.environment) {
            if (entry.starts_with("LISTEN_FDS=")) {
                entry = "LISTEN_FDS=2";
            }
        }
        cases.emplace_back("more names than descriptors", std::move(mismatch));
    }
    for (auto& [what, spawn] : cases) {
        SCOPED_TRACE(what);
        const Outcome outcome = run(std::move(spawn));
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_EQ(outcome.err, "socket activation failed\n");
        EXPECT_EQ(outcome.out, "");
    }
}

TEST_F(SocketExecTest, FailsSilentlyWhenDescriptorsCannotBeMoved) {
    const LocalSocket udp = localSocket(SOCK_DGRAM);
    const LocalSocket dnsTcp = localSocket(SOCK_STREAM);
    const LocalSocket httpsTcp = localSocket(SOCK_STREAM);

    // No descriptor from 20 up may be opened.
    Spawn limited =
        activated({{"dnsUDP", &udp}, {"dnsTCP", &dnsTcp}, {"httpsTCP", &httpsTcp}}, {probe_, "x"});
    limited.descriptorLimit = kStagingFloor;
    // A declared descriptor that was never opened.
    Spawn closed =
        activated({{"dnsUDP", &udp}, {"dnsTCP", &dnsTcp}, {"httpsTCP", &httpsTcp}}, {probe_, "x"});
    closed.descriptors.pop_back();

    for (Spawn* spawn : {&limited, &closed}) {
        const Outcome outcome = run(std::move(*spawn));
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.out, "");
    }
}

TEST_F(SocketExecTest, ReportsAProgramThatCannotBeExecuted) {
    const LocalSocket udp = localSocket(SOCK_DGRAM);
    const LocalSocket dnsTcp = localSocket(SOCK_STREAM);
    const std::string notExecutable = (dir_ / "not-executable").string();
    { std::ofstream(notExecutable) << "#!/bin/sh\n"; }
    fs::permissions(notExecutable, fs::perms(0644));

    const std::vector<std::pair<std::string, std::string>> cases = {
        {(dir_ / "missing").string(), "execv: No such file or directory\n"},
        {notExecutable, "execv: Permission denied\n"},
    };
    for (const auto& [program, message] : cases) {
        SCOPED_TRACE(program);
        auto spawn =
            activated({{"dnsUDP", &udp}, {"dnsTCP", &dnsTcp}}, {"--dns-only", program, "x"});
        const Outcome outcome = run(std::move(spawn));
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_EQ(outcome.err, message);
        EXPECT_EQ(outcome.out, "");
    }
}

TEST_F(SocketExecTest, RunsUnderSystemdSocketActivate) {
    const auto activate =
        findTool({"/usr/bin/systemd-socket-activate", "/bin/systemd-socket-activate"});
    if (!activate) {
        GTEST_SKIP() << "systemd-socket-activate is not installed";
    }
    // Unix socket paths rather than ports, so nothing else can take an address first.
    const std::string udpPath = (dir_ / "dns-udp.sock").string();
    const std::string dnsTcpPath = (dir_ / "dns-tcp.sock").string();
    const std::string httpsTcpPath = (dir_ / "https-tcp.sock").string();

    // One run of the tool makes sockets of one kind and passes on those it was given: an outer
    // run for the datagram socket, then an inner one for the two stream sockets.
    Spawn spawn;
    spawn.argv = {*activate,
                  "--datagram",
                  "--listen=" + udpPath,
                  *activate,
                  "--listen=" + dnsTcpPath,
                  "--listen=" + httpsTcpPath,
                  "--fdname=dnsUDP:dnsTCP:httpsTCP",
                  "--setenv=NODE_OPTIONS=--inspect",
                  "--setenv=NODE_COMPILE_CACHE=/tmp/cache",
                  "--setenv=KEEP_ME=kept"};
    for (std::string& arg :
         unprivileged({launcher_, probe_, "--serve=3", "--serve=4", "--serve=5"})) {
        spawn.argv.push_back(std::move(arg));
    }
    spawn.environment = {"PATH=/usr/bin:/bin"};
    Child child(std::move(spawn));
    // Each run waits for traffic on its own sockets before it executes the next program.
    ASSERT_TRUE(reachUnixSocket(udpPath, SOCK_DGRAM, "activated query"));
    ASSERT_TRUE(reachUnixSocket(dnsTcpPath, SOCK_STREAM, "activated dns stream"));
    ASSERT_TRUE(reachUnixSocket(httpsTcpPath, SOCK_STREAM, "activated https"));
    const Outcome outcome = child.finish();

    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
    Report report = parseReport(outcome.out);
    expectRanUnprivileged(report);
    expectOnlyStandardAnd(report, {3, 4, 5});
    EXPECT_EQ(report.fds[3].name, udpPath);
    EXPECT_EQ(report.fds[3].type, "dgram");
    EXPECT_EQ(report.fds[4].name, dnsTcpPath);
    EXPECT_EQ(report.fds[5].name, httpsTcpPath);
    for (int fd : {3, 4, 5}) {
        EXPECT_FALSE(report.fds[fd].cloexec) << "descriptor " << fd;
    }
    EXPECT_EQ(report.served[3], "activated query");
    EXPECT_EQ(report.served[4], "activated dns stream");
    EXPECT_EQ(report.served[5], "activated https");
    EXPECT_EQ(report.valuesOf("PELLIMAR_TEST_SOCKET_ACTIVATION"), std::vector<std::string>{"1"});
    EXPECT_FALSE(report.hasVariable("NODE_"));
    EXPECT_FALSE(report.hasVariable("LISTEN_"));
    EXPECT_EQ(report.valuesOf("KEEP_ME"), std::vector<std::string>{"kept"});
}

}  // namespace
}  // namespace pellimar::socket_exec
