#include "console/varndl_app.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QWidget>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

#include "console/port_discovery.h"
#include "console/varndl_dlg.h"
#include "images/image_trailer.h"
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

namespace {

const char* const RAISE_REQUEST = "raise\n";
int g_afdSignal[2] = {-1, -1};

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

bool VARNDL_ParseArgs(int argc, char** argv, VARNDL_OPTIONS& opt, std::string& strError)
{
    static const struct {
        const char* szName;
        int nKind;
    } s_aImage[] = {{"--phone", IMAGE_PHONE}, {"--eboot", IMAGE_EBOOT}, {"--pda", IMAGE_PDA},
                    {"--csc", IMAGE_CSC},     {"--hidden", IMAGE_HIDDEN}};
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg == "--help" || strArg == "-h") {
            opt.bHelp = true;
            continue;
        }
        if (strArg == "--version") {
            opt.bVersion = true;
            continue;
        }
        if (strArg == "--auto-start") {
            opt.bAutoStart = true;
            continue;
        }
        if (IsQtOptionWithValue(strArg)) {
            ++i;
            continue;
        }
        if (strArg == "-reverse") continue;
        std::string strValue;
        bool bHasValue = false;
        const size_t nEq = strArg.find('=');
        if (strArg.rfind("--", 0) == 0 && nEq != std::string::npos) {
            strValue = strArg.substr(nEq + 1);
            strArg.resize(nEq);
            bHasValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (bHasValue) return true;
            if (i + 1 >= argc) return false;
            strValue = argv[++i];
            return true;
        };
        bool bKnown = false;
        for (const auto& o : s_aImage) {
            if (strArg != o.szName) continue;
            bKnown = true;
            if (!takeValue() || strValue.empty()) {
                strError = strArg + " needs a file";
                return false;
            }
            // The path is stored as the model's image location, which must still name the file
            // when the station is started again from another directory.
            std::error_code ec;
            const std::filesystem::path path = std::filesystem::absolute(strValue, ec);
            opt.astrImage[o.nKind] = ec ? strValue : path.lexically_normal().string();
        }
        if (bKnown) continue;
        if (strArg == "--model") {
            if (!takeValue() || strValue.size() != 1 || strValue[0] < '0' || strValue[0] >= '0' + MODEL_COUNT) {
                strError = "--model takes an index 0-6";
                return false;
            }
            opt.nModel = strValue[0] - '0';
            continue;
        }
        strError = "unknown argument " + strArg;
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
    // Local socket names are file names: the title's letters, and the user, whose window it is.
    QString strName = "quillon-";
    for (const QChar c : QString::fromUtf8(VARNDL_WINDOW_TITLE))
        if (c.isLetterOrNumber() || c == '.') strName += c;
    return strName + QString("-%1").arg(::getuid());
}

bool VARNDL_RaiseRunningInstance(const QString& strName, int nTimeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(strName);
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

bool CSingleInstance::Listen(const QString& strName)
{
    if (m_pServer->listen(strName)) return true;
    // A socket nobody accepts on is what a crashed instance left; one that still accepts
    // belongs to a live instance that is not answering yet, and is not taken from it.
    QLocalSocket probe;
    probe.connectToServer(strName);
    if (probe.waitForConnected(200)) return false;
    QLocalServer::removeServer(strName);
    return m_pServer->listen(strName);
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
    m_pApp = std::make_unique<QApplication>(argc, argv);
}

CVarnDLApp::~CVarnDLApp() = default;

int CVarnDLApp::InitInstance(const VARNDL_OPTIONS& opt, ISettingsStore* pStore)
{
    const QString strName = VARNDL_InstanceName();
    if (VARNDL_RaiseRunningInstance(strName)) return VARNDL_EXIT_OK;
    CSingleInstance instance;
    // A live instance that is slow to answer is still the one instance.
    if (!instance.Listen(strName)) return VARNDL_EXIT_OK;

    int nStatus = VARNDL_EXIT_OK;
    {
        CVarnDLDlg dlg(pStore);
        instance.SetWindow(&dlg);
        const std::string strResults = VARNDL_ResultsPath();
        QDir().mkpath(QFileInfo(QString::fromStdString(strResults)).absolutePath());
        dlg.RecordResults(strResults);
        VARNDL_CancelOnSignals(&dlg);
        if (opt.nModel >= 0) dlg.SelectModel(opt.nModel);
        for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k)
            if (!opt.astrImage[k].empty()) dlg.SelectImageFile(k, opt.astrImage[k]);
        if (opt.bAutoStart) dlg.SetAutoStart(true);
        // After the images: a phone already plugged in may enable Start, or press it.
        dlg.StartPortDiscovery(PORT_DISCOVERY_StationSources());
        dlg.exec();
        if (!dlg.AllWorkersJoined()) {
            // A worker that did not end in time is let go with the process.
            std::fflush(nullptr);
            ::_exit(nStatus);
        }
    }
    return nStatus;
}
