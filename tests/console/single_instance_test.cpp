// One station window per user: a second start brings the first to the front and ends; twenty
// starts at the same moment leave one window, round after round, crashed owners included; a lock
// or socket name something else obstructs never keeps the first window from starting; without a
// display the program says so; SIGTERM closes the window like Cancel.
//
// The race runs in a child of this program (--race): a parent without Qt forks the starts, each
// of which claims the instance with a QCoreApplication of its own, as the program does before
// its window exists.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSocketNotifier>
#include <QWidget>
#include <QtTest>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "console/varndl_app.h"
#include "support/qt/dialog_station.h"

namespace {

enum RACE_EXIT { RACE_FIRST = 10, RACE_RAISED = 11, RACE_NOT_RAISED = 12 };

// One start of the race: waits for the go, claims, and the window it became stays until the
// parent closes fdQuit (or kills it, as a crash would).
[[noreturn]] void RaceStart(int fdGo, int fdQuit, const QString& strDir)
{
    char c;
    [[maybe_unused]] const ssize_t n = ::read(fdGo, &c, 1);
    int nArgc = 1;
    char szName[] = "race";
    char* apszArgv[] = {szName, nullptr};
    int nExit = RACE_NOT_RAISED;
    {
        QCoreApplication app(nArgc, apszArgv);
        CSingleInstance instance;
        const CSingleInstance::CLAIM eClaim = instance.Claim({strDir}, 20000);
        if (eClaim == CSingleInstance::CLAIM_FIRST && instance.Problem().isEmpty()) {
            QSocketNotifier quit(fdQuit, QSocketNotifier::Read);
            QObject::connect(&quit, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
            app.exec();
            nExit = RACE_FIRST;
        } else if (eClaim == CSingleInstance::CLAIM_RAISED) {
            nExit = RACE_RAISED;
        }
    }
    ::_exit(nExit);
}

// nRounds rounds of nStarts starts at once in strDir; every fifth round's window is killed
// instead of closed. Prints what went wrong; 0 when every round left exactly one window.
int RaceMain(int nRounds, int nStarts, const QString& strDir)
{
    const auto start = std::chrono::steady_clock::now();
    int nBad = 0;
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        int afdGo[2], afdQuit[2];
        if (::pipe(afdGo) != 0 || ::pipe(afdQuit) != 0) return 2;
        std::vector<pid_t> aPid;
        for (int i = 0; i < nStarts; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(afdGo[1]);
                ::close(afdQuit[1]);
                RaceStart(afdGo[0], afdQuit[0], strDir);
            }
            aPid.push_back(pid);
        }
        ::close(afdGo[0]);
        ::close(afdQuit[0]);
        ::close(afdGo[1]);  // go, all at once
        int anExit[RACE_NOT_RAISED + 2] = {};
        std::vector<pid_t> aLeft = aPid;
        auto reap = [&](bool bBlock) {
            for (auto it = aLeft.begin(); it != aLeft.end();) {
                int nStatus = 0;
                if (::waitpid(*it, &nStatus, bBlock ? 0 : WNOHANG) == 0) {
                    ++it;
                    continue;
                }
                const int nCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 0;
                ++anExit[nCode >= RACE_FIRST && nCode <= RACE_NOT_RAISED ? nCode : RACE_NOT_RAISED + 1];
                it = aLeft.erase(it);
            }
        };
        // The starts that are not the window end by themselves; the window waits to be closed.
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (aLeft.size() > 1 && std::chrono::steady_clock::now() < bound) {
            reap(false);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const bool bCrash = nRound % 5 == 4;
        if (bCrash && aLeft.size() == 1) ::kill(aLeft.front(), SIGKILL);
        ::close(afdQuit[1]);
        reap(true);
        if (bCrash) ++anExit[RACE_FIRST];
        if (anExit[RACE_FIRST] != 1 || anExit[RACE_RAISED] != nStarts - 1) {
            ++nBad;
            std::printf("round %d: %d windows, %d brought one to the front, %d could not, %d other\n", nRound,
                        anExit[RACE_FIRST], anExit[RACE_RAISED], anExit[RACE_NOT_RAISED],
                        anExit[RACE_NOT_RAISED + 1]);
        }
    }
    const auto dMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("%d rounds of %d starts in %lld ms, %d bad\n", nRounds, nStarts,
                static_cast<long long>(dMs.count()), nBad);
    return nBad == 0 ? 0 : 1;
}

QProcessEnvironment StationEnv(const QString& strTmp)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", strTmp);
    env.insert("XDG_RUNTIME_DIR", strTmp);  // where the lock and the socket live
    env.insert("XDG_DATA_HOME", strTmp);    // and its result records
    env.insert("XDG_CONFIG_HOME", strTmp);
    return env;
}

