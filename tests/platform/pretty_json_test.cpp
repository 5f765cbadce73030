#include "platform/json/pretty_json.hpp"

#include <gtest/gtest.h>

#include <limits>

using pellimar::json::number;
using pellimar::json::pretty;

TEST(PrettyJson, SortsKeysAtEveryLevelWithSpacedColons) {
    nlohmann::ordered_json doc;
    doc["zeta"] = 1;
    doc["alpha"] = {{"b", true}, {"a", "x/y"}};
    doc["list"] = {nlohmann::json{{"k2", 2}, {"k1", 1}}};
    EXPECT_EQ(*pretty(nlohmann::json(doc)),
              "{\n"
              "  \"alpha\" : {\n"
              "    \"a\" : \"x/y\",\n"
              "    \"b\" : true\n"
              "  },\n"
              "  \"list\" : [\n"
              "    {\n"
              "      \"k1\" : 1,\n"
              "      \"k2\" : 2\n"
              "    }\n"
              "  ],\n"
              "  \"zeta\" : 1\n"
              "}");
}

TEST(PrettyJson, NumbersAreWholeWhenWholeAndShortestOtherwise) {
    EXPECT_EQ(number(48000.0), "48000");
    EXPECT_EQ(number(-2.0), "-2");
    EXPECT_EQ(number(44100.5), "44100.5");
    EXPECT_EQ(number(0.1), "0.1");
    EXPECT_EQ(*pretty(nlohmann::json::array({4294967295u, -7, 1.25})),
              "[\n  4294967295,\n  -7,\n  1.25\n]");
}

TEST(PrettyJson, EscapesControlCharactersButNotSlashes) {
    EXPECT_EQ(*pretty(nlohmann::json("a/b\"c\n")), "\"a/b\\\"c\\n\"");
}

TEST(PrettyJson, EmptyContainersStayValidJson) {
    auto text = *pretty(nlohmann::json::array());
    EXPECT_TRUE(nlohmann::json::parse(text).is_array());
    EXPECT_TRUE(nlohmann::json::parse(*pretty(nlohmann::json{{"a", nlohmann::json::object()}}))
                    .at("a")
                    .empty());
}

TEST(PrettyJson, NonFiniteNumbersFailInsteadOfPrintingNull) {
    for (double bad :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        auto text = pretty(nlohmann::json{{"rates", {48000.0, {{"x", -bad}}}}});
        ASSERT_FALSE(text);
        EXPECT_EQ(text.error(), "Invalid number in JSON output (not finite)");
    }
    EXPECT_TRUE(pretty(nlohmann::json{{"a", nullptr}}));
}
