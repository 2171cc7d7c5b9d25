// The update dialog offscreen: texts from the translation table, the check
// with and without an update, the download with its progress bar, and how
// the dialog ends (OK only when the copy tool was started); an update server
// that is not there and an update that fails its checks are said so.

#include "FormUpdater.h"
#include "LanIni.h"
#include "Platform.h"
#include "SigningTestUtil.h"
#include "TestSupport.h"
#include "UpdateTestServer.h"
#include "Updater.h"
#include "UpdaterTestUtil.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

// Readable QStrings in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << text.toStdString();
}

namespace corvane::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kUsFile = SourceDir() + "/data/lang/Corvane_US.uln";

class FormUpdaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        LanIni().Load(kUsFile);
        FForm = std::make_unique<TFormUpdater>();
        FForm->SetManifestUrl(FServer.Url("/softwupd/corvane.ini"));
        TUpdater& u = FForm->ApplUpdater();
        u.CopyTool = FAppData.Dir().File("recorder");
        WriteArgsRecorder(u.CopyTool);
        u.ProgramFile = FAppData.Dir().File("corvane");
        u.UpdateKeyPem.clear();
        u.OnLog = [this](const std::string& line) { FLog += line + "\n"; };
        TFormUpdater::SetMessageHook([this](const QString& caption, const QString& text) {
            FMessages.push_back(caption + "|" + text);
        });
    }
    void TearDown() override {
        TFormUpdater::SetMessageHook({});
        LanIni().Load(kUsFile);
    }

    template <typename T> T* Child(const char* name) const {
        T* widget = FForm->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QPushButton* Button(const char* name) const { return Child<QPushButton>(name); }
    QString Label() const { return Child<QLabel>("LabelUpdate")->text(); }
    QString Memo() const { return Child<QPlainTextEdit>("MemoUpdate")->toPlainText(); }
    bool Shown(const char* name) const { return Child<QWidget>(name)->isVisibleTo(FForm.get()); }

    void Offer(const std::vector<ManifestFile>& files, const std::string& latest = "2.0") {
        std::string manifest = BuildManifest(files);
        manifest.replace(manifest.find("LatestVersion=2.0"), 17, "LatestVersion=" + latest);
        FServer.Put("/softwupd/corvane.ini", manifest);
    }
    void ShowAndCheck() {
        FForm->show();
        QTest::mouseClick(Button("ButtonCheckUpdate"), Qt::LeftButton);
    }
    static QString Version() { return QString::fromStdString(ProgramVersion()); }

    ScopedAppData FAppData;
    UpdateTestServer FServer;
    std::unique_ptr<TFormUpdater> FForm;
    std::vector<QString> FMessages;
    std::string FLog;
};

TEST_F(FormUpdaterTest, StartsWithPictureCheckAndCancel) {
    FForm->show();
    EXPECT_EQ(FForm->size(), QSize(451, 260));
    EXPECT_EQ(FForm->windowTitle(), "Online update - installed version " + Version());
    const QPixmap picture = Child<QLabel>("Image1")->pixmap();
    EXPECT_EQ(picture.size(), QSize(120, 260));
    EXPECT_TRUE(Shown("ButtonCheckUpdate"));
    EXPECT_TRUE(Shown("CancelBtn"));
    EXPECT_FALSE(Shown("SimplePanelUpdate"));
    EXPECT_EQ(Button("ButtonCheckUpdate")->text(), "Check for update");
    EXPECT_EQ(Button("CancelBtn")->text(), "Cancel");
    EXPECT_EQ(Button("ButtonCancel")->text(), "Cancel");
    EXPECT_EQ(Button("ButtonUpdate")->text(), "Download and install");
    EXPECT_EQ(FForm->ApplUpdater().UpdateFile, FAppData.Updates() + "corvane.ini");
}

