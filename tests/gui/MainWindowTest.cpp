// The main window against the recorder simulator on 127.0.0.1: start-up,
// log, grid, status line, engine restart and the close protocol.

#include "CorvaneMainForm.h"
#include "FormTranslator.h"
#include "LanIni.h"
#include "MainThread.h"
#include "Platform.h"
#include "QtMainThread.h"
#include "QuorinConfig.h"
#include "TestSupport.h"
#include "VcPNGButton.h"

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

namespace corvane {
namespace {

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
    }
    void TearDown() override {
        FForm.reset();
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

    TempDir FHome;
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
    int result;
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
    EXPECT_GT(LogIndex("Start result: " + std::to_string(c.result), tryStart), tryStart);
    EXPECT_TRUE(form.StartUpTimer->isActive());
    EXPECT_FALSE(form.Client()->IsRunning());
}

INSTANTIATE_TEST_SUITE_P(, MainWindowStartTest,
                         ::testing::Values(StartCase{"NoSettings", "", "", "", MissingCredentials},
                                           StartCase{"NoPassword", "127.0.0.1:1", "u", "",
                                                     MissingCredentials},
                                           StartCase{"NoServer", "", "u", "p", MissingServer}),
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
    EXPECT_EQ(form.ClientWidth(), std::max(sum + 40, form.minimumWidth()));
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

TEST(UnixToLocalTextTest, ConvertsUtcSecondsToLocalTime) {
    // 2024-07-01 12:34:56 local, whatever the zone; read back with the
    // regional formats the text was written in.
    const QDateTime local(QDate(2024, 7, 1), QTime(12, 34, 56));
    const QString text = TCorvaneMainForm::UnixToLocalText(local.toSecsSinceEpoch());
    EXPECT_EQ(text, DateTimeText(local));
    EXPECT_FALSE(text.contains("UTC")) << text.toStdString();
    EXPECT_TRUE(text.contains("34")) << text.toStdString();
}

TEST(CellTextTest, EachKeyShowsItsField) {
    TCallInfo call;
    call.id = "7";
    call.startdate =
        static_cast<int32_t>(QDateTime(QDate(2024, 3, 5), QTime(0, 0)).toSecsSinceEpoch());
    call.local = u"201";
    call.remote = u"+4930123456";
    call.lname = u"Jürgen";
    call.rname = u"Łukasz";
    call.connected = u"299";
    call.cname = u"Zoë";
    call.direction = 1;
    call.length = 61;
    const std::vector<std::pair<std::string, QString>> cases = {
        {"startdate", TCorvaneMainForm::UnixToLocalText(call.startdate)},
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
    int32_t code;
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
    EXPECT_TRUE(LogHas("Message code " + std::to_string(c.code)));
    EXPECT_TRUE(form.StatusClearTimer->isActive());
    // The timer's end clears the line.
    form.StatusClearTimerTimer();
    EXPECT_EQ(form.StatusText(), "");
    EXPECT_FALSE(form.StatusClearTimer->isActive());
}

INSTANTIATE_TEST_SUITE_P(
    , MainWindowStatusTest,
    ::testing::Values(StatusCase{"WrongUser", "nobody", false, "", LogOnRefused},
                      StatusCase{"NoServer", "sup", true, "", ConnectFailed},
                      StatusCase{"ServerError", "sup", false, "error", ServerError}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, UnlistedCodesAreOnlyLogged) {
    auto& form = Start();
    form.ShowStatusText("earlier");
    form.HandleStatusCode(5);
    EXPECT_TRUE(LogHas("Message code 5"));
    EXPECT_EQ(form.StatusText(), "earlier");
    // From a worker thread the text reaches the GUI thread before the worker goes on.
    std::atomic<bool> done{false};
    std::thread worker([&] {
        form.HandleStatusCode(ServerError);
        done = true;
    });
    EXPECT_TRUE(WaitFor([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(form.StatusText(), TCorvaneMainForm::StatusCodeText(ServerError));
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
    EXPECT_EQ(form.AtStop(), AtStopReport);
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
    EXPECT_EQ(form.AtStop(), AtStopReport);
    EXPECT_FALSE(LogHas("Engine stopped eAtStop:0"));
    EXPECT_EQ(LogIndex("Try start", LogIndex("Try start")), -1);
}

TEST_F(MainWindowSimTest, AnEngineThatStoppedReportsItAndStartsAgainOnNewSettings) {
    auto& form = StartOnSim();
    ASSERT_TRUE(WaitFor([&] { return form.ListReceived(); }));
    form.Client()->Stop(); // as if it had ended by itself
    ASSERT_TRUE(WaitFor(
        [&] { return form.StatusText() == TCorvaneMainForm::StatusCodeText(EngineStopped); }));
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
    EXPECT_EQ(shownPage, MissingCredentials);
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
    EXPECT_EQ(form.AtStop(), AtStopClose);
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

} // namespace
} // namespace corvane
