// The settings dialog, driven the way the main window and the user drive it:
// texts from the translation files, record in and out, clicks and keys on
// its controls, modal runs ended by OK, Cancel, Escape and the close box.

#include "SettingsForm.h"
#include "HttpCli.h"

#include "LanIni.h"
#include "MessageBoxCloser.h"
#include "Platform.h"
#include "QuorinConfig.h"
#include "TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace corvane {
namespace {

const char* const AppTitle = "Quorin Call Monitor";
const std::vector<std::string> LanguageCodes = {"DA", "DE", "ES", "FR", "IT", "NL", "PL", "US"};

std::string LangFile(const std::string& code) {
    return test::SourceDir() + "/data/lang/Corvane_" + code + ".uln";
}

// A record with a value in every field that differs from the defaults.
TQuorinConfig FullRecord() {
    TQuorinConfig c;
    c.WindowsUser = "operator";
    c.Server = "rec.example:8443";
    c.Secure = true;
    c.UserName = "supervisor";
    c.Password = "s3cret!";
    c.ServerPin = "sha256//" + std::string(43, 'W') + "=";
    c.Language = "FR";
    c.StartAuto = true;
    c.Columns = {false, true, false, true, false, true, false, true, false};
    return c;
}

// A record that differs from FullRecord in every field, so that a StoreTo
// that forgets a field shows.
TQuorinConfig OtherRecord() {
    TQuorinConfig c;
    c.WindowsUser = "someone-else";
    c.Server = "other";
    c.Secure = false;
    c.UserName = "other-user";
    c.Password = "other-password";
    c.ServerPin = "sha256//other=";
    c.Language = "PL";
    c.StartAuto = false;
    c.Columns = {true, false, true, false, true, false, true, false, true};
    return c;
}

void ExpectSameEditableFields(const TQuorinConfig& actual, const TQuorinConfig& expected) {
    EXPECT_EQ(actual.Server, expected.Server);
    EXPECT_EQ(actual.Secure, expected.Secure);
    EXPECT_EQ(actual.UserName, expected.UserName);
    EXPECT_EQ(actual.Password, expected.Password);
    EXPECT_EQ(actual.ServerPin, expected.ServerPin);
    EXPECT_EQ(actual.Language, expected.Language);
    EXPECT_EQ(actual.StartAuto, expected.StartAuto);
    EXPECT_EQ(actual.Columns, expected.Columns);
}

QString Caption(QObject* control, QTabWidget* pages) {
    if (auto* button = qobject_cast<QAbstractButton*>(control))
        return button->text();
    if (auto* label = qobject_cast<QLabel*>(control))
        return label->text();
    if (auto* group = qobject_cast<QGroupBox*>(control))
        return group->title();
    if (auto* page = qobject_cast<QWidget*>(control); page && pages->indexOf(page) >= 0)
        return pages->tabText(pages->indexOf(page));
    return QStringLiteral("<no caption>");
}

void ClickOn(QWidget* control) {
    // A click near the left end, where the box of a check or radio button is.
    if (auto* page = control->parentWidget(); page->objectName() == "LngGroup")
        control->window()->findChild<QTabWidget*>()->setCurrentWidget(page->parentWidget());
    else
        control->window()->findChild<QTabWidget*>()->setCurrentWidget(page);
    QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(8, control->height() / 2));
}

class SettingsFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        QGuiApplication::setApplicationDisplayName(AppTitle);
        LanIni().Load(FDir.File("none.uln")); // empty table
        FPrevDebug = SetDebugOutputHandler(
            [this](std::string_view line) { FDebugLines.emplace_back(line); });
    }
    void TearDown() override {
        SetDebugOutputHandler(FPrevDebug);
        LanIni().Load(FDir.File("none.uln"));
    }

    // One opening as the main window runs it; `during` runs while the dialog
    // is shown and must end it.
    int Open(int page, const TQuorinConfig& config, const std::function<void()>& during) {
        FForm.PrepareTexts();
        FForm.SelectPage(page);
        FForm.LoadFrom(config);
        QTimer::singleShot(0, &FForm, during);
        return FForm.exec();
    }

    TQuorinConfig Stored(TQuorinConfig into = OtherRecord()) const {
        FForm.StoreTo(into);
        return into;
    }

    test::TempDir FDir;
    TSettingsForm FForm;
    std::vector<std::string> FDebugLines;
    DebugOutputHandler FPrevDebug;
};

// --- Record in, record out ------------------------------------------------

struct RoundTripCase {
    const char* name;
    std::function<void(TQuorinConfig&)> change;
};

