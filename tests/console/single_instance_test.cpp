// One station window per user: a second start brings the first to the front and ends; twenty
// starts at the same moment leave one window, round after round, crashed owners included; a lock
// or socket name something else obstructs never keeps the first window from starting; without a
// display the program says so; SIGTERM closes the window like Cancel.
//
// The race runs in a child of this program (--race): a parent without Qt forks the starts, each
// of which claims the instance with a QCoreApplication of its own, as the program does before
// its window exists.

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "console/varndl_app.h"
#include "support/qt/dialog_station.h"

namespace {

enum RACE_EXIT { RACE_FIRST = 10, RACE_RAISED = 11 };

// One start of the race, once the go comes: it claims as the program does. The window it became
// stays until every other start has knocked; every fifth round it ends as a crash would, leaving
// its lock and socket behind for the next round.
[[noreturn]] void RaceStart(int fdGo, const QString& strDir, int nOthers, bool bCrash)
{
    char c;
    [[maybe_unused]] const ssize_t n = ::read(fdGo, &c, 1);
    int nArgc = 1;
    char szName[] = "race";
    char* apszArgv[] = {szName, nullptr};
    QCoreApplication app(nArgc, apszArgv);
    auto* pInstance = new CSingleInstance;
    const CSingleInstance::CLAIM eClaim = pInstance->Claim({strDir}, 20000);
    if (eClaim != CSingleInstance::CLAIM_FIRST || !pInstance->Problem().isEmpty())
        ::_exit(eClaim == CSingleInstance::CLAIM_RAISED ? RACE_RAISED : 1);
    int nKnocks = 0;
    QObject::connect(pInstance, &CSingleInstance::Raised, [&] {
        if (++nKnocks == nOthers) app.quit();
    });
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    app.exec();
    if (!bCrash) delete pInstance;
    ::_exit(nKnocks == nOthers ? RACE_FIRST : 2);
}

// nRounds rounds of nStarts starts at once in strDir; 0 when every round left exactly one window.
int RaceMain(int nRounds, int nStarts, const QString& strDir)
{
    const auto start = std::chrono::steady_clock::now();
    int nBad = 0;
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        int afdGo[2];
        if (::pipe(afdGo) != 0) return 2;
        for (int i = 0; i < nStarts; ++i) {
            if (::fork() != 0) continue;
            ::close(afdGo[1]);
            RaceStart(afdGo[0], strDir, nStarts - 1, nRound % 5 == 4);
        }
        ::close(afdGo[0]);
        ::close(afdGo[1]);  // go, for all at once
        int nFirst = 0, nRaised = 0, nStatus = 0;
        while (::wait(&nStatus) > 0) {
            const int nCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
            nFirst += nCode == RACE_FIRST;
            nRaised += nCode == RACE_RAISED;
        }
        if (nFirst == 1 && nRaised == nStarts - 1) continue;
        ++nBad;
        std::printf("round %d: %d windows, %d starts brought one to the front\n", nRound, nFirst, nRaised);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("%d rounds of %d starts in %lld ms, %d bad\n", nRounds, nStarts, static_cast<long long>(ms.count()), nBad);
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
        const struct {
            const char* szMade;      // a directory at this name in the runtime directory
            bool bOnlyRuntime;       // no temporary directory to fall back on
            const char* szProblem;   // what Problem() tells, "" for nothing
        } aCase[] = {
            {"", false, "cannot bring this window to the front"},  // at the socket's name
            {".lock", false, ""},                                    // the next directory serves
            {".lock", true, "a second start opens a second window"},
        };
        for (const auto& c : aCase) {
            CScratchDir runtime, temp;
            const QString strRuntime = QString::fromStdString(runtime.Path());
            QVERIFY(QDir().mkpath(strRuntime + "/" + VARNDL_InstanceName() + c.szMade));
            QStringList astrDirs = {strRuntime};
            if (!c.bOnlyRuntime) astrDirs << QString::fromStdString(temp.Path());
            CSingleInstance instance;
            QCOMPARE(instance.Claim(astrDirs, 2000), CSingleInstance::CLAIM_FIRST);
            QVERIFY2(*c.szProblem ? instance.Problem().contains(c.szProblem) : instance.Problem().isEmpty(),
                     qPrintable(instance.Problem()));
        }
    }

    void TwentyStartsAtOnceLeaveOneWindow()
    {
        CScratchDir dir;
        QProcess race;
        // Two hundred starts: the allocations' stacks, which AddressSanitizer would record for
        // each, are not what this looks for.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":malloc_context_size=0");
        race.setProcessEnvironment(env);
        race.start(QCoreApplication::applicationFilePath(),
                   {"--race", "10", "20", QString::fromStdString(dir.Path())});
        // A bound against a hang only: twenty sanitized starts at once take their time on a
        // loaded machine.
        QVERIFY(race.waitForFinished(240000));
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
        // A usage error is one line naming what is wrong, before any display is looked for.
        const QPair<QStringList, QByteArray> aUsage[] = {
            {{"--bogus"}, "quillon-downloader: unknown option --bogus (try --help)\n"},
            {{"--model=9"}, "quillon-downloader: --model takes a whole number from 0 to 6, not '9' (try --help)\n"},
            {{"--pda="}, "quillon-downloader: --pda needs a file (try --help)\n"},
            {{"stray"}, "quillon-downloader: unexpected operand stray (try --help)\n"},
        };
        for (const auto& [astrArgs, abySays] : aUsage) {
            QProcess bad;
            bad.start(QUILLON_BINARY_DIR "/quillon-downloader", astrArgs);
            QVERIFY(bad.waitForFinished(10000));
            QCOMPARE(bad.exitCode(), VARNDL_EXIT_USAGE);
            QCOMPARE(bad.readAllStandardError(), abySays);
        }

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

        CScratchDir dir;
        const QString strTmp = QString::fromStdString(dir.Path());
        const QProcessEnvironment env = StationEnv(strTmp);
        // A second start brings the first to the front and ends; SIGTERM closes the window like
        // Cancel.
        QProcess* pFirst = StartStation(env, this);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(strTmp + "/" + VARNDL_InstanceName()), 20000);
        QProcess* pSecond = StartStation(env, this);
        QVERIFY(pSecond->waitForFinished(20000));
        QCOMPARE(pSecond->exitCode(), VARNDL_EXIT_OK);
        QCOMPARE(pFirst->state(), QProcess::Running);
        ::kill(static_cast<pid_t>(pFirst->processId()), SIGTERM);
        QVERIFY(pFirst->waitForFinished(10000));
        QCOMPARE(pFirst->exitStatus(), QProcess::NormalExit);
        QCOMPARE(pFirst->exitCode(), 0);
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
