#include "AnswerFormat.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace std::string_literals;

namespace corvane {
namespace {

template <typename Case> std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// --- SplitLines -------------------------------------------------------------

struct SplitCase {
    std::string name;
    std::string text;
    std::vector<std::string> lines;
};

class SplitLinesTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitLinesTest, Lines) {
    const TStringLt lines = SplitLines(GetParam().text);
    EXPECT_EQ(lines.Lines(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitLinesTest,
                         testing::ValuesIn(std::vector<SplitCase>{
                             {"EmptyTextIsOneEmptyLine", "", {""}},
                             {"NoBreak", "abc", {"abc"}},
                             {"CrLf", "a\r\nb", {"a", "b"}},
                             {"CrAlone", "a\rb", {"a", "b"}},
                             {"LfAloneStaysInLine", "a\nb", {"a\nb"}},
                             {"LfBeforeCrStaysInLine", "a\n\rb", {"a\n", "b"}},
                             {"TrailingBreakGivesEmptyLastLine", "a\r\n", {"a", ""}},
                             {"OnlyBreak", "\r\n", {"", ""}},
                             {"CrThenCrLf", "a\r\r\nb", {"a", "", "b"}},
                             {"StopsAtNul", "a\0b\r\nc"s, {"a"}},
                             {"NulAfterBreak", "a\r\n\0b\r\nc"s, {"a", ""}},
                         }),
                         CaseName<SplitCase>);

TEST(StringListTest, CopyIsIndependent) {
    TStringLt a = SplitLines("x\r\ny");
    TStringLt b = a;
    b.Add("z");
    ASSERT_EQ(a.Count(), 2u);
    ASSERT_EQ(b.Count(), 3u);
    EXPECT_EQ(b[2], "z");
    std::vector<std::string> iterated(a.begin(), a.end());
    EXPECT_EQ(iterated, (std::vector<std::string>{"x", "y"}));
}

// --- ParseAnswer ------------------------------------------------------------

struct AnswerCase {
    std::string name;
    std::string text;
    StrMap fields;
};

class ParseAnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(ParseAnswerTest, Fields) {
    EXPECT_EQ(ParseAnswer(GetParam().text), GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseAnswerTest,
    testing::ValuesIn(std::vector<AnswerCase>{
        {"PollAnswer",
         "ServerTime: 1700000000\r\nList: [{id:1}]\r\nKnow: k42\r\n",
         {{"ServerTime", "1700000000"}, {"List", "[{id:1}]"}, {"Know", "k42"}}},
        {"CrOnlyBreaks", "A: 1\rB: 2", {{"A", "1"}, {"B", "2"}}},
        {"LfOnlyIsOneLine",
         "Error: NotLoggedIn\nServerTime: 5\n",
         {{"Error", "NotLoggedIn\nServerTime: 5\n"}}},
        {"NoBlankLosesFirstCharacter", "Error:NotLoggedIn", {{"Error", "otLoggedIn"}}},
        {"EndsAtColon", "Know:", {{"Know", ""}}},
        {"EndsOneAfterColon", "Know:x\r\nA: 1", {{"Know", ""}, {"A", "1"}}},
        {"ValueKeepsBlanks", "A:   x  ", {{"A", "  x  "}}},
        {"KeyKeepsLeadingBlank", " Error: x", {{" Error", "x"}}},
        {"UnderscoreKeysSkipped", "_Debug: 1\r\nA_b: 2", {{"A_b", "2"}}},
        {"EmptyKeySkipped", ": v\r\nA: 1", {{"A", "1"}}},
        {"LineWithoutColonSkipped", "garbage\r\n\r\nA: 1", {{"A", "1"}}},
        {"LaterValueWins", "A: 1\r\nA: 2", {{"A", "2"}}},
        {"OnlyFirstColonSplits", "Time: 12:30:45", {{"Time", "12:30:45"}}},
        {"StopsAtNul", "A: 1\r\nB: 2\0\r\nC: 3"s, {{"A", "1"}, {"B", "2"}}},
        {"Empty", "", {}},
    }),
    CaseName<AnswerCase>);

TEST(ParseAnswerOrderTest, KeysInByteOrder) {
    const StrMap fields = ParseAnswer("b: 1\r\n\xC3\xA4: 2\r\nab: 3\r\na: 4\r\nB: 5\r\n");
    std::vector<std::string> keys;
    for (const auto& [k, v] : fields)
        keys.push_back(k);
    // Upper case before lower case, a prefix first, bytes above 127 last.
    EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "b", "\xC3\xA4"}));
}

// --- UnquoteValue -----------------------------------------------------------

struct UnquoteCase {
    std::string name;
    std::string value;
    std::string expected;
};

class UnquoteValueTest : public testing::TestWithParam<UnquoteCase> {};

TEST_P(UnquoteValueTest, Result) {
    EXPECT_EQ(UnquoteValue(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnquoteValueTest,
                         testing::ValuesIn(std::vector<UnquoteCase>{
                             {"NumberUnchanged", "1700000000", "1700000000"},
                             {"Quoted", "\"abc\"", "abc"},
                             {"EmptyQuotes", "\"\"", ""},
                             {"Empty", "", ""},
                             {"LineFeedEscape", "\"a\\nb\"", "a\nb"},
                             {"CarriageReturnEscape", "\"a\\rb\"", "a\rb"},
                             {"BackslashEscape", "\"a\\\\b\"", "a\\b"},
                             {"QuoteEscape", "\"say \\\"hi\\\"\"", "say \"hi\""},
                             {"OtherEscapeIsTheCharacter", "\"a\\tb\"", "atb"},
                             {"BackslashOutsideQuotesKept", "a\\nb", "a\\nb"},
                             {"QuotesInsideText", "ab\"cd\"ef", "abcdef"},
                             {"Unterminated", "\"open", "open"},
                             {"EndsInBackslash", "\"open\\", "open"},
                             {"Utf8Kept", "\"\xC5\x81ukasz \xE5\xB1\xB1\"",
                              "\xC5\x81ukasz \xE5\xB1\xB1"},
                             {"StopsAtNulOutside", "a\0b"s, "a"},
                             {"StopsAtNulInside", "\"a\0b\""s, "a"},
                             {"StopsAtNulAfterBackslash", "\"a\\\0n\""s, "a"},
                         }),
                         CaseName<UnquoteCase>);

// --- ParseRecordList --------------------------------------------------------

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Rec {
    Fields fields;
    size_t fieldsWhenAppended = 0;
};
using RecList = std::vector<std::unique_ptr<Rec>>;

void OnField(void** slot, const std::string& key, const std::string& value) {
    if (*slot == nullptr)
        *slot = new Rec(); // NOLINT: ownership passes to OnRecord's list
    static_cast<Rec*>(*slot)->fields.emplace_back(key, value);
}

void OnRecord(void* target, void* record) {
    auto* rec = static_cast<Rec*>(record);
    rec->fieldsWhenAppended = rec->fields.size();
    static_cast<RecList*>(target)->emplace_back(rec);
}

std::vector<Fields> Parse(const std::string& list) {
    RecList records;
    ParseRecordList(list, &records, OnRecord, OnField);
    std::vector<Fields> out;
    for (const auto& r : records) {
        // The record reaches the list right after its first field.
        EXPECT_EQ(r->fieldsWhenAppended, 1u);
        out.push_back(r->fields);
    }
    return out;
}

struct RecordListCase {
    std::string name;
    std::string list;
    std::vector<Fields> records;
};

class ParseRecordListTest : public testing::TestWithParam<RecordListCase> {};

TEST_P(ParseRecordListTest, Records) {
    EXPECT_EQ(Parse(GetParam().list), GetParam().records);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseRecordListTest,
                         testing::ValuesIn(std::vector<RecordListCase>{
                             {"TwoRecords",
                              "[{id:1,lname:\"J\xC3\xB6rg\",startdate:1700000000},{id:2}]",
                              {{{"id", "1"}, {"lname", "J\xC3\xB6rg"}, {"startdate", "1700000000"}},
                               {{"id", "2"}}}},
                             {"EmptyText", "", {}},
                             {"EmptyList", "[]", {}},
                             {"NoOpeningBracket", "{id:1}", {}},
                             {"TextAroundAndBetweenIgnored",
                              "x]{id:0}[ {id:1} , {id:2} ]{id:3}",
                              {{{"id", "1"}}, {{"id", "2"}}}},
                             {"OnlyRecordEmpty", "[{}]", {}},
                             {"EmptyRecordSwallowsNextKey", "[{},{id:1}]", {{{"},{id", "1"}}}},
                             {"CommaInsideQuotesCutsValue",
                              "[{rname:\"Doe, John\",id:7,direction:1}]",
                              {{{"rname", "Doe"}, {" John\",id", "7"}, {"direction", "1"}}}},
                             {"QuotedKeyKeptWithQuotes", "[{\"id\":5}]", {{{"\"id\"", "5"}}}},
                             {"EscapesInValue", "[{n:\"a\\nb\\\\c\"}]", {{{"n", "a\nb\\c"}}}},
                             {"ColonInValue", "[{t:\"12:30\"}]", {{{"t", "12:30"}}}},
                             {"EmptyValue", "[{a:,b:\"\"}]", {{{"a", ""}, {"b", ""}}}},
                             {"BrokenOffInValue", "[{id:1,lname:\"Ann", {{{"id", "1"}}}},
                             {"BrokenOffInKey", "[{id:1},{id", {{{"id", "1"}}}},
                             {"BrokenOffAfterColon", "[{id:", {}},
                             {"BrokenOffAfterRecord", "[{id:1}", {{{"id", "1"}}}},
                             {"ClosingBraceEndsRecord", "[{a:x}y,b:2}]", {{{"a", "x"}}}},
                             {"StopsAtNulBetweenRecords", "[{id:1}\0,{id:2}]"s, {{{"id", "1"}}}},
                             {"StopsAtNulInValue", "[{id:1,x:a\0b}]"s, {{{"id", "1"}}}},
                             {"StopsAtNulInKey", "[{id:1,x\0:b}]"s, {{{"id", "1"}}}},
                         }),
                         CaseName<RecordListCase>);

// The walk stops before the record past the limit begins; only a record
// that would have been taken counts as one too many.
struct RecordLimitCase {
    std::string name;
    std::string list;
    size_t maxRecords;
    std::vector<Fields> records;
    bool cut;
};

class ParseRecordListLimitTest : public testing::TestWithParam<RecordLimitCase> {};

TEST_P(ParseRecordListLimitTest, TakesAtMostTheLimit) {
    const RecordLimitCase& c = GetParam();
    RecList records;
    EXPECT_EQ(ParseRecordList(c.list, &records, OnRecord, OnField, c.maxRecords), c.cut);
    std::vector<Fields> taken;
    for (const auto& r : records)
        taken.push_back(r->fields);
    EXPECT_EQ(taken, c.records);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseRecordListLimitTest,
    testing::ValuesIn(std::vector<RecordLimitCase>{
        {"AtTheLimit", "[{id:1},{id:2}]", 2, {{{"id", "1"}}, {{"id", "2"}}}, false},
        {"OneOver", "[{id:1},{id:2},{id:3}]", 2, {{{"id", "1"}}, {{"id", "2"}}}, true},
        {"LastRecordKeepsAllItsFields",
         "[{id:1,n:a},{id:2,n:b}]",
         1,
         {{{"id", "1"}, {"n", "a"}}},
         true},
        {"UnfinishedRecordPastTheLimit",
         "[{id:1},{id:2},{id:3",
         2,
         {{{"id", "1"}}, {{"id", "2"}}},
         false},
        {"RecordsAfterTheListIgnored", "[{id:1}]{id:2}", 1, {{{"id", "1"}}}, false},
        {"ZeroTakesNone", "[{id:1}]", 0, {}, true},
    }),
    CaseName<RecordLimitCase>);

void OnFieldCreatesNothing(void**, const std::string&, const std::string&) {}

TEST(ParseRecordListContractTest, FieldCallbackThatCreatesNoRecordGetsNoAppend) {
    RecList records;
    ParseRecordList("[{id:1},{id:2}]", &records, OnRecord, OnFieldCreatesNothing);
    EXPECT_TRUE(records.empty());
}

} // namespace
} // namespace corvane
