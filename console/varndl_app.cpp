#include "console/socket_watch.h"
#include "console/varndl_app.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSocketNotifier>
#include <QThread>
#include <QWidget>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console/varndl_dlg.h"
#include "images/image_trailer.h"
#include "ports/port_discovery.h"
#include "station/command_line.h"
#include "station/log.h"
#include "station/model_ticks.h"

const char* const VARNDL_USAGE =
    "Usage: quillon-downloader [--model N] [--phone FILE] [--eboot FILE] [--pda FILE]\n"
    "                          [--csc FILE] [--hidden FILE] [--auto-start] [--help] [--version]\n"
    "The flash station's window. A given image is chosen as with its button; --model N (0-6)\n"
    "as in the model list. A second start brings the running window to the front.\n"
    "Phones are found as they are plugged in (udev), and so are virtual phones: symbolic links\n"
    "COM<n> to pseudo-terminals in the directory named by QUILLON_VIRTUAL_PORTS.\n"
    "  --auto-start   start each phone as it arrives (this run; the option dialog's\n"
    "                 \"Start phones as they arrive\" keeps it for every run)\n";
const char* const VARNDL_NO_DISPLAY_TEXT = "no display: set DISPLAY or WAYLAND_DISPLAY, or use quillon-flash";
const char* const VARNDL_RAISED_TEXT = "quillon-downloader is already running; its window was brought to the front";

