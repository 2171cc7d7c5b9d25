// The main window against the recorder simulator on 127.0.0.1: start-up,
// log, grid, status line, settings, engine restart, live listening and the
// close protocol. Sound goes to the scripted test device, never a sound card.

#include "CallMonitor.h"
#include "CorvaneMainForm.h"
#include "FormTranslator.h"
#include "HelpPage.h"
#include "LanIni.h"
#include "MainThread.h"
#include "MessageBoxCloser.h"
#include "OutputLevel.h"
#include "Platform.h"
#include "QtMainThread.h"
#include "QuorinConfig.h"
#include "SettingsForm.h"
#include "TestSupport.h"
#include "TestWaveDevice.h"
#include "VcPNGButton.h"
#include "WaveDevice.h"
#include "WaveOut.h"

#include <QAction>
#include <QApplication>
#include <QByteArray>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QStyle>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTime>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace corvane {
namespace {

using test::MessageBoxCloser;
using test::QuorinSim;
using test::TempDir;

// Runs Qt events and the main-thread queue until `done` holds (or 20 s pass,
// which means the behaviour never came).
bool WaitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        QCoreApplication::processEvents();
        WaitAndCheckSynchronize(5);
    }
    return true;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    if (!FileExists(path))
        return lines;
    std::istringstream in(test::ReadFile(path));
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallQtMainThread();
        // No translation file lies beside the test program; keep its
        // "missing translation" lines out of the test output.
        FOldDebugHandler = SetDebugOutputHandler([](std::string_view) {});
        FOldConfigHome = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
        setenv("XDG_CONFIG_HOME", FHome.Path().c_str(), 1);
        FDataFolder = FHome.Path() + "/Brindlex/QuorinCallMonitor/";
        SetDefaultWaveDevice(&FDevice);
    }
    void TearDown() override {
        FForm.reset();
        FSettingsForm.reset();
        SetDefaultWaveDevice(nullptr);
        setenv("XDG_CONFIG_HOME", FOldConfigHome.c_str(), 1);
        SetDebugOutputHandler(FOldDebugHandler);
    }

    void WriteConfig(const std::string& server, const std::string& user,
                     const std::string& password) {
        ForceDirectories(FDataFolder);
        FConfig.Server = server;
        FConfig.UserName = user;
        FConfig.Password = password;
        FConfig.Save(FDataFolder + "client.ini");
    }

    TCorvaneMainForm& Start(const std::vector<std::string>& args = {}) {
        FForm = std::make_unique<TCorvaneMainForm>(args);
        return *FForm;
    }

    std::vector<std::string> Log() const { return ReadLines(FDataFolder + "log.txt"); }

    // The texts of the log lines, without their time stamps.
    bool LogHas(const std::string& text) const {
        for (const auto& line : Log())
            if (line.size() > text.size() + 1 && line.ends_with(" " + text + "\r"))
                return true;
        return false;
    }
    // Index of the first line with `text` after line `from`, or -1.
    int LogIndex(const std::string& text, int from = -1) const {
        const auto lines = Log();
        for (int i = from + 1; i < static_cast<int>(lines.size()); ++i)
            if (lines[static_cast<size_t>(i)].ends_with(" " + text + "\r"))
                return i;
        return -1;
    }

    // Installs a real settings dialog, as the program does; each opening runs
    // FDialogAction inside the dialog's modal loop (it must end the dialog).
    void UseSettingsDialog() {
        FSettingsForm = std::make_unique<TSettingsForm>();
        FForm->SetSettingsDialogRunner(
            [this](QWidget* parent, int page, const TQuorinConfig& config) {
                QTimer::singleShot(0, FSettingsForm.get(), [this] {
                    FDialogTabs.push_back(FSettingsForm->PageControl1->currentWidget());
                    if (FDialogAction)
                        FDialogAction(*FSettingsForm);
                    else
                        FSettingsForm->CancelBtn->click();
                });
                return FSettingsForm->Run(parent, page, config);
            });
    }

    // Runs events for about `ms` milliseconds (to see that nothing more happens).
    static void RunEventsFor(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            QCoreApplication::processEvents();
            WaitAndCheckSynchronize(5);
        }
    }

    int CountLog(const std::string& prefix) const {
        int n = 0;
        for (const auto& line : Log())
            if (line.find(" " + prefix) != std::string::npos)
                ++n;
        return n;
    }

    TempDir FHome;
    TTestWaveDevice FDevice;
    std::unique_ptr<TSettingsForm> FSettingsForm;
    std::function<void(TSettingsForm&)> FDialogAction;
    std::vector<QWidget*> FDialogTabs;
    std::string FOldConfigHome;
    DebugOutputHandler FOldDebugHandler;
    std::string FDataFolder;
    TQuorinConfig FConfig;
    std::unique_ptr<TCorvaneMainForm> FForm;
};

// --- Start-up ---------------------------------------------------------------

struct StartCase {
    const char* name;
    const char* server;
    const char* user;
    const char* password;
    TStartResult result;
};

class MainWindowStartTest : public MainWindowTest,
                            public ::testing::WithParamInterface<StartCase> {};

TEST_P(MainWindowStartTest, MissingSettingsAreReportedAsTheStartResult) {
    const StartCase& c = GetParam();
    WriteConfig(c.server, c.user, c.password);
    auto& form = Start();
    EXPECT_EQ(form.StartResult(), c.result);
    const int tryStart = LogIndex("Try start");
    ASSERT_GE(tryStart, 0);
    EXPECT_GT(LogIndex("Start result: " + std::to_string(StartResultNumber(c.result)), tryStart),
              tryStart);
    EXPECT_TRUE(form.StartUpTimer->isActive());
    EXPECT_FALSE(form.Client()->IsRunning());
}

