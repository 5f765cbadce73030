#include "socket_exec/socket_exec.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellimar::socket_exec {
namespace {

std::vector<std::string> args(std::initializer_list<const char*> list) {
    return {list.begin(), list.end()};
}

TEST(ParseInvocation, RefusesTooFewArgumentsAndRootWithTheSameFailure) {
    for (const auto& arguments : {args({}), args({"/bin/runtime"}), args({"--dns-only"})}) {
        const auto parsed = parseInvocation(arguments, 1000);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(parsed.error().failure, LaunchFailure::nonRootRequired);
    }
    // Root is refused before the mode is even looked at.
    for (const auto& arguments :
         {args({"/bin/runtime", "main.js"}), args({"--dns-only", "/bin/runtime"})}) {
        const auto parsed = parseInvocation(arguments, 0);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(parsed.error().failure, LaunchFailure::nonRootRequired);
    }
}

TEST(ParseInvocation, DnsOnlyNeedsAnArgumentAfterTheProgram) {
    const auto parsed = parseInvocation(args({"--dns-only", "/bin/runtime"}), 1000);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().failure, LaunchFailure::missingProgramArgument);
}

TEST(ParseInvocation, ProgramArgumentsStartAtTheProgramPath) {
    const auto full = parseInvocation(args({"/bin/runtime", "main.js", "--dns-only", ""}), 1000);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->mode, Mode::full);
    EXPECT_EQ(full->programArguments, args({"/bin/runtime", "main.js", "--dns-only", ""}));

    const auto dns = parseInvocation(args({"--dns-only", "/bin/runtime", "main.js"}), 1000);
    ASSERT_TRUE(dns);
    EXPECT_EQ(dns->mode, Mode::dnsOnly);
    EXPECT_EQ(dns->programArguments, args({"/bin/runtime", "main.js"}));

    // Only the exact flag switches the mode; anything else is the program.
    const auto upper = parseInvocation(args({"--DNS-ONLY", "/bin/runtime"}), 1000);
    ASSERT_TRUE(upper);
    EXPECT_EQ(upper->mode, Mode::full);
    EXPECT_EQ(upper->programArguments.front(), "--DNS-ONLY");
}

ListenVariables listen(std::optional<std::string> pid, std::optional<std::string> fds,
                       std::optional<std::string> names) {
    return {std::move(pid), std::move(fds), std::move(names)};
}

TEST(ActivateSocket, FindsDescriptorsByNameFromThree) {
    const auto vars = listen("42", "3", "httpsTCP:dnsUDP:dnsTCP");
    EXPECT_EQ(*activateSocket("httpsTCP", vars, 42), std::vector<int>{3});
    EXPECT_EQ(*activateSocket("dnsUDP", vars, 42), std::vector<int>{4});
    EXPECT_EQ(*activateSocket("dnsTCP", vars, 42), std::vector<int>{5});
    EXPECT_TRUE(activateSocket("other", vars, 42)->empty());
    // Names are compared exactly.
    EXPECT_TRUE(activateSocket("dnsudp", vars, 42)->empty());
}

TEST(ActivateSocket, ReportsEveryDescriptorOfARepeatedName) {
    const auto vars = listen("42", "3", "dnsUDP:dnsTCP:dnsUDP");
    EXPECT_EQ(*activateSocket("dnsUDP", vars, 42), (std::vector<int>{3, 5}));
}

TEST(ActivateSocket, UnnamedDescriptorsAreUnknown) {
    const auto vars = listen("42", "2", std::nullopt);
    EXPECT_EQ(*activateSocket("unknown", vars, 42), (std::vector<int>{3, 4}));
    EXPECT_TRUE(activateSocket("dnsUDP", vars, 42)->empty());
}

TEST(ActivateSocket, AHugeCountWithoutNamesAllocatesNothing) {
    // Found by fuzzing: the count used to size a list of names.
    const auto vars = listen("42", "2000000000", std::nullopt);
    EXPECT_TRUE(activateSocket("dnsUDP", vars, 42)->empty());
}

