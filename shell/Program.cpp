#include "shell/Program.h"

#include "download/store/DownloadFolder.h"
#include "download/run/DownloadRun.h"
#include "download/Inet.h"
#include "download/TransferStates.h"
#include "log/ActivityLog.h"
#include "log/SystemErrorText.h"
#include "log/TerminalProgress.h"
#include "log/TransferProgress.h"
#include "shell/InstanceLock.h"
#include "shell/MainForm.h"
#include "shell/SignalRelay.h"
#include "shell/StartupEnvironment.h"
#include "shell/SystemDesktop.h"
#include "urllist/UrlList.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <cstdio>

Program::Program(const QString &programDir, std::unique_ptr<Desktop> desktop, QObject *parent)
    : QObject(parent)
    , m_programDir(programDir)
    , m_desktop(desktop ? std::move(desktop) : std::make_unique<SystemDesktop>())
    , m_log(new ActivityLog(this))
    , m_list(new UrlList(m_log, this))
    , m_inet(new Inet(this))
    , m_states(new TransferStates(m_log, m_inet, this))
    , m_run(std::make_unique<DownloadRun>(m_log, m_list, m_inet, m_states))
    , m_progress(new TransferProgress(this))
{
    m_run->setProgress(m_progress);
    connect(m_inet, &Inet::progress, m_progress, &TransferProgress::update);
}

Program::~Program()
{
    delete m_terminal; // leaves the log's echo before the log goes
    settleList();
    m_log->flushEcho();
    // A write given up on may still swap the spare in: it stays.
    if (!m_list->writing() && m_lock && m_lock->isLocked())
        m_list->removeSaveLeftovers();
}

bool Program::isBatchArgument(const QString &arguments)
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
    const DownloadFolder::Check check = DownloadFolder::prepare(DownloadDir, m_programDir);
    m_downloadDirUsable = check.usable;
    if (check.problem.isEmpty())
        return;
    std::fprintf(stderr, "%s\n", check.problem.toLocal8Bit().constData());
    WriteLog(check.problem);
}

Program::Outcome Program::Main(const QString &arguments)
{
    const bool batch = isBatchArgument(arguments);
    if (batch)
        m_log->setEcho(stdout);

    // Two instances on one folder would rewrite each other's list and clean up each
    // other's unfinished downloads.
    m_lock = std::make_unique<InstanceLock>(m_programDir + QStringLiteral("/.quorvex.lock"));
    switch (m_lock->tryLock()) {
    case InstanceLock::Result::Locked:
        break;
    case InstanceLock::Result::HeldElsewhere:
        return Outcome::exit(refuseStart(QStringLiteral("### Quorvex läuft bereits für den Ordner %1; bitte das andere Fenster benutzen")
                               .arg(m_programDir),
                           batch));
    case InstanceLock::Result::Failed:
        return Outcome::exit(refuseStart(QStringLiteral("### Quorvex kann im Programmordner %1 keine Sperrdatei anlegen: %2")
                               .arg(m_programDir, systemErrorText(m_lock->error())),
                           batch));
    }
    StartupEnvironment::removeRuntimeLeftovers(m_programDir);

    UrlListFile = m_programDir + QStringLiteral("/URL-Liste.INI");
    DownloadDir = m_programDir + QStringLiteral("/Downloads");
    m_list->setFile(UrlListFile);
    ensureDownloadDir();
    m_list->removeSaveLeftovers();
    m_inet->setPartDir(DownloadDir);
    m_run->setDownloadDir(DownloadDir);

    // A batch run without a screen has nobody to draw for: it has no window at all.
    // Building one would load the fonts, a third of the start-up, and following the
    // lists after every entry would cost more than a small download.
    const bool unseen = batch && SystemDesktop::screenless();
    if (!unseen)
        m_form = std::make_unique<MainForm>();
    QApplication::setApplicationDisplayName(QString());
    QApplication::setApplicationName(QStringLiteral("Quorvex"));
    wireWindow(batch);

    ToggleLog();
    if (m_form)
        m_form->show();
    // Only a list read whole says whose unfinished bodies are worth keeping.
    if (m_list->LoadUrlList() && m_downloadDirUsable)
        DownloadRun::removeLeftovers(DownloadDir, *m_list);
    BatchMode = batch;
    m_run->setBatchMode(BatchMode);
    QCoreApplication::processEvents();

    if (!BatchMode) {
        m_list->followFile();
        return Outcome::eventLoop();
    }
    return Outcome::exit(runBatch());
}

// The list's last write reaches the disk before the program ends; a disk that hangs
// is given up on after the bound the run's commits have.
void Program::settleList()
{
    m_list->settle(m_run->commitGiveUpMs());
}

int Program::runBatch()
{
    // Nothing is fetched that could not be kept: every entry counts as failed.
    const bool runs = m_downloadDirUsable && !m_stopRequested;
    if (runs)
        runList();
    // Its outcome decides the exit status.
    settleList();
    const int arrived = runs ? m_run->arrived() : 0;
    const int failed = runs ? m_run->failed() : (m_downloadDirUsable ? 0 : m_list->count());
    m_log->flushEcho();
    std::fprintf(stdout, "Ergebnis: %d geladen, %d fehlgeschlagen\n", arrived, failed);
    std::fflush(stdout);
    if (!m_downloadDirUsable || m_list->fileTroubleSeen())
        return 2;
    // A run cut short by closing the window or a signal left entries untried.
    return failed > 0 || m_stopRequested || m_run->aborted() ? 1 : 0;
}

int Program::refuseStart(const QString &message, bool batch)
{
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    if (batch) {
        m_log->WriteLog(message);
        m_log->flushEcho();
    } else {
        m_desktop->showMessage(nullptr, QStringLiteral("Quorvex"), message.mid(4));
    }
    BatchMode = batch;
    return 2;
}

