#include "shell/Program.h"

#include "download/DownloadRun.h"
#include "download/Inet.h"
#include "download/TransferStates.h"
#include "log/ActivityLog.h"
#include "log/SystemErrorText.h"
#include "shell/MainForm.h"
#include "urllist/UrlList.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>

#include <cstdio>
#include <unistd.h>

Program::Program(const QString &programDir, QObject *parent)
    : QObject(parent)
    , m_programDir(programDir)
    , m_log(new ActivityLog(this))
    , m_list(new UrlList(m_log, this))
    , m_inet(new Inet(this))
    , m_states(new TransferStates(m_log, m_inet, this))
    , m_run(std::make_unique<DownloadRun>(m_log, m_list, m_inet, m_states))
{
}

Program::~Program()
{
    m_log->flushEcho();
    if (m_lock && m_lock->isLocked())
        m_list->RemoveSaveLeftovers();
}

bool Program::IsBatchArgument(const QString &arguments)
{
    QString text = arguments.toUpper();
    qsizetype a = 0, b = text.size();
    while (a < b && text.at(a) == u' ')
        ++a;
    while (b > a && text.at(b - 1) == u' ')
        --b;
    return text.mid(a, b - a) == u"/DOWNLOAD";
}

void Program::WriteLog(const QString &message)
{
    m_log->WriteLog(message);
}

void Program::ensureDownloadDir()
{
    const QFileInfo info(DownloadDir);
    if (info.exists()) {
        // A file of that name counts as present; the downloads then fail one by one.
        m_downloadDirUsable = info.isDir();
        // A folder nothing can be created in (a read-only mount stops even root) is
        // unusable too: every download would fail alike, through the folder's fault,
        // not the links'.
        if (m_downloadDirUsable && ::access(QFile::encodeName(DownloadDir).constData(), W_OK | X_OK) != 0) {
            const int error = errno;
            m_downloadDirUsable = false;
            const QString message = QStringLiteral("### Download-Ordner %1 ist nicht beschreibbar: %2")
                                        .arg(DownloadDir, SystemErrorText(error));
            std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
            WriteLog(message);
        }
        return;
    }
    QString reason;
    if (!QDir().mkdir(DownloadDir)) {
        // mkdir says nothing about why; ask the file system once more for the reason.
        const QFileInfo parent(m_programDir);
        if (!parent.isDir())
            reason = QStringLiteral("Programmordner fehlt");
        else if (!parent.isWritable())
            reason = QStringLiteral("keine Schreibberechtigung im Programmordner");
        else if (QFileInfo(DownloadDir).isSymLink())
            reason = QStringLiteral("ein Verweis gleichen Namens zeigt ins Leere");
        else
            reason = QStringLiteral("Ordner konnte nicht angelegt werden");
    }
    if (reason.isEmpty())
        return;
    m_downloadDirUsable = false;
    const QString message = QStringLiteral("### Download-Ordner %1 kann nicht angelegt werden: %2").arg(DownloadDir, reason);
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    WriteLog(message);
}

