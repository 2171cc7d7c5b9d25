// Version texts, their comparison, masks, and the copy tool's parameter text
// read back the way the copy tool reads it.

#include "Platform.h"
#include "Updater.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace corvane {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct VersionCase {
    const char* Text;
    std::array<std::int32_t, 4> Parts;
};

class TranslateVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(TranslateVersionTest, Parts) {
    EXPECT_EQ(TranslateVersion(GetParam().Text).Parts, GetParam().Parts) << GetParam().Text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TranslateVersionTest,
    ::testing::Values(VersionCase{"5.0.12.34", {5, 0, 12, 34}}, VersionCase{"5.0", {5, 0, -1, -1}},
                      VersionCase{"5.0.*.*", {5, 0, -1, -1}}, VersionCase{"5..1", {5, 0, 1, -1}},
                      VersionCase{"", {-1, -1, -1, -1}}, VersionCase{"*", {-1, -1, -1, -1}},
                      VersionCase{"5.", {5, -1, -1, -1}}, VersionCase{"*.3", {-1, 3, -1, -1}},
                      VersionCase{"x.2.y", {0, 2, 0, -1}},
                      // "*" inside the last part leaves it absent; elsewhere it is no number
                      VersionCase{"1.2*.3*", {1, 0, -1, -1}},
                      VersionCase{"$10.0x1F", {16, 31, -1, -1}}, VersionCase{"7", {7, -1, -1, -1}},
                      // parts after the fourth have no place and are dropped
                      VersionCase{"1.2.3.4.5.6", {1, 2, 3, 4}},
                      VersionCase{"99999999999.1", {0, 1, -1, -1}}));

struct CompareCase {
    const char* Installed;
    const char* Latest;
    bool Needed;
};

class UpdateNeededTest : public ::testing::TestWithParam<CompareCase> {};

TEST_P(UpdateNeededTest, LatestIsNewer) {
    const auto& c = GetParam();
    EXPECT_EQ(UpdateNeeded(TranslateVersion(c.Installed), TranslateVersion(c.Latest)), c.Needed)
        << c.Installed << " -> " << c.Latest;
}

INSTANTIATE_TEST_SUITE_P(
    Table, UpdateNeededTest,
    ::testing::Values(CompareCase{"5.0.12.34", "5.0.13", true},
                      CompareCase{"5.0.12.34", "5.0.12", false}, // -1 is less than 34
                      CompareCase{"5.0.12", "5.0.12.0", true},
                      CompareCase{"5.0.12.0", "5.0.12", false},
                      CompareCase{"5.0.12.34", "5.0.12.34", false},
                      CompareCase{"5.1.0.0", "5.0.99.99", false}, CompareCase{"4.9.9.9", "5", true},
                      CompareCase{"", "0", true}, CompareCase{"", "", false},
                      CompareCase{"1.0.0.1", "0", false}, CompareCase{"10.0", "9.0", false},
                      CompareCase{"9.0", "10.0", true}));

struct MaskCase {
    const char* Mask;
    const char* Installed;
    bool Matches;
};

class MaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskTest, Serves) {
    const auto& c = GetParam();
    EXPECT_EQ(MaskMatches(TranslateVersion(c.Mask), TranslateVersion(c.Installed)), c.Matches)
        << c.Mask << " vs " << c.Installed;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MaskTest,
    ::testing::Values(MaskCase{"5.0", "5.0.3.7", true}, MaskCase{"5.0.*.*", "5.0.3.7", true},
                      MaskCase{"5.0", "5.1.0.0", false}, MaskCase{"", "1.2.3.4", true},
                      MaskCase{"*", "1.2.3.4", true}, MaskCase{"5.*.3", "5.9.3.1", true},
                      MaskCase{"5.*.3", "5.9.4.1", false}, MaskCase{"5.0.3.7", "5.0.3.7", true},
                      MaskCase{"5.0.3.7", "5.0.3.8", false},
                      // an empty installed version matches only masks without parts
                      MaskCase{"5.0", "", false}, MaskCase{"*.*", "", true},
                      MaskCase{"0", "", false}));

// The copy tool receives the parameter text split by the Windows rules and
// must get back exactly what the updater put in, spaces in paths included.
TEST(CopyToolParametersTest, RoundTripThroughTheCommandLine) {
    const std::string text = BuildCopyToolParameters(
        1234, "/opt/Quorin Call Monitor/corvane",
        {"/home/u/.config/Brindlex/Updates/corvane", "/home/u/.config/Brindlex/Updates/a b.txt"});
    EXPECT_EQ(text, "-id 1234 -p \"/opt/Quorin Call Monitor/corvane -u\" -f "
                    "\"/home/u/.config/Brindlex/Updates/corvane\" -f "
                    "\"/home/u/.config/Brindlex/Updates/a b.txt\"");
    TCopyToolArgs args;
    std::string error;
    ASSERT_TRUE(ParseCopyToolArgs(SplitParameterText(text), args, error)) << error;
    EXPECT_EQ(args.ProcessId, 1234);
    EXPECT_EQ(args.Program, "/opt/Quorin Call Monitor/corvane");
    EXPECT_EQ(args.ProgramParameters, "-u");
    EXPECT_THAT(args.Files, ElementsAre("/home/u/.config/Brindlex/Updates/corvane",
                                        "/home/u/.config/Brindlex/Updates/a b.txt"));
}

struct BadArgsCase {
    std::vector<std::string> Args;
    const char* Error;
};

class CopyToolBadArgsTest : public ::testing::TestWithParam<BadArgsCase> {};

TEST_P(CopyToolBadArgsTest, Refused) {
    TCopyToolArgs args;
    std::string error;
    EXPECT_FALSE(ParseCopyToolArgs(GetParam().Args, args, error));
    EXPECT_THAT(error, HasSubstr(GetParam().Error));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CopyToolBadArgsTest,
    ::testing::Values(BadArgsCase{{}, "-id is missing"},
                      BadArgsCase{{"-id", "12", "-f", "/x"}, "-p is missing"},
                      BadArgsCase{{"-id", "x1", "-p", "/p -u"}, "no process id"},
                      BadArgsCase{{"-id", "0", "-p", "/p -u"}, "no process id"},
                      BadArgsCase{{"-id", "12", "-p"}, "-p without a value"},
                      BadArgsCase{{"-id", "12", "-p", "/p -u", "-x", "1"}, "unexpected"},
                      // a second -p smuggled in through a file name
                      BadArgsCase{{"-id", "12", "-p", "/p -u", "-p", "/bin/sh"}, "twice"},
                      BadArgsCase{{"-id", "12", "-id", "13", "-p", "/p"}, "twice"}));

} // namespace
} // namespace corvane
