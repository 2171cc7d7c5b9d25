// TVcPNGButton driven with mouse events; what it shows is read back from a
// grab of the widget and compared with the pictures it was given.

#include "VcPNGButton.h"
#include "PNGComponent.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

namespace corvane {
namespace {

constexpr QRgb kBackground = 0xff202020;
constexpr QRgb kNormal = 0xffff0000;
constexpr QRgb kClick = 0xff00ff00;
constexpr QRgb kOver = 0xff0000ff;

QImage Solid(int w, int h, QRgb colour) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

QImage Shot(QWidget& w) {
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The one colour of every pixel, or nothing when the picture is mixed.
std::optional<QRgb> Uniform(const QImage& image) {
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != first)
                return std::nullopt;
    return first;
}

void SendMove(QWidget& w, QPoint pos, Qt::MouseButtons buttons) {
    QMouseEvent ev(QEvent::MouseMove, QPointF(pos), QPointF(w.mapToGlobal(pos)), Qt::NoButton,
                   buttons, Qt::NoModifier);
    QApplication::sendEvent(&w, &ev);
}

class VcPNGButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        FNormal.SetImage(Solid(30, 30, kNormal));
        FClick.SetImage(Solid(30, 30, kClick));
        FOver.SetImage(Solid(30, 30, kOver));
        FButton = std::make_unique<TVcPNGButton>();
        FButton->SetColor(QColor::fromRgb(kBackground));
        FButton->SetImgNormal(&FNormal);
        FButton->SetImgClick(&FClick);
        FButton->SetImgOver(&FOver);
        FClicks = std::make_unique<QSignalSpy>(FButton.get(), &QAbstractButton::clicked);
        FClick2s = std::make_unique<QSignalSpy>(FButton.get(), &TVcPNGButton::click2);
    }
    void TearDown() override { TVcPNGButton::SetMessageHook({}); }

    std::optional<QRgb> Shown() { return Uniform(Shot(*FButton)); }

    TPNGComponent FNormal, FClick, FOver;
    std::unique_ptr<TVcPNGButton> FButton;
    std::unique_ptr<QSignalSpy> FClicks, FClick2s;
};

TEST_F(VcPNGButtonTest, StartsAs30By30ShowingTheNormalPicture) {
    EXPECT_EQ(FButton->size(), QSize(30, 30));
    EXPECT_EQ(Shown(), kNormal);
}

// A gesture: one mouse action, then the picture that must be showing.
enum class Act { Move, Press, Release, Leave, RightPress };
struct Step {
    Act act;
    QPoint pos;
    QRgb shown;
};
struct GestureCase {
    const char* name;
    std::vector<Step> steps;
    int clicks;  // clicked(): the ordinary click
    int click2s; // click2(): release while hovering
};
std::ostream& operator<<(std::ostream& os, const GestureCase& c) {
    return os << c.name;
}

class GestureTest : public VcPNGButtonTest, public ::testing::WithParamInterface<GestureCase> {};

TEST_P(GestureTest, ShowsTheRightPictureAndRaisesTheRightEvents) {
    Qt::MouseButtons held;
    for (const Step& s : GetParam().steps) {
        switch (s.act) {
        case Act::Move:
            SendMove(*FButton, s.pos, held);
            break;
        case Act::Press:
            QTest::mousePress(FButton.get(), Qt::LeftButton, {}, s.pos);
            held = Qt::LeftButton;
            break;
        case Act::RightPress:
            QTest::mousePress(FButton.get(), Qt::RightButton, {}, s.pos);
            QTest::mouseRelease(FButton.get(), Qt::RightButton, {}, s.pos);
            break;
        case Act::Release:
            QTest::mouseRelease(FButton.get(), Qt::LeftButton, {}, s.pos);
            held = Qt::NoButton;
            break;
        case Act::Leave: {
            QEvent leave(QEvent::Leave);
            QApplication::sendEvent(FButton.get(), &leave);
            break;
        }
        }
        EXPECT_EQ(Shown(), s.shown)
            << "after the step to (" << s.pos.x() << ", " << s.pos.y() << ")";
    }
    EXPECT_EQ(FClicks->count(), GetParam().clicks);
    EXPECT_EQ(FClick2s->count(), GetParam().click2s);
}