TEST_F(FormUpdaterTest, WithoutTranslationsTheKeysShow) {
    LanIni().Load(FAppData.Dir().File("no-such-file.uln"));
    TFormUpdater form;
    form.show();
    EXPECT_EQ(form.findChild<QPushButton*>("ButtonCheckUpdate")->text(),
              "Updater.CheckUpdateButton");
    EXPECT_EQ(form.findChild<QPushButton*>("ButtonUpdate")->text(), "Updater.DownloadButton");
    EXPECT_EQ(form.findChild<QPushButton*>("CancelBtn")->text(), "Updater.CancelButton");
    EXPECT_EQ(form.windowTitle(), "Updater.CurrentVersion " + Version());
}

TEST_F(FormUpdaterTest, CheckWithoutUpdate) {
    Offer({{FServer.Url("/x"), "%MAIN_DIR%\\x", 1}}, "0.5");
    ShowAndCheck();
    EXPECT_TRUE(Shown("SimplePanelUpdate"));
    EXPECT_FALSE(Shown("ButtonUpdate"));
    EXPECT_TRUE(Shown("ButtonCancel"));
    EXPECT_EQ(Label(), "No update is available.\nYou are using the latest version.");
    EXPECT_EQ(Memo(), "Installed version: " + Version() + "\nLatest version: 0.5");
    // Each dialog checks once.
    EXPECT_FALSE(Button("ButtonCheckUpdate")->isEnabled());
    EXPECT_FALSE(Button("CancelBtn")->isEnabled());
}

// A failed check is no "no update": the dialog says the server was not
// reached, and the log says why.
TEST_F(FormUpdaterTest, ServerThatIsNotThereIsSaidSo) {
    FForm->SetManifestUrl("http://127.0.0.1:" + std::to_string(FreePort()) + "/corvane.ini");
    ShowAndCheck();
    EXPECT_EQ(Label(), "The update server could not be reached.\nPlease try again later.");
    EXPECT_EQ(Memo(), "Installed version: " + Version() + "\nLatest version: ");
    EXPECT_FALSE(Shown("ButtonUpdate"));
    EXPECT_THAT(FLog, HasSubstr("Download failed: "));
    EXPECT_THAT(FLog, HasSubstr("Update server not reached"));
}

// With a key, a manifest without its signature offers nothing.
TEST_F(FormUpdaterTest, UnsignedManifestIsNotVerified) {
    TestSigningKey key;
    FForm->ApplUpdater().UpdateKeyPem = key.PublicPem();
    Offer({{FServer.Url("/x"), "%MAIN_DIR%\\x", 1}});
    ShowAndCheck();
    EXPECT_EQ(Label(), "The update could not be verified. Nothing was installed.");
    EXPECT_FALSE(Shown("ButtonUpdate"));
    EXPECT_THAT(FLog, HasSubstr("corvane.ini.sig cannot be fetched"));
}

// A file that differs from its digest: the message says so, not "download
// failed".
TEST_F(FormUpdaterTest, FileWithAWrongDigestIsNotVerified) {
    FServer.Put("/x", "data");
    Offer({{FServer.Url("/x"), "%MAIN_DIR%\\x", 4, true, true, Sha256Hex("other")}});
    ShowAndCheck();
    QTest::mouseClick(Button("ButtonUpdate"), Qt::LeftButton);
    ASSERT_EQ(FMessages.size(), 1u);
    EXPECT_EQ(FMessages[0], QGuiApplication::applicationDisplayName() +
                                "|The update could not be verified. Nothing was installed.");
    EXPECT_EQ(FForm->result(), QDialog::Rejected);
    EXPECT_FALSE(FileExists(FAppData.Updates() + "x.temp"));
}

TEST_F(FormUpdaterTest, CheckWithUpdateShowsNotes) {
    Offer({{FServer.Url("/x"), "%MAIN_DIR%\\x", 1}});
    ShowAndCheck();
    EXPECT_TRUE(Shown("SimplePanelUpdate"));
    EXPECT_TRUE(Shown("ButtonUpdate"));
    EXPECT_TRUE(Button("ButtonUpdate")->isEnabled());
    EXPECT_EQ(Label(), "Version " + Version() + " is installed.\nVersion 2.0 is available.");
    EXPECT_EQ(Memo(), "Installed version: " + Version() + "\nLatest version: 2.0\nnotes");
    EXPECT_EQ(Child<QPlainTextEdit>("MemoUpdate")->textCursor().position(), 0);
}