TEST(ActivateSocket, AppliesOnlyToTheNamedProcess) {
    EXPECT_EQ(
        activateSocket("dnsUDP", listen(std::nullopt, std::nullopt, std::nullopt), 42).error(),
        ActivationError::notActivated);
    EXPECT_EQ(activateSocket("dnsUDP", listen(std::nullopt, "1", "dnsUDP"), 42).error(),
              ActivationError::notActivated);
    EXPECT_EQ(activateSocket("dnsUDP", listen("43", "1", "dnsUDP"), 42).error(),
              ActivationError::notActivated);
    EXPECT_EQ(activateSocket("dnsUDP", listen("42", std::nullopt, "dnsUDP"), 42).error(),
              ActivationError::notActivated);
}

TEST(ActivateSocket, RejectsMalformedVariables) {
    for (const char* pid : {"", "+42", "-42", " 42", "42 ", "42x", "99999999999999999999"}) {
        EXPECT_EQ(activateSocket("dnsUDP", listen(pid, "1", "dnsUDP"), 42).error(),
                  ActivationError::malformed)
            << "LISTEN_PID=" << pid;
    }
    for (const char* fds : {"", "-1", "1x", "0x1", "99999999999999999999", "2147483647"}) {
        EXPECT_EQ(activateSocket("dnsUDP", listen("42", fds, "dnsUDP"), 42).error(),
                  ActivationError::malformed)
            << "LISTEN_FDS=" << fds;
    }
    // The names must account for every descriptor, no more and no fewer.
    for (const char* names : {"dnsUDP", "dnsUDP:dnsTCP:httpsTCP", ""}) {
        EXPECT_EQ(activateSocket("dnsUDP", listen("42", "2", names), 42).error(),
                  ActivationError::malformed)
            << "LISTEN_FDNAMES=" << names;
    }
    // An empty name still counts as a descriptor.
    EXPECT_EQ(*activateSocket("dnsTCP", listen("42", "2", ":dnsTCP"), 42), std::vector<int>{4});
}

TEST(PreparedEnvironment, RemovesRuntimeAndActivationVariablesAndSetsTheMarker) {
    const auto environment =
        args({"PATH=/usr/bin", "NODE_OPTIONS=--inspect", "NODE_PATH=/x", "NODE_COMPILE_CACHE=/c",
              "NODE_ENV=production", "NODE_OPTIONS_EXTRA=1", "LISTEN_PID=7", "LISTEN_FDS=3",
              "LISTEN_FDNAMES=a:b:c", "LISTEN_PIDFDID=9", "PELLIMAR_TEST_SOCKET_ACTIVATION=0",
              "PELLIMAR_TEST_SOCKET_ACTIVATION=yes", "PELLIMAR_DNS_SOCKET_ACTIVATION=0",
              "EMPTY=", "NOEQUALS"});

    EXPECT_EQ(preparedEnvironment(environment, Mode::full),
              args({"PATH=/usr/bin", "NODE_ENV=production", "NODE_OPTIONS_EXTRA=1",
                    "PELLIMAR_DNS_SOCKET_ACTIVATION=0", "EMPTY=", "NOEQUALS",
                    "PELLIMAR_TEST_SOCKET_ACTIVATION=1"}));
    EXPECT_EQ(preparedEnvironment(environment, Mode::dnsOnly),
              args({"PATH=/usr/bin", "NODE_ENV=production", "NODE_OPTIONS_EXTRA=1",
                    "PELLIMAR_TEST_SOCKET_ACTIVATION=0", "PELLIMAR_TEST_SOCKET_ACTIVATION=yes",
                    "EMPTY=", "NOEQUALS", "PELLIMAR_DNS_SOCKET_ACTIVATION=1"}));
    EXPECT_EQ(preparedEnvironment({}, Mode::full), args({"PELLIMAR_TEST_SOCKET_ACTIVATION=1"}));
}

TEST(StageDescriptor, CopiesAboveTheTargetsWithCloseOnExec) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);

    auto first = stageDescriptor(readEnd.get());
    ASSERT_TRUE(first);
    EXPECT_GE(first->get(), kStagingFloor);
    EXPECT_EQ(::fcntl(first->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    // The original stays open and without the flag it had not got.
    EXPECT_EQ(::fcntl(readEnd.get(), F_GETFD) & FD_CLOEXEC, 0);

    auto second = stageDescriptor(writeEnd.get());
    ASSERT_TRUE(second);
    EXPECT_GE(second->get(), kStagingFloor);
    EXPECT_NE(second->get(), first->get());

    ASSERT_EQ(::write(second->get(), "x", 1), 1);
    char byte = 0;
    ASSERT_EQ(::read(first->get(), &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
}

}  // namespace
}  // namespace pellimar::socket_exec