const QPoint kIn(15, 15);
const QPoint kOut(45, 15);

INSTANTIATE_TEST_SUITE_P(
    Mouse, GestureTest,
    ::testing::Values(
        GestureCase{"HoverAndAway", {{Act::Move, kIn, kOver}, {Act::Move, kOut, kNormal}}, 0, 0},
        GestureCase{
            "LeaveEventEndsHover", {{Act::Move, kIn, kOver}, {Act::Leave, {}, kNormal}}, 0, 0},
        GestureCase{
            "ClickInside",
            {{Act::Move, kIn, kOver}, {Act::Press, kIn, kClick}, {Act::Release, kIn, kOver}},
            1,
            1},
        GestureCase{"PressSlideOffReleaseOutside",
                    {{Act::Move, kIn, kOver},
                     {Act::Press, kIn, kClick},
                     {Act::Move, kOut, kNormal},
                     {Act::Release, kOut, kNormal}},
                    0,
                    0},
        GestureCase{"PressSlideOffAndBack",
                    {{Act::Move, kIn, kOver},
                     {Act::Press, kIn, kClick},
                     {Act::Move, kOut, kNormal},
                     {Act::Move, kIn, kClick},
                     {Act::Release, kIn, kOver}},
                    1,
                    1},
        // The far edges count as over the button for the picture and click2;
        // the ordinary click keeps the toolkit's hit test, which excludes them.
        GestureCase{"HeldAtTheFarCornerStillOver",
                    {{Act::Move, kIn, kOver},
                     {Act::Press, kIn, kClick},
                     {Act::Move, {30, 30}, kClick},
                     {Act::Release, {30, 30}, kOver}},
                    0,
                    1},
        GestureCase{"HeldOnePixelBeyondTheEdge",
                    {{Act::Move, kIn, kOver},
                     {Act::Press, kIn, kClick},
                     {Act::Move, {31, 15}, kNormal},
                     {Act::Release, {31, 15}, kNormal}},
                    0,
                    0},
        GestureCase{"RightButtonDoesNothing",
                    {{Act::Move, kIn, kOver}, {Act::RightPress, kIn, kOver}},
                    0,
                    0}),
    [](const ::testing::TestParamInfo<GestureCase>& info) { return info.param.name; });

struct EdgeCase {
    QPoint pos;
    bool inside;
};
std::ostream& operator<<(std::ostream& os, const EdgeCase& c) {
    return os << "(" << c.pos.x() << ", " << c.pos.y() << ")";
}

class EdgeTest : public VcPNGButtonTest, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(EdgeTest, HoverIncludesTheFarEdges) {
    SendMove(*FButton, GetParam().pos, Qt::NoButton);
    EXPECT_EQ(FButton->Hovering(), GetParam().inside);
    EXPECT_EQ(Shown(), GetParam().inside ? kOver : kNormal);
}

INSTANTIATE_TEST_SUITE_P(Mouse, EdgeTest,
                         ::testing::Values(EdgeCase{{30, 15}, true}, EdgeCase{{15, 30}, true},
                                           EdgeCase{{30, 30}, true}, EdgeCase{{0, 0}, true},
                                           EdgeCase{{31, 15}, false}, EdgeCase{{15, 31}, false},
                                           EdgeCase{{-1, 15}, false}, EdgeCase{{15, -1}, false}));

TEST_F(VcPNGButtonTest, DownShowsTheClickPictureWhateverTheMouseDoes) {
    FButton->SetDown(true);
    EXPECT_EQ(Shown(), kClick);
    SendMove(*FButton, kIn, Qt::NoButton);
    EXPECT_EQ(Shown(), kClick);
    QTest::mousePress(FButton.get(), Qt::LeftButton, {}, kIn);
    SendMove(*FButton, kOut, Qt::LeftButton);
    EXPECT_EQ(Shown(), kClick);
    QTest::mouseRelease(FButton.get(), Qt::LeftButton, {}, kOut);
    FButton->SetDown(false);
    EXPECT_EQ(Shown(), kNormal);
}

