// Phones that come and go by themselves: quillon-phone-sim publishes virtual phones in the
// directory the dialog watches. A phone pulled mid-download turns its bar red and frees its
// channel, and plugged back it lands there again and is flashed; and the station program with
// --auto-start flashes eight phones nobody starts, then ends on SIGTERM.

#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <csignal>

#include <unistd.h>

#include "console/socket_watch.h"
#include "link/port_table.h"
#include "ports/virtual_port_source.h"
#include "station/status.h"
#include "support/line_run.h"
#include "support/qt/dialog_station.h"
#include "support/qt/test_port_source.h"
#include "support/sim_process.h"

namespace {

const std::string SIM = QUILLON_BINARY_DIR "/quillon-phone-sim";

std::vector<std::string> SimArgs(const std::string& strPorts, const IMAGE_SET& set, int nPhones)
{
    return {SIM, "--dir", strPorts, "--phones", std::to_string(nPhones), "--exit-when-locked",
            "--verify-phone", set.strPhone, "--verify-eboot", set.strEboot, "--verify-pda", set.strPda,
            "--verify-csc", set.strCsc};
}

// "" when every phone of the report was locked and every region it was given verified.
QString Unverified(const std::string& strReport, size_t nPhones)
{
    const std::vector<LINE_PHONE> aPhones = LINE_RUN_ParseReport(strReport);
    if (aPhones.size() != nPhones) return QString("%1 phones reported").arg(aPhones.size());
    QString strBad;
    for (size_t k = 0; k < aPhones.size(); ++k) {
        if (aPhones[k].dwLocks == 0) strBad += QString("phone %1 never locked; ").arg(k + 1);
        if (aPhones[k].astrVerify.empty()) strBad += QString("phone %1 verified nothing; ").arg(k + 1);
        for (const std::string& str : aPhones[k].astrVerify)
            if (str.size() < 3 || str.compare(str.size() - 3, 3, " ok") != 0)
                strBad += QString("phone %1: %2; ").arg(k + 1).arg(QString::fromStdString(str));
    }
    return strBad;
}

bool Downloading(const BAR_STATE& bar)
{
    return bar.nPercent > 0 && bar.strText.find("%") != std::string::npos && bar.byBlue == 255;
}

}  // namespace

class DiscoveryRun : public QObject {
    Q_OBJECT
private slots:
    void PhonePulledMidDownloadAndPluggedBack()
    {
        CScratchDir dir;
        IMAGE_SET set;
        QVERIFY(LINE_RUN_WriteImages(dir.Path(), &set));
        const std::string strPorts = dir.Path() + "/ports";
        PORT_TABLE_Reset();
        CSimProcess sim;
        SIM_SPAWN_OPTIONS options;
        options.bStdinPipe = true;
        std::vector<std::string> astrArgs = SimArgs(strPorts, set, 2);
        astrArgs.insert(astrArgs.end(), {"--bytes-per-second", "400000"});
        QVERIFY(sim.Start(astrArgs, options));
        QVERIFY(sim.WaitLine("ready", 20000));

        // Settles and reboot waits cost no time; the phones' links run at their own pace.
        CVirtualClock clock;
        CClockScope scope(clock);
        CVarnDLDlg dlg;
        const std::string* apstrImage[] = {nullptr, &set.strPhone, &set.strEboot, &set.strPda, &set.strCsc};
        for (int k = IMAGE_PHONE; k <= IMAGE_CSC; ++k) QVERIFY(dlg.SelectImageFile(k, *apstrImage[k]));
        dlg.SetAutoStart(true);
        CVarnDLCore& core = dlg.Core();

        // The test's steps run from the Start loop's own event processing.
        enum { RUNNING, PULLED, PLUGGED_BACK } eStep = RUNNING;
        BAR_STATE pulledBar;
        QTimer step;
        connect(&step, &QTimer::timeout, [&] {
            if (eStep == RUNNING && Downloading(core.m_ctrlProgress[0].GetState())) {
                QVERIFY(sim.Send("unplug 1\n"));
                eStep = PULLED;
            } else if (eStep == PULLED && core.m_aChannel[0].m_nComPort == 0 && !core.m_aChannel[0].m_bThreadStart &&
                       !core.m_aChannel[0].m_bCycleEnd) {
                // The slot is free again: port gone, worker joined.
                pulledBar = core.m_ctrlProgress[0].GetState();
                QVERIFY(sim.Send("plug 1\n"));
                eStep = PLUGGED_BACK;
            }
        });
        step.start(5);
        dlg.StartPortDiscovery(TEST_PORT_SOURCE_Only(std::make_unique<CVirtualPortSource>(strPorts, SOCKET_WATCH_Make)));
        QCOMPARE(core.m_aChannel[0].m_nComPort.load(), 1u);
        QCOMPARE(core.m_aChannel[1].m_nComPort.load(), 2u);

        QTRY_VERIFY_WITH_TIMEOUT(eStep == PLUGGED_BACK, 60000);
        QCOMPARE(QColor(pulledBar.byRed, pulledBar.byGreen, pulledBar.byBlue), QColor(255, 0, 0));
        QCOMPARE(pulledBar.nPercent, 100);
        // Back on the channel it left, started by itself, and flashed whole this time.
        QTRY_VERIFY_WITH_TIMEOUT(core.m_aChannel[0].m_bDownloadDone && core.m_aChannel[0].m_bCycleEnd && core.m_aChannel[1].m_bDownloadDone &&
                                     core.m_aChannel[1].m_bCycleEnd, 60000);
        QCOMPARE(core.m_ctrlProgress[0].GetState().strText.rfind(" Download PASS.", 0), size_t(0));
        QCOMPARE(sim.WaitExit(30000), 0);
        QCOMPARE(Unverified(sim.Output(), 2), QString());
        QVERIFY(sim.Output().find("phone 1 COM1: plugged no, plugs 2") != std::string::npos);
        PORT_TABLE_Reset();
    }