INSTANTIATE_TEST_SUITE_P(
    , MainWindowStartTest,
    ::testing::Values(StartCase{"NoSettings", "", "", "", TStartResult::MissingCredentials},
                      StartCase{"NoPassword", "127.0.0.1:1", "u", "",
                                TStartResult::MissingCredentials},
                      StartCase{"NoServer", "", "u", "p", TStartResult::MissingServer}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, FirstRunCreatesTheDataFolderAndAFreshLog) {
    auto& form = Start();
    EXPECT_EQ(form.DataFolder(), FDataFolder);
    EXPECT_EQ(form.LogFolder(), FDataFolder);
    EXPECT_EQ(form.ConfigFolder(), FDataFolder);
    EXPECT_TRUE(DirectoryExists(FDataFolder));
    EXPECT_TRUE(LogHas("Try start"));
    EXPECT_FALSE(FileExists(FDataFolder + "log2.txt"));
}

TEST_F(MainWindowTest, BeforeTheFirstListTheGridHasOneBlankRow) {
    auto& form = Start();
    EXPECT_EQ(form.RowCount(), 2);
    for (int j = 0; j < static_cast<int>(form.ColumnKeys().size()); ++j)
        EXPECT_EQ(form.Cell(j, 1), QString());
    EXPECT_FALSE(form.ShowsNoCallLine());
    EXPECT_EQ(form.SelectedTopRow(), 1);
    EXPECT_EQ(form.SelectedLeftColumn(), 0);
}

struct DebugCase {
    const char* name;
    std::vector<std::string> args;
    bool debug;
};

class MainWindowDebugTest : public MainWindowTest,
                            public ::testing::WithParamInterface<DebugCase> {};

TEST_P(MainWindowDebugTest, OnlyAnExactFirstDebugArgumentShowsTheDebugBox) {
    const DebugCase& c = GetParam();
    auto& form = Start(c.args);
    EXPECT_EQ(form.DebugMode(), c.debug);
    EXPECT_EQ(form.DebugMemo->isHidden(), !c.debug);
    EXPECT_EQ(form.ClientHeight(), c.debug ? 350 + 252 : 350);
    if (c.debug) {
        // The box gets the text without its time stamp.
        EXPECT_TRUE(form.DebugMemo->toPlainText().split('\n').contains("Try start"));
    }
}

INSTANTIATE_TEST_SUITE_P(, MainWindowDebugTest,
                         ::testing::Values(DebugCase{"None", {}, false},
                                           DebugCase{"Debug", {"debug"}, true},
                                           DebugCase{"DebugThenMore", {"debug", "x"}, true},
                                           DebugCase{"Upper", {"DEBUG"}, false},
                                           DebugCase{"Second", {"x", "debug"}, false},
                                           DebugCase{"Padded", {"debug "}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Columns ----------------------------------------------------------------

struct ColumnCase {
    const char* name;
    std::array<bool, ColumnCount> flags;
    std::vector<std::string> keys;
    std::vector<int> widths;
};

class MainWindowColumnTest : public MainWindowTest,
                             public ::testing::WithParamInterface<ColumnCase> {};

TEST_P(MainWindowColumnTest, ColumnsFollowTheFlagsInTheFixedOrder) {
    const ColumnCase& c = GetParam();
    FConfig.Columns = c.flags;
    WriteConfig("", "", "");
    auto& form = Start();
    EXPECT_EQ(form.ColumnKeys(), c.keys);
    int sum = 0;
    for (size_t j = 0; j < c.widths.size(); ++j) {
        EXPECT_EQ(form.ColumnWidth(static_cast<int>(j)), c.widths[j]) << c.keys[j];
        sum += c.widths[j];
    }
    // The columns decide the width, as far as the screen allows.
    EXPECT_EQ(form.ClientWidth(), std::min(std::max(sum + 40, form.minimumWidth()),
                                           form.screen()->availableGeometry().width()));
    // No translation file beside the test program: headers show their keys;
    // the listen column has none.
    EXPECT_EQ(form.Cell(0, 0), QString());
    for (size_t j = 1; j < c.keys.size(); ++j)
        EXPECT_EQ(form.Cell(static_cast<int>(j), 0), QString::fromStdString("Cols." + c.keys[j]));
}

INSTANTIATE_TEST_SUITE_P(
    , MainWindowColumnTest,
    ::testing::Values(ColumnCase{"Default",
                                 DefaultColumns,
                                 {"hear", "startdate", "length", "direction", "remoteID", "rname",
                                  "localID", "lname"},
                                 {25, 130, 80, 25, 100, 100, 100, 100}},
                      ColumnCase{"None", {}, {"hear"}, {25}},
                      ColumnCase{"All",
                                 {true, true, true, true, true, true, true, true, true},
                                 {"hear", "startdate", "length", "direction", "remoteID", "rname",
                                  "connected", "cname", "localID", "lname"},
                                 {25, 130, 80, 25, 100, 100, 100, 100, 100, 100}},
                      ColumnCase{"ConnectedOnly",
                                 {false, false, false, false, false, true, false, false, false},
                                 {"hear", "connected"},
                                 {25, 100}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Texts ------------------------------------------------------------------

struct DurationCase {
    int32_t seconds;
    const char* text;
};

void PrintTo(const DurationCase& c, std::ostream* os) {
    *os << c.seconds << " -> " << c.text;
}

class FormatDurationTest : public ::testing::TestWithParam<DurationCase> {};

TEST_P(FormatDurationTest, MinutesAndTwoDigitSeconds) {
    EXPECT_EQ(TCorvaneMainForm::FormatDuration(GetParam().seconds).toStdString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(, FormatDurationTest,
                         ::testing::Values(DurationCase{0, "0:00"}, DurationCase{5, "0:05"},
                                           DurationCase{59, "0:59"}, DurationCase{60, "1:00"},
                                           DurationCase{3725, "62:05"}, DurationCase{-5, "-0:05"},
                                           DurationCase{-61, "-1:01"},
                                           DurationCase{INT32_MAX, "35791394:07"},
                                           DurationCase{INT32_MIN, "-35791394:08"}));

// Sets TZ for one test and puts back what was there; the C library's local
// time, which Qt's follows, reads TZ again at tzset().
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone)
        : FHadZone(qEnvironmentVariableIsSet("TZ")), FOldZone(qgetenv("TZ")) {
        qputenv("TZ", zone);
        tzset();
    }
    ~ScopedTimeZone() {
        if (FHadZone)
            qputenv("TZ", FOldZone);
        else
            qunsetenv("TZ");
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool FHadZone;
    QByteArray FOldZone;
};

// The literal date-time texts below are written in the C locale's regional
// formats (short date "d MMM yyyy", long time "HH:mm:ss t").
::testing::AssertionResult RegionalFormatsAreTheCLocales() {
    const QLocale locale = QLocale::system();
    if (locale.dateFormat(QLocale::ShortFormat) == "d MMM yyyy" &&
        locale.timeFormat(QLocale::LongFormat) == "HH:mm:ss t")
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the expected texts are in the C locale's formats, but this program runs in "
           << locale.name().toStdString() << " (GuiTestMain sets LC_ALL=C.UTF-8)";
}

TEST(UnixToLocalTextTest, MidnightShowsTheDateAlone) {
    const QLocale locale = QLocale::system();
    const QString dateFormat = locale.dateFormat(QLocale::ShortFormat);
    for (const QDate date : {QDate(2024, 3, 5), QDate(2024, 7, 1), QDate(1999, 12, 31)}) {
        const int64_t midnight = QDateTime(date, QTime(0, 0)).toSecsSinceEpoch();
        EXPECT_EQ(TCorvaneMainForm::UnixToLocalText(midnight), locale.toString(date, dateFormat));
        // One second later the time follows the date after one blank.
        const QString later = TCorvaneMainForm::UnixToLocalText(midnight + 1);
        EXPECT_TRUE(later.startsWith(locale.toString(date, dateFormat) + " "))
            << later.toStdString();
        EXPECT_GT(later.size(), locale.toString(date, dateFormat).size() + 1);
    }
}

struct LocalTextCase {
    const char* name;
    const char* zone;
    int64_t utcSeconds;
    const char* text; // as `TZ=<zone> date -d @<utcSeconds>` has it, in the C locale's formats
};

void PrintTo(const LocalTextCase& c, std::ostream* os) {
    *os << c.utcSeconds << " in " << c.zone << " -> " << c.text;
}

class UnixToLocalTextZoneTest : public ::testing::TestWithParam<LocalTextCase> {};

TEST_P(UnixToLocalTextZoneTest, ShowsTheZonesLocalTime) {
    ASSERT_TRUE(RegionalFormatsAreTheCLocales());
    const ScopedTimeZone zone(GetParam().zone);
    EXPECT_EQ(TCorvaneMainForm::UnixToLocalText(GetParam().utcSeconds).toStdString(),
              GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    , UnixToLocalTextZoneTest,
    ::testing::Values(
        // 2024-07-01 12:34:56 and 2024-01-02 12:34:56 UTC: summer and winter time.
        LocalTextCase{"BerlinSummer", "Europe/Berlin", 1719837296, "1 Jul 2024 14:34:56"},
        LocalTextCase{"BerlinWinter", "Europe/Berlin", 1704198896, "2 Jan 2024 13:34:56"},
        LocalTextCase{"NewYorkSummer", "America/New_York", 1719837296, "1 Jul 2024 08:34:56"},
        LocalTextCase{"NewYorkWinter", "America/New_York", 1704198896, "2 Jan 2024 07:34:56"},
        LocalTextCase{"KolkataHalfHour", "Asia/Kolkata", 1719837296, "1 Jul 2024 18:04:56"},
        LocalTextCase{"Utc", "UTC", 1719837296, "1 Jul 2024 12:34:56"},
        // The local day is not the UTC day.
        LocalTextCase{"NewYorkDayBefore", "America/New_York", 1704164400, "1 Jan 2024 22:00:00"},
        LocalTextCase{"KolkataNextYear", "Asia/Kolkata", 1704052800, "1 Jan 2024 01:30:00"},
        // Either side of the spring change (02:00 CET becomes 03:00 CEST).
        LocalTextCase{"BerlinBeforeChange", "Europe/Berlin", 1711846799, "31 Mar 2024 01:59:59"},
        LocalTextCase{"BerlinAfterChange", "Europe/Berlin", 1711846800, "31 Mar 2024 03:00:00"},
        // Exactly local midnight is the date alone; UTC midnight is not.
        LocalTextCase{"BerlinMidnight", "Europe/Berlin", 1711839600, "31 Mar 2024"},
        LocalTextCase{"BerlinAfterMidnight", "Europe/Berlin", 1711839601, "31 Mar 2024 00:00:01"},
        LocalTextCase{"KolkataMidnight", "Asia/Kolkata", 1719772200, "1 Jul 2024"},
        LocalTextCase{"NewYorkMidnightOfFallBack", "America/New_York", 1730606400, "3 Nov 2024"},
        LocalTextCase{"BerlinAtUtcMidnight", "Europe/Berlin", 1704153600, "2 Jan 2024 01:00:00"},
        // The ends of the recorder's 32-bit start times.
        LocalTextCase{"BerlinInt32Min", "Europe/Berlin", INT32_MIN, "13 Dec 1901 21:45:52"},
        LocalTextCase{"BerlinInt32Max", "Europe/Berlin", INT32_MAX, "19 Jan 2038 04:14:07"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CellTextTest, EachKeyShowsItsField) {
    ASSERT_TRUE(RegionalFormatsAreTheCLocales());
    const ScopedTimeZone zone("Asia/Kolkata");
    TCallInfo call;
    call.id = "7";
    call.startdate = 1709641445; // 2024-03-05 12:24:05 UTC
    call.local = u"201";
    call.remote = u"+4930123456";
    call.lname = u"Jürgen";
    call.rname = u"Łukasz";
    call.connected = u"299";
    call.cname = u"Zoë";
    call.direction = 1;
    call.length = 61;
    const std::vector<std::pair<std::string, QString>> cases = {
        {"startdate", "5 Mar 2024 17:54:05"},
        {"length", "1:01"},
        {"direction", ""},
        {"hear", ""},
        {"remoteID", "+4930123456"},
        {"rname", QString::fromUtf8("Łukasz")},
        {"connected", "299"},
        {"cname", QString::fromUtf8("Zoë")},
        {"localID", "201"},
        {"lname", QString::fromUtf8("Jürgen")},
        {"unknown", ""},
        {"LocalID", ""},
    };
    for (const auto& [key, text] : cases)
        EXPECT_EQ(TCorvaneMainForm::CellText(key, call), text) << key;
}

// --- Log --------------------------------------------------------------------

struct RotateCase {
    const char* name;
    std::vector<int> present;               // 1 is log.txt, n is log<n>.txt
    std::vector<std::pair<int, int>> after; // file -> whose content it holds (0: absent)
};

class RotateLogFilesTest : public ::testing::TestWithParam<RotateCase> {};

TEST_P(RotateLogFilesTest, OlderLogsMoveUpAndTheTenthIsDropped) {
    TempDir dir;
    // A dot in a folder name must not count as the extension's dot.
    const std::string folder = dir.Path() + "/data.folder/";
    ForceDirectories(folder);
    auto name = [&](int n) {
        return folder + (n == 1 ? std::string("log.txt") : "log" + std::to_string(n) + ".txt");
    };
    for (int n : GetParam().present)
        test::WriteFile(name(n), "content " + std::to_string(n));
    TCorvaneMainForm::RotateLogFiles(name(1), 10);
    for (const auto& [file, content] : GetParam().after) {
        if (content == 0)
            EXPECT_FALSE(FileExists(name(file))) << file;
        else
            EXPECT_EQ(test::ReadFile(name(file)), "content " + std::to_string(content)) << file;
    }
    EXPECT_FALSE(FileExists(name(11)));
}

INSTANTIATE_TEST_SUITE_P(
    , RotateLogFilesTest,
    ::testing::Values(RotateCase{"None", {}, {{1, 0}, {2, 0}}},
                      RotateCase{"OnlyCurrent", {1}, {{1, 0}, {2, 1}, {3, 0}}},
                      RotateCase{"Full",
                                 {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                                 {{1, 0}, {2, 1}, {3, 2}, {5, 4}, {9, 8}, {10, 9}}},
                      RotateCase{"Gap", {1, 3}, {{1, 0}, {2, 1}, {3, 0}, {4, 3}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, StartRotatesTheLogsOfEarlierRuns) {
    ForceDirectories(FDataFolder);
    test::WriteFile(FDataFolder + "log.txt", "previous run\r\n");
    Start();
    EXPECT_EQ(test::ReadFile(FDataFolder + "log2.txt"), "previous run\r\n");
    EXPECT_EQ(Log().front().find("previous run"), std::string::npos);
}

TEST_F(MainWindowTest, LogLinesCarryTheRegionalDateTimeAndEndInCrLf) {
    auto& form = Start();
    form.WriteLog("hello log");
    const std::string bytes = test::ReadFile(FDataFolder + "log.txt");
    const auto pos = bytes.find(" hello log\r\n");
    ASSERT_NE(pos, std::string::npos);
    const size_t lineStart =
        bytes.rfind('\n', pos) == std::string::npos ? 0 : bytes.rfind('\n', pos) + 1;
    const QString stamp = QString::fromStdString(bytes.substr(lineStart, pos - lineStart));
    // The stamp reads back with the regional formats (date, blank, time
    // without a time-zone field); midnight writes the date alone.
    const QLocale locale = QLocale::system();
    const QString dateFormat = locale.dateFormat(QLocale::ShortFormat);
    const QDate today = QDate::currentDate();
    EXPECT_TRUE(stamp.startsWith(locale.toString(today, dateFormat)) ||
                stamp.startsWith(locale.toString(today.addDays(-1), dateFormat)))
        << stamp.toStdString();
    EXPECT_FALSE(stamp.contains("UTC")) << stamp.toStdString();
    EXPECT_EQ(DateTimeText(QDateTime(QDate(2024, 1, 2), QTime(0, 0, 0))),
              locale.toString(QDate(2024, 1, 2), dateFormat));
}

TEST_F(MainWindowTest, LinesFromManyThreadsNeverInterleave) {
    auto& form = Start({"debug"});
    constexpr int Threads = 4;
    constexpr int Lines = 200;
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < Lines; ++i)
                form.WriteLog("worker " + std::to_string(t) + " line " + std::to_string(i) + " " +
                              std::string(200, static_cast<char>('a' + t)));
            ++finished;
        });
    // Workers wait for the GUI thread to show their lines in the debug box.
    EXPECT_TRUE(WaitFor([&] { return finished == Threads; }));
    for (auto& w : workers)
        w.join();
    int counted = 0;
    for (const auto& line : Log()) {
        const auto pos = line.find(" worker ");
        if (pos == std::string::npos)
            continue;
        ++counted;
        std::istringstream in(line.substr(pos));
        std::string word, lineWord, fill;
        int t = -1, i = -1;
        in >> word >> t >> lineWord >> i >> fill;
        ASSERT_TRUE(t >= 0 && t < Threads) << line;
        EXPECT_EQ(fill, std::string(200, static_cast<char>('a' + t))) << line;
        EXPECT_EQ(line.back(), '\r');
    }
    EXPECT_EQ(counted, Threads * Lines);
    EXPECT_EQ(form.DebugMemo->toPlainText().count("worker "), Threads * Lines);
}

// A long run does not grow the debug box without end: it keeps the latest
// 5000 lines, the log keeps them all.
TEST_F(MainWindowTest, TheDebugBoxKeepsTheLatestLines) {
    auto& form = Start({"debug"});
    for (int i = 0; i < 6000; ++i)
        form.WriteLog("line " + std::to_string(i));
    EXPECT_EQ(form.DebugMemo->blockCount(), 5000);
    const QStringList shown = form.DebugMemo->toPlainText().split('\n');
    EXPECT_EQ(shown.first(), "line 1000");
    EXPECT_EQ(shown.last(), "line 5999");
    EXPECT_TRUE(LogHas("line 0"));
}

// --- Against the simulator -------------------------------------------------

class MainWindowSimTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        FSim = std::make_unique<QuorinSim>(
            std::vector<std::string>{"--user", "sup", "--password", "pw"});
    }
    void TearDown() override {
        MainWindowTest::TearDown();
        FSim.reset();
    }
    TCorvaneMainForm& StartOnSim(const std::vector<std::string>& args = {}) {
        WriteConfig(FSim->Server(), "sup", "pw");
        return Start(args);
    }
    std::unique_ptr<QuorinSim> FSim;
};

TEST_F(MainWindowSimTest, CallsFillTheGridAndDurationsCountOn) {
    FSim->Control("/sim/calls/add?id=101&age=75&local=201&lname=J%C3%BCrgen&remote=%2B4930123456"
                  "&rname=%C5%81ukasz&direction=0");
    FSim->Control("/sim/calls/add?id=102&age=59&local=202&remote=555&direction=1");
    FSim->Control("/sim/calls/add?id=103&age=0&local=203&remote=777&direction=7");
    auto& form = StartOnSim();
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == 3; }));
    EXPECT_TRUE(form.ListReceived());
    EXPECT_FALSE(form.ShowsNoCallLine());
    EXPECT_EQ(form.RowCount(), 4);
    // hear, startdate, length, direction, remoteID, rname, localID, lname
    EXPECT_EQ(form.Cell(0, 1), "");
    EXPECT_EQ(form.Cell(4, 1), "+4930123456");
    EXPECT_EQ(form.Cell(5, 1), QString::fromUtf8("Łukasz"));
    EXPECT_EQ(form.Cell(6, 1), "201");
    EXPECT_EQ(form.Cell(7, 1), QString::fromUtf8("Jürgen"));
    EXPECT_EQ(form.Cell(3, 1), "");
    EXPECT_EQ(form.Cell(1, 1), TCorvaneMainForm::UnixToLocalText(form.Calls()[0]->startdate));
    for (int row = 1; row <= 3; ++row)
        EXPECT_EQ(form.Cell(2, row), TCorvaneMainForm::FormatDuration(
                                         form.Calls()[static_cast<size_t>(row - 1)]->length));
    EXPECT_EQ(form.Cell(6, 3), "203");

    // The one-second tick counts every call on and rewrites only the durations.
    const int32_t before = form.Calls()[1]->length;
    form.DurationTimerTimer();
    EXPECT_EQ(form.Calls()[1]->length, before + 1);
    EXPECT_EQ(form.Cell(2, 2), TCorvaneMainForm::FormatDuration(before + 1));
    EXPECT_EQ(form.Cell(4, 2), "555");

    // All calls gone: one blank data row and the no-call line.
    FSim->Control("/sim/calls/clear");
    ASSERT_TRUE(WaitFor([&] { return form.Calls().empty(); }));
    EXPECT_EQ(form.RowCount(), 2);
    EXPECT_TRUE(form.ShowsNoCallLine());
    for (int j = 0; j < 8; ++j)
        EXPECT_EQ(form.Cell(j, 1), "") << j;
}

// Dark pixels (text, handset) of the viewport picture inside `rect`.
struct DarkPixels {
    int count = 0;
    int minX = INT_MAX;
    int maxX = INT_MIN;
};
DarkPixels FindDark(const QImage& image, const QRect& rect) {
    DarkPixels d;
    for (int y = std::max(rect.top(), 0); y <= std::min(rect.bottom(), image.height() - 1); ++y)
        for (int x = std::max(rect.left(), 0); x <= std::min(rect.right(), image.width() - 1); ++x)
            if (qGray(image.pixel(x, y)) < 100) {
                ++d.count;
                d.minX = std::min(d.minX, x);
                d.maxX = std::max(d.maxX, x);
            }
    return d;
}

TEST_F(MainWindowSimTest, CellsDrawIconsRightAlignedNumbersAndTheNoCallLine) {
    FSim->Control("/sim/calls/add?id=1&remote=12345&direction=0");
    FSim->Control("/sim/calls/add?id=2&remote=9&direction=7");
    FSim->Control("/sim/calls/add?id=3&remote=9&direction=-1");
    auto& form = StartOnSim();
    form.show();
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == 3; }));
    QCoreApplication::processEvents();
    auto rect = [&](int column, int row) {
        return form.thegrid->visualItemRect(form.thegrid->item(row - 1, column));
    };
    QImage image = form.thegrid->viewport()->grab().toImage();
    // hear, startdate, length, direction, remoteID, ...
    EXPECT_GT(FindDark(image, rect(3, 1)).count, 20) << "handset of direction 0";
    EXPECT_EQ(FindDark(image, rect(3, 2)).count, 0) << "direction 7 draws nothing";
    EXPECT_EQ(FindDark(image, rect(3, 3)).count, 0) << "direction -1 draws nothing";
    const QRect number = rect(4, 1);
    const DarkPixels digits = FindDark(image, number);
    ASSERT_GT(digits.count, 0);
    EXPECT_GE(digits.maxX, number.right() - 8) << "numbers end at the cell's right edge";
    EXPECT_GT(digits.minX, number.center().x());

    FSim->Control("/sim/calls/clear");
    ASSERT_TRUE(WaitFor([&] { return form.ShowsNoCallLine(); }));
    QCoreApplication::processEvents();
    image = form.thegrid->viewport()->grab().toImage();
    const QRect row = rect(0, 1).united(rect(static_cast<int>(form.ColumnKeys().size()) - 1, 1));
    const DarkPixels line = FindDark(image, QRect(0, row.top(), image.width(), row.height()));
    ASSERT_GT(line.count, 0);
    const int centre = (line.minX + line.maxX) / 2;
    const int gridCentre = form.thegrid->width() / 2 - form.thegrid->viewport()->x();
    EXPECT_NEAR(centre, gridCentre, 3);
    // The header cell of a number column is right-aligned too.
    EXPECT_EQ(form.thegrid->horizontalHeaderItem(4)->textAlignment() & Qt::AlignHorizontal_Mask,
              Qt::AlignRight);
    EXPECT_EQ(form.thegrid->horizontalHeaderItem(5)->textAlignment() & Qt::AlignHorizontal_Mask,
              Qt::AlignLeft);
}

// A recorder that puts a line break and a terminal escape into an answer
// value cannot make a line of its own in the log: every line starts with the
// program's time stamp, and the debug box shows the value as one line too.
TEST_F(MainWindowSimTest, AnswerValuesCannotForgeLogLines) {
    FSim->Control("/sim/fault?mode=field&value=x%0A10+Dec+2026+10%3A00%3A00+Message+code+1"
                  "%1B%5B2J");
    auto& form = StartOnSim({"debug"});
    const std::string escaped = "Note=x\\n10 Dec 2026 10:00:00 Message code 1\\x1B[2J";
    ASSERT_TRUE(WaitFor([&] { return LogHas(escaped); }));
    const QLocale locale = QLocale::system();
    const QString dateFormat = locale.dateFormat(QLocale::ShortFormat);
    const QDate today = QDate::currentDate();
    const std::string dates[] = {locale.toString(today, dateFormat).toStdString(),
                                 locale.toString(today.addDays(-1), dateFormat).toStdString()};
    for (const std::string& line : Log())
        EXPECT_TRUE(line.starts_with(dates[0]) || line.starts_with(dates[1])) << line;
    EXPECT_TRUE(
        form.DebugMemo->toPlainText().split('\n').contains(QString::fromStdString(escaped)));
}

TEST_F(MainWindowSimTest, TheNoCallLineIsWrittenOnceAcrossTheGridLines) {
    auto& form = StartOnSim();
    form.show();
    ASSERT_TRUE(WaitFor([&] { return form.ShowsNoCallLine(); }));
    QCoreApplication::processEvents();
    const QTableWidget* grid = form.thegrid;
    const QImage image = grid->viewport()->grab().toImage();
    const int top = grid->rowViewportPosition(0);
    const int bottom = top + grid->rowHeight(0) - 1; // the grid line under the row
    const DarkPixels text = FindDark(image, QRect(0, top, image.width(), bottom - top));
    ASSERT_GT(text.count, 0);
    // The text must lie over a column border for the check to mean anything.
    bool borderUnderText = false;
    for (int j = 0; j < grid->columnCount(); ++j) {
        const int border = grid->columnViewportPosition(j) + grid->columnWidth(j) - 1;
        borderUnderText = borderUnderText || (border > text.minX && border < text.maxX);
    }
    ASSERT_TRUE(borderUnderText);
    // Over the text's width, from the row's top down to the line under it, no
    // column of pixels shows the grid line's colour (a stray edge pixel of a
    // letter may happen to match): no border runs through the text.
    const QRgb lineColour = image.pixel(2, bottom);
    for (int x = text.minX; x <= text.maxX; ++x) {
        int lineColoured = 0;
        for (int y = top; y < bottom; ++y)
            lineColoured += image.pixel(x, y) == lineColour ? 1 : 0;
        EXPECT_LE(lineColoured, 2) << "a grid line crosses the text at x " << x;
    }
}

TEST_F(MainWindowSimTest, OneCallMakesTwoRows) {
    FSim->Control("/sim/calls/add?id=1&remote=1");
    auto& form = StartOnSim();
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == 1; }));
    EXPECT_EQ(form.RowCount(), 2);
    EXPECT_EQ(form.Cell(4, 1), "1");
}

struct StatusCase {
    const char* name;
    std::string user;  // credentials the client uses
    bool serverDown;   // point the client at a port where nobody listens
    const char* fault; // simulator fault, or ""
    TStatusCode code;
};

class MainWindowStatusTest : public MainWindowSimTest,
                             public ::testing::WithParamInterface<StatusCase> {};

TEST_P(MainWindowStatusTest, EngineStatusCodesReachTheStatusLine) {
    const StatusCase& c = GetParam();
    if (*c.fault)
        FSim->Control(std::string("/sim/fault?mode=") + c.fault);
    WriteConfig(c.serverDown ? "127.0.0.1:" + std::to_string(test::FreePort()) : FSim->Server(),
                c.user, "pw");
    auto& form = Start();
    const QString expected = TCorvaneMainForm::StatusCodeText(c.code);
    ASSERT_FALSE(expected.isEmpty());
    ASSERT_TRUE(WaitFor([&] { return form.StatusText() == expected; }));
    EXPECT_TRUE(LogHas("Message code " + std::to_string(StatusNumber(c.code))));
    EXPECT_TRUE(form.StatusClearTimer->isActive());
    // The timer's end clears the line.
    form.StatusClearTimerTimer();
    EXPECT_EQ(form.StatusText(), "");
    EXPECT_FALSE(form.StatusClearTimer->isActive());
}

INSTANTIATE_TEST_SUITE_P(
    , MainWindowStatusTest,
    ::testing::Values(StatusCase{"WrongUser", "nobody", false, "", TStatusCode::LogOnRefused},
                      StatusCase{"NoServer", "sup", true, "", TStatusCode::ConnectFailed},
                      StatusCase{"ServerError", "sup", false, "error", TStatusCode::ServerError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, UnlistedCodesAreOnlyLogged) {
    auto& form = Start();
    form.ShowStatusText("earlier");
    form.HandleStatusCode(TStatusCode{5});
    EXPECT_TRUE(LogHas("Message code 5"));
    EXPECT_EQ(form.StatusText(), "earlier");
    // From a worker thread the text reaches the GUI thread before the worker goes on.
    std::atomic<bool> done{false};
    std::thread worker([&] {
        form.HandleStatusCode(TStatusCode::ServerError);
        done = true;
    });
    EXPECT_TRUE(WaitFor([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(form.StatusText(), TCorvaneMainForm::StatusCodeText(TStatusCode::ServerError));
}

TEST_F(MainWindowSimTest, ConnectionChangeRestartsTheRunningEngine) {
    auto& form = StartOnSim();
    ASSERT_TRUE(WaitFor([&] { return form.ListReceived(); }));
    TQuorinConfig copy = form.Config();
    FSim->Control("/sim/config?password=pw2");
    copy.Password = "pw2";
    form.ApplySettings(copy);
    ASSERT_TRUE(WaitFor([&] { return LogHas("Engine stopped eAtStop:0"); }));
    const int stopped = LogIndex("Engine stopped eAtStop:0");
    EXPECT_GT(LogIndex("Try start", stopped), stopped);
    EXPECT_TRUE(WaitFor([&] { return form.ListReceived() && form.Client()->IsRunning(); }));
    EXPECT_EQ(form.AtStop(), TAtStop::Report);
    // Saved for the next run, password included.
    TQuorinConfig saved;
    saved.Load(FDataFolder + "client.ini");
    EXPECT_EQ(saved.Password, "pw2");
}

TEST_F(MainWindowSimTest, LanguageOrColumnChangeLeavesTheEngineAlone) {
    auto& form = StartOnSim();
    ASSERT_TRUE(WaitFor([&] { return form.ListReceived(); }));
    TQuorinConfig copy = form.Config();
    copy.Language = "DE";
    copy.Columns[5] = true; // connected
    form.ApplySettings(copy);
    EXPECT_EQ(form.ColumnKeys().size(), 9u);
    EXPECT_TRUE(form.Client()->IsRunning());
    EXPECT_EQ(form.AtStop(), TAtStop::Report);
    EXPECT_FALSE(LogHas("Engine stopped eAtStop:0"));
    EXPECT_EQ(LogIndex("Try start", LogIndex("Try start")), -1);
}

TEST_F(MainWindowSimTest, AnEngineThatStoppedReportsItAndStartsAgainOnNewSettings) {
    auto& form = StartOnSim();
    ASSERT_TRUE(WaitFor([&] { return form.ListReceived(); }));
    form.Client()->Stop(); // as if it had ended by itself
    ASSERT_TRUE(WaitFor([&] {
        return form.StatusText() == TCorvaneMainForm::StatusCodeText(TStatusCode::EngineStopped);
    }));
    EXPECT_TRUE(LogHas("Engine stopped eAtStop:2"));
    EXPECT_TRUE(LogHas("Message code 3"));

    TQuorinConfig copy = form.Config();
    copy.UserName = "sup2";
    FSim->Control("/sim/config?user=sup2");
    form.ApplySettings(copy);
    EXPECT_TRUE(form.Client()->IsRunning());
    EXPECT_TRUE(WaitFor([&] { return form.ListReceived(); }));
}

TEST_F(MainWindowTest, SettingsFromTheDialogSeamAreAppliedOnlyWhenConfirmed) {
    auto& form = Start();
    EXPECT_FALSE(form.Settings1->isEnabled());
    std::optional<TQuorinConfig> answer;
    int shownPage = 0;
    form.SetSettingsDialogRunner([&](QWidget*, int page, const TQuorinConfig&) {
        shownPage = page;
        return answer;
    });
    EXPECT_TRUE(form.Settings1->isEnabled());
    // Missing credentials: the start-up timer opens the account page.
    form.StartUpTimerTimer();
    EXPECT_EQ(shownPage, StartResultNumber(TStartResult::MissingCredentials));
    EXPECT_FALSE(FileExists(FDataFolder + "client.ini"));

    TQuorinConfig copy = form.Config();
    copy.Columns = {};
    answer = copy;
    form.RunSettingsDialog(1);
    EXPECT_EQ(form.ColumnKeys(), std::vector<std::string>{"hear"});
    EXPECT_TRUE(FileExists(FDataFolder + "client.ini"));
}

// --- Close protocol -------------------------------------------------------

TEST_F(MainWindowSimTest, CloseWaitsForTheEngineToStop) {
    auto& form = StartOnSim();
    form.show();
    ASSERT_TRUE(WaitFor([&] { return form.ListReceived(); }));
    EXPECT_FALSE(form.close()); // refused while the engine runs
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.Closing());
    EXPECT_EQ(form.AtStop(), TAtStop::Close);
    EXPECT_EQ(form.cursor().shape(), Qt::WaitCursor);
    EXPECT_EQ(form.thegrid->cursor().shape(), Qt::WaitCursor);
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_EQ(form.Client(), nullptr);
    const int first = LogIndex("Form Close");
    const int stopped = LogIndex("Engine stopped eAtStop:1", first);
    EXPECT_GT(stopped, first);
    EXPECT_GT(LogIndex("Form Close", stopped), stopped);
}

TEST_F(MainWindowTest, CloseGoesThroughAtOnceWithoutARunningEngine) {
    auto& form = Start();
    form.show();
    EXPECT_TRUE(form.close());
    EXPECT_EQ(form.Client(), nullptr);
    EXPECT_TRUE(LogHas("Form Close"));
}

// --- Translation -----------------------------------------------------------

TEST_F(MainWindowTest, TranslateFormSetsCaptionsByObjectName) {
    auto& form = Start();
    TempDir dir;
    const std::string file = dir.File("Corvane_XX.uln");
    test::WriteFile(file, "[CorvaneMainForm]\r\n"
                          "File1.Caption=&Datei\r\n"
                          "Exit1.Caption=&Beenden\r\n"
                          "Manual1.Caption=Hand&buch\r\n"
                          "DescrLbl.Caption=Gespr\xC3\xA4"
                          "che\r\n"
                          "SettingsBtn.Caption=S\r\n"
                          "ToolbarPanel.Caption=no text here\r\n"
                          "NoSuchThing.Caption=x\r\n"
                          "CorvaneMainForm.Caption=not the window\r\n"
                          "[Other]\r\n"
                          "About1.Caption=wrong section\r\n");
    LanIni().Load(file);
    std::vector<std::string> debugLines;
    auto old = SetDebugOutputHandler([&](std::string_view l) { debugLines.emplace_back(l); });
    TranslateForm(&form);
    SetDebugOutputHandler(old);

    EXPECT_EQ(form.File1->title(), "&Datei");
    EXPECT_EQ(form.Exit1->text(), "&Beenden");
    EXPECT_EQ(form.Manual1->text(), "Hand&buch");
    EXPECT_EQ(form.DescrLbl->text(), QString::fromUtf8("Gespräche"));
    EXPECT_EQ(form.SettingsBtn->text(), "S");
    EXPECT_EQ(form.About1->text(), "&About...");
    EXPECT_EQ(form.windowTitle(), "Quorin Call Monitor");
    // A panel has no caption: reported, and the rest is still translated.
    ASSERT_EQ(debugLines.size(), 1u);
    EXPECT_NE(debugLines[0].find("ToolbarPanel.Caption"), std::string::npos);
}

TEST_F(MainWindowTest, TranslateFormWithoutItsSectionChangesNothingSilently) {
    auto& form = Start();
    TempDir dir;
    const std::string file = dir.File("Corvane_YY.uln");
    test::WriteFile(
        file, "[SettingsForm]\r\nOkBtn.Caption=OK\r\n[corvanemainform2]\r\nExit1.Caption=x\r\n");
    LanIni().Load(file);
    std::vector<std::string> debugLines;
    auto old = SetDebugOutputHandler([&](std::string_view l) { debugLines.emplace_back(l); });
    TranslateForm(&form);
    SetDebugOutputHandler(old);
    EXPECT_EQ(form.Exit1->text(), "E&xit");
    EXPECT_EQ(form.File1->title(), "&File");
    EXPECT_TRUE(debugLines.empty());
}

class MainWindowLanguageTest : public MainWindowTest,
                               public ::testing::WithParamInterface<std::string> {
protected:
    // The window with every column, in the language of the delivered file.
    TCorvaneMainForm& StartInLanguage() {
        FConfig.Columns.fill(true);
        WriteConfig("", "", "");
        auto& form = Start();
        LanIni().Load(test::SourceDir() + "/data/lang/Corvane_" + GetParam() + ".uln");
        TranslateForm(&form);
        form.thegrid->TranslateHeaders();
        form.TranslateListening();
        return form;
    }
    void TearDown() override {
        LanIni().Load(FHome.File("none.uln"));
        MainWindowTest::TearDown();
    }
};

TEST_P(MainWindowLanguageTest, ToolbarButtonsAndGridHaveTranslatedHintsAndNames) {
    auto& form = StartInLanguage();
    const std::vector<std::pair<QString, std::string>> shown = {
        {form.PlayPauseBtn->toolTip(), "CorvaneMainForm.PlayPauseBtn.Hint"},
        {form.PlayPauseBtn->accessibleName(), "CorvaneMainForm.PlayPauseBtn.AccessibleName"},
        {form.SettingsBtn->toolTip(), "CorvaneMainForm.SettingsBtn.Hint"},
        {form.SettingsBtn->accessibleName(), "CorvaneMainForm.SettingsBtn.AccessibleName"},
        {form.thegrid->accessibleName(), "CorvaneMainForm.thegrid.AccessibleName"},
        {form.VolumeBar->toolTip(), "CorvaneMainForm.VolumeBar.Hint"},
        {form.VolumeBar->accessibleName(), "CorvaneMainForm.VolumeBar.AccessibleName"},
        {form.MuteBtn->toolTip(), "CorvaneMainForm.MuteBtn.Hint"},
        {form.MuteBtn->accessibleName(), "CorvaneMainForm.MuteBtn.AccessibleName"},
        {form.PartyBox->toolTip(), "CorvaneMainForm.PartyBox.Hint"},
        {form.PartyBox->accessibleName(), "CorvaneMainForm.PartyBox.AccessibleName"},
        {form.PartyBox->itemText(0), "Main.PartyBoth"},
        {form.PartyBox->itemText(1), "Main.PartyFirst"},
        {form.PartyBox->itemText(2), "Main.PartySecond"},
    };
    for (const auto& [text, key] : shown) {
        ASSERT_TRUE(LanIni().HasKey(key)) << key;
        EXPECT_EQ(text.toStdU16String(), LanIni().Translate(key)) << key;
    }
}

// Measured with the grid's own font and style: the header text with the
// style's margin on either side fits the column's fixed width.
TEST_P(MainWindowLanguageTest, ColumnHeadersFitTheirColumnsAndShowTheirTextAsTooltip) {
    auto& form = StartInLanguage();
    const QHeaderView* header = form.thegrid->horizontalHeader();
    const int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    const QFontMetrics metrics(header->font());
    ASSERT_EQ(form.ColumnKeys().size(), 1 + ColumnCount);
    for (int j = 1; j < static_cast<int>(form.ColumnKeys().size()); ++j) {
        const QString text = form.Cell(j, 0);
        const std::string key = form.ColumnKeys()[static_cast<size_t>(j)];
        EXPECT_EQ(text.toStdU16String(), LanIni().Translate("Cols." + key));
        EXPECT_LE(metrics.horizontalAdvance(text) + 2 * margin, form.ColumnWidth(j))
            << key << ": \"" << text.toStdString() << "\"";
        EXPECT_EQ(form.thegrid->model()->headerData(j, Qt::Horizontal, Qt::ToolTipRole).toString(),
                  text)
            << key;
    }
}

INSTANTIATE_TEST_SUITE_P(Languages, MainWindowLanguageTest,
                         ::testing::Values("DA", "DE", "ES", "FR", "IT", "NL", "PL", "US"),
                         [](const auto& info) { return info.param; });

TEST_F(MainWindowTest, WithoutATranslationTheToolbarAndGridStillHaveHintsAndNames) {
    auto& form = Start();
    for (const QString& text : {form.PlayPauseBtn->toolTip(), form.PlayPauseBtn->accessibleName(),
                                form.SettingsBtn->toolTip(), form.SettingsBtn->accessibleName(),
                                form.thegrid->accessibleName()})
        EXPECT_FALSE(text.isEmpty());
}

// --- Keyboard --------------------------------------------------------------

TEST_F(MainWindowTest, TabMovesBetweenTheToolbarButtonsAndTheGrid) {
    auto& form = Start();
    form.SetSettingsDialogRunner(
        [](QWidget*, int, const TQuorinConfig&) { return std::optional<TQuorinConfig>(); });
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &form; }));
    // The keys start on the calls.
    EXPECT_EQ(QApplication::focusWidget(), form.thegrid);
    form.thegrid->setFocus();
    struct Step {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        QWidget* next;
    };
    const Step steps[] = {
        {Qt::Key_Tab, Qt::NoModifier, form.PlayPauseBtn},
        {Qt::Key_Tab, Qt::NoModifier, form.VolumeBar},
        {Qt::Key_Tab, Qt::NoModifier, form.MuteBtn},
        {Qt::Key_Tab, Qt::NoModifier, form.PartyBox},
        {Qt::Key_Tab, Qt::NoModifier, form.SettingsBtn},
        {Qt::Key_Tab, Qt::NoModifier, form.FilterEdit},
        {Qt::Key_Tab, Qt::NoModifier, form.thegrid},
        {Qt::Key_Backtab, Qt::ShiftModifier, form.FilterEdit},
        {Qt::Key_Backtab, Qt::ShiftModifier, form.SettingsBtn},
        {Qt::Key_Backtab, Qt::ShiftModifier, form.PartyBox},
        {Qt::Key_Backtab, Qt::ShiftModifier, form.MuteBtn},
        {Qt::Key_Backtab, Qt::ShiftModifier, form.VolumeBar},
        {Qt::Key_Backtab, Qt::ShiftModifier, form.PlayPauseBtn},
        {Qt::Key_Backtab, Qt::ShiftModifier, form.thegrid},
    };
    for (const Step& step : steps) {
        QWidget* from = QApplication::focusWidget();
        ASSERT_NE(from, nullptr);
        QTest::keyClick(from, step.key, step.modifiers);
        QWidget* to = QApplication::focusWidget();
        EXPECT_EQ(to, step.next) << from->objectName().toStdString() << " -> "
                                 << (to ? to->objectName().toStdString() : "nothing");
    }
    // Passing through the grid moved no cell.
    EXPECT_EQ(form.SelectedTopRow(), 1);
    EXPECT_EQ(form.SelectedLeftColumn(), 0);
}

TEST_F(MainWindowTest, ToolbarLabelStaysCentredAndSettingsButtonAtTheRightEdge) {
    auto& form = Start();
    form.show();
    for (int width : {500, 700, 1001}) {
        form.resize(width, form.height());
        QCoreApplication::processEvents();
        const int panel = form.ToolbarPanel->width();
        EXPECT_EQ(form.DescrLbl->x(), (panel - 100) / 2 + 50 - form.DescrLbl->width() / 2);
        EXPECT_EQ(form.SettingsBtn->x() + form.SettingsBtn->width(), panel - 18);
    }
}

// --- Settings dialog ------------------------------------------------------

struct MissingSettingsCase {
    const char* name;
    const char* server;
    const char* user;
    const char* password;
    int page; // 1 account, 2 server connection
};

class MainWindowMissingSettingsTest : public MainWindowTest,
                                      public ::testing::WithParamInterface<MissingSettingsCase> {};

TEST_P(MainWindowMissingSettingsTest, DialogOpensOnTheMatchingPageAndCancelChangesNothing) {
    const MissingSettingsCase& c = GetParam();
    WriteConfig(c.server, c.user, c.password);
    const std::string iniBefore = test::ReadFile(FDataFolder + "client.ini");
    auto& form = Start();
    UseSettingsDialog();
    // Not from the constructor: the start-up timer opens it once events run.
    EXPECT_TRUE(FDialogTabs.empty());
    ASSERT_TRUE(WaitFor([&] { return !FDialogTabs.empty(); }));
    QWidget* expected = c.page == 1 ? static_cast<QWidget*>(FSettingsForm->TabSheetAccount)
                                    : static_cast<QWidget*>(FSettingsForm->TabSheetServer);
    EXPECT_EQ(FDialogTabs[0], expected);

    // Cancelled: nothing retried, nothing saved, the engine still not started.
    RunEventsFor(1500);
    EXPECT_EQ(FDialogTabs.size(), 1u);
    EXPECT_EQ(CountLog("Try start"), 1);
    EXPECT_EQ(StartResultNumber(form.StartResult()), c.page);
    EXPECT_FALSE(form.Client()->IsRunning());
    EXPECT_FALSE(Differs(form.Config(), FConfig));
    EXPECT_EQ(test::ReadFile(FDataFolder + "client.ini"), iniBefore);
    EXPECT_FALSE(form.ListReceived());
}

INSTANTIATE_TEST_SUITE_P(, MainWindowMissingSettingsTest,
                         ::testing::Values(MissingSettingsCase{"NoCredentials", "127.0.0.1:1", "",
                                                               "", 1},
                                           MissingSettingsCase{"NoServer", "", "u", "p", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// Puts one translation file beside the program for the length of a test.
class LanguageFileBesideProgram {
public:
    explicit LanguageFileBesideProgram(const std::string& code)
        : FPath(ProgramFolder() + "Corvane_" + code + ".uln") {
        test::WriteFile(FPath,
                        test::ReadFile(test::SourceDir() + "/data/lang/Corvane_" + code + ".uln"));
    }
    ~LanguageFileBesideProgram() { std::remove(FPath.c_str()); }

private:
    std::string FPath;
};

TEST_F(MainWindowSimTest, DialogLanguageChangeRetranslatesAndLeavesTheEngineRunning) {
    LanguageFileBesideProgram german("DE");
    auto& form = StartOnSim();
    UseSettingsDialog();
    ASSERT_TRUE(WaitFor([&] { return form.ListReceived(); }));
    EXPECT_EQ(form.File1->title(), "&File");
    FDialogAction = [](TSettingsForm& d) {
        d.DE->click();
        d.OkBtn->click();
    };
    form.Settings1->trigger();
    ASSERT_EQ(FDialogTabs.size(), 1u);
    EXPECT_EQ(FDialogTabs[0], FSettingsForm->TabSheetAccount);
    EXPECT_EQ(form.Config().Language, "DE");
    EXPECT_EQ(form.File1->title(), "&Datei");
    EXPECT_TRUE(form.Client()->IsRunning());
    EXPECT_EQ(form.AtStop(), TAtStop::Report);
    EXPECT_FALSE(LogHas("Engine stopped eAtStop:0"));
    EXPECT_EQ(CountLog("Try start"), 1);
    TQuorinConfig saved;
    saved.Load(FDataFolder + "client.ini");
    EXPECT_EQ(saved.Language, "DE");
}

TEST_F(MainWindowSimTest, DialogPasswordChangeRestartsTheEngine) {
    auto& form = StartOnSim();
    UseSettingsDialog();
    ASSERT_TRUE(WaitFor([&] { return form.ListReceived(); }));
    FSim->Control("/sim/config?password=pw2");
    FDialogAction = [](TSettingsForm& d) {
        d.PasswordEdit->setText("pw2");
        d.OkBtn->click();
    };
    form.SettingsBtn->click();
    ASSERT_EQ(FDialogTabs.size(), 1u);
    ASSERT_TRUE(WaitFor([&] { return LogHas("Engine stopped eAtStop:0"); }));
    const int stopped = LogIndex("Engine stopped eAtStop:0");
    EXPECT_GT(LogIndex("Try start", stopped), stopped);
    EXPECT_TRUE(WaitFor([&] { return form.ListReceived() && form.Client()->IsRunning(); }));
    EXPECT_EQ(form.Config().Password, "pw2");
}

TEST_F(MainWindowSimTest, DialogCancelWhileRunningChangesNothing) {
    auto& form = StartOnSim();
    UseSettingsDialog();
    ASSERT_TRUE(WaitFor([&] { return form.ListReceived(); }));
    form.ShowStatusText("old text");
    const std::string iniBefore = test::ReadFile(FDataFolder + "client.ini");
    FDialogAction = [](TSettingsForm& d) {
        d.PasswordEdit->setText("other");
        d.DE->click();
        d.CancelBtn->click();
    };
    form.Settings1->trigger();
    ASSERT_EQ(FDialogTabs.size(), 1u);
    // Opening the dialog clears the status line, whatever the user does then.
    EXPECT_EQ(form.StatusText(), "");
    EXPECT_EQ(form.Config().Password, "pw");
    EXPECT_EQ(form.Config().Language, FConfig.Language);
    EXPECT_EQ(test::ReadFile(FDataFolder + "client.ini"), iniBefore);
    EXPECT_TRUE(form.Client()->IsRunning());
    EXPECT_EQ(CountLog("Try start"), 1);
}

// --- Live listening --------------------------------------------------------

class MainWindowListenTest : public MainWindowSimTest {
protected:
    // Starts on the simulator with calls "101" and "102" shown.
    TCorvaneMainForm& StartWithTwoCalls() {
        FSim->Control("/sim/calls/add?id=101&age=20&remote=555&direction=0");
        FSim->Control("/sim/calls/add?id=102&age=10&remote=777&direction=1");
        auto& form = StartOnSim();
        form.show();
        // The pointer stays off the grid: a cell under it is drawn hovered.
        QTest::mouseMove(form.ToolbarPanel, QPoint(2, 2));
        EXPECT_TRUE(WaitFor([&] { return form.Calls().size() == 2; }));
        return form;
    }
    QPoint CellCentre(int column, int row) const {
        return FForm->thegrid->visualItemRect(FForm->thegrid->item(row - 1, column)).center();
    }
    QImage CellPicture(int column, int row) const {
        QCoreApplication::processEvents();
        const QRect r = FForm->thegrid->visualItemRect(FForm->thegrid->item(row - 1, column));
        return FForm->thegrid->viewport()->grab(r).toImage();
    }
    void DoubleClick(int column, int row) {
        QTest::mouseDClick(FForm->thegrid->viewport(), Qt::LeftButton, {}, CellCentre(column, row));
    }
    std::string ListenedId() const {
        return FForm->Monitor() ? FForm->Monitor()->FCall.id : std::string();
    }
    // The simulator's live streams still running.
    std::string Streams() const { return FSim->Control("/sim/rtcall/streams"); }
};

TEST_F(MainWindowListenTest, DoubleClickListensAndTheListenIconChanges) {
    auto& form = StartWithTwoCalls();
    // Keep the selection off the listen column, so both icons are drawn alike.
    form.thegrid->setCurrentCell(0, 4, QItemSelectionModel::ClearAndSelect);
    const QImage idle = CellPicture(0, 1);
    EXPECT_EQ(CellPicture(0, 2), idle);
    DoubleClick(4, 1);
    ASSERT_TRUE(WaitFor([&] { return form.Monitor() != nullptr; }));
    EXPECT_EQ(ListenedId(), "101");
    EXPECT_TRUE(LogHas("Monitor ID:101"));
    EXPECT_EQ(form.ListenIconIndex(*form.Calls()[0]), 3);
    EXPECT_EQ(form.ListenIconIndex(*form.Calls()[1]), 4);
    EXPECT_NE(CellPicture(0, 1), idle);
    EXPECT_EQ(CellPicture(0, 2), idle);
    // The recorder streams the call and its audio reaches the output.
    EXPECT_TRUE(WaitFor([&] { return Streams().find("r101") != std::string::npos; }));
    EXPECT_TRUE(WaitFor([&] { return !FDevice.WrittenData().empty(); }));

    // The same row again: the monitor stays.
    TCallMonitor* monitor = form.Monitor();
    DoubleClick(4, 1);
    RunEventsFor(800);
    EXPECT_EQ(form.Monitor(), monitor);
    EXPECT_FALSE(form.SwitchPending());
    EXPECT_EQ(CountLog("Monitor ID:"), 1);
}

TEST_F(MainWindowListenTest, DoubleClickOnAnotherRowSwitchesAfterTheMonitorHasGone) {
    auto& form = StartWithTwoCalls();
    DoubleClick(4, 1);
    ASSERT_TRUE(WaitFor([&] { return ListenedId() == "101"; }));
    DoubleClick(5, 2);
    ASSERT_TRUE(WaitFor([&] { return ListenedId() == "102"; }));
    const int first = LogIndex("Monitor ID:101");
    const int stop1 = LogIndex("Monitor stopped (1)", first);
    const int stop2 = LogIndex("Monitor stopped (2)", stop1);
    const int second = LogIndex("Monitor ID:102", stop2);
    EXPECT_GT(stop1, first);
    EXPECT_GT(stop2, stop1);
    EXPECT_GT(second, stop2);
    EXPECT_FALSE(form.SwitchPending());
    EXPECT_EQ(form.ListenIconIndex(*form.Calls()[0]), 4);
    EXPECT_EQ(form.ListenIconIndex(*form.Calls()[1]), 3);
    // The first stream was given up.
    EXPECT_TRUE(WaitFor([&] {
        const std::string s = Streams();
        return s.find("r101") == std::string::npos && s.find("r102") != std::string::npos;
    }));
}

struct PressCase {
    const char* name;
    int column;
    bool listens;
};

class MainWindowPressTest : public MainWindowListenTest,
                            public ::testing::WithParamInterface<PressCase> {};

TEST_P(MainWindowPressTest, APressListensOnlyInTheListenColumn) {
    const PressCase& c = GetParam();
    auto& form = StartWithTwoCalls();
    QTest::mouseClick(form.thegrid->viewport(), Qt::LeftButton, {}, CellCentre(c.column, 2));
    EXPECT_EQ(form.SelectedTopRow(), 2);
    if (c.listens) {
        ASSERT_TRUE(WaitFor([&] { return form.Monitor() != nullptr; }));
        EXPECT_EQ(ListenedId(), "102");
    } else {
        RunEventsFor(500);
        EXPECT_EQ(form.Monitor(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(, MainWindowPressTest,
                         ::testing::Values(PressCase{"ListenColumn", 0, true},
                                           PressCase{"OtherColumn", 4, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ListenKeyCase {
    const char* name;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
};

class MainWindowListenKeyTest : public MainWindowListenTest,
                                public ::testing::WithParamInterface<ListenKeyCase> {};

TEST_P(MainWindowListenKeyTest, AKeyOnTheSelectedRowListensLikeADoubleClick) {
    const ListenKeyCase& c = GetParam();
    auto& form = StartWithTwoCalls();
    form.thegrid->setCurrentCell(1, 4); // row 2, "remoteID"
    QTest::keyClick(form.thegrid, c.key, c.modifiers);
    ASSERT_TRUE(WaitFor([&] { return form.Monitor() != nullptr; }));
    EXPECT_EQ(ListenedId(), "102");
    EXPECT_EQ(form.SelectedTopRow(), 2);
    EXPECT_EQ(form.SelectedLeftColumn(), 4);
}

INSTANTIATE_TEST_SUITE_P(, MainWindowListenKeyTest,
                         ::testing::Values(ListenKeyCase{"Return", Qt::Key_Return, Qt::NoModifier},
                                           ListenKeyCase{"KeypadEnter", Qt::Key_Enter,
                                                         Qt::KeypadModifier},
                                           ListenKeyCase{"Space", Qt::Key_Space, Qt::NoModifier}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowListenTest, ArrowKeysMoveTheSelectionThatReturnListensTo) {
    auto& form = StartWithTwoCalls();
    form.thegrid->setCurrentCell(0, 4);
    QTest::keyClick(form.thegrid, Qt::Key_Down);
    EXPECT_EQ(form.SelectedTopRow(), 2);
    QTest::keyClick(form.thegrid, Qt::Key_Up);
    EXPECT_EQ(form.SelectedTopRow(), 1);
    QTest::keyClick(form.thegrid, Qt::Key_Left);
    EXPECT_EQ(form.SelectedLeftColumn(), 3);
    // Arrows only pick; nothing is listened to before Return.
    RunEventsFor(300);
    EXPECT_EQ(form.Monitor(), nullptr);
    QTest::keyClick(form.thegrid, Qt::Key_Down);
    QTest::keyClick(form.thegrid, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return form.Monitor() != nullptr; }));
    EXPECT_EQ(ListenedId(), "102");
}

struct OutsideCase {
    const char* name;
    bool below; // below the last row, else right of the last column
};

class MainWindowPressOutsideTest : public MainWindowListenTest,
                                   public ::testing::WithParamInterface<OutsideCase> {};

TEST_P(MainWindowPressOutsideTest, APressOutsideTheCellsPicksAndStartsNothing) {
    auto& form = StartWithTwoCalls();
    // As the program starts: the listen column of the first row is selected.
    ASSERT_EQ(form.SelectedTopRow(), 1);
    ASSERT_EQ(form.SelectedLeftColumn(), 0);
    const QTableWidget* grid = form.thegrid;
    const int last = grid->columnCount() - 1;
    const QPoint at =
        GetParam().below
            ? QPoint(CellCentre(0, 1).x(), grid->rowViewportPosition(1) + grid->rowHeight(1) + 20)
            : QPoint(grid->columnViewportPosition(last) + grid->columnWidth(last) + 10,
                     CellCentre(0, 1).y());
    ASSERT_TRUE(grid->viewport()->rect().contains(at));
    ASSERT_FALSE(grid->indexAt(at).isValid());
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
    RunEventsFor(500);
    EXPECT_EQ(form.Monitor(), nullptr);
    EXPECT_EQ(form.SelectedTopRow(), 0);
    // With nothing picked, Play and Return start nothing either.
    form.PlayPauseBtn->click();
    QTest::keyClick(form.thegrid, Qt::Key_Return);
    RunEventsFor(500);
    EXPECT_EQ(form.Monitor(), nullptr);
    EXPECT_EQ(CountLog("Monitor ID:"), 0);
}

INSTANTIATE_TEST_SUITE_P(, MainWindowPressOutsideTest,
                         ::testing::Values(OutsideCase{"BelowTheLastRow", true},
                                           OutsideCase{"RightOfTheLastColumn", false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct PickCase {
    const char* name;
    const char* hangUp;   // the call that ends while "102" is selected
    int rowAfter;         // the selected row once the list has changed; 0: none
    const char* listened; // what Play listens to then; "": nothing
};

class MainWindowPickTest : public MainWindowListenTest,
                           public ::testing::WithParamInterface<PickCase> {};

TEST_P(MainWindowPickTest, TheSelectionStaysOnThePickedCallWhenTheListChanges) {
    const PickCase& c = GetParam();
    FSim->Control("/sim/calls/add?id=101&age=30&remote=555");
    FSim->Control("/sim/calls/add?id=102&age=20&remote=666");
    FSim->Control("/sim/calls/add?id=103&age=10&remote=777");
    auto& form = StartOnSim();
    form.show();
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == 3; }));
    QTest::mouseClick(form.thegrid->viewport(), Qt::LeftButton, {}, CellCentre(4, 2));
    ASSERT_EQ(form.SelectedTopRow(), 2);
    ASSERT_EQ(form.Calls()[1]->id, "102");

    FSim->Control(std::string("/sim/calls/hangup?id=") + c.hangUp);
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == 2; }));
    EXPECT_EQ(form.SelectedTopRow(), c.rowAfter);
    if (c.rowAfter > 0) {
        EXPECT_EQ(form.Calls()[static_cast<size_t>(c.rowAfter - 1)]->id, "102");
        EXPECT_EQ(form.SelectedLeftColumn(), 4);
    }
    form.PlayPauseBtn->click();
    if (*c.listened) {
        ASSERT_TRUE(WaitFor([&] { return form.Monitor() != nullptr; }));
        EXPECT_EQ(ListenedId(), c.listened);
    } else {
        RunEventsFor(500);
        EXPECT_EQ(form.Monitor(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(, MainWindowPickTest,
                         ::testing::Values(PickCase{"CallAboveEnds", "101", 1, "102"},
                                           PickCase{"CallBelowEnds", "103", 2, "102"},
                                           PickCase{"PickedCallEnds", "102", 0, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowListenTest, PlayPauseStopsListeningAndStartsItAgain) {
    auto& form = StartWithTwoCalls();
    EXPECT_TRUE(form.PlayPauseBtn->isEnabled());
    form.thegrid->setCurrentCell(1, 3); // row 2, "length"
    form.PlayPauseBtn->click();
    ASSERT_TRUE(WaitFor([&] { return ListenedId() == "102"; }));
    form.PlayPauseBtn->click();
    ASSERT_TRUE(WaitFor([&] { return form.Monitor() == nullptr; }));
    EXPECT_TRUE(LogHas("Monitor stopped (2)"));
    // Nothing else starts.
    RunEventsFor(1000);
    EXPECT_EQ(form.Monitor(), nullptr);
    EXPECT_EQ(CountLog("Monitor ID:"), 1);
    EXPECT_EQ(form.ListenIconIndex(*form.Calls()[1]), 4);
    EXPECT_TRUE(WaitFor([&] { return Streams().find("r102") == std::string::npos; }));
}

TEST_F(MainWindowListenTest, ACallThatHangsUpEndsListening) {
    auto& form = StartWithTwoCalls();
    DoubleClick(4, 1);
    ASSERT_TRUE(WaitFor([&] { return ListenedId() == "101"; }));
    // Once playing, the end is reported by the audio worker thread.
    ASSERT_TRUE(WaitFor([&] { return LogHas("Starting play"); }));
    FSim->Control("/sim/calls/hangup?id=101");
    // The test device plays nothing by itself: finish the queued blocks the
    // way a sound card would once the stream has ended.
    ASSERT_TRUE(WaitFor([&] {
        if (LogHas("Monitor HTTP Doc End"))
            FDevice.CompleteNext();
        return form.Monitor() == nullptr;
    }));
    EXPECT_TRUE(LogHas("Monitor stopped (2)"));
    EXPECT_FALSE(form.SwitchPending());
}

struct AutoCase {
    const char* name;
    std::vector<int> ages; // seconds since each call started, in list order
    std::string listened;  // id of the call listened to, or empty
};

class MainWindowAutoListenTest : public MainWindowSimTest,
                                 public ::testing::WithParamInterface<AutoCase> {};

TEST_P(MainWindowAutoListenTest, PicksTheFirstCallYoungerThanSixSeconds) {
    const AutoCase& c = GetParam();
    for (size_t i = 0; i < c.ages.size(); ++i)
        FSim->Control("/sim/calls/add?id=" + std::to_string(i + 1) +
                      "&age=" + std::to_string(c.ages[i]));
    FConfig.StartAuto = true;
    auto& form = StartOnSim();
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == c.ages.size(); }));
    if (c.listened.empty()) {
        RunEventsFor(500);
        EXPECT_EQ(form.Monitor(), nullptr);
        return;
    }
    ASSERT_NE(form.Monitor(), nullptr);
    EXPECT_EQ(form.Monitor()->FCall.id, c.listened);
    // While listening, a new call starts nothing.
    FSim->Control("/sim/calls/add?id=9&age=0");
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == c.ages.size() + 1; }));
    RunEventsFor(500);
    EXPECT_EQ(form.Monitor()->FCall.id, c.listened);
    EXPECT_EQ(CountLog("Monitor ID:"), 1);
}

INSTANTIATE_TEST_SUITE_P(, MainWindowAutoListenTest,
                         ::testing::Values(AutoCase{"OldThenNew", {30, 4}, "2"},
                                           AutoCase{"FirstOfTwoNew", {1, 2}, "1"},
                                           AutoCase{"AllSixOrOlder", {6, 40}, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowSimTest, AutoListenOffStartsNothing) {
    FSim->Control("/sim/calls/add?id=1&age=0");
    auto& form = StartOnSim();
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == 1; }));
    RunEventsFor(500);
    EXPECT_EQ(form.Monitor(), nullptr);
}

TEST_F(MainWindowListenTest, CloseWhileListeningAndPollingWaitsForBoth) {
    auto& form = StartWithTwoCalls();
    DoubleClick(4, 1);
    ASSERT_TRUE(WaitFor([&] { return ListenedId() == "101"; }));
    form.Exit1->trigger();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.cursor().shape(), Qt::WaitCursor);
    EXPECT_EQ(form.ToolbarPanel->cursor().shape(), Qt::WaitCursor);
    EXPECT_EQ(form.PlayPauseBtn->cursor().shape(), Qt::WaitCursor);
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_EQ(form.Monitor(), nullptr);
    EXPECT_EQ(form.Client(), nullptr);
    const int first = LogIndex("Form Close");
    const int monitorGone = LogIndex("Monitor stopped (2)", first);
    const int engineGone = LogIndex("Engine stopped eAtStop:1", first);
    ASSERT_GT(monitorGone, first);
    ASSERT_GT(engineGone, first);
    EXPECT_GT(LogIndex("Form Close", std::max(monitorGone, engineGone)),
              std::max(monitorGone, engineGone));
    // Closing started no new listening.
    EXPECT_EQ(CountLog("Monitor ID:"), 1);
}

TEST_F(MainWindowListenTest, CloseWhileListeningAfterTheEngineStoppedKeepsTheSessionForTheMonitor) {
    auto& form = StartWithTwoCalls();
    DoubleClick(4, 1);
    ASSERT_TRUE(WaitFor([&] { return ListenedId() == "101"; }));
    form.Client()->Stop(); // as if it had ended by itself
    ASSERT_TRUE(WaitFor([&] { return LogHas("Engine stopped eAtStop:2"); }));
    EXPECT_FALSE(form.close());
    // The monitor still uses the session until it has gone.
    EXPECT_NE(form.Client(), nullptr);
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_EQ(form.Client(), nullptr);
    EXPECT_EQ(form.Monitor(), nullptr);
    const int monitorGone = LogIndex("Monitor stopped (2)");
    EXPECT_GT(LogIndex("Form Close", monitorGone), monitorGone);
}

TEST_F(MainWindowListenTest, DestroyingTheWindowWhileListeningEndsTheStream) {
    StartWithTwoCalls();
    DoubleClick(4, 1);
    ASSERT_TRUE(WaitFor([&] { return ListenedId() == "101"; }));
    ASSERT_TRUE(WaitFor([&] { return LogHas("Starting play"); }));
    FForm.reset();
    EXPECT_TRUE(WaitFor([&] { return Streams().find("r101") == std::string::npos; }));
}

TEST_F(MainWindowListenTest, AFailingSoundDeviceIsShownAndListeningEnds) {
    auto old = SetWaveOutMessageBox(ShowWaveOutMessage);
    MessageBoxCloser closer;
    auto& form = StartWithTwoCalls();
    FDevice.Fail(TWaveOp::Open, mmsyserr::BadDeviceId, -1);
    DoubleClick(4, 1);
    ASSERT_TRUE(WaitFor([&] { return LogHas("Monitor ID:101"); }));
    ASSERT_TRUE(WaitFor([&] { return !closer.Texts.empty() && form.Monitor() == nullptr; }));
    EXPECT_NE(closer.Texts[0].find("waveOutOpen"), std::string::npos) << closer.Texts[0];
    EXPECT_TRUE(LogHas("Monitor stopped (2)"));
    SetWaveOutMessageBox(old);
}

// With no sound device the output's failure messages open inside the
// monitor's data handler, and a message box runs events while it is open: the
// end of the answer, then the timer that destroys finished monitors. The
// monitor must still exist when the box closes, and go only after its handler
// has returned.
TEST_F(MainWindowListenTest, AMessageBoxThatRunsEventsDoesNotDestroyTheMonitorUnderIt) {
    FSim->Control("/sim/fault?count=1&mode=audio-end&bytes=800");
    FDevice.Fail(TWaveOp::Open, mmsyserr::NoDriver);
    auto& form = StartWithTwoCalls();
    std::vector<std::string> shown;
    std::vector<bool> monitorAfterBox;
    const TWaveOutMessageBox old = SetWaveOutMessageBox([&](const std::string& text) {
        shown.push_back(text);
        // The box's own loop, open long enough for the answer to end and for
        // the stop timer (500 ms) to fire.
        RunEventsFor(1500);
        monitorAfterBox.push_back(form.Monitor() != nullptr);
    });
    DoubleClick(4, 1);
    ASSERT_TRUE(WaitFor([&] { return LogHas("Monitor stopped (2)"); }));
    SetWaveOutMessageBox(old);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1], "xOpen, MMSYSERR_NODRIVER");
    EXPECT_EQ(monitorAfterBox, (std::vector<bool>{true, true}));
    EXPECT_TRUE(LogHas("Monitor HTTP Doc End"));
    EXPECT_GT(LogIndex("Monitor stopped (1)"),
              LogIndex("Monitor: wave output not opened; listening ends"));
    EXPECT_EQ(form.Monitor(), nullptr);
    EXPECT_EQ(CountLog("Monitor stopped (1)"), 1);
}

TEST_F(MainWindowTest, SoundMessagesFromAWorkerWaitForTheUser) {
    MessageBoxCloser closer;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        ShowWaveOutMessage("device gone");
        done = true;
    });
    EXPECT_TRUE(WaitFor([&] { return done.load(); }));
    worker.join();
    ASSERT_EQ(closer.Texts.size(), 1u);
    EXPECT_EQ(closer.Texts[0], "device gone");
}

// Texts that may quote a peer are shown as they are, never as rich text (a
// peer's markup would style the box or load pictures).
struct PlainBoxCase {
    const char* name;
    std::function<void(const std::string& text)> show;
};

class MainWindowPlainBoxTest : public MainWindowTest,
                               public ::testing::WithParamInterface<PlainBoxCase> {};

TEST_P(MainWindowPlainBoxTest, MessageBoxesShowPlainText) {
    const std::string text = "<b style='font-size:40pt'>big</b><img src='http://127.0.0.1:1/x'>";
    MessageBoxCloser closer;
    GetParam().show(text);
    ASSERT_EQ(closer.Texts.size(), 1u);
    EXPECT_EQ(closer.Texts[0], text);
    EXPECT_EQ(closer.Formats[0], Qt::PlainText);
}

INSTANTIATE_TEST_SUITE_P(
    , MainWindowPlainBoxTest,
    ::testing::Values(PlainBoxCase{"SoundMessage",
                                   [](const std::string& t) { ShowWaveOutMessage(t); }},
                      PlainBoxCase{"ErrorBox",
                                   [](const std::string& t) {
                                       ShowExceptionBox(
                                           std::make_exception_ptr(std::runtime_error(t)));
                                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowListenTest, CloseDuringASwitchDoesNotListenAgain) {
    auto& form = StartWithTwoCalls();
    DoubleClick(4, 1);
    ASSERT_TRUE(WaitFor([&] { return ListenedId() == "101"; }));
    DoubleClick(4, 2);
    ASSERT_TRUE(WaitFor([&] { return form.SwitchPending(); }));
    EXPECT_FALSE(form.close());
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_EQ(form.Monitor(), nullptr);
    EXPECT_EQ(CountLog("Monitor ID:"), 1);
}

// --- Menu commands ---------------------------------------------------------

struct UpdateCase {
    const char* name;
    bool mustClose;
};

class MainWindowUpdateTest : public MainWindowTest,
                             public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(MainWindowUpdateTest, AFetchedUpdateClosesTheWindow) {
    auto& form = Start();
    form.show();
    EXPECT_TRUE(form.CheckUpdate1->isEnabled());
    int shown = 0;
    form.SetUpdateDialogRunner([&](QWidget* parent) {
        EXPECT_EQ(parent, &form);
        ++shown;
        return GetParam().mustClose;
    });
    form.CheckUpdate1->trigger();
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(form.isVisible(), !GetParam().mustClose);
    EXPECT_EQ(LogHas("Form Close"), GetParam().mustClose);
}

INSTANTIATE_TEST_SUITE_P(, MainWindowUpdateTest,
                         ::testing::Values(UpdateCase{"Fetched", true},
                                           UpdateCase{"NotFetched", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, TheManualIsTopic1001BesideTheProgram) {
    auto& form = Start();
    EXPECT_EQ(form.ManualPage().toStdString(), ProgramFolder() + "help/1001.html");
}

TEST_F(MainWindowTest, AManualThatCannotBeOpenedIsReportedInABox) {
    auto& form = Start();
    form.show();
    // No manual lies beside the test program.
    ASSERT_FALSE(FileExists(form.ManualPage().toStdString()));
    MessageBoxCloser closer;
    form.Manual1->trigger();
    ASSERT_TRUE(WaitFor([&] { return !closer.Texts.empty(); }));
    EXPECT_NE(closer.Texts[0].find(form.ManualPage().toStdString()), std::string::npos)
        << closer.Texts[0];
}

struct HelpPageCase {
    const char* name;
    bool exists;
    const char* message; // translation key of the box's first line
};

class OpenHelpPageTest : public MainWindowTest,
                         public ::testing::WithParamInterface<HelpPageCase> {};

// The offscreen platform has no browser: a page that is there cannot be
// opened either, and that must be said as plainly as a missing page.
TEST_P(OpenHelpPageTest, APageThatDoesNotOpenIsReportedInABox) {
    if (QGuiApplication::platformName() != "offscreen")
        GTEST_SKIP() << "a desktop might open the page";
    TempDir dir;
    LanIni().Load(dir.File("none.uln")); // the box shows the keys
    const std::string page = dir.File("1001.html");
    if (GetParam().exists)
        test::WriteFile(page, "<p>manual</p>");
    QWidget parent;
    MessageBoxCloser closer;
    EXPECT_FALSE(OpenHelpPage(&parent, QString::fromStdString(page)));
    ASSERT_EQ(closer.Texts.size(), 1u);
    EXPECT_EQ(closer.Texts[0], GetParam().message + ("\n" + page));
}

INSTANTIATE_TEST_SUITE_P(, OpenHelpPageTest,
                         ::testing::Values(HelpPageCase{"Missing", false, "Main.ManualMissing"},
                                           HelpPageCase{"NoBrowser", true, "Main.ManualNotOpened"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Listening level and connection state ------------------------------------

class MainWindowListeningTest : public MainWindowTest {
protected:
    void TearDown() override {
        MainWindowTest::TearDown();
        SetOutputLevel({});
    }
    TQuorinConfig Stored() const {
        TQuorinConfig c = FConfig;
        c.Load(FDataFolder + "client.ini");
        return c;
    }
};

TEST_F(MainWindowListeningTest, ToolbarShowsTheStoredLevelAndPutsItInForce) {
    FConfig.Volume = 40;
    FConfig.Party = 2;
    WriteConfig("127.0.0.1:1", "sup", "pw");
    auto& form = Start();
    EXPECT_EQ(form.VolumeBar->value(), 40);
    EXPECT_FALSE(form.MuteBtn->isChecked());
    EXPECT_EQ(form.PartyBox->currentIndex(), 2);
    EXPECT_EQ(CurrentOutputLevel(), (TOutputLevel{40, false, 2}));

    struct Step {
        const char* name;
        std::function<void()> act;
        TOutputLevel level;
    };
    const Step steps[] = {
        {"mute", [&] { form.MuteBtn->click(); }, {40, true, 2}},
        {"volume", [&] { form.VolumeBar->setValue(70); }, {70, true, 2}},
        {"party", [&] { form.PartyBox->setCurrentIndex(1); }, {70, true, 1}},
        {"unmute", [&] { form.MuteBtn->click(); }, {70, false, 1}},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(CurrentOutputLevel(), step.level) << step.name;
        const TQuorinConfig stored = Stored();
        EXPECT_EQ((TOutputLevel{stored.Volume, stored.Mute, stored.Party}), step.level)
            << step.name;
        EXPECT_EQ((TOutputLevel{form.Config().Volume, form.Config().Mute, form.Config().Party}),
                  step.level)
            << step.name;
    }
    // Dragging is heard at once and stored when the slider is let go.
    form.VolumeBar->setSliderDown(true);
    form.VolumeBar->setValue(20);
    EXPECT_EQ(CurrentOutputLevel().Volume, 20);
    EXPECT_EQ(Stored().Volume, 70);
    form.VolumeBar->setSliderDown(false);
    EXPECT_EQ(Stored().Volume, 20);
}

TEST_F(MainWindowListeningTest, AFileWithoutTheKeysGetsOnlyWhatTheUserChanged) {
    WriteConfig("127.0.0.1:1", "sup", "pw");
    const std::string path = FDataFolder + "client.ini";
    const std::string before = test::ReadFile(path);
    auto& form = Start();
    EXPECT_EQ(CurrentOutputLevel(), TOutputLevel{});
    EXPECT_EQ(test::ReadFile(path), before);

    form.PartyBox->setCurrentIndex(2);
    const std::string after = test::ReadFile(path);
    EXPECT_EQ(after.size(), before.size() + std::string("Party=2\r\n").size());
    EXPECT_NE(after.find("Party=2\r\n"), std::string::npos);
    EXPECT_EQ(after.find("Volume"), std::string::npos);
    EXPECT_EQ(after.find("Mute"), std::string::npos);
}

TEST_F(MainWindowSimTest, ALostConnectionGreysTheRowsAndStopsTheDurations) {
    FSim->Control("/sim/calls/add?id=101&age=30&local=201&remote=555&direction=0");
    auto& form = StartOnSim();
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == 1; }));
    EXPECT_EQ(form.ConnectionText(), "Connected");
    EXPECT_EQ(form.ConnectionLbl()->text(), "Connected");
    EXPECT_FALSE(form.GridStale());

    FSim->Control("/sim/fault?mode=error");
    const QString expected = TCorvaneMainForm::StatusCodeText(TStatusCode::ServerError);
    ASSERT_TRUE(WaitFor([&] { return form.StatusText() == expected; }));
    // The short-lived text is unchanged; the permanent part says since when.
    const QString lost = form.ConnectionLbl()->text();
    EXPECT_TRUE(lost.startsWith("Connection lost since ")) << lost.toStdString();
    EXPECT_TRUE(QTime::fromString(lost.mid(22), "HH:mm:ss").isValid()) << lost.toStdString();
    EXPECT_TRUE(form.GridStale());
    const int32_t length = form.Calls()[0]->length;
    const QString shown = form.Cell(2, 1);
    form.DurationTimerTimer();
    EXPECT_EQ(form.Calls()[0]->length, length);
    EXPECT_EQ(form.Cell(2, 1), shown);
    // A second failure keeps the time of the first.
    form.ShowStatusCode(TStatusCode::ConnectFailed);
    EXPECT_EQ(form.ConnectionLbl()->text(), lost);

    // The next good answer.
    FSim->Control("/sim/fault?mode=none");
    form.HandleCallsChanged();
    EXPECT_EQ(form.ConnectionLbl()->text(), "Connected");
    EXPECT_FALSE(form.GridStale());
    const int32_t now = form.Calls()[0]->length;
    form.DurationTimerTimer();
    EXPECT_EQ(form.Calls()[0]->length, now + 1);
}

TEST_F(MainWindowTest, AStoppedEngineCountsAsALostConnection) {
    auto& form = Start();
    EXPECT_EQ(form.ConnectionText(), "");
    form.ShowStatusCode(TStatusCode::EngineStopped);
    EXPECT_TRUE(form.ConnectionText().startsWith("Connection lost since "));
    EXPECT_TRUE(form.GridStale());
}

// --- Filter ----------------------------------------------------------------

class MainWindowFilterTest : public MainWindowSimTest {
protected:
    TCorvaneMainForm& StartWithThreeCalls() {
        FSim->Control("/sim/calls/add?id=101&age=40&local=201&lname=Desk%20A&remote=555123"
                      "&rname=%C3%84rzte%20Nord&direction=0");
        FSim->Control("/sim/calls/add?id=102&age=30&local=202&lname=Desk%20B&remote=777"
                      "&rname=Bob&direction=1");
        FSim->Control("/sim/calls/add?id=103&age=20&local=203&remote=900555&direction=0");
        auto& form = StartOnSim();
        form.show();
        EXPECT_TRUE(WaitFor([&] { return form.Calls().size() == 3; }));
        return form;
    }
    std::vector<std::string> ShownIds(const TCorvaneMainForm& form) const {
        std::vector<std::string> ids;
        for (size_t i = 0; i < form.Calls().size(); ++i)
            if (form.thegrid->RowShown(static_cast<int>(i)))
                ids.push_back(form.Calls()[i]->id);
        return ids;
    }
};

TEST_F(MainWindowFilterTest, OnlyCallsWhoseNumbersOrNamesContainTheTextAreShown) {
    auto& form = StartWithThreeCalls();
    using Ids = std::vector<std::string>;
    struct Case {
        const char* text;
        Ids shown;
    };
    const Case cases[] = {
        {"", {"101", "102", "103"}},
        {"555", {"101", "103"}},   // remote numbers, anywhere in the text
        {"\xC3\xA4RZTE", {"101"}}, // names without regard to case, beyond ASCII
        {"desk b", {"102"}},       // local names
        {"203", {"103"}},          // local numbers
        {"  bob ", {"102"}},       // blanks round the text do not count
        {"nobody", {}},
    };
    for (const Case& c : cases) {
        form.SetFilterText(QString::fromUtf8(c.text));
        EXPECT_EQ(ShownIds(form), c.shown) << c.text;
        // The list itself, its order and its columns stay as they are.
        ASSERT_EQ(form.Calls().size(), 3u);
        EXPECT_EQ(form.Cell(4, 2), "777");
        EXPECT_EQ(form.ShowsNoMatchLine(), c.shown.empty()) << c.text;
        EXPECT_FALSE(form.ShowsNoCallLine()) << c.text;
    }
    // A new list keeps the filter.
    form.SetFilterText("777");
    FSim->Control("/sim/calls/add?id=104&age=0&local=204&remote=777000&direction=1");
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == 4; }));
    EXPECT_EQ(ShownIds(form), (Ids{"102", "104"}));

    // With no calls at all the no-call line shows, filter or not.
    FSim->Control("/sim/calls/clear");
    ASSERT_TRUE(WaitFor([&] { return form.Calls().empty(); }));
    EXPECT_TRUE(form.ShowsNoCallLine());
    EXPECT_FALSE(form.ShowsNoMatchLine());
}

TEST_F(MainWindowFilterTest, TheNoMatchLineIsDrawnInsteadOfTheNoCallLine) {
    auto& form = StartWithThreeCalls();
    auto darkInTopRow = [&] {
        QCoreApplication::processEvents();
        const QImage image = form.thegrid->viewport()->grab().toImage();
        const int rowHeight = form.thegrid->verticalHeader()->defaultSectionSize();
        return FindDark(image, QRect(0, 0, image.width(), rowHeight)).count;
    };
    form.SetFilterText("nobody");
    ASSERT_TRUE(form.ShowsNoMatchLine());
    const int withLine = darkInTopRow();
    EXPECT_GT(withLine, 0);
    form.thegrid->SetFilter(QString()); // compare with the plain first row
    form.thegrid->setRowHidden(0, true);
    form.thegrid->setRowHidden(1, true);
    form.thegrid->setRowHidden(2, true);
    EXPECT_EQ(darkInTopRow(), 0) << "hidden rows draw nothing, so the dark pixels were the line";
}

TEST_F(MainWindowFilterTest, CtrlFFocusesTheFieldAndEscapeClearsIt) {
    auto& form = StartWithThreeCalls();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &form; }));
    form.thegrid->setFocus();
    QTest::keyClick(form.thegrid, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(QApplication::focusWidget(), form.FilterEdit);
    QTest::keyClicks(form.FilterEdit, "bob");
    EXPECT_EQ(ShownIds(form), (std::vector<std::string>{"102"}));
    // Escape clears the text; a second Escape hands the keys back to the calls.
    QTest::keyClick(form.FilterEdit, Qt::Key_Escape);
    EXPECT_EQ(form.FilterEdit->text(), "");
    EXPECT_EQ(ShownIds(form).size(), 3u);
    EXPECT_EQ(QApplication::focusWidget(), form.FilterEdit);
    QTest::keyClick(form.FilterEdit, Qt::Key_Escape);
    EXPECT_EQ(QApplication::focusWidget(), form.thegrid);
}

TEST_F(MainWindowFilterTest, ASelectedCallTheFilterHidesCannotBeListenedToByKey) {
    auto& form = StartWithThreeCalls();
    form.thegrid->setCurrentCell(1, 2); // call 102
    ASSERT_EQ(form.SelectedTopRow(), 2);
    form.SetFilterText("555");
    EXPECT_EQ(form.SelectedTopRow(), 0);
    form.thegridDblClick();
    RunEventsFor(200);
    EXPECT_EQ(form.Monitor(), nullptr);
    // A selection that stays visible is kept.
    form.SetFilterText("");
    form.thegrid->setCurrentCell(0, 2); // call 101
    form.SetFilterText("555");
    EXPECT_EQ(form.SelectedTopRow(), 1);
}

TEST_F(MainWindowFilterTest, AutomaticListeningStillConsidersEveryCall) {
    FConfig.StartAuto = true;
    auto& form = StartWithThreeCalls();
    form.SetFilterText("nobody");
    FSim->Control("/sim/calls/add?id=105&age=0&local=205&remote=4242&direction=0");
    ASSERT_TRUE(WaitFor([&] { return form.Monitor() != nullptr; }));
    EXPECT_EQ(form.Monitor()->FCall.id, "105");
    EXPECT_FALSE(form.thegrid->RowShown(3));
}

// --- New-call notice -------------------------------------------------------

class MainWindowNoticeTest : public MainWindowSimTest {
protected:
    void TearDown() override {
        MainWindowSimTest::TearDown();
        OverrideTrayAvailable(std::nullopt);
    }
    struct Message {
        QString title;
        QString text;
    };
    // Starts with call 101 listed and records the messages instead of showing them.
    TCorvaneMainForm& StartNotifying(bool notify) {
        FConfig.Notify = notify;
        FSim->Control("/sim/calls/add?id=101&age=40&local=201&remote=555&rname=Ann&direction=0");
        auto& form = StartOnSim();
        form.Notice().ShowMessage = [this](const QString& title, const QString& text) {
            FMessages.push_back({title, text});
        };
        EXPECT_TRUE(WaitFor([&] { return form.Calls().size() == 1; }));
        return form;
    }
    std::vector<Message> FMessages;
};

TEST_F(MainWindowNoticeTest, ANewCallWhileTheWindowIsMinimisedIsAnnouncedAndTheClickShowsIt) {
    OverrideTrayAvailable(true);
    auto& form = StartNotifying(true);
    EXPECT_TRUE(form.Notice().Active());
    // The calls of the first list are not news.
    EXPECT_TRUE(FMessages.empty());
    form.showMinimized();
    FSim->Control("/sim/calls/add?id=102&age=0&local=202&remote=777&rname=Bob&direction=0");
    ASSERT_TRUE(WaitFor([&] { return FMessages.size() == 1; }));
    EXPECT_EQ(FMessages[0].title, QString::fromStdU16String(LanIni().Translate("Main.NewCall")));
    EXPECT_EQ(FMessages[0].text, "777  Bob");
    // The same list again brings no second message.
    form.HandleCallsChanged();
    EXPECT_EQ(FMessages.size(), 1u);

    form.Notice().MessageClicked();
    EXPECT_FALSE(form.isMinimized());
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.SelectedTopRow(), 2);
    EXPECT_EQ(form.Calls()[1]->id, "102");
}

TEST_F(MainWindowNoticeTest, TheClickClearsAFilterThatHidesTheCall) {
    OverrideTrayAvailable(true);
    auto& form = StartNotifying(true);
    form.SetFilterText("555");
    FSim->Control("/sim/calls/add?id=102&age=0&local=202&remote=777&rname=Bob&direction=0");
    ASSERT_TRUE(WaitFor([&] { return FMessages.size() == 1; }));
    form.Notice().MessageClicked();
    EXPECT_EQ(form.FilterEdit->text(), "");
    EXPECT_TRUE(form.thegrid->RowShown(1));
    EXPECT_EQ(form.SelectedTopRow(), 2);
}

struct NoticeCase {
    const char* name;
    bool tray;
    bool notify;
    bool active;
};

class MainWindowNoNoticeTest : public MainWindowNoticeTest,
                               public ::testing::WithParamInterface<NoticeCase> {};

TEST_P(MainWindowNoNoticeTest, NoMessage) {
    const NoticeCase& c = GetParam();
    OverrideTrayAvailable(c.tray);
    auto& form = StartNotifying(c.notify);
    EXPECT_EQ(form.Notice().Active(), c.tray && c.notify);
    form.show();
    if (c.active) {
        form.activateWindow();
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.WindowAttentive(); }));
    }
    FSim->Control("/sim/calls/add?id=102&age=0&local=202&remote=777&direction=0");
    ASSERT_TRUE(WaitFor([&] { return form.Calls().size() == 2; }));
    EXPECT_TRUE(FMessages.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, MainWindowNoNoticeTest,
                         ::testing::Values(NoticeCase{"OptionOff", true, false, false},
                                           NoticeCase{"NoTray", false, true, false},
                                           NoticeCase{"UserLooksAtTheWindow", true, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, TheNoticeOptionIsOfferedOnlyWhereThereIsATray) {
    for (const bool tray : {false, true}) {
        OverrideTrayAvailable(tray);
        TSettingsForm dialog;
        TQuorinConfig config;
        config.Notify = true;
        dialog.LoadFrom(config);
        EXPECT_EQ(dialog.NotifyChB->isEnabled(), tray);
        // The stored choice is kept either way.
        EXPECT_TRUE(dialog.NotifyChB->isChecked());
        TQuorinConfig back;
        dialog.StoreTo(back);
        EXPECT_TRUE(back.Notify);
    }
    OverrideTrayAvailable(std::nullopt);
    // Offscreen there is no tray.
    EXPECT_FALSE(TrayAvailable());
}

TEST_F(MainWindowSimTest, TurningTheNoticeOnInTheSettingsStoresOnlyThatKey) {
    OverrideTrayAvailable(true);
    auto& form = StartOnSim();
    const std::string path = FDataFolder + "client.ini";
    const std::string before = test::ReadFile(path);
    EXPECT_FALSE(form.Notice().Active());
    TQuorinConfig edited = form.Config();
    edited.Notify = true;
    form.ApplySettings(edited);
    EXPECT_TRUE(form.Notice().Active());
    const std::string after = test::ReadFile(path);
    EXPECT_NE(after.find("Notify=1\r\n"), std::string::npos);
    EXPECT_EQ(after.size(), before.size() + std::string("Notify=1\r\n").size());
    OverrideTrayAvailable(std::nullopt);
}

} // namespace
} // namespace corvane
