// The windowed station's program: the command line, the one window per user (a lock file owns
// it; a second start brings that window to the front through a local socket), SIGINT and SIGTERM
// as Cancel, and the dialog run modally until it closes.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <string>

class QApplication;
class QLocalServer;
class QLockFile;
class CVarnDLDlg;
class ISettingsStore;

constexpr int VARNDL_EXIT_OK = 0;
// A second start found the window running but could not bring it to the front.
constexpr int VARNDL_EXIT_NOT_RAISED = 1;
// A usage error, or no display to open the window on.
constexpr int VARNDL_EXIT_USAGE = 2;
extern const char* const VARNDL_NO_DISPLAY_TEXT;
extern const char* const VARNDL_RAISED_TEXT;

struct VARNDL_OPTIONS {
    int nModel = -1;           // -1: as the stored settings leave it
    std::string astrImage[6];  // by image kind; 0 (Unified) is never given
    bool bAutoStart = false;   // Auto Start for this run, whatever the stored setting says
    bool bHelp = false;
    bool bVersion = false;
};

// Parses the program's own options; Qt's (-platform NAME and the like) are passed over. false
// once a usage error has been said, in one line on standard error.
bool VARNDL_ParseArgs(int argc, char** argv, VARNDL_OPTIONS& opt);
extern const char* const VARNDL_USAGE;

// Where the window keeps its result records: $XDG_DATA_HOME/Quillon/Downloader/results.jsonl,
// with ~/.local/share for a data home that is unset or not absolute.
std::string VARNDL_ResultsPath();

// The name of the lock file (with ".lock") and of the local socket, one per user, after the window
// title; and the directories they may live in, in order: $XDG_RUNTIME_DIR, the temporary one.
QString VARNDL_InstanceName();
QStringList VARNDL_InstanceDirs();
// Asks the instance listening on strPath to come to the front; false when none answers.
bool VARNDL_RaiseRunningInstance(const QString& strPath, int nTimeoutMs = 1000);

// The one window: whoever holds the lock file is it, and listens on the socket beside it for
// later starts, whose knock brings its window to the front. A lock or socket left by an instance
// that crashed is taken over; a name something else obstructs never keeps the first window from
// starting, it only costs what it was for (told by Problem()).
class CSingleInstance : public QObject {
    Q_OBJECT
public:
    enum CLAIM {
        CLAIM_FIRST,       // this start is the window
        CLAIM_RAISED,      // another start is, and came to the front
        CLAIM_NOT_RAISED,  // another start is, and did not answer within the bound
    };
    explicit CSingleInstance(QObject* pParent = nullptr);
    ~CSingleInstance() override;
    // Takes the lock in the first of astrDirs that can hold it. Held by a live instance: knocks
    // until it answers, for at most nBoundMs.
    CLAIM Claim(const QStringList& astrDirs, int nBoundMs = 10000);
    // What keeps this window from being the only one, or from being brought to the front; empty
    // when nothing does. The running instance's process id after CLAIM_NOT_RAISED.
    const QString& Problem() const { return m_strProblem; }
    qint64 OwnerPid() const { return m_nOwnerPid; }
    void SetWindow(QWidget* pWindow) { m_pWindow = pWindow; }
signals:
    void Raised();

private:
    void Listen(const QString& strPath);

    std::unique_ptr<QLockFile> m_pLock;
    QLocalServer* m_pServer;
    QWidget* m_pWindow = nullptr;
    QString m_strProblem;
    qint64 m_nOwnerPid = 0;
};

// Whether a window can be opened: a display named in the environment, or a platform chosen with
// QT_QPA_PLATFORM or -platform.
bool VARNDL_HasDisplay(int argc, char** argv);

class CVarnDLApp {
public:
    CVarnDLApp(int& argc, char** argv);
    ~CVarnDLApp();
    // The whole program after the options are parsed: the exit status.
    int InitInstance(const VARNDL_OPTIONS& opt, ISettingsStore* pStore = nullptr);

private:
    std::unique_ptr<QApplication> m_pApp;
};

// SIGINT and SIGTERM act as the Cancel button of pDlg: the signal only writes to a pipe that the
// GUI thread watches. Caught from VARNDL_CatchSignals on; one that came earlier cancels at once.
void VARNDL_CatchSignals();
void VARNDL_CancelOnSignals(CVarnDLDlg* pDlg);