TEST_F(VcPNGButtonTest, DisablingClearsHoverAndPressAndTheMouseIsIgnored) {
    SendMove(*FButton, kIn, Qt::NoButton);
    QTest::mousePress(FButton.get(), Qt::LeftButton, {}, kIn);
    ASSERT_EQ(Shown(), kClick);

    FButton->setEnabled(false);
    EXPECT_FALSE(FButton->Pressed());
    EXPECT_FALSE(FButton->Hovering());
    EXPECT_EQ(Shown(), kNormal);
    QTest::mouseRelease(FButton.get(), Qt::LeftButton, {}, kIn);
    SendMove(*FButton, {10, 10}, Qt::NoButton);
    QTest::mousePress(FButton.get(), Qt::LeftButton, {}, kIn);
    EXPECT_EQ(Shown(), kNormal);
    QTest::mouseRelease(FButton.get(), Qt::LeftButton, {}, kIn);
    EXPECT_EQ(FClicks->count(), 0);
    EXPECT_EQ(FClick2s->count(), 0);

    // Enabled again, it stays normal until the pointer moves.
    FButton->setEnabled(true);
    EXPECT_EQ(Shown(), kNormal);
    SendMove(*FButton, kIn, Qt::NoButton);
    EXPECT_EQ(Shown(), kOver);
}

TEST_F(VcPNGButtonTest, MissingPictureShowsTheBackgroundAndAlphaIsBlended) {
    FButton->SetImgOver(nullptr);
    SendMove(*FButton, kIn, Qt::NoButton);
    EXPECT_EQ(Shown(), kBackground);

    TPNGComponent half;
    half.SetImage(Solid(30, 30, qRgba(255, 255, 255, 128)));
    FButton->SetColor(Qt::black);
    FButton->SetImgOver(&half);
    const QRgb blended = Shot(*FButton).pixel(10, 10);
    EXPECT_NEAR(qRed(blended), 128, 1);
    EXPECT_NEAR(qGreen(blended), 128, 1);
    EXPECT_NEAR(qBlue(blended), 128, 1);
}

TEST_F(VcPNGButtonTest, SettingAComponentImageCopiesIt) {
    QImage source = Solid(30, 30, kOver);
    TPNGComponent holder;
    holder.SetImage(source);
    source.fill(kClick);
    EXPECT_EQ(holder.Image().pixel(3, 3), kOver);

    FButton->SetImgAt(source);
    source.fill(kNormal);
    EXPECT_EQ(FButton->ImgAt().pixel(3, 3), kClick);
}

// ImageWidthAdjust: a picture whose every column has its own colour shows
// which picture column lands on which button column.
QImage ColumnCoded(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            image.setPixel(x, y, qRgb(x, 100, 50));
    return image;
}

struct Segment {
    int from, to; // button columns [from, to)
    int shift;    // picture column = button column - shift
};
struct WidthCase {
    const char* name;
    int buttonWidth;
    int pictureWidth;
    std::vector<Segment> segments;
};
std::ostream& operator<<(std::ostream& os, const WidthCase& c) {
    return os << c.name;
}

class WidthAdjustTest : public VcPNGButtonTest, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(WidthAdjustTest, KeepsTheRightCapAtTheRightEdge) {
    const WidthCase& c = GetParam();
    TPNGComponent picture;
    picture.SetImage(ColumnCoded(c.pictureWidth, 30));
    FButton->SetImgNormal(&picture);
    FButton->SetImageWidthAdjust(true);
    FButton->resize(c.buttonWidth, 30);
    const QImage shot = Shot(*FButton);
    int checked = 0;
    for (const Segment& s : c.segments) {
        for (int x = s.from; x < s.to; ++x, ++checked) {
            const int column = x - s.shift;
            for (int y : {0, 29})
                ASSERT_EQ(shot.pixel(x, y), qRgb(column, 100, 50))
                    << "button column " << x << " should show picture column " << column;
        }
    }
    EXPECT_EQ(checked, c.buttonWidth);
}

INSTANTIATE_TEST_SUITE_P(
    Drawing, WidthAdjustTest,
    ::testing::Values(
        // Narrower picture: left part, middle part from picture column 15 on,
        // right cap.
        WidthCase{"NarrowPicture", 50, 40, {{0, 25, 0}, {25, 35, 10}, {35, 50, 10}}},
        // Wider picture: its left part, then its right cap.
        WidthCase{"WidePicture", 40, 60, {{0, 25, 0}, {25, 40, -20}}},
        WidthCase{"SameWidth", 40, 40, {{0, 25, 0}, {25, 40, 0}}},
        // Much wider button: the middle part (columns 15..24) repeats.
        WidthCase{"MiddleRepeats",
                  70,
                  40,
                  {{0, 25, 0}, {25, 35, 10}, {35, 45, 20}, {45, 55, 30}, {55, 70, 30}}}),
    [](const ::testing::TestParamInfo<WidthCase>& info) { return info.param.name; });