class SettingsFormRoundTrip : public SettingsFormTest,
                              public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(SettingsFormRoundTrip, StoreToGivesBackEveryLoadedField) {
    TQuorinConfig loaded = FullRecord();
    GetParam().change(loaded);
    FForm.PrepareTexts();
    FForm.LoadFrom(loaded);
    const TQuorinConfig stored = Stored();
    ExpectSameEditableFields(stored, loaded);
    EXPECT_EQ(stored.WindowsUser, OtherRecord().WindowsUser);
    EXPECT_FALSE(Differs(stored, loaded));
}

const RoundTripCase RoundTripCases[] = {
    {"Full", [](TQuorinConfig&) {}},
    {"Defaults", [](TQuorinConfig& c) { c = TQuorinConfig(); }},
    {"EmptyTexts",
     [](TQuorinConfig& c) {
         c.Server.clear();
         c.UserName.clear();
         c.Password.clear();
     }},
    {"NoColumnShown", [](TQuorinConfig& c) { c.Columns.fill(false); }},
    {"EveryColumnShown", [](TQuorinConfig& c) { c.Columns.fill(true); }},
    {"OnlyLastColumn",
     [](TQuorinConfig& c) {
         c.Columns.fill(false);
         c.Columns[8] = true;
     }},
    {"SpacesKept",
     [](TQuorinConfig& c) {
         c.Server = " host ";
         c.UserName = "  name";
         c.Password = " pass word ";
     }},
    {"CaseKept",
     [](TQuorinConfig& c) {
         c.Server = "Server.Example";
         c.UserName = "Admin";
     }},
    {"NonAsciiUtf8",
     [](TQuorinConfig& c) {
         c.UserName = "M\xC3\xBCller";
         c.Password = "\xC5\xBC\xC3\xB3\xC5\x82w";
     }},
    // Bytes that are not UTF-8: a value written by another program, or a
    // password decrypted with another key.
    {"InvalidUtf8Bytes",
     [](TQuorinConfig& c) {
         c.UserName = "M\xFCller";
         c.Password = std::string("\x9A\xFF\x01\x80", 4);
         c.Server = "h\xE9te";
     }},
    {"LanguageNamedByNoButton", [](TQuorinConfig& c) { c.Language = "XX"; }},
    {"LanguageInLowerCase", [](TQuorinConfig& c) { c.Language = "de"; }},
    {"EmptyLanguage", [](TQuorinConfig& c) { c.Language.clear(); }},
    {"LongPassword", [](TQuorinConfig& c) { c.Password = std::string(200, 'p'); }},
};

