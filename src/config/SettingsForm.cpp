#include "SettingsForm.h"

#include "CallNotice.h"
#include "FormTranslator.h"
#include "HelpPage.h"
#include "HttpCli.h"
#include "LanIni.h"
#include "Platform.h"

#include <QCheckBox>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

namespace corvane {

namespace {

constexpr const char* FormName = "SettingsForm";

QString FromWide(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

// Margins inside a page and between a page's rows.
constexpr int PageMargin = 12;
constexpr int RowSpacing = 8;

} // namespace

TTabSheet::TTabSheet(const char* name, const QString& caption, QTabWidget* pages) : FPages(pages) {
    setObjectName(name);
    pages->addTab(this, caption);
}

QString TTabSheet::Caption() const {
    return FPages->tabText(FPages->indexOf(this));
}

void TTabSheet::SetCaption(const QString& caption) {
    FPages->setTabText(FPages->indexOf(this), caption);
}

void TSettingsForm::TByteEdit::Load(const std::string& value) {
    Edit->setText(FromWide(AnsiToWide(value)));
    Loaded = value;
    Shown = Edit->text();
}

std::string TSettingsForm::TByteEdit::Store() const {
    const QString text = Edit->text();
    if (text == Shown)
        return Loaded;
    return WideToAnsi(text.toStdU16String());
}

TSettingsForm::TSettingsForm(QWidget* parent) : QDialog(parent) {
    setObjectName(FormName);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint, true);
    setFixedSize(ClientWidth, ClientHeight);
    setModal(true);
    // The main window's font: the fixed size is laid out for it.
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    setFont(font);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(8);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    layout->addWidget(PageControl1, 1);

    BuildAccountPage();
    BuildServerPage();
    BuildOptionsPage();
    BuildLanguagePage();
    BuildDisplayPage();
    // The language page is in front until the user or SelectPage picks another.
    PageControl1->setCurrentWidget(TabSheetLng);