// Caption and ImgAt layout. The button has no state pictures here, so every
// pixel that is not the background belongs to the caption or to ImgAt.
constexpr QRgb kWhite = 0xffffffff;
constexpr QRgb kMagenta = 0xffff00ff;

QFont TestFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(16);
    font.setBold(true);
    return font;
}

// Bounding box of the caption's ink (pixels neither background nor ImgAt).
QRect InkBox(const QImage& image) {
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (p != kWhite && p != kMagenta)
                box |= QRect(x, y, 1, 1);
        }
    return box;
}

bool HasPixel(const QImage& image, QRgb colour) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == colour)
                return true;
    return false;
}

class CaptionTest : public ::testing::Test {
protected:
    void SetUp() override {
        FButton.resize(90, 30);
        FButton.SetColor(Qt::white);
        FButton.setFont(TestFont());
        QPalette pal = FButton.palette();
        pal.setColor(QPalette::ButtonText, Qt::black);
        FButton.setPalette(pal);
    }
    TVcPNGButton FButton;
};

struct LayoutCase {
    const char* name;
    bool imgAt;
    bool down;
};
std::ostream& operator<<(std::ostream& os, const LayoutCase& c) {
    return os << c.name;
}

class CaptionLayoutTest : public CaptionTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(CaptionLayoutTest, CentresCaptionAndImgAtAndOffsetsThemWhenDown) {
    const LayoutCase& c = GetParam();
    const QString caption = QStringLiteral("H");
    FButton.SetCaption(caption);
    FButton.SetDownColor(Qt::red);
    FButton.SetDown(c.down);
    if (c.imgAt)
        FButton.SetImgAt(Solid(10, 12, kMagenta));
    const QImage shot = Shot(FButton);

    // Where the glyph's ink sits inside its own text box.
    QImage probe(90, 30, QImage::Format_RGB32);
    probe.fill(kWhite);
    {
        QPainter p(&probe);
        p.setFont(TestFont());
        p.setPen(Qt::black);
        p.drawText(QRect(0, 0, 90, 30), Qt::AlignLeft | Qt::AlignTop, caption);
    }
    const QRect glyph = InkBox(probe);
    const QSize text = QFontMetrics(TestFont()).size(Qt::TextSingleLine, caption);

    const int offset = c.down ? 1 : 0;
    const int total = text.width() + (c.imgAt ? 10 + 4 : 0);
    int left = (90 - total) / 2 + offset;
    if (c.imgAt) {
        const QRect img(left, (30 - 12) / 2 + offset, 10, 12);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 90; ++x)
                ASSERT_EQ(shot.pixel(x, y) == kMagenta, img.contains(x, y))
                    << "ImgAt pixel at (" << x << ", " << y << ")";
        left += 14;
    }
    const int top = (30 - text.height()) / 2 + offset;
    EXPECT_EQ(InkBox(shot), glyph.translated(left, top));
    EXPECT_EQ(HasPixel(shot, qRgb(255, 0, 0)), c.down);
    EXPECT_EQ(HasPixel(shot, qRgb(0, 0, 0)), !c.down);
}

INSTANTIATE_TEST_SUITE_P(Drawing, CaptionLayoutTest,
                         ::testing::Values(LayoutCase{"CaptionOnly", false, false},
                                           LayoutCase{"CaptionOnlyDown", false, true},
                                           LayoutCase{"WithImgAt", true, false},
                                           LayoutCase{"WithImgAtDown", true, true}),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) {
                             return info.param.name;
                         });

TEST_F(CaptionTest, DisabledCaptionIsGrey) {
    FButton.SetCaption(QStringLiteral("H"));
    FButton.setEnabled(false);
    const QImage shot = Shot(FButton);
    EXPECT_TRUE(HasPixel(shot, qRgb(0x80, 0x80, 0x80)));
    EXPECT_FALSE(HasPixel(shot, qRgb(0, 0, 0)));
}

