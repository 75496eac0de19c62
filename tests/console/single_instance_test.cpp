// One station window per user: a second start brings the first to the front and ends; a socket
// left by a crashed instance never blocks a start; SIGTERM closes the window like Cancel.

#include <QElapsedTimer>
#include <QLocalServer>
#include <QProcess>
#include <QWidget>
#include <QtTest>

#include <csignal>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "console/varndl_app.h"
#include "support/qt/dialog_station.h"

namespace {

QProcess* StartStation(const QString& strTmp, QObject* pParent)
{
    auto* pProcess = new QProcess(pParent);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", strTmp);  // where the instance socket lives
    env.insert("XDG_DATA_HOME", strTmp);  // and its result records
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
        const QString strName = QString("quillon-test-%1").arg(::getpid());
        QWidget window;
        CSingleInstance instance;
        instance.SetWindow(&window);
        QVERIFY(instance.Listen(strName));
        QSignalSpy raised(&instance, &CSingleInstance::Raised);
        // The second start knocks from elsewhere while this event loop answers.
        bool bAnswered = false;
        std::thread second([&] { bAnswered = VARNDL_RaiseRunningInstance(strName, 5000); });
        QTRY_COMPARE(raised.count(), 1);
        second.join();
        QVERIFY(bAnswered);
        QVERIFY(window.isVisible());
    }

    void StaleSocketDoesNotBlock()
    {
        CScratchDir dir;
        const std::string strPath = dir.Path() + "/stale";
        // What a crashed instance leaves: a socket file nobody listens on.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", strPath.c_str());
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ::close(fd);
        QVERIFY(!VARNDL_RaiseRunningInstance(QString::fromStdString(strPath), 500));
        CSingleInstance instance;
        QVERIFY(instance.Listen(QString::fromStdString(strPath)));
    }

    void ProgramFromOutside()
    {
        QProcess help;
        help.start(QUILLON_BINARY_DIR "/quillon-downloader", {"--help"});
        QVERIFY(help.waitForFinished(10000));
        QCOMPARE(help.exitCode(), 0);

        CScratchDir dir;
        const QString strTmp = QString::fromStdString(dir.Path());
        QProcess* pFirst = StartStation(strTmp, this);
        QVERIFY(pFirst->waitForStarted(5000));
        // The first is up once its socket is there.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(strTmp + "/" + VARNDL_InstanceName()), 10000);

        QElapsedTimer timer;
        timer.start();
        QProcess* pSecond = StartStation(strTmp, this);
        QVERIFY(pSecond->waitForFinished(5000));
        QCOMPARE(pSecond->exitCode(), 0);
        QVERIFY2(timer.elapsed() < 2000, QByteArray::number(timer.elapsed()));
        QCOMPARE(pFirst->state(), QProcess::Running);

        timer.restart();
        ::kill(static_cast<pid_t>(pFirst->processId()), SIGTERM);
        QVERIFY(pFirst->waitForFinished(10000));
        QCOMPARE(pFirst->exitStatus(), QProcess::NormalExit);
        QCOMPARE(pFirst->exitCode(), 0);
        QVERIFY2(timer.elapsed() < 5000, QByteArray::number(timer.elapsed()));
    }
};

QTEST_MAIN(SingleInstance)
#include "single_instance_test.moc"
