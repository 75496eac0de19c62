// The windowed station's program: the command line, the one instance per user (a second start
// brings the first window to the front), SIGINT and SIGTERM as Cancel, and the dialog run
// modally until it closes.
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <string>

class QApplication;
class QLocalServer;
class CVarnDLDlg;
class ISettingsStore;

constexpr int VARNDL_EXIT_OK = 0;
constexpr int VARNDL_EXIT_USAGE = 2;

struct VARNDL_OPTIONS {
    int nModel = -1;           // -1: as the stored settings leave it
    std::string astrImage[6];  // by image kind; 0 (Unified) is never given
    bool bAutoStart = false;   // Auto Start for this run, whatever the stored setting says
    bool bHelp = false;
    bool bVersion = false;
};

// Parses the program's own options; Qt's (-platform NAME and the like) are passed over. false
// with the reason for a usage error.
bool VARNDL_ParseArgs(int argc, char** argv, VARNDL_OPTIONS& opt, std::string& strError);
extern const char* const VARNDL_USAGE;

// Where the window keeps its result records: $XDG_DATA_HOME/Quillon/Downloader/results.jsonl,
// with ~/.local/share for a data home that is unset or not absolute.
std::string VARNDL_ResultsPath();

// The local socket that tells a second start where the first one is: one per user, named after
// the window title.
QString VARNDL_InstanceName();
// Asks the instance listening on strName to come to the front; false when none answers.
bool VARNDL_RaiseRunningInstance(const QString& strName, int nTimeoutMs = 1000);

// Listens for later starts and brings the window to the front when one knocks. A socket left by
// an instance that crashed is removed first.
class CSingleInstance : public QObject {
    Q_OBJECT
public:
    explicit CSingleInstance(QObject* pParent = nullptr);
    bool Listen(const QString& strName);
    void SetWindow(QWidget* pWindow) { m_pWindow = pWindow; }
signals:
    void Raised();

private:
    QLocalServer* m_pServer;
    QWidget* m_pWindow = nullptr;
};

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