void Program::runList()
{
    m_list->setRunGoing(true);
    m_run->DownloadAll();
    m_list->setRunGoing(false);
}

bool Program::checkDownloadDir()
{
    m_downloadDirUsable = true;
    ensureDownloadDir();
    return m_downloadDirUsable;
}

void Program::wireWindow(bool batch)
{
    if (m_form) {
        m_form->showModels(m_log, m_list);
        connect(m_log, &ActivityLog::caughtUp, m_form.get(), &MainForm::followLog);
        m_form->followProgress(m_progress);
        connect(m_form.get(), &MainForm::Btn_Click, this, &Program::Btn_Click);
        connect(m_form.get(), &MainForm::Liste_OLEDragDrop, this, &Program::Liste_OLEDragDrop);
        connect(m_form.get(), &MainForm::Liste_Paste, this, &Program::Liste_Paste);
        connect(m_form.get(), &MainForm::Liste_Delete, this, &Program::Liste_Delete);
        connect(m_form.get(), &MainForm::closeRequested, this, &Program::onCloseRequested);
    }
    if (batch)
        m_terminal = new TerminalProgress(m_progress, STDERR_FILENO, m_log, this);
    connect(new SignalRelay(this), &SignalRelay::requested, this, &Program::onStopSignal);

    m_run->setHost({
        [this](bool enabled) {
            if (m_form)
                m_form->setDownloadEnabled(enabled);
        },
        [this](const QString &text) { m_desktop->showMessage(m_form.get(), QStringLiteral("Quorvex"), text); },
        [this] { m_desktop->beep(); },
        [this](const QString &dir) { openFileManager(dir); },
    });
}

void Program::openFileManager(const QString &dir)
{
    switch (m_desktop->openFolder(dir)) {
    case Desktop::OpenResult::Started:
        return;
    case Desktop::OpenResult::NoScreen:
        WriteLog(QStringLiteral("Kein Bildschirm: der Dateimanager wird nicht geöffnet"));
        return;
    case Desktop::OpenResult::NotStarted:
        WriteLog(QStringLiteral("### Dateimanager (xdg-open) kann nicht gestartet werden"));
        return;
    }
}

void Program::Btn_Click(int Index)
{
    switch (Index) {
    case 0:
        m_log->clear();
        break;
    case 1:
        // The folder may have been fixed, or broken, since the start.
        if (!m_run->running() && checkDownloadDir())
            runList();
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
    // LogHidden starts false, so the call made at start-up hides the panel the window
    // was laid out with.
    if (m_form)
        m_form->setLogShown(LogHidden);
    LogHidden = !LogHidden;
}

QString Program::infoText(const QString &heading)
{
    const QChar cr = u'\r';
    return heading + cr + cr + QStringLiteral("Quorvex " QUORVEX_VERSION " – © 2026 Quorvex-Team") + cr + cr
        + QStringLiteral("Verbesserungsvorschläge und konstruktive Kritik bitte per E-Mail an ") + cr + cr
        + QString(26, u' ') + QStringLiteral("support@quorvex.example") + cr + cr
        + QStringLiteral("Weitere interessante Infos und Tools finden Sie auf meiner Web-Site ") + cr + cr
        + QString(29, u' ') + QStringLiteral("https://quorvex.example/") + cr;
}

void Program::ShowInfo(const QString &title, const QString &heading)
{
    m_desktop->showNotice(m_form.get(), title, infoText(heading));
}

void Program::Liste_OLEDragDrop(const QMimeData *Data)
{
    const QStringList links = droppedLinks(Data);
    if (links.isEmpty()) {
        // Said once the drop is over: a drag source waits for the drop to end, and
        // should hear of it before a box takes the window.
        QMetaObject::invokeMethod(this, &Program::RejectDrop, Qt::QueuedConnection);
        return;
    }
    for (const QString &link : links)
        m_list->AddUrl(link);
}

void Program::RejectDrop()
{
    m_desktop->showNotice(m_form.get(), QStringLiteral("Quorvex"),
                          QStringLiteral("Bitte nur echte HTTP-Links in die Liste ziehen"));
}

void Program::Liste_Paste()
{
    if (m_run->running()) {
        m_desktop->beep();
        return;
    }
    Liste_OLEDragDrop(QGuiApplication::clipboard()->mimeData());
}

void Program::Liste_Delete(int Row)
{
    if (m_run->running()) {
        m_desktop->beep();
        return;
    }
    if (Row < 0 || Row >= m_list->count())
        return;
    const QString line = m_list->line(Row);
    m_list->removeAt(Row);
    WriteLog(QStringLiteral("Aus der Liste entfernt: %1").arg(line));
    m_list->SaveUrlList();
}

void Program::onCloseRequested()
{
    // A run waiting in the event loop winds down: the transfer is cancelled, what
    // arrived of its body kept for the next run, and every entry not yet done stays
    // in the list.
    if (m_run->running())
        m_states->requestAbort();
}

void Program::onStopSignal(int signal)
{
    if (m_stopRequested)
        return;
    m_stopRequested = true;
    const char *name = signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "?";
    WriteLog(QStringLiteral("%1 empfangen: Quorvex wird beendet").arg(QLatin1String(name)));
    // An open message box would hold the run, and with it the end, until someone closes it.
    for (int i = 0; i < 16 && QApplication::activeModalWidget(); ++i)
        QApplication::activeModalWidget()->close();
    // Ends the run as closing the window does; a run without a window ends the same way.
    if (m_form)
        m_form->close();
    else
        onCloseRequested();
}
