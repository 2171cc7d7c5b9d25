#include "OutputLevel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace corvane {
namespace {

struct ShapeCase {
    std::string name;
    TOutputLevel level;
    unsigned channels;
    std::vector<int16_t> in;
    std::vector<int16_t> out;
};

class ShapePcm16Test : public testing::TestWithParam<ShapeCase> {};

TEST_P(ShapePcm16Test, Shapes) {
    const ShapeCase& c = GetParam();
    std::vector<int16_t> samples = c.in;
    ShapePcm16(samples.data(), samples.size() / c.channels, c.channels, c.level);
    EXPECT_EQ(samples, c.out);
}

constexpr int16_t Min = std::numeric_limits<int16_t>::min();
constexpr int16_t Max = std::numeric_limits<int16_t>::max();

INSTANTIATE_TEST_SUITE_P(
    OutputLevel, ShapePcm16Test,
    testing::Values(
        ShapeCase{"FullVolumeLeavesSamples",
                  {100, false, 0},
                  1,
                  {0, 1, -1, Min, Max},
                  {0, 1, -1, Min, Max}},
        // Halves round away from zero on both sides.
        ShapeCase{"HalfRoundsToNearest",
                  {50, false, 0},
                  1,
                  {1, -1, 3, -3, 4, Min, Max},
                  {1, -1, 2, -2, 2, -16384, 16384}},
        ShapeCase{"ThirtyThreePercent",
                  {33, false, 0},
                  1,
                  {100, -100, 3, 2, -2, 1000},
                  {33, -33, 1, 1, -1, 330}},
        ShapeCase{"ZeroVolumeIsSilence", {0, false, 0}, 1, {5, -5, Max}, {0, 0, 0}},
        ShapeCase{"MuteIsSilenceAtAnyVolume", {100, true, 0}, 2, {5, -5, Max, Min}, {0, 0, 0, 0}},
        ShapeCase{"BothPartiesKeepChannels", {100, false, 0}, 2, {1, 2, 3, 4}, {1, 2, 3, 4}},
        ShapeCase{"FirstPartyOnEveryChannel", {100, false, 1}, 2, {1, 2, 3, 4}, {1, 1, 3, 3}},
        ShapeCase{"SecondPartyOnEveryChannel", {100, false, 2}, 2, {1, 2, 3, 4}, {2, 2, 4, 4}},
        ShapeCase{"PartyThenVolume", {50, false, 2}, 2, {100, 7, -100, -7}, {4, 4, -4, -4}},
        // One channel, or more than two: played as they are.
        ShapeCase{"PartyIgnoredForOneChannel", {100, false, 2}, 1, {1, 2, 3}, {1, 2, 3}},
        ShapeCase{"PartyIgnoredForThreeChannels",
                  {100, false, 1},
                  3,
                  {1, 2, 3, 4, 5, 6},
                  {1, 2, 3, 4, 5, 6}}),
    [](const testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

TEST(OutputLevelTest, EveryVolumeMatchesRoundedProduct) {
    for (int volume = 0; volume <= 100; ++volume) {
        for (int s :
             {int{Min}, -32767, -12345, -151, -50, -1, 0, 1, 49, 50, 151, 12345, int{Max}}) {
            std::vector<int16_t> sample{static_cast<int16_t>(s)};
            ShapePcm16(sample.data(), 1, 1, {volume, false, 0});
            EXPECT_EQ(sample[0], static_cast<int16_t>(std::lround(s * volume / 100.0)))
                << "sample " << s << " at volume " << volume;
        }
    }
}

TEST(OutputLevelTest, CurrentLevelKeepsEveryFieldAndClamps) {
    const TOutputLevel before = CurrentOutputLevel();
    struct Case {
        TOutputLevel set, read;
    };
    for (const Case& c :
         {Case{{37, true, 2}, {37, true, 2}}, Case{{0, false, 1}, {0, false, 1}},
          Case{{100, false, 0}, {100, false, 0}}, Case{{140, false, 3}, {100, false, 0}},
          Case{{-5, true, -1}, {0, true, 0}}}) {
        SetOutputLevel(c.set);
        EXPECT_EQ(CurrentOutputLevel(), c.read)
            << c.set.Volume << "/" << c.set.Mute << "/" << c.set.Party;
    }
    SetOutputLevel(before);
}

} // namespace
} // namespace corvane