namespace {

const char* const RAISE_REQUEST = "raise\n";
int g_afdSignal[2] = {-1, -1};
// A lock file is written right after it is made; one that stays unreadable this long (a pause
// each) is not an instance's lock.
constexpr int LOCK_READ_TRIES = 25;
constexpr int KNOCK_PAUSE_MS = 20;

QtMessageHandler g_fnQtMessages = nullptr;
bool g_bOpeningDisplay = false;

void OnQtMessage(QtMsgType eType, const QMessageLogContext& context, const QString& strMessage)
{
    if (eType == QtFatalMsg && g_bOpeningDisplay) {
        // Qt gives up on its platform with an abort and advice to reinstall: what is missing is
        // the display.
        std::fprintf(stderr, "quillon-downloader: %s\n", VARNDL_NO_DISPLAY_TEXT);
        std::fflush(stderr);
        ::_exit(VARNDL_EXIT_USAGE);
    }
    if (g_fnQtMessages) g_fnQtMessages(eType, context, strMessage);
}

bool IsSocket(const QString& strPath)
{
    struct stat st;
    return ::lstat(QFile::encodeName(strPath).constData(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool IsFile(const QString& strPath)
{
    struct stat st;
    return ::lstat(QFile::encodeName(strPath).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Exists(const QString& strPath)
{
    struct stat st;
    return ::lstat(QFile::encodeName(strPath).constData(), &st) == 0;
}

QString LockErrorText(QLockFile::LockError eError)
{
    switch (eError) {
    case QLockFile::PermissionError: return "permission denied";
    case QLockFile::LockFailedError: return "something else is at this name";
    default: return "it cannot be made";
    }
}

void OnSignal(int nSignal)
{
    const char c = static_cast<char>(nSignal);
    [[maybe_unused]] const ssize_t n = ::write(g_afdSignal[1], &c, 1);
}

// Qt's own options that take a value; QApplication removes them itself.
bool IsQtOptionWithValue(const std::string& str)
{
    for (const char* sz : {"-platform", "-display", "-style", "-stylesheet", "-qwindowgeometry",
                           "-qwindowtitle", "-qwindowicon", "-session", "-platformpluginpath",
                           "-platformtheme", "-plugin"})
        if (str == sz) return true;
    return false;
}

}  // namespace

bool VARNDL_ParseArgs(int argc, char** argv, VARNDL_OPTIONS& opt)
{
    enum { O_HELP, O_VERSION, O_AUTO_START, O_MODEL, O_IMAGE };
    static const struct {
        const char* szName;
        int nKind;
    } s_aImage[] = {{"phone", IMAGE_PHONE}, {"eboot", IMAGE_EBOOT}, {"pda", IMAGE_PDA},
                    {"csc", IMAGE_CSC},     {"hidden", IMAGE_HIDDEN}};
    std::vector<CLI_OPTION> aOption = {{"help", false, O_HELP, 'h'},
                                       {"version", false, O_VERSION},
                                       {"auto-start", false, O_AUTO_START},
                                       {"model", true, O_MODEL}};
    for (const auto& o : s_aImage) aOption.push_back({o.szName, true, O_IMAGE});
    // Qt's own options take one dash and are QApplication's to remove; the parser sees the rest.
    std::vector<char*> apszArg = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (IsQtOptionWithValue(argv[i])) {
            ++i;
            continue;
        }
        if (std::strcmp(argv[i], "-reverse") != 0) apszArg.push_back(argv[i]);
    }
    const int nArgs = static_cast<int>(apszArg.size());
    apszArg.push_back(nullptr);
    CCommandLine cl("quillon-downloader", nArgs, apszArg.data(), aOption);
    std::string strValue;
    uint64_t qwModel = 0;
    for (int n; (n = cl.Next(strValue)) != CLI_END;) {
        switch (n) {
        case CLI_ERROR: return false;
        case O_HELP: opt.bHelp = true; break;
        case O_VERSION: opt.bVersion = true; break;
        case O_AUTO_START: opt.bAutoStart = true; break;
        case O_MODEL:
            if (!cl.Number(strValue, 0, MODEL_COUNT - 1, &qwModel)) return false;
            opt.nModel = static_cast<int>(qwModel);
            break;
        case O_IMAGE: {
            if (strValue.empty()) {
                cl.Usage(cl.Name().append(" needs a file"));
                return false;
            }
            int nKind = IMAGE_PHONE;
            for (const auto& o : s_aImage)
                if (cl.Name() == std::string("--").append(o.szName)) nKind = o.nKind;
            // The path is stored as the model's image location, which must still name the file
            // when the station is started again from another directory.
            std::error_code ec;
            const std::filesystem::path path = std::filesystem::absolute(strValue, ec);
            opt.astrImage[nKind] = ec ? strValue : path.lexically_normal().string();
            break;
        }
        }
    }
    const std::vector<std::string> astrOperand = cl.Operands();
    if (!astrOperand.empty()) {
        cl.Usage("unexpected operand " + astrOperand.front());
        return false;
    }
    return true;
}

std::string VARNDL_ResultsPath()
{
    QString strData = qEnvironmentVariable("XDG_DATA_HOME");
    if (!strData.startsWith('/')) strData = QDir::homePath() + "/.local/share";
    return (strData + "/Quillon/Downloader/results.jsonl").toStdString();
}

QString VARNDL_InstanceName()
{
    // File names: the title's letters, and the user, whose window it is.
    QString strName = "quillon-";
    for (const QChar c : QString::fromUtf8(VARNDL_WINDOW_TITLE))
        if (c.isLetterOrNumber() || c == '.') strName += c;
    return strName + QString("-%1").arg(::getuid());
}

QStringList VARNDL_InstanceDirs()
{
    QStringList astrDirs;
    const QString strRuntime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (strRuntime.startsWith('/')) astrDirs << QDir::cleanPath(strRuntime);
    const QString strTemp = QDir::cleanPath(QDir::tempPath());
    if (!astrDirs.contains(strTemp)) astrDirs << strTemp;
    return astrDirs;
}

bool VARNDL_RaiseRunningInstance(const QString& strPath, int nTimeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(strPath);
    if (!socket.waitForConnected(nTimeoutMs)) return false;
    socket.write(RAISE_REQUEST);
    if (!socket.waitForBytesWritten(nTimeoutMs)) return false;
    // The answer tells that a live instance took the request, not just a socket.
    if (!socket.waitForReadyRead(nTimeoutMs)) return false;
    socket.disconnectFromServer();
    return true;
}

CSingleInstance::CSingleInstance(QObject* pParent) : QObject(pParent), m_pServer(new QLocalServer(this))
{
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_pServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* pSocket = m_pServer->nextPendingConnection()) {
            connect(pSocket, &QLocalSocket::disconnected, pSocket, &QObject::deleteLater);
            connect(pSocket, &QLocalSocket::readyRead, this, [this, pSocket] {
                if (!pSocket->canReadLine()) return;
                pSocket->readAll();
                if (m_pWindow) {
                    m_pWindow->showNormal();
                    // Without a window system there is nothing to raise (and Qt would warn).
                    if (QGuiApplication::platformName() != "offscreen") {
                        m_pWindow->raise();
                        m_pWindow->activateWindow();
                    }
                }
                pSocket->write("ok\n");
                pSocket->flush();
                emit Raised();
            });
        }
    });
}

CSingleInstance::~CSingleInstance()
{
    // The socket goes first: once the lock is free, a new window may already listen at its name.
    m_pServer->close();
    m_pLock.reset();
}

CSingleInstance::CLAIM CSingleInstance::Claim(const QStringList& astrDirs, int nBoundMs)
{
    QElapsedTimer since;
    since.start();
    QStringList astrTrouble;
    for (const QString& strDir : astrDirs) {
        const QString strBase = strDir + "/" + VARNDL_InstanceName();
        auto pLock = std::make_unique<QLockFile>(strBase + ".lock");
        // Only a lock whose process is gone is stale, however old it is.
        pLock->setStaleLockTime(0);
        int nUnreadable = 0;
        for (;;) {
            if (pLock->tryLock(0)) {
                m_pLock = std::move(pLock);
                Listen(strBase);
                return CLAIM_FIRST;
            }
            qint64 nPid = 0;
            QString strHost, strApp;
            // Between a stale lock's removal by another start and its new lock's contents the
            // name is empty, or the file blank: look again. Anything but a file, or a file that
            // stays unreadable, is no lock.
            if (pLock->error() != QLockFile::LockFailedError ||
                (!pLock->getLockInfo(&nPid, &strHost, &strApp) &&
                 ((Exists(strBase + ".lock") && !IsFile(strBase + ".lock")) || ++nUnreadable > LOCK_READ_TRIES))) {
                astrTrouble << strBase + ".lock: " + LockErrorText(pLock->error());
                break;
            }
            if (nPid != 0) {
                m_nOwnerPid = nPid;
                if (VARNDL_RaiseRunningInstance(strBase, nBoundMs)) return CLAIM_RAISED;
                // Not listening yet (it has only just taken the lock), or never (something else
                // is at the socket's name).
                if ((Exists(strBase) && !IsSocket(strBase)) || since.elapsed() >= nBoundMs)
                    return CLAIM_NOT_RAISED;
            }
            QThread::msleep(KNOCK_PAUSE_MS);
        }
    }
    m_strProblem = "No lock file can be made (" + astrTrouble.join("; ") +
                   "): a second start opens a second window";
    return CLAIM_FIRST;
}

void CSingleInstance::Listen(const QString& strPath)
{
    // The lock is ours: a socket at the name was left by an instance that has ended.
    QLocalServer::removeServer(strPath);
    if (m_pServer->listen(strPath)) return;
    m_strProblem = strPath + ": " + m_pServer->errorString() +
                   ": a second start cannot bring this window to the front";
}

bool VARNDL_HasDisplay(int argc, char** argv)
{
    for (const char* szName : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (!qEnvironmentVariableIsEmpty(szName)) return true;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) return true;
    return false;
}

void VARNDL_CatchSignals()
{
    if (g_afdSignal[0] >= 0 || ::pipe2(g_afdSignal, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

void VARNDL_CancelOnSignals(CVarnDLDlg* pDlg)
{
    VARNDL_CatchSignals();
    if (g_afdSignal[0] < 0) return;
    auto* pNotifier = new QSocketNotifier(g_afdSignal[0], QSocketNotifier::Read, pDlg);
    QObject::connect(pNotifier, &QSocketNotifier::activated, pDlg, [pDlg] {
        char aby[16];
        int nSignal = 0;
        for (ssize_t n; (n = ::read(g_afdSignal[0], aby, sizeof(aby))) > 0;) nSignal = aby[0];
        pDlg->OnCancel(STOP_REASON{STOP_SIGNAL, nSignal});
    });
}

CVarnDLApp::CVarnDLApp(int& argc, char** argv)
{
    // From the first moment: a signal that comes before the window exists cancels it at once.
    VARNDL_CatchSignals();
    g_fnQtMessages = qInstallMessageHandler(OnQtMessage);
    g_bOpeningDisplay = true;
    m_pApp = std::make_unique<QApplication>(argc, argv);
    g_bOpeningDisplay = false;
    qInstallMessageHandler(g_fnQtMessages);
}

CVarnDLApp::~CVarnDLApp() = default;

int CVarnDLApp::InitInstance(const VARNDL_OPTIONS& opt, ISettingsStore* pStore)
{
    CSingleInstance instance;
    switch (instance.Claim(VARNDL_InstanceDirs())) {
    case CSingleInstance::CLAIM_RAISED:
        if (::isatty(STDERR_FILENO)) std::fprintf(stderr, "%s\n", VARNDL_RAISED_TEXT);
        return VARNDL_EXIT_OK;
    case CSingleInstance::CLAIM_NOT_RAISED:
        std::fprintf(stderr,
                     "quillon-downloader is already running (process %lld); its window could not be "
                     "brought to the front\n",
                     static_cast<long long>(instance.OwnerPid()));
        return VARNDL_EXIT_NOT_RAISED;
    case CSingleInstance::CLAIM_FIRST: break;
    }

    int nStatus = VARNDL_EXIT_OK;
    {
        CVarnDLDlg dlg(pStore);
        instance.SetWindow(&dlg);
        if (!instance.Problem().isEmpty()) {
            // Told, never silently started or silently not.
            const std::string strProblem = instance.Problem().toStdString();
            std::fprintf(stderr, "quillon-downloader: %s\n", strProblem.c_str());
            WriteLog(&dlg.Core(), -1, dlg.Core().m_csDisplay, "%s\r\n", strProblem.c_str());
        }
        const std::string strResults = VARNDL_ResultsPath();
        QDir().mkpath(QFileInfo(QString::fromStdString(strResults)).absolutePath());
        dlg.RecordResults(strResults);
        VARNDL_CancelOnSignals(&dlg);
        if (opt.nModel >= 0) dlg.SelectModel(opt.nModel);
        for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k)
            if (!opt.astrImage[k].empty()) dlg.SelectImageFile(k, opt.astrImage[k]);
        if (opt.bAutoStart) dlg.SetAutoStart(true);
        // After the images: a phone already plugged in may enable Start, or press it.
        dlg.StartPortDiscovery(PORT_DISCOVERY_StationSources(SOCKET_WATCH_Make));
        dlg.exec();
        if (!dlg.AllWorkersJoined()) {
            // A worker that did not end in time is let go with the process.
            std::fflush(nullptr);
            ::_exit(nStatus);
        }
    }
    return nStatus;
}