struct AvailableCase {
    const char* Text;
    const char* Expected; // %1 the installed version
};

class FormUpdaterAvailableTest : public FormUpdaterTest,
                                 public ::testing::WithParamInterface<AvailableCase> {};

TEST_P(FormUpdaterAvailableTest, PlaceholdersFilledInOrder) {
    WriteFile(FAppData.Dir().File("t.uln"),
              std::string("[Updater]\nUpdateAvailable=") + GetParam().Text + "\n");
    LanIni().Load(FAppData.Dir().File("t.uln"));
    Offer({{FServer.Url("/x"), "%MAIN_DIR%\\x", 1}}, "9.%s");
    ShowAndCheck();
    EXPECT_EQ(Label(), QString(GetParam().Expected).replace("%1", Version()));
}

INSTANTIATE_TEST_SUITE_P(Table, FormUpdaterAvailableTest,
                         ::testing::Values(AvailableCase{"A %s B %s C", "A %1 B 9.%s C"},
                                           AvailableCase{"only %s here", "only %1 here"},
                                           AvailableCase{"no placeholder", "no placeholder"},
                                           AvailableCase{"%s%s%s", "%19.%s%s"}));

class FormUpdaterPlainTextTest : public FormUpdaterTest,
                                 public ::testing::WithParamInterface<const char*> {};

// Whoever serves the manifest chooses LatestVersion: it is shown as the text
// it is, never as markup (large red letters, pictures loaded from anywhere).
TEST_P(FormUpdaterPlainTextTest, LatestVersionShownLiterally) {
    const QString latest = QString::fromUtf8(GetParam());
    const auto* label = Child<QLabel>("LabelUpdate");
    const auto plain = [&] {
        return label->textFormat() == Qt::PlainText ||
               (label->textFormat() == Qt::AutoText && !Qt::mightBeRichText(label->text()));
    };
    FServer.Put("/x", "data");
    Offer({{FServer.Url("/x"), "%MAIN_DIR%\\x", 4}}, GetParam());
    ShowAndCheck();
    EXPECT_EQ(Label(),
              "Version " + Version() + " is installed.\nVersion " + latest + " is available.");
    EXPECT_TRUE(plain());
    QTest::mouseClick(Button("ButtonUpdate"), Qt::LeftButton);
    EXPECT_EQ(Label(), "Downloading version " + latest + ".\nPlease wait...");
    EXPECT_TRUE(plain());
}

INSTANTIATE_TEST_SUITE_P(Table, FormUpdaterPlainTextTest,
                         ::testing::Values("9.0<img src=\"x.png\">",
                                           "9.0<font color=red size=7>BIG</font>",
                                           "9.1 &lt;b&gt; <br> <b>bold</b>"));

// The download of an update that needs the copy tool: the progress bar
// replaces the notes at the first data, and the dialog ends with OK.
TEST_F(FormUpdaterTest, DownloadThatNeedsRestartEndsWithOk) {
    FServer.SetGated(3, 5000);
    Offer({{FServer.Url("/gated"), "%MAIN_DIR%\\corvane", 15000, true, true}});
    ShowAndCheck();
    std::vector<std::pair<int, int>> bar;
    bool memoHidden = true;
    TUpdater& u = FForm->ApplUpdater();
    auto dialogProgress = u.OnProgress;
    u.OnProgress = [&](TUpdater& sender, std::uint32_t position) {
        dialogProgress(sender, position);
        auto* progress = Child<QProgressBar>("ProgressBar1");
        EXPECT_TRUE(progress->isVisibleTo(FForm.get()));
        memoHidden = memoHidden && !Shown("MemoUpdate");
        EXPECT_FALSE(Button("ButtonUpdate")->isEnabled());
        EXPECT_FALSE(Button("ButtonCancel")->isEnabled());
        bar.emplace_back(progress->value(), progress->maximum());
        FServer.Release();
    };
    QTest::mouseClick(Button("ButtonUpdate"), Qt::LeftButton);
    EXPECT_EQ(FForm->result(), QDialog::Accepted);
    EXPECT_FALSE(FForm->isVisible());
    EXPECT_TRUE(memoHidden);
    ASSERT_FALSE(bar.empty());
    EXPECT_EQ(bar.back(), std::make_pair(15000, 15000));
    EXPECT_TRUE(FMessages.empty());
    EXPECT_TRUE(PumpUntil([&] { return FileExists(u.CopyTool + ".args"); }));
}