QImage CaptionShot(const QString& caption, bool interpretPrefix) {
    TVcPNGButton button;
    button.resize(90, 30);
    button.SetColor(Qt::white);
    button.setFont(TestFont());
    button.SetInterpretPrefix(interpretPrefix);
    button.SetCaption(caption);
    return Shot(button);
}

TEST(VcPNGButtonPrefix, DoubledAmpersandIsALiteralAmpersand) {
    EXPECT_EQ(CaptionShot(QStringLiteral("A&&B"), true), CaptionShot(QStringLiteral("A&B"), false));
}

TEST(VcPNGButtonPrefix, AmpersandUnderlinesTheNextCharacterOnlyWhenInterpreted) {
    const QRect plain = InkBox(CaptionShot(QStringLiteral("B"), false));
    const QRect marked = InkBox(CaptionShot(QStringLiteral("&B"), true));
    const QRect literal = InkBox(CaptionShot(QStringLiteral("&B"), false));
    // The underline reaches below the letter; the letter itself stays put.
    EXPECT_GT(marked.bottom(), plain.bottom());
    EXPECT_EQ(marked.top(), plain.top());
    // Drawn literally, the "&" takes room of its own.
    EXPECT_GT(literal.width(), plain.width() + 4);
}

struct ShortcutCase {
    const char* caption;
    bool interpret;
    const char* shortcut;
};
std::ostream& operator<<(std::ostream& os, const ShortcutCase& c) {
    return os << c.caption << (c.interpret ? "" : " (literal)");
}

class ShortcutTest : public ::testing::TestWithParam<ShortcutCase> {};

TEST_P(ShortcutTest, AcceleratorFollowsTheCaption) {
    TVcPNGButton button;
    button.SetInterpretPrefix(GetParam().interpret);
    button.SetCaption(QString::fromUtf8(GetParam().caption));
    EXPECT_EQ(button.shortcut(), QKeySequence(QString::fromUtf8(GetParam().shortcut)));
}

INSTANTIATE_TEST_SUITE_P(
    Prefix, ShortcutTest,
    ::testing::Values(ShortcutCase{"&Go", true, "Alt+G"}, ShortcutCase{"G&o", true, "Alt+O"},
                      ShortcutCase{"&&Go", true, ""}, ShortcutCase{"Go", true, ""},
                      ShortcutCase{"&Go", false, ""}, ShortcutCase{"Go&", true, ""}));

TEST(VcPNGButtonPrefix, TurningInterpretationOffDropsTheAccelerator) {
    TVcPNGButton button;
    button.SetCaption(QStringLiteral("&Go"));
    button.SetInterpretPrefix(false);
    EXPECT_TRUE(button.shortcut().isEmpty());
    button.SetInterpretPrefix(true);
    EXPECT_EQ(button.shortcut(), QKeySequence(QStringLiteral("Alt+G")));
}

// In a real (offscreen) window: focus rectangle and the accelerator key.
TEST(VcPNGButtonWindow, FocusRectangleAndAcceleratorKey) {
    QWidget window;
    window.resize(200, 100);
    TVcPNGButton* button = new TVcPNGButton(&window);
    button->move(20, 20);
    button->SetColor(Qt::white);
    button->SetCaption(QStringLiteral("&G"));
    QPalette pal = button->palette();
    pal.setColor(QPalette::ButtonText, Qt::blue); // caption ink must not look like the frame
    button->setPalette(pal);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    button->setFocus();
    ASSERT_TRUE(button->hasFocus());

    const auto frameHasBlack = [&] {
        const QImage shot = Shot(*button);
        for (int i = 0; i < 30; ++i)
            for (QPoint p : {QPoint(i, 0), QPoint(i, 29), QPoint(0, i), QPoint(29, i)})
                if (shot.pixel(p) == qRgb(0, 0, 0))
                    return true;
        return false;
    };
    EXPECT_TRUE(frameHasBlack());
    button->SetDrawFocusRect(false);
    EXPECT_FALSE(frameHasBlack());

    QSignalSpy clicks(button, &QAbstractButton::clicked);
    QTest::keyClick(&window, Qt::Key_G, Qt::AltModifier);
    if (clicks.count() == 0)
        clicks.wait(5000); // the accelerator clicks a moment later
    EXPECT_EQ(clicks.count(), 1);
}

