// The simulator's building blocks that the other suites trust blindly: the
// G.711 compressor, the record list it writes, and its query decoding.

#include "SimClient.h"

#include "CallBook.h"
#include "CallSignal.h"
#include "G711.h"
#include "Query.h"

#include <gtest/gtest.h>

using namespace corvane::sim;
using namespace corvane::test;

namespace {

TEST(SimG711, KnownCodes) {
    EXPECT_EQ(LinearToALaw(0), 0xD5);
    EXPECT_EQ(LinearToALaw(-1), 0x55);
    EXPECT_EQ(LinearToALaw(32767), 0xAA);
    EXPECT_EQ(LinearToALaw(-32768), 0x2A);
    EXPECT_EQ(LinearToULaw(0), 0xFF);
    EXPECT_EQ(LinearToULaw(32767), 0x80);
    EXPECT_EQ(LinearToULaw(-32768), 0x00);
}

// Every code's decoded value compresses back to that code (mu-law 0x7F is
// the negative zero, which compresses to 0xFF), and every linear value lands
// on the code whose decoded value is nearest within its segment's step.
TEST(SimG711, EveryCodeRoundTrips) {
    for (int c = 0; c < 256; ++c) {
        const auto code = static_cast<unsigned char>(c);
        EXPECT_EQ(LinearToALaw(static_cast<int16_t>(ALawToLinear(code))), code) << c;
        if (code != 0x7F) {
            EXPECT_EQ(LinearToULaw(static_cast<int16_t>(ULawToLinear(code))), code) << c;
        }
    }
    for (int x = -32768; x <= 32767; x += 7) {
        const auto s = static_cast<int16_t>(x);
        // The A-law step is at most 1024, the mu-law step at most 1024 too
        // (plus the clipping of the top segment).
        EXPECT_LE(std::abs(ALawToLinear(LinearToALaw(s)) - x), 1024) << x;
        EXPECT_LE(std::abs(ULawToLinear(LinearToULaw(s)) - x), 1024 + 644) << x;
    }
}

struct TListCase {
    const char* name;
    std::string value;
};

class SimRecordList : public ::testing::TestWithParam<TListCase> {};

TEST_P(SimRecordList, ValueSurvivesTheClientsGrammar) {
    TSimCall call;
    const std::string error =
        MakeCall({{"id", "7"}, {"lname", GetParam().value}, {"direction", "2"}}, 1000, "x", call);
    ASSERT_EQ(error, "");
    const auto records = ParseRecordList("List: " + FormatRecordList({call, call}));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(FieldOf(records[1], "lname"), GetParam().value);
    EXPECT_EQ(FieldOf(records[1], "id"), "7");
    EXPECT_EQ(FieldOf(records[1], "remoteid"), "r7");
    EXPECT_EQ(FieldOf(records[1], "startdate"), "1000");
    EXPECT_EQ(FieldOf(records[1], "direction"), "2");
    EXPECT_EQ(records[1].size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(Values, SimRecordList,
                         ::testing::Values(TListCase{"plain", "Anna"}, TListCase{"empty", ""},
                                           TListCase{"utf8", "Jürgen Groß Łukasz Żółw Иван 李小龙"},
                                           TListCase{"quotes", "Kim \"Ace\" Lee"},
                                           TListCase{"backslashes", "Back\\Slash \\n \\\\"},
                                           TListCase{"line breaks", "two\r\nlines\rand\nmore"},
                                           TListCase{"colon and brackets", "a:b [x] {y"}),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             std::replace(n.begin(), n.end(), ' ', '_');
                             return n;
                         });

TEST(SimRecordList, RefusesWhatTheListCannotCarry) {
    TSimCall call;
    EXPECT_NE(MakeCall({{"lname", "Smith, John"}}, 0, "1", call), "");
    EXPECT_NE(MakeCall({{"cname", "x}y"}}, 0, "1", call), "");
    EXPECT_NE(MakeCall({{"colour", "red"}}, 0, "1", call), "");
    EXPECT_NE(MakeCall({{"age", "-3"}}, 0, "1", call), "");
    EXPECT_EQ(MakeCall({{"age", "75"}}, 1000, "1", call), "");
    EXPECT_EQ(call.Get("startdate"), "925");
}

TEST(SimRecordList, NonNumericNumbersAreQuoted) {
    TSimCall call;
    ASSERT_EQ(MakeCall({{"id", "1"}, {"direction", "in"}, {"startdate", "soon"}}, 0, "1", call),
              "");
    const std::string list = FormatRecordList({call});
    EXPECT_NE(list.find("direction:\"in\""), std::string::npos) << list;
    EXPECT_NE(list.find("startdate:\"soon\""), std::string::npos) << list;
}

TEST(SimQuery, DecodesPlusAndPercent) {
    const auto params = ParseQuery("/client.php?username=J%C3%B6rg+M%20x&password=a%26b%25%2B%7E+&"
                                   "flag&bad=%G1%4");
    EXPECT_EQ(QueryValue(params, "username"), "Jörg M x");
    EXPECT_EQ(QueryValue(params, "password"), "a&b%+~ ");
    EXPECT_TRUE(HasQueryKey(params, "flag"));
    EXPECT_EQ(QueryValue(params, "bad"), "%G1%4");
}

TEST(SimQuery, MasksEveryPassword) {
    EXPECT_EQ(MaskPassword("/client.php?info=x&password=s%20e&username=u&password=2"),
              "/client.php?info=x&password=***&username=u&password=***");
    EXPECT_EQ(MaskPassword("/sim/requests"), "/sim/requests");
}

TEST(SimSignal, StreamsOfOneCallAreIdentical) {
    TCallSignal a("r101", 0, true, 2), b("r101", 0, true, 2), c("r102", 0, true, 2);
    std::vector<uint8_t> x(16000), y(16000), z(16000);
    a.Render(x.data(), 8000);
    b.Render(y.data(), 5000);
    b.Render(y.data() + 10000, 3000);
    c.Render(z.data(), 8000);
    EXPECT_EQ(x, y);
    EXPECT_NE(TCallSignal::ToneOf("r101"), TCallSignal::ToneOf("r102"));
    EXPECT_NE(x, z);
}

} // namespace
