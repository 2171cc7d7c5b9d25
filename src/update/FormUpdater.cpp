#include "FormUpdater.h"

#include "LanIni.h"
#include "Platform.h"
#include "Updater.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>

#include <algorithm>

namespace corvane {

namespace {

TFormUpdater::MessageHook& MessageHookSlot() {
    static TFormUpdater::MessageHook hook;
    return hook;
}

QString Tr(const char* key) {
    return QString::fromStdU16String(LanIni().Translate(key));
}

QString Text8(const std::string& text) {
    return QString::fromUtf8(text);
}

// Replaces the first "%s" at or after `from`; returns where the search for
// the next one goes on (after the inserted text, so that a "%s" inside it is
// left alone), or -1 when there was none.
qsizetype ReplaceNext(QString& text, qsizetype from, const QString& by) {
    const qsizetype at = text.indexOf(QLatin1String("%s"), from);
    if (at < 0)
        return -1;
    text.replace(at, 2, by);
    return at + by.size();
}

} // namespace

void TFormUpdater::SetMessageHook(MessageHook hook) {
    MessageHookSlot() = std::move(hook);
}

TFormUpdater::TFormUpdater(QWidget* parent)
    : QDialog(parent,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      FUpdater(std::make_unique<TUpdater>()), FManifestUrl(UpdateManifestUrl()) {
    setObjectName("FormUpdater");
    setFixedSize(451, 260);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(224, 224, 224));
    setPalette(pal);
    setAutoFillBackground(true);
    setFont(QFont("Arial", 9));

    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setGeometry(0, 0, 120, 260);
    Image1->setPixmap(QPixmap(":/res/UpdaterSide.png"));

    ButtonCheckUpdate = new QPushButton(this);
    ButtonCheckUpdate->setObjectName("ButtonCheckUpdate");
    ButtonCheckUpdate->setGeometry(176, 92, 220, 30);
    CancelBtn = new QPushButton(this);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setGeometry(176, 134, 220, 30);

    // The panel covers the right part, the two buttons above included.
    SimplePanelUpdate = new QWidget(this);
    SimplePanelUpdate->setObjectName("SimplePanelUpdate");
    SimplePanelUpdate->setGeometry(120, 0, 331, 260);
    SimplePanelUpdate->setAutoFillBackground(true);
    SimplePanelUpdate->hide();

    LabelUpdate = new QLabel(SimplePanelUpdate);
    LabelUpdate->setObjectName("LabelUpdate");
    LabelUpdate->setGeometry(10, 8, 311, 54);
    LabelUpdate->setWordWrap(true);
    // It shows versions from the manifest: never markup of whoever serves it.
    LabelUpdate->setTextFormat(Qt::PlainText);
    LabelUpdate->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    MemoUpdate = new QPlainTextEdit(SimplePanelUpdate);
    MemoUpdate->setObjectName("MemoUpdate");
    MemoUpdate->setGeometry(10, 66, 311, 146);
    MemoUpdate->setReadOnly(true);

    ProgressBar1 = new QProgressBar(SimplePanelUpdate);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setGeometry(10, 66, 311, 20);
    ProgressBar1->setRange(0, 0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->hide();

    ButtonUpdate = new QPushButton(SimplePanelUpdate);
    ButtonUpdate->setObjectName("ButtonUpdate");
    ButtonUpdate->setGeometry(10, 222, 190, 28);
    ButtonCancel = new QPushButton(SimplePanelUpdate);
    ButtonCancel->setObjectName("ButtonCancel");
    ButtonCancel->setGeometry(210, 222, 111, 28);

    ButtonUpdate->setText(Tr("Updater.DownloadButton"));
    ButtonCancel->setText(Tr("Updater.CancelButton"));
    CancelBtn->setText(Tr("Updater.CancelButton"));
    ButtonCheckUpdate->setText(Tr("Updater.CheckUpdateButton"));

    connect(ButtonCheckUpdate, &QPushButton::clicked, this, [this] { ButtonCheckUpdateClick(); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] { CancelBtnClick(); });
    connect(ButtonUpdate, &QPushButton::clicked, this, [this] { ButtonUpdateClick(); });
    connect(ButtonCancel, &QPushButton::clicked, this, [this] { ButtonCancelClick(); });

    FUpdater->OnProgress = [this](TUpdater&, std::uint32_t position) {
        ApplUpdaterProgress(position);
    };
    // Repaints, the progress bar and the close box keep working during a GET.
    FUpdater->OnIdle = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
}

TFormUpdater::~TFormUpdater() = default;

void TFormUpdater::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Without a window manager the dialog may never become active; the
    // caption must show the version anyway.
    FormActivate();
}

void TFormUpdater::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

void TFormUpdater::FormActivate() {
    if (FBusy)
        return;
    FUpdater->UpdateFile = FUpdater->UpdatesFolder + "corvane.ini";
    FUpdater->SetCurrentVersion(ProgramVersion());
    setWindowTitle(Tr("Updater.CurrentVersion") + " " + Text8(FUpdater->GetCurrentVersion()));
}

void TFormUpdater::reject() {
    if (FBusy) {
        FClosed = true;
        FUpdater->CancelUpdate();
    }
    QDialog::reject();
}

void TFormUpdater::ButtonCheckUpdateClick() {
    ButtonCheckUpdate->setEnabled(false);
    CancelBtn->setEnabled(false);
    FUpdater->URL = FManifestUrl;
    FProgressTag = 0;
    FBusy = true;
    const bool result = FUpdater->CheckUpdate();
    FBusy = false;
    if (FClosed)
        return;

    const QString installed = Text8(FUpdater->GetCurrentVersion());
    const QString latest = Text8(FUpdater->LatestVersion());
    MemoUpdate->clear();
    MemoUpdate->appendPlainText(Tr("Updater.Current") + " " + installed);
    MemoUpdate->appendPlainText(Tr("Updater.New") + " " + latest);
    if (!result) {
        ButtonUpdate->hide();
        SimplePanelUpdate->show();
        // A check that failed is not the news that there is nothing new.
        const tCheckResult why = FUpdater->CheckResult();
        LabelUpdate->setText(why == tCheckResult::Unreachable  ? Tr("Updater.ServerUnreachable")
                             : why == tCheckResult::Unverified ? Tr("Updater.NotVerified")
                                                               : Tr("Updater.NoUpdate"));
        return;
    }
    SimplePanelUpdate->show();
    QString text = Tr("Updater.UpdateAvailable");
    const qsizetype next = ReplaceNext(text, 0, installed);
    if (next >= 0)
        ReplaceNext(text, next, latest);
    LabelUpdate->setText(text);
    for (int i = 0; i < FUpdater->GetDescriptionCount(); ++i)
        MemoUpdate->appendPlainText(Text8(FUpdater->GetDescription(i)));
    QTextCursor cursor = MemoUpdate->textCursor();
    cursor.movePosition(QTextCursor::Start);
    MemoUpdate->setTextCursor(cursor);
    MemoUpdate->ensureCursorVisible();
}

void TFormUpdater::ButtonUpdateClick() {
    ButtonCancel->setEnabled(false);
    ButtonUpdate->setEnabled(false);
    FProgressTag = 1;
    LabelUpdate->setText(
        Tr("Updater.Downloading").replace(QLatin1String("%s"), Text8(FUpdater->LatestVersion())));
    FBusy = true;
    const bool ok = FUpdater->DoUpdate();
    FBusy = false;
    if (FClosed)
        return; // the user closed the dialog; the download was cancelled
    if (ok) {
        if (FUpdater->NeedRestart() && FUpdater->RunCopyTool())
            accept();
        // Otherwise the files are fetched and nothing has to close: the dialog
        // stays with its buttons disabled until the user closes it.
        return;
    }
    const QString caption = QGuiApplication::applicationDisplayName();
    const QString message =
        Tr(FUpdater->Unverified() ? "Updater.NotVerified" : "Updater.DownloadFailed");
    if (MessageHookSlot()) {
        MessageHookSlot()(caption, message);
    } else {
        QMessageBox box(QMessageBox::NoIcon, caption, message, QMessageBox::Ok, nullptr);
        box.exec();
    }
    QDialog::reject();
}

void TFormUpdater::ApplUpdaterProgress(std::uint32_t position) {
    const int size = std::max(FUpdater->iFileSize(), 0);
    if (FProgressTag == 1) {
        MemoUpdate->hide();
        ProgressBar1->show();
        FProgressTag = 0;
    }
    // Each file brings its own size (0: unknown, the bar just shows activity).
    if (ProgressBar1->maximum() != size)
        ProgressBar1->setRange(0, size);
    if (size > 0)
        ProgressBar1->setValue(
            static_cast<int>(std::min<std::uint32_t>(position, static_cast<std::uint32_t>(size))));
}

bool ShowUpdateDialog(QWidget* mainWindow, std::function<void(const std::string& line)> log) {
    TFormUpdater dialog(nullptr);
    if (log)
        dialog.ApplUpdater().OnLog = std::move(log);
    if (mainWindow)
        dialog.move(mainWindow->frameGeometry().center() - dialog.rect().center());
    return dialog.exec() == QDialog::Accepted;
}

} // namespace corvane