QProcess* StartStation(const QProcessEnvironment& env, QObject* pParent)
{
    auto* pProcess = new QProcess(pParent);
    pProcess->setProcessEnvironment(env);
    pProcess->start(QUILLON_BINARY_DIR "/quillon-downloader", {});
    return pProcess;
}

}  // namespace

class SingleInstance : public QObject {
    Q_OBJECT
private slots:
    void SecondStartRaisesTheFirst()
    {
        CScratchDir dir;
        const QString strDir = QString::fromStdString(dir.Path());
        QWidget window;
        CSingleInstance first;
        first.SetWindow(&window);
        QCOMPARE(first.Claim({strDir}), CSingleInstance::CLAIM_FIRST);
        QCOMPARE(first.Problem(), QString());
        QSignalSpy raised(&first, &CSingleInstance::Raised);
        // The second start knocks from elsewhere while this event loop answers.
        CSingleInstance::CLAIM eSecond = CSingleInstance::CLAIM_FIRST;
        std::thread second([&] { eSecond = CSingleInstance().Claim({strDir}, 5000); });
        QTRY_COMPARE(raised.count(), 1);
        second.join();
        QCOMPARE(eSecond, CSingleInstance::CLAIM_RAISED);
        QVERIFY(window.isVisible());
    }

    void ObstructedNamesNeverKeepTheFirstWindowFromStarting()
    {
        const QString strName = VARNDL_InstanceName();
        const struct {
            const char* szCase;
            std::vector<std::string> astrDirsAt;  // made as directories: "lock", "socket"
            bool bRuntimeUsable;
            const char* szProblem;  // in Problem(), "" for none
        } aCase[] = {
            {"a directory at the socket's name", {"socket"}, true, "cannot bring this window to the front"},
            {"a directory at the lock's name: the next directory", {"lock"}, true, ""},
            {"no usable directory at all", {"lock"}, false, "a second start opens a second window"},
            {"a runtime directory that is missing", {}, false, ""},
        };
        for (const auto& c : aCase) {
            CScratchDir runtime, temp;
            QString strRuntime = QString::fromStdString(runtime.Path());
            const QString strTemp = QString::fromStdString(temp.Path());
            for (const std::string& strWhat : c.astrDirsAt)
                QVERIFY(QDir().mkpath(strRuntime + "/" + strName + (strWhat == "lock" ? ".lock" : "")));
            QStringList astrDirs = {strRuntime, strTemp};
            if (!c.bRuntimeUsable && c.astrDirsAt.empty()) astrDirs[0] = strRuntime + "/missing";
            if (!c.bRuntimeUsable && !c.astrDirsAt.empty()) astrDirs = {strRuntime};
            CSingleInstance instance;
            QVERIFY2(instance.Claim(astrDirs, 2000) == CSingleInstance::CLAIM_FIRST, c.szCase);
            QVERIFY2(QString(c.szProblem).isEmpty() ? instance.Problem().isEmpty()
                                                    : instance.Problem().contains(c.szProblem),
                     qPrintable(QString(c.szCase) + ": " + instance.Problem()));
        }
    }