TEST_F(FormUpdaterTest, DownloadWithoutRestartKeepsTheDialogOpen) {
    FServer.Put("/x", "data");
    Offer({{FServer.Url("/x"), "%MAIN_DIR%\\x", 4}});
    ShowAndCheck();
    QTest::mouseClick(Button("ButtonUpdate"), Qt::LeftButton);
    EXPECT_TRUE(FForm->isVisible());
    EXPECT_EQ(Label(), "Downloading version 2.0.\nPlease wait...");
    EXPECT_FALSE(Button("ButtonUpdate")->isEnabled());
    EXPECT_FALSE(Button("ButtonCancel")->isEnabled());
    EXPECT_EQ(ReadFile(FAppData.Updates() + "x"), "data");
    FForm->close();
    EXPECT_EQ(FForm->result(), QDialog::Rejected);
}

TEST_F(FormUpdaterTest, FailedDownloadReportsAndCancels) {
    Offer({{FServer.Url("/missing"), "%MAIN_DIR%\\x", 4, true, true}});
    ShowAndCheck();
    QTest::mouseClick(Button("ButtonUpdate"), Qt::LeftButton);
    ASSERT_EQ(FMessages.size(), 1u);
    EXPECT_EQ(FMessages[0], QGuiApplication::applicationDisplayName() +
                                "|The update could not be downloaded. Please try again later.");
    EXPECT_EQ(FForm->result(), QDialog::Rejected);
    EXPECT_FALSE(FForm->isVisible());
}

// Closing the dialog during the download cancels it: no message, no file,
// no copy tool.
TEST_F(FormUpdaterTest, CloseDuringDownloadCancelsIt) {
    FServer.SetGated(3, 5000);
    Offer({{FServer.Url("/gated"), "%MAIN_DIR%\\corvane", 15000, true, true}});
    ShowAndCheck();
    TUpdater& u = FForm->ApplUpdater();
    auto dialogProgress = u.OnProgress;
    u.OnProgress = [&](TUpdater& sender, std::uint32_t position) {
        dialogProgress(sender, position);
        FForm->close();
    };
    QTest::mouseClick(Button("ButtonUpdate"), Qt::LeftButton);
    EXPECT_EQ(FForm->result(), QDialog::Rejected);
    EXPECT_TRUE(FMessages.empty());
    EXPECT_FALSE(FileExists(FAppData.Updates() + "corvane.temp"));
    EXPECT_FALSE(u.RunCopyTool());
}

TEST_F(FormUpdaterTest, CloseBoxBeforeACheckIsCancel) {
    FForm->show();
    FForm->close();
    EXPECT_EQ(FForm->result(), QDialog::Rejected);
}

// The main window's entry point: a modal dialog, closed here without a check.
TEST(ShowUpdateDialogTest, ClosedDialogDoesNotAskToClose) {
    ScopedAppData appData;
    QWidget mainWindow;
    mainWindow.resize(800, 600);
    mainWindow.show();
    bool closed = false;
    QTimer::singleShot(0, [&] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            closed = dialog->inherits("corvane::TFormUpdater");
            dialog->close();
        }
    });
    EXPECT_FALSE(ShowUpdateDialog(&mainWindow));
    EXPECT_TRUE(closed);
}

} // namespace
} // namespace corvane::test
