#pragma once

#include <QObject>
#include <QString>

#include <memory>

class ActivityLog;
class DownloadRun;
class Inet;
class InstanceLock;
class MainForm;
class QMimeData;
class TransferStates;
class UrlList;

// The start-up sequence and the commands of the main window. Owns the globals every
// subsystem works with.
class Program : public QObject
{
    Q_OBJECT

public:
    // programDir: the folder of the running executable; the list file and the
    // download folder live there.
    explicit Program(const QString &programDir, QObject *parent = nullptr);
    ~Program() override;

    // Whether the argument string selects the unattended batch run.
    static bool IsBatchArgument(const QString &arguments);

    // Runs the start-up steps. In batch mode it also runs the whole list and returns
    // the exit status (0 all arrived, 1 some failed, 2 folder or list file unusable);
    // otherwise it returns -1 and the caller enters the event loop. Returns 2 at once
    // when another instance already works in the same program folder.
    int Main(const QString &arguments);

    void Btn_Click(int Index);
    void ToggleLog();
    void ShowInfo(const QString &title, const QString &heading);
    void Liste_OLEDragDrop(const QMimeData *Data);
    void RejectDrop();

    static QString InfoText(const QString &heading);

    QString UrlListFile;
    QString DownloadDir;
    bool BatchMode = false;
    bool LogHidden = false;

    ActivityLog *log() const { return m_log; }
    UrlList *urlList() const { return m_list; }
    Inet *inet() const { return m_inet; }
    TransferStates *states() const { return m_states; }
    DownloadRun *run() const { return m_run.get(); }
    MainForm *form() const { return m_form.get(); }
    bool downloadDirUsable() const { return m_downloadDirUsable; }

private:
    void WriteLog(const QString &message);
    void ensureDownloadDir();
    void onCloseRequested();
    // Ends the program as closing its window does: on SIGTERM, SIGINT or SIGHUP.
    void onStopSignal(int signal);
    // Reports once, before anything is fetched, that nothing can be saved.
    bool checkDownloadDir();
    void runList();
    int runBatch();
    int refuseStart(const QString &message, bool batch);

    QString m_programDir;
    ActivityLog *m_log;
    UrlList *m_list;
    Inet *m_inet;
    TransferStates *m_states;
    std::unique_ptr<DownloadRun> m_run;
    std::unique_ptr<MainForm> m_form;
    bool m_downloadDirUsable = true;
    bool m_stopRequested = false;
    std::unique_ptr<InstanceLock> m_lock;
};
