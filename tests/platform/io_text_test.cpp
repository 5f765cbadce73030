#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/common/write_all.hpp"
#include "platform/json/json_checks.hpp"

using pellimar::writeAll;
using pellimar::json::kAnyDepth;
using pellimar::json::parseText;
using Kind = pellimar::json::TextRefusal::Kind;

TEST(ParseText, RefusesANulByteWhereverItStandsAndSaysWhere) {
    const std::string text("{\"a\":1}\0{", 9);
    auto parsed = parseText(text, 4);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().kind, Kind::nulByte);
    EXPECT_EQ(parsed.error().nulOffset, 7u);
}

TEST(ParseText, BoundsNestingBeforeParsingAndIgnoresBracketsInStrings) {
    EXPECT_TRUE(parseText("[[[1]]]", 3));
    auto deep = parseText("[[[[1]]]]", 3);
    ASSERT_FALSE(deep);
    EXPECT_EQ(deep.error().kind, Kind::tooDeep);
    // Refused for its depth even though it is not JSON at all.
    EXPECT_EQ(parseText("[[[[ nonsense", 3).error().kind, Kind::tooDeep);
    EXPECT_TRUE(parseText(R"([["[[[[\"{{{{"]])", 3));
    // Without a bound only the parser's own limits apply.
    EXPECT_TRUE(parseText(std::string(10000, '[') + std::string(10000, ']')));
}

TEST(ParseText, RefusesTextThatIsNotUTF8OrNotJSONWithTheParsersWords) {
    for (const std::string bad :
         {"{\"a\":\"\xC0\xAF\"}", "{\"a\":\"\xED\xA0\x80\"}", "{\"a\":", "\xEF\xBB\xBF\xFF"}) {
        auto parsed = parseText(bad);
        ASSERT_FALSE(parsed) << bad;
        EXPECT_EQ(parsed.error().kind, Kind::notJson);
        EXPECT_NE(parsed.error().description.find("parse_error"), std::string::npos);
    }
    EXPECT_EQ(*parseText("{\"a\":\"\xC3\xBC\"}", kAnyDepth), nlohmann::json({{"a", "\xC3\xBC"}}));
}

TEST(WriteAll, DeliversEveryByteThroughAPipeThatTakesLessAtATime) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Far more than the pipe holds, so the writes are short and resumed.
    std::string sent(1 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = char(i * 131 % 251);
    }
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            received.append(buffer, std::size_t(n));
        }
    });
    EXPECT_EQ(writeAll(fds[1], sent), 0);
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received, sent);
}

TEST(WriteAll, ReportsTheErrorOfTheWriteThatFailed) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    EXPECT_EQ(writeAll(fds[1], "lost"), EPIPE);
    ::sigaction(SIGPIPE, &previous, nullptr);
    ::close(fds[1]);
    EXPECT_EQ(writeAll(fds[1], "closed"), EBADF);
    EXPECT_EQ(writeAll(fds[1], ""), 0);
}