    void TwentyStartsAtOnceLeaveOneWindow()
    {
        CScratchDir dir;
        QProcess race;
        // A thousand starts: the allocations' stacks, which AddressSanitizer would record for
        // each, are not what this looks for.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":malloc_context_size=0");
        race.setProcessEnvironment(env);
        race.start(QCoreApplication::applicationFilePath(),
                   {"--race", "50", "20", QString::fromStdString(dir.Path())});
        QVERIFY(race.waitForFinished(120000));
        const QByteArray abyOut = race.readAllStandardOutput();
        qInfo("%s", abyOut.trimmed().constData());
        QVERIFY2(race.exitStatus() == QProcess::NormalExit && race.exitCode() == 0,
                 abyOut.constData() + race.readAllStandardError().right(2000));
    }

    void ProgramFromOutside()
    {
        QProcess help;
        help.start(QUILLON_BINARY_DIR "/quillon-downloader", {"--help"});
        QVERIFY(help.waitForFinished(10000));
        QCOMPARE(help.exitCode(), 0);

        // No display: said so, status 2, whether none is named or the one named is not there.
        for (const char* szDisplay : {"", ":97"}) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const char* sz : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_FATAL_WARNINGS"})
                env.remove(sz);
            if (*szDisplay) env.insert("DISPLAY", szDisplay);
            QProcess none;
            none.setProcessEnvironment(env);
            none.start(QUILLON_BINARY_DIR "/quillon-downloader", {});
            QVERIFY(none.waitForFinished(20000));
            QCOMPARE(none.exitStatus(), QProcess::NormalExit);
            QCOMPARE(none.exitCode(), VARNDL_EXIT_USAGE);
            QVERIFY2(none.readAllStandardError().contains(VARNDL_NO_DISPLAY_TEXT), szDisplay);
        }

        // Something else at the socket's name: the window starts all the same, says why it cannot
        // be brought to the front, and a second start says that it was not.
        CScratchDir dir;
        const QString strTmp = QString::fromStdString(dir.Path());
        QVERIFY(QDir().mkpath(strTmp + "/" + VARNDL_InstanceName()));
        const QProcessEnvironment env = StationEnv(strTmp);
        QProcess* pFirst = StartStation(env, this);
        QVERIFY(pFirst->waitForStarted(5000));
        QByteArray abyFirstErr;
        QTRY_VERIFY_WITH_TIMEOUT((abyFirstErr += pFirst->readAllStandardError())
                                     .contains("cannot bring this window to the front"),
                                 20000);
        QProcess* pSecond = StartStation(env, this);
        QVERIFY(pSecond->waitForFinished(20000));
        QCOMPARE(pSecond->exitCode(), VARNDL_EXIT_NOT_RAISED);
        QVERIFY(pSecond->readAllStandardError().contains("its window could not be brought to the front"));
        QCOMPARE(pFirst->state(), QProcess::Running);
        ::kill(static_cast<pid_t>(pFirst->processId()), SIGTERM);
        QVERIFY(pFirst->waitForFinished(10000));

        // The name free again: a second start brings the first to the front and ends at once.
        QVERIFY(QDir(strTmp + "/" + VARNDL_InstanceName()).removeRecursively());
        pFirst = StartStation(env, this);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(strTmp + "/" + VARNDL_InstanceName()), 20000);
        QElapsedTimer timer;
        timer.start();
        pSecond = StartStation(env, this);
        QVERIFY(pSecond->waitForFinished(20000));
        QCOMPARE(pSecond->exitCode(), VARNDL_EXIT_OK);
        QCOMPARE(pFirst->state(), QProcess::Running);

        timer.restart();
        ::kill(static_cast<pid_t>(pFirst->processId()), SIGTERM);
        QVERIFY(pFirst->waitForFinished(10000));
        QCOMPARE(pFirst->exitStatus(), QProcess::NormalExit);
        QCOMPARE(pFirst->exitCode(), 0);
        QVERIFY2(timer.elapsed() < 5000, QByteArray::number(timer.elapsed()));
    }
};

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--race") == 0)
        return RaceMain(std::atoi(argv[2]), std::atoi(argv[3]), QString::fromLocal8Bit(argv[4]));
    QApplication app(argc, argv);
    SingleInstance test;
    return QTest::qExec(&test, argc, argv);
}

#include "single_instance_test.moc"