    void AutoStartFlashesEightPhonesNobodyStarts()
    {
        CScratchDir dir;
        IMAGE_SET set;
        QVERIFY(LINE_RUN_WriteImages(dir.Path(), &set));
        const std::string strPorts = dir.Path() + "/ports";
        CSimProcess sim;
        QVERIFY(sim.Start(SimArgs(strPorts, set, 8)));
        QVERIFY(sim.WaitLine("ready", 20000));

        QProcess station;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QUILLON_VIRTUAL_PORTS", QString::fromStdString(strPorts));
        env.insert("TMPDIR", QString::fromStdString(dir.Path()));  // its own single-instance lock
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.Path()));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.Path() + "/config"));
        env.insert("XDG_DATA_HOME", QString::fromStdString(dir.Path() + "/data"));
        station.setProcessEnvironment(env);
        station.start(QUILLON_BINARY_DIR "/quillon-downloader",
                      {"--auto-start", "--phone", QString::fromStdString(set.strPhone), "--eboot",
                       QString::fromStdString(set.strEboot), "--pda", QString::fromStdString(set.strPda), "--csc",
                       QString::fromStdString(set.strCsc)});
        QVERIFY(station.waitForStarted(10000));
        // The simulator ends once every phone has been locked; the window stays until it is told.
        const auto bound = std::chrono::steady_clock::now() + std::chrono::minutes(4);
        bool bStationEnded = false;
        while (!sim.Exited(100) && std::chrono::steady_clock::now() < bound)
            if ((bStationEnded = station.waitForFinished(100))) break;
        if (bStationEnded) QFAIL(station.readAllStandardError().right(4000).constData());
        const int nSimExit = sim.WaitExit(1000);
        QCOMPARE(Unverified(sim.Output(), 8), QString());
        QCOMPARE(nSimExit, 0);

        const auto start = std::chrono::steady_clock::now();
        ::kill(static_cast<pid_t>(station.processId()), SIGTERM);
        QVERIFY(station.waitForFinished(10000));
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        QCOMPARE(station.exitStatus(), QProcess::NormalExit);
        QCOMPARE(station.exitCode(), 0);
        QVERIFY2(spent.count() < 5000, QByteArray::number(static_cast<qlonglong>(spent.count())) + " ms");
        // Without udev it said so, once, and found the virtual phones all the same.
        if (::access("/run/udev/control", F_OK) != 0)
            QCOMPARE(station.readAllStandardError().count("udev is not running here"), 1);
    }
};

QTEST_MAIN(DiscoveryRun)
#include "discovery_threaded_test.moc"