INSTANTIATE_TEST_SUITE_P(Records, SettingsFormRoundTrip, ::testing::ValuesIn(RoundTripCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The recorder's certificate ----------------------------------------------

struct BoxSeen {
    bool Ask;
    QString Caption;
    QString Text;
};

class SettingsFormTrust : public SettingsFormTest {
protected:
    void SetUp() override {
        SettingsFormTest::SetUp();
        LanIni().Load(LangFile("US"));
        TSettingsForm::SetBoxHook([this](bool ask, const QString& caption, const QString& text) {
            FBoxes.push_back({ask, caption, text});
            return FAnswer;
        });
    }
    void TearDown() override {
        TSettingsForm::SetBoxHook({});
        SettingsFormTest::TearDown();
    }
    // The form on the Server connection page for `server`, with no pin kept.
    void ShowFor(const std::string& server) {
        TQuorinConfig c = FullRecord();
        c.Server = server;
        c.ServerPin.clear();
        FForm.PrepareTexts();
        FForm.LoadFrom(c);
    }
    std::vector<BoxSeen> FBoxes;
    bool FAnswer = false;
};

// The button shows the recorder's certificate and pin; Cancel keeps nothing,
// OK keeps the pin, Clear forgets it again.
TEST_F(SettingsFormTrust, OkKeepsThePinAndClearForgetsIt) {
    test::TempDir tmp;
    test::QuorinSim sim({"--https", "--cert-out", tmp.File("cert.pem")});
    const std::string pin = CertificatePin(test::ReadFile(tmp.File("cert.pem")));
    ASSERT_FALSE(pin.empty());
    ShowFor(sim.Server());
    EXPECT_EQ(FForm.TrustPinBtn->text(), "Trust this recorder's certificate");

    FForm.TrustPinBtn->click();
    ASSERT_EQ(FBoxes.size(), 1u);
    EXPECT_TRUE(FBoxes[0].Ask);
    EXPECT_EQ(FBoxes[0].Caption, "Recorder certificate");
    EXPECT_TRUE(FBoxes[0].Text.startsWith("Subject: ")) << FBoxes[0].Text.toStdString();
    EXPECT_TRUE(FBoxes[0].Text.contains("\nValid from: ")) << FBoxes[0].Text.toStdString();
    EXPECT_TRUE(FBoxes[0].Text.contains(QString::fromStdString("\nPin: " + pin + "\n\nTrust")))
        << FBoxes[0].Text.toStdString();
    EXPECT_EQ(Stored().ServerPin, "");

    FAnswer = true;
    FForm.TrustPinBtn->click();
    EXPECT_EQ(Stored().ServerPin, pin);
    EXPECT_EQ(FForm.PinEdit->text().toStdString(), pin);

    FForm.ClearPinBtn->click();
    EXPECT_EQ(Stored().ServerPin, "");
    EXPECT_EQ(FForm.PinEdit->text(), "");
}

// A recorder that cannot be reached: a notice with the reason, no pin.
TEST_F(SettingsFormTrust, NoRecorderNoPin) {
    ShowFor("127.0.0.1:" + std::to_string(test::FreePort()));
    FAnswer = true;
    FForm.TrustPinBtn->click();
    ASSERT_EQ(FBoxes.size(), 1u);
    EXPECT_FALSE(FBoxes[0].Ask);
    EXPECT_TRUE(FBoxes[0].Text.startsWith("The recorder's certificate could not be read:\n"))
        << FBoxes[0].Text.toStdString();
    EXPECT_EQ(Stored().ServerPin, "");
}

// Every language code comes back, and its button alone is checked.
class SettingsFormLanguage : public SettingsFormTest,
                             public ::testing::WithParamInterface<std::string> {};

TEST_P(SettingsFormLanguage, LoadChecksTheButtonNamedByTheCode) {
    TQuorinConfig config = FullRecord();
    config.Language = GetParam();
    FForm.LoadFrom(config);
    for (auto* button : FForm.LngGroup->findChildren<QRadioButton*>())
        EXPECT_EQ(button->isChecked(), button->objectName().toStdString() == GetParam())
            << button->objectName().toStdString();
    EXPECT_EQ(FForm.SelectedLanguage(), GetParam());
    EXPECT_EQ(Stored().Language, GetParam());
}

TEST_P(SettingsFormLanguage, ClickingAButtonChoosesItsCode) {
    TQuorinConfig config = FullRecord();
    config.Language = GetParam() == "US" ? "DE" : "US";
    FForm.LoadFrom(config);
    FForm.SelectPage(0);
    FForm.PageControl1->setCurrentWidget(FForm.TabSheetLng);
    FForm.show();
    auto* button = FForm.LngGroup->findChild<QRadioButton*>(QString::fromStdString(GetParam()));
    ASSERT_NE(button, nullptr);
    ClickOn(button);
    EXPECT_TRUE(button->isChecked());
    EXPECT_EQ(FForm.SelectedLanguage(), GetParam());
    const TQuorinConfig stored = Stored();
    EXPECT_EQ(stored.Language, GetParam());
    // Nothing else changes with the language.
    TQuorinConfig expected = config;
    expected.Language = GetParam();
    ExpectSameEditableFields(stored, expected);
}

INSTANTIATE_TEST_SUITE_P(Codes, SettingsFormLanguage, ::testing::ValuesIn(LanguageCodes),
                         [](const auto& info) { return info.param; });

TEST_F(SettingsFormTest, UnknownLanguageKeepsButtonsAndIsStoredUntilTheUserChooses) {
    FForm.LoadFrom(FullRecord()); // FR
    for (const char* code : {"de", "XX", ""}) {
        TQuorinConfig config = FullRecord();
        config.Language = code;
        FForm.LoadFrom(config);
        EXPECT_TRUE(FForm.FR->isChecked()) << code;
        EXPECT_EQ(Stored().Language, code);
    }
    // A click on the button that is already checked still chooses it.
    FForm.PageControl1->setCurrentWidget(FForm.TabSheetLng);
    FForm.show();
    ClickOn(FForm.FR);
    EXPECT_EQ(Stored().Language, "FR");
}

TEST_F(SettingsFormTest, LanguageButtonsStandInTwoColumnsOfFour) {
    FForm.PageControl1->setCurrentWidget(FForm.TabSheetLng);
    FForm.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&FForm));
    const std::vector<QRadioButton*> left = {FForm.DA, FForm.DE, FForm.US, FForm.ES};
    const std::vector<QRadioButton*> right = {FForm.FR, FForm.IT, FForm.NL, FForm.PL};
    for (size_t row = 0; row < 4; ++row) {
        EXPECT_EQ(left[row]->x(), left[0]->x());
        EXPECT_EQ(right[row]->x(), right[0]->x());
        EXPECT_EQ(left[row]->y(), right[row]->y());
        EXPECT_GT(right[row]->x(), left[row]->x() + left[row]->width() - 1);
        if (row > 0) {
            EXPECT_GT(left[row]->y(), left[row - 1]->y());
        }
    }
    EXPECT_EQ(FForm.LngGroup->findChildren<QRadioButton*>().size(), 8);
    EXPECT_TRUE(FForm.LngGroup->title().isEmpty());
}