int Program::Main(const QString &arguments)
{
    const bool batch = IsBatchArgument(arguments);
    if (batch)
        m_log->setEcho(stdout);

    // Two instances on one folder would rewrite each other's list and clean up each
    // other's unfinished downloads.
    m_lock = std::make_unique<QLockFile>(m_programDir + QStringLiteral("/.quorvex.lock"));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        const QString message = QStringLiteral("### Quorvex läuft bereits für den Ordner %1; bitte das andere Fenster benutzen")
                                    .arg(m_programDir);
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        if (batch) {
            m_log->WriteLog(message);
            m_log->flushEcho();
        } else {
            QMessageBox box(QMessageBox::Information, QStringLiteral("Quorvex"), message.mid(4), QMessageBox::Ok);
            box.exec();
        }
        BatchMode = batch;
        return 2;
    }

    UrlListFile = m_programDir + QStringLiteral("/URL-Liste.INI");
    DownloadDir = m_programDir + QStringLiteral("/Downloads");
    m_list->setFile(UrlListFile);
    ensureDownloadDir();
    m_list->RemoveSaveLeftovers();
    m_inet->setSpoolDir(DownloadDir);
    m_run->setDownloadDir(DownloadDir);

    m_form = std::make_unique<MainForm>();
    m_form->setWindowTitle(QStringLiteral("Quorvex"));
    QApplication::setApplicationDisplayName(QString());
    QApplication::setApplicationName(QStringLiteral("Quorvex"));
    // A batch run without a screen has nobody to draw for; laying out and repainting
    // the lists after every entry would cost more than a small download.
    const QString platform = QGuiApplication::platformName();
    const bool unseen = batch && (platform == u"offscreen" || platform == u"minimal");
    if (!unseen) {
        m_form->Log->setModel(m_log);
        m_form->Liste->setModel(m_list);
    }
    connect(m_log, &ActivityLog::caughtUp, m_form.get(), [this](int row) {
        if (row < 0 || m_form->Log->model() != m_log)
            return;
        const QModelIndex index = m_log->index(row);
        m_form->Log->setCurrentIndex(index);
        m_form->Log->scrollTo(index);
    });
    connect(m_form.get(), &MainForm::Btn_Click, this, &Program::Btn_Click);
    connect(m_form.get(), &MainForm::Liste_OLEDragDrop, this, &Program::Liste_OLEDragDrop);
    connect(m_form.get(), &MainForm::closeRequested, this, &Program::onCloseRequested);

    m_run->setHost({
        [this](bool enabled) { m_form->Btn[1]->setEnabled(enabled); },
        [this](const QString &text) {
            QMessageBox box(QMessageBox::Information, QStringLiteral("Quorvex"), text, QMessageBox::Ok, m_form.get());
            box.exec();
        },
        [] { QApplication::beep(); },
        [this](const QString &dir) {
            if (QGuiApplication::platformName() == u"offscreen" || QGuiApplication::platformName() == u"minimal") {
                WriteLog(QStringLiteral("Kein Bildschirm: der Dateimanager wird nicht geöffnet"));
                return;
            }
            if (!QProcess::startDetached(QStringLiteral("xdg-open"), {dir}))
                WriteLog(QStringLiteral("### Dateimanager (xdg-open) kann nicht gestartet werden"));
        },
    });

    ToggleLog();
    m_form->show();
    if (unseen)
        m_form->setUpdatesEnabled(false);
    // Only a list read whole says whose unfinished bodies are worth keeping.
    if (m_list->LoadUrlList() && m_downloadDirUsable)
        DownloadRun::RemoveLeftovers(DownloadDir, *m_list);
    BatchMode = batch;
    m_run->setBatchMode(BatchMode);
    QCoreApplication::processEvents();

    if (!BatchMode)
        return -1;

    m_run->DownloadAll();
    const int arrived = m_run->arrived();
    const int failed = m_run->failed();
    m_log->flushEcho();
    std::fprintf(stdout, "Ergebnis: %d geladen, %d fehlgeschlagen\n", arrived, failed);
    std::fflush(stdout);
    if (!m_downloadDirUsable || m_list->fileTroubleSeen())
        return 2;
    // A run cut short by closing the window left entries untried.
    return failed > 0 || m_run->aborted() ? 1 : 0;
}

void Program::Btn_Click(int Index)
{
    switch (Index) {
    case 0:
        m_log->Clear();
        break;
    case 1:
        m_run->DownloadAll();
        break;
    case 2:
        ToggleLog();
        break;
    case 3:
        ShowInfo(QStringLiteral("Quorvex"),
                 QStringLiteral("Quorvex") + QStringLiteral(" - ein Utility für den automatischen HTTP-Download"));
        break;
    default:
        break;
    }
}

void Program::ToggleLog()
{
    const int factor = LogHidden ? 1 : -1;
    const QString caption = LogHidden ? QStringLiteral("&Log aus- blenden") : QStringLiteral("&Log zeigen");
    const int step = m_form->LogFrame->height() + MainForm::tw(60);
    m_form->setClientHeight(m_form->height() + factor * step);
    m_form->Btn[2]->setText(caption);
    m_form->LogFrame->setEnabled(LogHidden);
    LogHidden = !LogHidden;
}

QString Program::InfoText(const QString &heading)
{
    const QChar cr = u'\r';
    return heading + cr + cr + QStringLiteral("Quorvex 1.0 – © 2026 Quorvex-Team") + cr + cr
        + QStringLiteral("Verbesserungsvorschläge und konstruktive Kritik bitte per E-Mail an ") + cr + cr
        + QString(26, u' ') + QStringLiteral("support@quorvex.example") + cr + cr
        + QStringLiteral("Weitere interessante Infos und Tools finden Sie auf meiner Web-Site ") + cr + cr
        + QString(29, u' ') + QStringLiteral("https://quorvex.example/") + cr;
}

void Program::ShowInfo(const QString &title, const QString &heading)
{
    QMessageBox box(QMessageBox::Information, title, InfoText(heading), QMessageBox::Ok, m_form.get());
    box.exec();
}

void Program::Liste_OLEDragDrop(const QMimeData *Data)
{
    const QStringList links = DroppedLinks(Data);
    if (links.isEmpty()) {
        // Said once the drop is over: a drag source waits for the drop to end, and a
        // browser's drag would hang until the box was closed.
        QMetaObject::invokeMethod(this, &Program::RejectDrop, Qt::QueuedConnection);
        return;
    }
    for (const QString &link : links)
        m_list->AddUrl(link);
}

void Program::RejectDrop()
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Quorvex"),
                    QStringLiteral("Bitte nur echte HTTP-Links in die Liste ziehen"), QMessageBox::Ok, m_form.get());
    box.exec();
}

void Program::onCloseRequested()
{
    // A run waiting in the event loop winds down: the transfer is cancelled, what
    // arrived of its body kept for the next run, and every entry not yet done stays
    // in the list.
    if (m_run->running())
        m_states->requestAbort();
}