// Resource pictures: ids v, v + 1, v + 2 for normal, click and over.
QImage Composited(int id) {
    QImage expected(30, 30, QImage::Format_RGB32);
    expected.fill(kBackground);
    if (id != 0) {
        QPainter p(&expected);
        p.drawImage(0, 0,
                    QImage(QStringLiteral(":/res/%1.png").arg(id))
                        .convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }
    return expected;
}

struct ResourceCase {
    const char* name;
    int id;
    int messages;
    std::array<int, 3> shown; // resource id per state (normal, click, over); 0 = background
};
std::ostream& operator<<(std::ostream& os, const ResourceCase& c) {
    return os << c.name;
}

class ResourceTest : public VcPNGButtonTest, public ::testing::WithParamInterface<ResourceCase> {};

TEST_P(ResourceTest, LoadsThreeConsecutiveIdsOrReportsTheFailure) {
    std::vector<QString> messages;
    TVcPNGButton::SetMessageHook([&](QWidget*, const QString& text) { messages.push_back(text); });
    const ResourceCase& c = GetParam();
    FButton->SetLoadFromResource(c.id);
    ASSERT_EQ(static_cast<int>(messages.size()), c.messages);
    for (const QString& m : messages)
        EXPECT_EQ(m.toStdString(), "Failed to load images from resource.");

    EXPECT_EQ(Shot(*FButton), Composited(c.shown[0])) << "normal";
    SendMove(*FButton, kIn, Qt::NoButton);
    EXPECT_EQ(Shot(*FButton), Composited(c.shown[2])) << "over";
    QTest::mousePress(FButton.get(), Qt::LeftButton, {}, kIn);
    EXPECT_EQ(Shot(*FButton), Composited(c.shown[1])) << "click";
    QTest::mouseRelease(FButton.get(), Qt::LeftButton, {}, kIn);

    // Back to 0: the referenced pictures again.
    FButton->SetLoadFromResource(0);
    EXPECT_EQ(Shown(), kOver);
}

INSTANTIATE_TEST_SUITE_P(Resources, ResourceTest,
                         ::testing::Values(ResourceCase{"GridIcons", 1000, 0, {1000, 1001, 1002}},
                                           ResourceCase{"LastOneMissing", 1003, 1, {1003, 1004, 0}},
                                           ResourceCase{"NoneThere", 5000, 1, {0, 0, 0}},
                                           ResourceCase{"TopOfTheRange", INT_MAX, 1, {0, 0, 0}},
                                           ResourceCase{"Negative", -7, 1, {0, 0, 0}}),
                         [](const ::testing::TestParamInfo<ResourceCase>& info) {
                             return info.param.name;
                         });

TEST(Pictures, EveryPictureIsInTheResourcesWithItsSize) {
    struct Picture {
        const char* name;
        QSize size;
        bool alpha;
    };
    const std::vector<Picture> pictures = {
        {"1000", {20, 20}, true},           {"1001", {20, 20}, true},
        {"1002", {20, 20}, true},           {"1003", {20, 19}, true},
        {"1004", {20, 20}, true},           {"PlayPauseNormal", {32, 32}, true},
        {"PlayPauseOver", {32, 32}, true},  {"PlayPauseDown", {32, 32}, true},
        {"SettingsNormal", {32, 32}, true}, {"SettingsOver", {32, 32}, true},
        {"AppIcon16", {16, 16}, true},      {"AppIcon32", {32, 32}, true},
        {"AppIcon48", {48, 48}, true},      {"AppIcon256", {256, 256}, true},
        {"UpdaterSide", {120, 260}, false}};
    for (const Picture& p : pictures) {
        const QImage image(QStringLiteral(":/res/%1.png").arg(QLatin1String(p.name)));
        ASSERT_FALSE(image.isNull()) << p.name;
        EXPECT_EQ(image.size(), p.size) << p.name;
        // The toolbar and grid pictures are drawn over other colours.
        if (p.alpha) {
            EXPECT_TRUE(image.hasAlphaChannel()) << p.name;
        }
    }
}

} // namespace
} // namespace corvane