    OkBtn = new QPushButton("OK", this);
    OkBtn->setObjectName("OkBtn");
    OkBtn->setDefault(true);
    OkBtn->setAutoDefault(true);
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setAutoDefault(false);
    for (QPushButton* button : {OkBtn, CancelBtn})
        button->setMinimumWidth(82);
    connect(OkBtn, &QPushButton::clicked, this, &TSettingsForm::OkBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(OkBtn);
    buttons->addWidget(CancelBtn);
    layout->addLayout(buttons);

    auto* help = new QShortcut(QKeySequence(QKeySequence::HelpContents), this);
    connect(help, &QShortcut::activated, this, &TSettingsForm::ShowHelp);

    EnsureColumnItems();
}

TSettingsForm::~TSettingsForm() = default;

void TSettingsForm::BuildAccountPage() {
    TabSheetAccount = new TTabSheet("TabSheetAccount", "Account", PageControl1);

    UserNameLbl = new QLabel("User name:", TabSheetAccount);
    UserNameLbl->setObjectName("UserNameLbl");
    UserNameEdit = new QLineEdit(TabSheetAccount);
    UserNameEdit->setObjectName("UserNameEdit");
    UserNameLbl->setBuddy(UserNameEdit);

    PasswordLbl = new QLabel("Password:", TabSheetAccount);
    PasswordLbl->setObjectName("PasswordLbl");
    PasswordEdit = new QLineEdit(TabSheetAccount);
    PasswordEdit->setObjectName("PasswordEdit");
    PasswordEdit->setEchoMode(QLineEdit::Password);
    // A star for every character, whatever the style would draw.
    PasswordEdit->setStyleSheet("lineedit-password-character: 42;");
    PasswordLbl->setBuddy(PasswordEdit);

    FUserName.Edit = UserNameEdit;
    FPassword.Edit = PasswordEdit;

    auto* grid = new QGridLayout(TabSheetAccount);
    grid->setContentsMargins(PageMargin, PageMargin, PageMargin, PageMargin);
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(RowSpacing);
    grid->addWidget(UserNameLbl, 0, 0);
    grid->addWidget(UserNameEdit, 0, 1);
    grid->addWidget(PasswordLbl, 1, 0);
    grid->addWidget(PasswordEdit, 1, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(2, 1);
}

void TSettingsForm::BuildServerPage() {
    TabSheetServer = new TTabSheet("TabSheetServer", "Server connection", PageControl1);

    ServerUrlLbl = new QLabel("Quorin IP / Name:", TabSheetServer);
    ServerUrlLbl->setObjectName("ServerUrlLbl");
    ServerEdit = new QLineEdit(TabSheetServer);
    ServerEdit->setObjectName("ServerEdit");
    ServerUrlLbl->setBuddy(ServerEdit);
    SecureChB = new QCheckBox("Secured HTTP connnection", TabSheetServer);
    SecureChB->setObjectName("SecureChB");

    TrustPinBtn = new QPushButton("Trust this recorder's certificate", TabSheetServer);
    TrustPinBtn->setObjectName("TrustPinBtn");
    ClearPinBtn = new QPushButton("Clear", TabSheetServer);
    ClearPinBtn->setObjectName("ClearPinBtn");
    PinEdit = new QLineEdit(TabSheetServer);
    PinEdit->setObjectName("PinEdit");
    PinEdit->setReadOnly(true);
    connect(TrustPinBtn, &QPushButton::clicked, this, [this] { TrustPinBtnClick(); });
    connect(ClearPinBtn, &QPushButton::clicked, this, [this] { ClearPinBtnClick(); });

    FServer.Edit = ServerEdit;

    auto* pinRow = new QHBoxLayout;
    pinRow->addWidget(TrustPinBtn, 1);
    pinRow->addWidget(ClearPinBtn);
    auto* grid = new QGridLayout(TabSheetServer);
    grid->setContentsMargins(PageMargin, PageMargin, PageMargin, PageMargin);
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(RowSpacing);
    grid->addWidget(ServerUrlLbl, 0, 0);
    grid->addWidget(ServerEdit, 0, 1);
    grid->addWidget(SecureChB, 1, 1);
    // Both span the page: the captions are long, a pin is 52 characters.
    grid->addLayout(pinRow, 2, 0, 1, 2);
    grid->addWidget(PinEdit, 3, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(4, 1);
}

void TSettingsForm::BuildOptionsPage() {
    TabSheetOptions = new TTabSheet("TabSheetOptions", "Options", PageControl1);

    StartAutoChB = new QCheckBox("Automatically start with new call", TabSheetOptions);
    StartAutoChB->setObjectName("StartAutoChB");

    auto* column = new QVBoxLayout(TabSheetOptions);
    column->setContentsMargins(PageMargin, PageMargin, PageMargin, PageMargin);
    column->setSpacing(RowSpacing);
    NotifyChB = new QCheckBox("Show a notice when a new call begins", TabSheetOptions);
    NotifyChB->setObjectName("NotifyChB");

    column->addWidget(StartAutoChB);
    column->addWidget(NotifyChB);
    column->addStretch(1);
}

QRadioButton* TSettingsForm::AddLanguageButton(const char* code, const char* caption) {
    auto* button = new QRadioButton(QString::fromUtf8(caption), LngGroup);
    button->setObjectName(code);
    // clicked covers a click on the button that is already checked; toggled
    // covers a button checked by LoadFrom.
    connect(button, &QRadioButton::clicked, this, [this, button] { USClick(button); });
    connect(button, &QRadioButton::toggled, this, [this, button](bool checked) {
        if (checked)
            USClick(button);
    });
    return button;
}

void TSettingsForm::BuildLanguagePage() {
    TabSheetLng = new TTabSheet("TabSheetLng", "Language", PageControl1);

    LngGroup = new QGroupBox(TabSheetLng);
    LngGroup->setObjectName("LngGroup");
    DA = AddLanguageButton("DA", "Dansk");
    DE = AddLanguageButton("DE", "Deutsch");
    US = AddLanguageButton("US", "English");
    ES = AddLanguageButton("ES", "Español");
    FR = AddLanguageButton("FR", "Français");
    IT = AddLanguageButton("IT", "Italiano");
    NL = AddLanguageButton("NL", "Nederlands");
    PL = AddLanguageButton("PL", "Polski");
    US->setChecked(true);

    // Two columns of four: DA, DE, US, ES on the left; FR, IT, NL, PL on the right.
    auto* grid = new QGridLayout(LngGroup);
    grid->setContentsMargins(16, 12, 16, 12);
    grid->setHorizontalSpacing(24);
    grid->setVerticalSpacing(10);
    const std::array<QRadioButton*, 4> left = {DA, DE, US, ES};
    const std::array<QRadioButton*, 4> right = {FR, IT, NL, PL};
    for (int row = 0; row < 4; ++row) {
        grid->addWidget(left[static_cast<size_t>(row)], row, 0);
        grid->addWidget(right[static_cast<size_t>(row)], row, 1);
    }
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);

    auto* column = new QVBoxLayout(TabSheetLng);
    column->setContentsMargins(PageMargin, PageMargin, PageMargin, PageMargin);
    column->addWidget(LngGroup);
    column->addStretch(1);
}

void TSettingsForm::BuildDisplayPage() {
    TabSheetDisp = new TTabSheet("TabSheetDisp", "Display", PageControl1);

    ColsLabel = new QLabel("LabelCols", TabSheetDisp);
    ColsLabel->setObjectName("ColsLabel");
    ColsBox = new QListWidget(TabSheetDisp);
    ColsBox->setObjectName("ColsBox");
    ColsBox->setSelectionMode(QAbstractItemView::SingleSelection);
    ColsBox->setUniformItemSizes(true);
    ColsLabel->setBuddy(ColsBox);

    auto* column = new QVBoxLayout(TabSheetDisp);
    column->setContentsMargins(PageMargin, PageMargin, PageMargin, PageMargin);
    column->setSpacing(6);
    column->addWidget(ColsLabel);
    column->addWidget(ColsBox, 1);
}

void TSettingsForm::EnsureColumnItems() {
    if (ColsBox->count() != 0)
        return;
    for (size_t i = 0; i < ColumnCount; ++i) {
        auto* item = new QListWidgetItem(ColsBox);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
}

void TSettingsForm::PrepareTexts() {
    QString options = FromWide(LanIni().Translate("Main.Options"));
    options.remove(QLatin1Char('&'));
    setWindowTitle(QGuiApplication::applicationDisplayName() + " - " + options);

    TranslateForm(this);

    EnsureColumnItems();
    for (size_t i = 0; i < ColumnCount; ++i) {
        if (QListWidgetItem* item = ColsBox->item(static_cast<int>(i)))
            item->setText(FromWide(LanIni().Translate(std::string("Cols.") + ColumnKeys[i])));
    }
}

void TSettingsForm::SelectPage(int page) {
    if (page == 1)
        PageControl1->setCurrentWidget(TabSheetAccount);
    else if (page == 2)
        PageControl1->setCurrentWidget(TabSheetServer);
}

void TSettingsForm::LoadFrom(const TQuorinConfig& config) {
    FUserName.Load(config.UserName);
    FPassword.Load(config.Password);
    FServer.Load(config.Server);
    SecureChB->setChecked(config.Secure);
    FServerPin = config.ServerPin;
    PinEdit->setText(QString::fromStdString(FServerPin));

    FSelectedLanguage = config.Language;
    for (auto* button : LngGroup->findChildren<QRadioButton*>()) {
        if (button->objectName().toStdString() == config.Language)
            button->setChecked(true);
    }

    StartAutoChB->setChecked(config.StartAuto);
    // Without a tray there is nowhere to show the notice; the stored choice
    // is kept for a desktop that has one.
    NotifyChB->setChecked(config.Notify);
    NotifyChB->setEnabled(TrayAvailable());
    NotifyChB->setToolTip(TrayAvailable() ? QString()
                                          : FromWide(LanIni().Translate("Main.NotifyUnavailable")));

    EnsureColumnItems();
    for (size_t i = 0; i < ColumnCount; ++i) {
        if (QListWidgetItem* item = ColsBox->item(static_cast<int>(i)))
            item->setCheckState(config.Columns[i] ? Qt::Checked : Qt::Unchecked);
    }
}

void TSettingsForm::StoreTo(TQuorinConfig& config) const {
    config.UserName = FUserName.Store();
    config.Password = FPassword.Store();
    config.Server = FServer.Store();
    config.Secure = SecureChB->isChecked();
    config.ServerPin = FServerPin;
    config.Language = FSelectedLanguage;
    config.StartAuto = StartAutoChB->isChecked();
    config.Notify = NotifyChB->isChecked();
    for (size_t i = 0; i < ColumnCount; ++i) {
        const QListWidgetItem* item = ColsBox->item(static_cast<int>(i));
        config.Columns[i] = item && item->checkState() == Qt::Checked;
    }
}

std::optional<TQuorinConfig> TSettingsForm::Run(QWidget* owner, int page,
                                                const TQuorinConfig& config) {
    PrepareTexts();
    SelectPage(page);
    LoadFrom(config);
    if (owner)
        move(owner->window()->frameGeometry().topLeft() + QPoint(30, 30));
    if (exec() != QDialog::Accepted)
        return std::nullopt;
    TQuorinConfig copy = config;
    StoreTo(copy);
    return copy;
}

void TSettingsForm::OkBtnClick() {
    done(QDialog::Accepted);
}

void TSettingsForm::USClick(QObject* Sender) {
    if (Sender)
        FSelectedLanguage = Sender->objectName().toStdString();
}

void TSettingsForm::ShowHelp() {
    const std::string page = ProgramFolder() + "help/" + std::to_string(HelpContext) + ".html";
    if (!OpenHelpPage(this, QString::fromStdString(page)))
        DebugOutput("Could not open the help page: " + page);
}

void TSettingsForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FocusFirstNeededField();
}

// Set before the dialog takes the focus, so that it lands here rather than
// where it was when the dialog last closed.
void TSettingsForm::FocusFirstNeededField() {
    QLineEdit* field = nullptr;
    if (PageControl1->currentWidget() == TabSheetAccount)
        field = UserNameEdit->text().isEmpty() ? UserNameEdit : PasswordEdit;
    else if (PageControl1->currentWidget() == TabSheetServer)
        field = ServerEdit;
    if (!field)
        return;
    field->setFocus(Qt::OtherFocusReason);
    // Typing replaces what is there, as when the field is reached with Tab.
    field->selectAll();
}

namespace {

TSettingsForm::BoxHook& BoxHookSlot() {
    static TSettingsForm::BoxHook hook;
    return hook;
}

QString TrText(const char* key) {
    return FromWide(LanIni().Translate(key));
}

} // namespace

void TSettingsForm::SetBoxHook(BoxHook hook) {
    BoxHookSlot() = std::move(hook);
}

void TSettingsForm::TrustPinBtnClick() {
    const auto box = [this](bool ask, const QString& text) {
        const QString caption = TrText("ServerTrust.Title");
        if (BoxHookSlot())
            return BoxHookSlot()(ask, caption, text);
        // The certificate's texts are the peer's: never markup.
        QMessageBox message(QMessageBox::NoIcon, caption, text,
                            ask ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, this);
        message.setTextFormat(Qt::PlainText);
        return message.exec() == QMessageBox::Ok && ask;
    };
    TServerCertificate cert;
    try {
        cert = FetchServerCertificate(FServer.Store());
    } catch (const std::exception& e) {
        box(false, TrText("ServerTrust.Failed") + "\n" + QString::fromUtf8(e.what()));
        return;
    }
    QString text = TrText("ServerTrust.Question");
    // In order, and never inside a value already put in.
    qsizetype from = 0;
    for (const std::string* field : {&cert.Subject, &cert.NotBefore, &cert.NotAfter, &cert.Pin}) {
        const qsizetype at = text.indexOf(QLatin1String("%s"), from);
        if (at < 0)
            break;
        const QString value = QString::fromUtf8(*field);
        text.replace(at, 2, value);
        from = at + value.size();
    }
    if (box(true, text)) {
        FServerPin = cert.Pin;
        PinEdit->setText(QString::fromStdString(FServerPin));
    }
}

void TSettingsForm::ClearPinBtnClick() {
    FServerPin.clear();
    PinEdit->clear();
}

} // namespace corvane
