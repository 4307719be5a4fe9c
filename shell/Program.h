#pragma once

#include "shell/Desktop.h"

#include <QObject>
#include <QString>

#include <memory>

class ActivityLog;
class DownloadRun;
class Inet;
class InstanceLock;
class MainForm;
class QMimeData;
class TerminalProgress;
class TransferProgress;
class TransferStates;
class UrlList;

// The start-up sequence and the commands of the main window. Owns the globals every
// subsystem works with.
class Program : public QObject
{
    Q_OBJECT

public:
    // What the process does once Main has returned.
    struct Outcome
    {
        // The window stays up: the caller enters the event loop.
        bool enterEventLoop = false;
        // Otherwise the process ends with this status: 0 all arrived, 1 some failed
        // or the run was cut short, 2 the folder or the list file is unusable or
        // another instance works in the same program folder.
        int exitStatus = 0;

        static Outcome eventLoop() { return {true, 0}; }
        static Outcome exit(int status) { return {false, status}; }
    };

    // programDir: the folder of the running executable; the list file and the
    // download folder live there. Without a desktop the real one is used.
    explicit Program(const QString &programDir, std::unique_ptr<Desktop> desktop = nullptr, QObject *parent = nullptr);
    ~Program() override;

    // Whether the argument string selects the unattended batch run.
    static bool isBatchArgument(const QString &arguments);

    // Runs the start-up steps; in batch mode also the whole list.
    Outcome Main(const QString &arguments);

    void Btn_Click(int Index);
    void ToggleLog();
    void ShowInfo(const QString &title, const QString &heading);
    void Liste_OLEDragDrop(const QMimeData *Data);
    void RejectDrop();
    // The keyboard's way to fill and trim the list: the clipboard is taken as a drop of
    // it would be, and a removed entry leaves its whole line in the log. Both wait
    // while a run goes, whose entries must stay where they are.
    void Liste_Paste();
    void Liste_Delete(int Row);

    static QString infoText(const QString &heading);

    QString UrlListFile;
    QString DownloadDir;
    bool BatchMode = false;
    bool LogHidden = false;

    ActivityLog *log() const { return m_log; }
    UrlList *urlList() const { return m_list; }
    Inet *inet() const { return m_inet; }
    TransferStates *states() const { return m_states; }
    DownloadRun *run() const { return m_run.get(); }
    TransferProgress *progress() const { return m_progress; }
    // Null for a batch run without a screen.
    MainForm *form() const { return m_form.get(); }
    bool downloadDirUsable() const { return m_downloadDirUsable; }

private:
    void WriteLog(const QString &message);
    void ensureDownloadDir();
    // Connects the window's events, if there is a window, to the commands and lends
    // it to the run.
    void wireWindow(bool batch);
    // The whole list, unattended; returns the exit status.
    int runBatch();
    void settleList();
    void openFileManager(const QString &dir);
    void onCloseRequested();
    // Ends the program as closing its window does: on SIGTERM, SIGINT or SIGHUP.
    void onStopSignal(int signal);
    // Reports once, before anything is fetched, that nothing can be saved.
    bool checkDownloadDir();
    void runList();
    int refuseStart(const QString &message, bool batch);

    QString m_programDir;
    std::unique_ptr<Desktop> m_desktop;
    ActivityLog *m_log;
    UrlList *m_list;
    Inet *m_inet;
    TransferStates *m_states;
    std::unique_ptr<DownloadRun> m_run;
    std::unique_ptr<MainForm> m_form;
    bool m_downloadDirUsable = true;
    TransferProgress *m_progress;
    TerminalProgress *m_terminal = nullptr;
    bool m_stopRequested = false;
    std::unique_ptr<InstanceLock> m_lock;
};