TEST_F(SettingsFormTest, EnglishIsCheckedBeforeTheFirstLoad) {
    EXPECT_TRUE(FForm.US->isChecked());
    EXPECT_EQ(FForm.LngGroup->findChildren<QRadioButton*>().size(), 8);
}

// --- The user's edits ------------------------------------------------------

struct EditCase {
    const char* name;
    std::function<void(TSettingsForm&)> gesture;
    std::function<void(TQuorinConfig&)> expect; // applied to the loaded record
};

class SettingsFormEdit : public SettingsFormTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(SettingsFormEdit, StoreToTakesWhatTheUserDid) {
    const TQuorinConfig loaded = FullRecord();
    FForm.PrepareTexts();
    FForm.LoadFrom(loaded);
    FForm.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&FForm));
    GetParam().gesture(FForm);
    TQuorinConfig expected = loaded;
    GetParam().expect(expected);
    ExpectSameEditableFields(Stored(), expected);
}

void Retype(QLineEdit* edit, const QString& text) {
    edit->window()->findChild<QTabWidget*>()->setCurrentWidget(edit->parentWidget());
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    // Key by key, as typed; QTest's own key helpers know only ASCII.
    for (const QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(edit, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(edit, &release);
    }
}

// Toggles item `i` of the column list the way a click on its box does.
void ToggleColumn(TSettingsForm& form, int i) {
    form.PageControl1->setCurrentWidget(form.TabSheetDisp);
    QListWidgetItem* item = form.ColsBox->item(i);
    form.ColsBox->setCurrentItem(item);
    form.ColsBox->setFocus();
    QTest::keyClick(form.ColsBox, Qt::Key_Space);
}

const EditCase EditCases[] = {
    {"TypeUserName", [](TSettingsForm& f) { Retype(f.UserNameEdit, "new user"); },
     [](TQuorinConfig& c) { c.UserName = "new user"; }},
    {"TypePasswordWithSpaces", [](TSettingsForm& f) { Retype(f.PasswordEdit, " pw pw "); },
     [](TQuorinConfig& c) { c.Password = " pw pw "; }},
    {"TypeServerNonAscii",
     [](TSettingsForm& f) { Retype(f.ServerEdit, QString::fromUtf8("hôte")); },
     [](TQuorinConfig& c) { c.Server = "h\xC3\xB4te"; }},
    {"ClearEveryText",
     [](TSettingsForm& f) {
         Retype(f.UserNameEdit, "");
         Retype(f.PasswordEdit, "");
         Retype(f.ServerEdit, "");
     },
     [](TQuorinConfig& c) {
         c.UserName.clear();
         c.Password.clear();
         c.Server.clear();
     }},
    {"UncheckSecure", [](TSettingsForm& f) { ClickOn(f.SecureChB); },
     [](TQuorinConfig& c) { c.Secure = false; }},
    {"UncheckStartAuto", [](TSettingsForm& f) { ClickOn(f.StartAutoChB); },
     [](TQuorinConfig& c) { c.StartAuto = false; }},
    {"PickPolish", [](TSettingsForm& f) { ClickOn(f.PL); },
     [](TQuorinConfig& c) { c.Language = "PL"; }},
    {"ShowFirstAndHideSecondColumn",
     [](TSettingsForm& f) {
         ToggleColumn(f, 0);
         ToggleColumn(f, 1);
     },
     [](TQuorinConfig& c) {
         c.Columns[0] = true;
         c.Columns[1] = false;
     }},
    {"HideEveryColumn",
     [](TSettingsForm& f) {
         for (int i = 0; i < static_cast<int>(ColumnCount); ++i)
             if (f.ColsBox->item(i)->checkState() == Qt::Checked)
                 ToggleColumn(f, i);
     },
     [](TQuorinConfig& c) { c.Columns.fill(false); }},
    // Retyping a value that was not valid UTF-8 stores what was typed.
    {"RetypeOverUndecodableBytes",
     [](TSettingsForm& f) {
         TQuorinConfig c = FullRecord();
         c.UserName = "M\xFCller";
         f.LoadFrom(c);
         Retype(f.UserNameEdit, QString::fromUtf8("Müller"));
     },
     [](TQuorinConfig& c) { c.UserName = "M\xC3\xBCller"; }},
};

INSTANTIATE_TEST_SUITE_P(Gestures, SettingsFormEdit, ::testing::ValuesIn(EditCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsFormTest, PasswordIsShownAsStars) {
    TQuorinConfig config = FullRecord();
    config.Password = "abc d";
    FForm.LoadFrom(config);
    EXPECT_EQ(FForm.PasswordEdit->echoMode(), QLineEdit::Password);
    EXPECT_EQ(FForm.PasswordEdit->displayText(), QString(5, QLatin1Char('*')));
    EXPECT_EQ(FForm.UserNameEdit->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(FForm.ServerEdit->echoMode(), QLineEdit::Normal);
}

// --- Texts -----------------------------------------------------------------

TEST_F(SettingsFormTest, WithoutTranslationsCaptionsStayAndKeysShow) {
    FForm.PrepareTexts();
    EXPECT_EQ(FForm.windowTitle(), "Quorin Call Monitor - Main.Options");
    ASSERT_EQ(FForm.ColsBox->count(), static_cast<int>(ColumnCount));
    for (size_t i = 0; i < ColumnCount; ++i)
        EXPECT_EQ(FForm.ColsBox->item(static_cast<int>(i))->text().toStdString(),
                  std::string("Cols.") + ColumnKeys[i]);
    const std::vector<std::pair<QObject*, QString>> designed = {
        {FForm.OkBtn, "OK"},
        {FForm.CancelBtn, "Cancel"},
        {FForm.TabSheetAccount, "Account"},
        {FForm.UserNameLbl, "User name:"},
        {FForm.PasswordLbl, "Password:"},
        {FForm.TabSheetServer, "Server connection"},
        {FForm.ServerUrlLbl, "Quorin IP / Name:"},
        {FForm.SecureChB, "Secured HTTP connnection"},
        {FForm.TabSheetOptions, "Options"},
        {FForm.StartAutoChB, "Automatically start with new call"},
        {FForm.TabSheetLng, "Language"},
        {FForm.TabSheetDisp, "Display"},
        {FForm.ColsLabel, "LabelCols"},
        {FForm.DA, "Dansk"},
        {FForm.DE, "Deutsch"},
        {FForm.ES, QString::fromUtf8("Español")},
        {FForm.FR, QString::fromUtf8("Français")},
        {FForm.IT, "Italiano"},
        {FForm.NL, "Nederlands"},
        {FForm.PL, "Polski"},
        {FForm.US, "English"},
    };
    for (const auto& [control, text] : designed)
        EXPECT_EQ(Caption(control, FForm.PageControl1), text)
            << control->objectName().toStdString();
    // The tab pages are the five of the dialog, in their order.
    ASSERT_EQ(FForm.PageControl1->count(), 5);
    EXPECT_EQ(FForm.PageControl1->widget(0), FForm.TabSheetAccount);
    EXPECT_EQ(FForm.PageControl1->widget(1), FForm.TabSheetServer);
    EXPECT_EQ(FForm.PageControl1->widget(2), FForm.TabSheetOptions);
    EXPECT_EQ(FForm.PageControl1->widget(3), FForm.TabSheetLng);
    EXPECT_EQ(FForm.PageControl1->widget(4), FForm.TabSheetDisp);
}

class SettingsFormLanguageFile : public SettingsFormTest,
                                 public ::testing::WithParamInterface<std::string> {};

// Each delivered file: every SettingsForm entry names a control of the dialog
// and becomes its caption; the column titles and the caption follow the file;
// and no caption is cut off at the dialog's fixed size.
TEST_P(SettingsFormLanguageFile, TranslatesEveryNamedControlAndEverythingFits) {
    LanIni().Load(LangFile(GetParam()));
    FForm.PrepareTexts();
    FForm.LoadFrom(FullRecord());

    QString options = QString::fromStdU16String(LanIni().Translate("Main.Options"));
    options.remove('&');
    EXPECT_EQ(FForm.windowTitle(), QString(AppTitle) + " - " + options);

    int entries = 0;
    for (const auto& [key, text] : LanIni().Table()) {
        if (key.rfind("SettingsForm.", 0) != 0)
            continue;
        ++entries;
        const std::string rest = key.substr(13);
        ASSERT_GT(rest.size(), 8u) << key;
        ASSERT_EQ(rest.substr(rest.size() - 8), ".Caption") << key;
        const QString name = QString::fromStdString(rest.substr(0, rest.size() - 8));
        QObject* control = FForm.findChild<QObject*>(name);
        ASSERT_NE(control, nullptr) << key;
        EXPECT_EQ(Caption(control, FForm.PageControl1), QString::fromStdU16String(text)) << key;
    }
    EXPECT_GE(entries, 13);
    for (size_t i = 0; i < ColumnCount; ++i)
        EXPECT_EQ(FForm.ColsBox->item(static_cast<int>(i))->text().toStdU16String(),
                  LanIni().Translate(std::string("Cols.") + ColumnKeys[i]));
    EXPECT_TRUE(FDebugLines.empty()) << FDebugLines.front();

    FForm.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&FForm));
    EXPECT_EQ(FForm.size(), QSize(TSettingsForm::ClientWidth, TSettingsForm::ClientHeight));
    const QString shots = qEnvironmentVariable("CORVANE_SCREENSHOT_DIR");
    for (int page = 0; page < FForm.PageControl1->count(); ++page) {
        FForm.PageControl1->setCurrentIndex(page);
        QApplication::processEvents();
        for (QWidget* control : FForm.PageControl1->currentWidget()->findChildren<QWidget*>()) {
            if (qobject_cast<QAbstractButton*>(control) || qobject_cast<QLabel*>(control)) {
                EXPECT_GE(control->width(), control->sizeHint().width())
                    << GetParam() << " " << control->objectName().toStdString();
                EXPECT_TRUE(FForm.rect().contains(
                    QRect(control->mapTo(&FForm, QPoint(0, 0)), control->size())))
                    << control->objectName().toStdString();
            }
        }
        if (!shots.isEmpty())
            FForm.grab().save(QDir(shots).filePath(
                QString("settings-%1-%2.png").arg(QString::fromStdString(GetParam())).arg(page)));
    }
    for (QPushButton* button : {FForm.OkBtn, FForm.CancelBtn})
        EXPECT_GE(button->width(), button->sizeHint().width());
    // All five tabs side by side, none cut short or scrolled away.
    EXPECT_LE(FForm.PageControl1->tabBar()->sizeHint().width(), FForm.PageControl1->width())
        << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Languages, SettingsFormLanguageFile, ::testing::ValuesIn(LanguageCodes),
                         [](const auto& info) { return info.param; });

TEST_F(SettingsFormTest, CaptionLosesEveryAmpersand) {
    test::WriteFile(FDir.File("t.uln"), "[Main]\nOptions=&Set && tings&\n");
    LanIni().Load(FDir.File("t.uln"));
    FForm.PrepareTexts();
    EXPECT_EQ(FForm.windowTitle(), "Quorin Call Monitor - Set  tings");
}

TEST_F(SettingsFormTest, ReopeningRetranslatesWithoutAddingColumns) {
    LanIni().Load(LangFile("DE"));
    FForm.PrepareTexts();
    FForm.PrepareTexts();
    ASSERT_EQ(FForm.ColsBox->count(), static_cast<int>(ColumnCount));
    EXPECT_EQ(FForm.CancelBtn->text(), "Abbrechen");
    LanIni().Load(LangFile("IT"));
    FForm.PrepareTexts();
    EXPECT_EQ(FForm.CancelBtn->text(), "Annulla");
    EXPECT_EQ(FForm.ColsBox->item(1)->text().toStdU16String(), LanIni().Translate("Cols.length"));
    EXPECT_EQ(FForm.ColsBox->count(), static_cast<int>(ColumnCount));
}

TEST_F(SettingsFormTest, EntryForAControlWithoutCaptionIsReportedAndIgnored) {
    test::WriteFile(FDir.File("t.uln"), "[SettingsForm]\n"
                                        "UserNameEdit.Caption=oops\n"
                                        "ColsBox.Caption=oops\n"
                                        "NoSuchControl.Caption=oops\n"
                                        "OkBtn.Caption=Fine\n");
    LanIni().Load(FDir.File("t.uln"));
    FForm.LoadFrom(FullRecord());
    FForm.PrepareTexts();
    EXPECT_EQ(FForm.OkBtn->text(), "Fine");
    EXPECT_EQ(FForm.UserNameEdit->text(), "supervisor");
    std::set<std::string> reported;
    for (const std::string& line : FDebugLines)
        if (line.rfind("Property Caption does not exist", 0) == 0)
            reported.insert(line);
    EXPECT_EQ(reported,
              (std::set<std::string>{
                  "Property Caption does not exist (SettingsForm.ColsBox.Caption)",
                  "Property Caption does not exist (SettingsForm.UserNameEdit.Caption)"}));
}

// --- Pages -----------------------------------------------------------------

struct PageCase {
    int shownBefore; // index of the page in front before the opening
    int select;      // SelectPage argument
    int expected;    // index of the page in front afterwards
};

class SettingsFormPage : public SettingsFormTest, public ::testing::WithParamInterface<PageCase> {};

TEST_P(SettingsFormPage, SelectPageBringsAccountOrServerForwardAndElseKeepsThePage) {
    FForm.PageControl1->setCurrentIndex(GetParam().shownBefore);
    FForm.SelectPage(GetParam().select);
    EXPECT_EQ(FForm.PageControl1->currentIndex(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Pages, SettingsFormPage,
                         ::testing::Values(PageCase{4, 1, 0}, PageCase{3, 2, 1}, PageCase{0, 2, 1},
                                           PageCase{1, 1, 0}, PageCase{4, 0, 4}, PageCase{2, 3, 2},
                                           PageCase{3, -1, 3}, PageCase{1, 5, 1}));

TEST_F(SettingsFormTest, FirstOpeningShowsTheLanguagePage) {
    EXPECT_EQ(FForm.PageControl1->currentWidget(), FForm.TabSheetLng);
}

TEST_F(SettingsFormTest, PageChosenByTheUserSurvivesTheNextOpening) {
    const TQuorinConfig config = FullRecord();
    Open(1, config, [this] {
        EXPECT_EQ(FForm.PageControl1->currentWidget(), FForm.TabSheetAccount);
        QTest::mouseClick(FForm.PageControl1->tabBar(), Qt::LeftButton, {},
                          FForm.PageControl1->tabBar()->tabRect(4).center());
        FForm.CancelBtn->click();
    });
    EXPECT_EQ(FForm.PageControl1->currentWidget(), FForm.TabSheetDisp);
    QWidget* shown = nullptr;
    Open(0, config, [this, &shown] {
        shown = FForm.PageControl1->currentWidget();
        FForm.OkBtn->click();
    });
    EXPECT_EQ(shown, FForm.TabSheetDisp);
    Open(2, config, [this, &shown] {
        shown = FForm.PageControl1->currentWidget();
        FForm.OkBtn->click();
    });
    EXPECT_EQ(shown, FForm.TabSheetServer);
}

// --- Keyboard ----------------------------------------------------------------

struct FocusCase {
    int page;
    const char* user;
    const char* password;
    QLineEdit* TSettingsForm::*field;
};

// One dialog for every opening, as in the program: where the cursor was when
// it last closed does not decide where it is now.
TEST_F(SettingsFormTest, EachOpeningPutsTheCursorInTheFirstFieldThatNeedsInput) {
    const FocusCase openings[] = {
        {1, "", "", &TSettingsForm::UserNameEdit},
        {1, "supervisor", "", &TSettingsForm::PasswordEdit},
        {1, "supervisor", "s3cret!", &TSettingsForm::PasswordEdit},
        {2, "supervisor", "s3cret!", &TSettingsForm::ServerEdit},
        {1, "", "s3cret!", &TSettingsForm::UserNameEdit},
        {2, "", "", &TSettingsForm::ServerEdit},
        {1, "supervisor", "", &TSettingsForm::PasswordEdit},
    };
    for (const FocusCase& c : openings) {
        TQuorinConfig config = FullRecord();
        config.UserName = c.user;
        config.Password = c.password;
        QWidget* focused = nullptr;
        Open(c.page, config, [&] {
            focused = FForm.focusWidget();
            FForm.CancelBtn->click();
        });
        EXPECT_EQ(focused, FForm.*c.field)
            << "page " << c.page << ", user \"" << c.user << "\", password \"" << c.password
            << "\": " << (focused ? focused->objectName().toStdString() : "nothing");
    }
}

TEST_F(SettingsFormTest, F1WithoutAManualSaysSoInABox) {
    const std::string page =
        ProgramFolder() + "help/" + std::to_string(TSettingsForm::HelpContext) + ".html";
    ASSERT_FALSE(FileExists(page)) << "no manual lies beside the test program";
    test::MessageBoxCloser closer;
    Open(1, FullRecord(), [this] {
        // Its shortcut answers only in the active window.
        FForm.activateWindow();
        EXPECT_TRUE(QTest::qWaitFor([this] { return QApplication::activeWindow() == &FForm; }));
        QTest::keyClick(&FForm, Qt::Key_F1);
        FForm.CancelBtn->click();
    });
    ASSERT_EQ(closer.Texts.size(), 1u);
    EXPECT_NE(closer.Texts[0].find(page), std::string::npos) << closer.Texts[0];
}

// --- OK and Cancel -----------------------------------------------------------

struct CloseCase {
    const char* name;
    std::function<void(TSettingsForm&)> close;
    int result;
};

class SettingsFormClose : public SettingsFormTest,
                          public ::testing::WithParamInterface<CloseCase> {};

// The controller's sequence: the dialog's values reach the caller only when
// it ends with OK, and the next opening shows the record again either way.
TEST_P(SettingsFormClose, OnlyOkHandsTheEditsOn) {
    const TQuorinConfig config = FullRecord();
    const int result = Open(1, config, [this] {
        Retype(FForm.UserNameEdit, "edited");
        ClickOn(FForm.SecureChB);
        ToggleColumn(FForm, 0);
        FForm.PL->click();
        GetParam().close(FForm);
    });
    ASSERT_EQ(result, GetParam().result);
    EXPECT_FALSE(FForm.isVisible());

    TQuorinConfig copy = config;
    if (result == QDialog::Accepted) {
        FForm.StoreTo(copy);
        EXPECT_TRUE(Differs(copy, config));
        EXPECT_TRUE(ConnectionDiffers(copy, config));
        EXPECT_EQ(copy.UserName, "edited");
        EXPECT_FALSE(copy.Secure);
        EXPECT_TRUE(copy.Columns[0]);
        EXPECT_EQ(copy.Language, "PL");
        EXPECT_EQ(copy.WindowsUser, config.WindowsUser);
    }

    // Reopened with the caller's record, nothing of this opening lingers.
    TQuorinConfig again;
    Open(0, config, [this, &again] {
        FForm.StoreTo(again);
        FForm.CancelBtn->click();
    });
    ExpectSameEditableFields(again, config);
    EXPECT_TRUE(FForm.FR->isChecked());
}

// The main window's way in: a copy after OK, nothing otherwise, and the
// dialog placed 30 pixels right of and below the main window's corner.
TEST_P(SettingsFormClose, RunReturnsTheEditedCopyOnlyAfterOk) {
    QWidget owner;
    owner.setGeometry(140, 90, 500, 300);
    owner.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));
    TQuorinConfig config = FullRecord();
    config.WindowsUser = "me";
    QPoint placed;
    QWidget* page = nullptr;
    QTimer::singleShot(0, &FForm, [&] {
        placed = FForm.frameGeometry().topLeft();
        page = FForm.PageControl1->currentWidget();
        Retype(FForm.ServerEdit, "new-host");
        GetParam().close(FForm);
    });
    const std::optional<TQuorinConfig> result = FForm.Run(&owner, 2, config);
    EXPECT_EQ(placed, owner.frameGeometry().topLeft() + QPoint(30, 30));
    EXPECT_EQ(page, FForm.TabSheetServer);
    ASSERT_EQ(result.has_value(), GetParam().result == QDialog::Accepted);
    if (result) {
        TQuorinConfig expected = config;
        expected.Server = "new-host";
        ExpectSameEditableFields(*result, expected);
        EXPECT_EQ(result->WindowsUser, "me");
    }
}

const CloseCase CloseCases[] = {
    {"OkButton", [](TSettingsForm& f) { QTest::mouseClick(f.OkBtn, Qt::LeftButton); },
     QDialog::Accepted},
    {"ReturnInAnEdit", [](TSettingsForm& f) { QTest::keyClick(f.UserNameEdit, Qt::Key_Return); },
     QDialog::Accepted},
    {"CancelButton", [](TSettingsForm& f) { QTest::mouseClick(f.CancelBtn, Qt::LeftButton); },
     QDialog::Rejected},
    {"Escape", [](TSettingsForm& f) { QTest::keyClick(f.UserNameEdit, Qt::Key_Escape); },
     QDialog::Rejected},
    {"CloseBox", [](TSettingsForm& f) { f.close(); }, QDialog::Rejected},
};

INSTANTIATE_TEST_SUITE_P(Endings, SettingsFormClose, ::testing::ValuesIn(CloseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsFormTest, OkAcceptsEmptyTextsAndNoVisibleColumn) {
    TQuorinConfig empty = FullRecord();
    empty.UserName.clear();
    empty.Password.clear();
    empty.Server.clear();
    empty.Columns.fill(false);
    const int result = Open(2, empty, [this] { FForm.OkBtnClick(); });
    ASSERT_EQ(result, QDialog::Accepted);
    ExpectSameEditableFields(Stored(), empty);
}

TEST_F(SettingsFormTest, DialogHasAFixedSize) {
    EXPECT_EQ(FForm.minimumSize(), QSize(TSettingsForm::ClientWidth, TSettingsForm::ClientHeight));
    EXPECT_EQ(FForm.maximumSize(), QSize(TSettingsForm::ClientWidth, TSettingsForm::ClientHeight));
    EXPECT_TRUE(FForm.OkBtn->isDefault());
    EXPECT_FALSE(FForm.CancelBtn->isDefault());
}

} // namespace
} // namespace corvane
