// The main window on a small screen shown at twice the size: a 1280 x 800
// screen with a scale factor of 2 leaves 640 x 400 pixels of layout, less
// than the window asks for. The window stays on the screen, the settings
// button with it, and the grid scrolls to the columns that no longer fit.
// Own main(): the screen and the scale factor are fixed when the application
// starts.

#include "CorvaneMainForm.h"
#include "Platform.h"
#include "QtMainThread.h"
#include "QuorinConfig.h"
#include "TestSupport.h"
#include "VcPNGButton.h"

#include <QApplication>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace corvane {
namespace {

using test::TempDir;

constexpr int ScreenWidth = 1280;
constexpr int ScreenHeight = 800;
constexpr double ScaleFactor = 2;

class ScaledWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallQtMainThread();
        FOldDebugHandler = SetDebugOutputHandler([](std::string_view) {});
        FOldConfigHome = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
        setenv("XDG_CONFIG_HOME", FHome.Path().c_str(), 1);
        FDataFolder = FHome.Path() + "/Brindlex/QuorinCallMonitor/";
    }
    void TearDown() override {
        FForm.reset();
        setenv("XDG_CONFIG_HOME", FOldConfigHome.c_str(), 1);
        SetDebugOutputHandler(FOldDebugHandler);
    }

    TCorvaneMainForm& Show(const std::array<bool, ColumnCount>& columns,
                           const std::vector<std::string>& args = {}) {
        ForceDirectories(FDataFolder);
        TQuorinConfig config;
        config.Columns = columns;
        config.Save(FDataFolder + "client.ini");
        FForm = std::make_unique<TCorvaneMainForm>(args);
        FForm->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(FForm.get()));
        return *FForm;
    }

    // The window, its settings button and the grid's reach, against the
    // screen's available area.
    static void ExpectOnTheScreen(TCorvaneMainForm& form) {
        QCoreApplication::processEvents();
        const QRect area = form.screen()->availableGeometry();
        const QRect frame = form.frameGeometry();
        EXPECT_TRUE(area.contains(frame))
            << "window " << frame.x() << "," << frame.y() << " " << frame.width() << "x"
            << frame.height() << " on " << area.width() << "x" << area.height();
        const QRect settings(form.SettingsBtn->mapToGlobal(QPoint(0, 0)), form.SettingsBtn->size());
        EXPECT_TRUE(area.contains(settings))
            << "settings button at " << settings.x() << "," << settings.y();
        int columns = 0;
        for (int j = 0; j < form.thegrid->columnCount(); ++j)
            columns += form.ColumnWidth(j);
        if (columns > form.thegrid->viewport()->width()) {
            EXPECT_GT(form.thegrid->horizontalScrollBar()->maximum(), 0);
        }
    }

    TempDir FHome;
    std::string FOldConfigHome;
    DebugOutputHandler FOldDebugHandler;
    std::string FDataFolder;
    std::unique_ptr<TCorvaneMainForm> FForm;
};

TEST_F(ScaledWindowTest, TheScreenIsSmallAndScaled) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->devicePixelRatio(), ScaleFactor);
    EXPECT_EQ(screen->geometry().size(),
              QSize(ScreenWidth, ScreenHeight) / static_cast<int>(ScaleFactor));
}

struct SizeCase {
    const char* name;
    std::array<bool, ColumnCount> columns;
    std::vector<std::string> args;
};

class ScaledWindowSizeTest : public ScaledWindowTest,
                             public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ScaledWindowSizeTest, TheWindowOpensWithinTheScreen) {
    auto& form = Show(GetParam().columns, GetParam().args);
    ExpectOnTheScreen(form);
}

INSTANTIATE_TEST_SUITE_P(, ScaledWindowSizeTest,
                         ::testing::Values(SizeCase{"DefaultColumns", DefaultColumns, {}},
                                           SizeCase{"EveryColumn",
                                                    {true, true, true, true, true, true, true, true,
                                                     true},
                                                    {}},
                                           // The debug box makes the window taller than the screen.
                                           SizeCase{"DebugBox", DefaultColumns, {"debug"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScaledWindowTest, MoreColumnsChosenWhileOpenKeepTheWindowWithinTheScreen) {
    std::array<bool, ColumnCount> one{};
    one[0] = true;
    auto& form = Show(one);
    ExpectOnTheScreen(form);
    TQuorinConfig copy = form.Config();
    copy.Columns.fill(true);
    form.ApplySettings(copy);
    ASSERT_EQ(form.ColumnKeys().size(), 1 + ColumnCount);
    ExpectOnTheScreen(form);
}

} // namespace
} // namespace corvane

int main(int argc, char** argv) {
    // The offscreen platform's screen comes from a configuration file; the
    // folder lives until the tests are done.
    const corvane::test::TempDir dir;
    const std::string screens = dir.File("screens.json");
    corvane::test::WriteFile(
        screens, "{\"screens\": [{\"name\": \"Small\", \"x\": 0, \"y\": 0, \"width\": " +
                     std::to_string(corvane::ScreenWidth) +
                     ", \"height\": " + std::to_string(corvane::ScreenHeight) +
                     ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}]}");
    qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + screens.c_str());
    qputenv("QT_SCALE_FACTOR", QByteArray::number(corvane::ScaleFactor));
    qputenv("LC_ALL", "C.UTF-8");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
