// Port discovery through the dialog: the connection table row by row through a test source, a
// full station, phones present at start, the virtual phones' directory with good and bad links,
// and Auto Start (off by default, one press for phones of one moment, never past a modal box).

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "console/socket_watch.h"
#include "console/varndl_app.h"
#include "link/port_map.h"
#include "link/port_table.h"
#include "link/serial_device.h"
#include "ports/virtual_port_source.h"
#include "settings/message_box.h"
#include "settings/option_dialogs.h"
#include "settings/settings.h"
#include "station/status.h"
#include "support/pty_pair.h"
#include "support/qt/dialog_station.h"
#include "support/qt/test_port_source.h"

namespace {

const char* const PHONE_A = "/dev/ttyUSB0";  // COM1 on channel 0 before every row
const char* const PHONE_B = "/dev/ttyUSB1";  // COM2 when it arrives
const char* const CABLE = "/dev/ttyUSB2";

// The dialog with a test source as its only source of ports.
struct SOURCED_DIALOG {
    SOURCED_DIALOG()
    {
        PORT_TABLE_Reset();
        auto pOwned = std::make_unique<CTestPortSource>();
        pSource = pOwned.get();
        dlg.StartPortDiscovery(TEST_PORT_SOURCE_Only(std::move(pOwned)));
    }
    ~SOURCED_DIALOG() { PORT_TABLE_Reset(); }
    CVarnDLCore& Core() { return dlg.Core(); }
    QLineEdit* PortBox(int i) { return dlg.findChild<QLineEdit*>(QString::number(1040 + i)); }
    bool StartEnabled() { return dlg.findChild<QPushButton*>("1")->isEnabled(); }
    BAR_STATE Bar(int i) { return Core().m_ctrlProgress[i].GetState(); }

    CVarnDLDlg dlg;
    CTestPortSource* pSource = nullptr;
};

enum BEFORE { READY, RUNNING, AFTER_LOCK, PASSED, FAILED };
enum EVENT { PULL_A, PLUG_B, REPLUG_A, PLUG_CABLE, PLUG_MODULE, PULL_A_PLUG_B };

// Channel 0 in the state named, as a worker would have left it.
void Put(SOURCED_DIALOG& d, BEFORE eBefore)
{
    CVarnDLCore& core = d.Core();
    CTextProgressState& bar = core.m_ctrlProgress[0];
    switch (eBefore) {
    case READY: break;
    case RUNNING:
        core.m_aChannel[0].m_bThreadStart = 1;
        bar.ShowStatus(0, core.m_csDisplay, nullptr, PdaDownloading, 40, 0);
        break;
    case AFTER_LOCK:
        core.m_aChannel[0].m_bThreadStart = 1;
        core.m_aChannel[0].m_bRebootWait = 1;
        core.m_aChannel[0].m_bDownloadDone = 1;
        bar.ShowStatus(0, core.m_csDisplay, nullptr, PdaFlashing, 100, 0);
        break;
    case PASSED:
        core.m_aChannel[0].m_bDownloadDone = 1;
        core.m_aChannel[0].m_bCycleEnd = 1;
        bar.ShowStatus(0, core.m_csDisplay, nullptr, Pass, 100, 65999);
        break;
    case FAILED: bar.ShowStatus(0, core.m_csDisplay, " FLASH UNLOCK Fail !!!", Error, 0, 0); break;
    }
}

void Happen(SOURCED_DIALOG& d, EVENT eEvent)
{
    switch (eEvent) {
    case PULL_A: d.pSource->Pull(PHONE_A); break;
    case PLUG_B: d.pSource->Plug(PHONE_B, "qcserial"); break;
    case REPLUG_A:
        d.pSource->Pull(PHONE_A);
        d.pSource->Plug(PHONE_A, "qcserial");
        break;
    case PLUG_CABLE: d.pSource->Plug(CABLE, "ftdi_sio"); break;
    case PLUG_MODULE: {
        // A laptop's built-in broadband module: qcserial too, on a fixed port.
        PORT_EVENT ev = CTestPortSource::Tty(CABLE, "qcserial");
        ev.bFixedPort = true;
        d.pSource->Tell(ev);
        break;
    }
    case PULL_A_PLUG_B:
        d.pSource->Pull(PHONE_A);
        d.pSource->Plug(PHONE_B, "qcserial");
        break;
    }
}

struct TABLE_ROW {
    const char* szRow;
    BEFORE eBefore;
    EVENT eEvent;
    // Channel 0 after the event.
    uint32_t nPort;
    const char* szBox;
    const char* szText;
    QColor colour;
    int nPercent;
    uint32_t bCycleEnd, bDownloadDone;
    int nChannelOfB;  // where phone B went (-1: nowhere)
    bool bStart;
};

const QColor DARK_BLUE(0, 0, 200), BLUE(0, 0, 255), RED(255, 0, 0), GREEN(0, 255, 0);
const char* const READY_A = " Ready - Detect COM1 Port";
const char* const PASS_65 = " Download PASS. [ 65 Sec.]";

const TABLE_ROW TABLE[] = {
    {"arrival, same port already on this channel: re-armed", PASSED, REPLUG_A,
     1, "COM1", READY_A, DARK_BLUE, 0, 0, 0, -1, true},
    {"arrival, new port: the lowest empty channel becomes ready", READY, PLUG_B,
     1, "COM1", READY_A, DARK_BLUE, 0, 0, 0, 1, true},
    {"arrival of any accepted port: a passed channel is released, its PASS stays", PASSED, PLUG_B,
     0, "COM1", PASS_65, GREEN, 100, 1, 1, 1, true},
    {"arrival, port not accepted: nothing", READY, PLUG_CABLE,
     1, "COM1", READY_A, DARK_BLUE, 0, 0, 0, -1, true},
    {"arrival of a laptop's built-in modem: nothing", READY, PLUG_MODULE,
     1, "COM1", READY_A, DARK_BLUE, 0, 0, 0, -1, true},
    {"removal, running before Lock: pulled", RUNNING, PULL_A,
     0, "NONE", " ERROR!! Disconnected COM1 Port", RED, 100, 1, 0, -1, false},
    {"removal, running after Lock: the worker finishes its delay, the box keeps the port's name",
     AFTER_LOCK, PULL_A, 0, "COM1", " PDA Flashing Image... 100%", BLUE, 100, 0, 1, -1, false},
    {"removal, ready", READY, PULL_A, 0, "NONE", " Disconnected...", BLUE, 0, 0, 0, -1, false},
    {"removal, failed", FAILED, PULL_A, 0, "NONE", " Disconnected...", BLUE, 0, 0, 0, -1, false},
    {"removal, passed: nothing", PASSED, PULL_A, 1, "COM1", PASS_65, GREEN, 100, 1, 1, -1, false},
    // A channel whose worker still runs is not empty, even with its port gone: its worker's
    // PASS or failure would land on the new phone's bar.
    {"arrival while a pulled channel's worker reboots its phone", AFTER_LOCK, PULL_A_PLUG_B,
     0, "COM1", " PDA Flashing Image... 100%", BLUE, 100, 0, 1, 1, true},
    {"arrival while a pulled channel's worker is not joined yet", RUNNING, PULL_A_PLUG_B,
     0, "NONE", " ERROR!! Disconnected COM1 Port", RED, 100, 1, 0, 1, true},
};

int ChannelOf(CVarnDLCore& core, uint32_t nPort)
{
    for (int i = 0; i < MAX_CHANNEL; ++i)
        if (core.m_aChannel[i].m_nComPort == nPort) return i;
    return -1;
}

}  // namespace

class PortDiscovery : public QObject {
    Q_OBJECT
private slots:
    void init() { SETTINGS_Reset(); }

    void ConnectionTableRowByRow()
    {
        for (const TABLE_ROW& row : TABLE) {
            SOURCED_DIALOG d;
            d.Core().m_bImageReady = 1;
            d.pSource->Plug(PHONE_A, "qcserial");
            QCOMPARE(d.Core().m_aChannel[0].m_nComPort.load(), 1u);
            Put(d, row.eBefore);
            Happen(d, row.eEvent);
            const BAR_STATE bar = d.Bar(0);
            const QByteArray strRow = row.szRow;
            QVERIFY2(d.Core().m_aChannel[0].m_nComPort == row.nPort, strRow);
            QVERIFY2(d.PortBox(0)->text() == row.szBox, strRow);
            QVERIFY2(bar.strText == row.szText, strRow + ": " + bar.strText.c_str());
            QVERIFY2(QColor(bar.byRed, bar.byGreen, bar.byBlue) == row.colour, strRow);
            QVERIFY2(bar.nPercent == row.nPercent, strRow);
            QVERIFY2(d.Core().m_aChannel[0].m_bCycleEnd == row.bCycleEnd, strRow);
            QVERIFY2(d.Core().m_aChannel[0].m_bDownloadDone == row.bDownloadDone, strRow);
            QVERIFY2(ChannelOf(d.Core(), 2) == row.nChannelOfB, strRow);
            QVERIFY2(d.StartEnabled() == row.bStart, strRow);
            QVERIFY2(PORT_TABLE_Find(CABLE) == 0, strRow);  // other devices' ports get no number
            // The port box is green exactly while its channel holds a port.
            const QColor box = d.PortBox(0)->palette().color(QPalette::Base);
            QVERIFY2(box == (row.nPort ? GREEN : QColor(222, 222, 222)), strRow);
            if (row.nChannelOfB > 0) {
                QVERIFY2(d.Bar(row.nChannelOfB).strText == " Ready - Detect COM2 Port", strRow);
                QVERIFY2(d.PortBox(row.nChannelOfB)->text() == "COM2", strRow);
                QVERIFY2(d.PortBox(row.nChannelOfB)->toolTip() == PHONE_B, strRow);
            }
        }
    }

    void APhoneWhoseCycleMetItsHangUpWasPulledMidDownload()
    {
        // Its tty hung up the moment it went; its worker saw that and ended before the removal
        // came.
        CVirtualClock clock;
        CClockScope scope(clock);
        SOURCED_DIALOG d;
        CPtyPair pty;
        QVERIFY(pty.IsOpen());
        d.pSource->Plug(pty.SlavePath(), "qcserial");
        ++d.dlg.Threads().m_dwStarted[0];
        SERIAL_DEVICE_CreateLock();
        QCOMPARE(SERIAL_DEVICE_SetPort(0, 1), 1);
        QCOMPARE(SERIAL_DEVICE_Open(0), 1);
        pty.CloseMaster();
        uint8_t aby[4] = {};
        QCOMPARE(SERIAL_DEVICE_Write(0, g_aSerial[0].g_hComPort, aby, 0, sizeof(aby)), -1);
        CVarnDLCore& core = d.Core();
        core.m_ctrlProgress[0].ShowStatus(0, core.m_csDisplay, " PDA Download Fail !!!", Error, 0, 0);
        d.pSource->Pull(pty.SlavePath());
        BAR_STATE bar = d.Bar(0);
        QCOMPARE(bar.strText, std::string(" ERROR!! Disconnected COM1 Port"));
        QCOMPARE(QColor(bar.byRed, bar.byGreen, bar.byBlue), RED);
        QCOMPARE(bar.nPercent, 100);
        QCOMPARE(core.m_aChannel[0].m_nComPort.load(), 0u);

        // Plugged in again, and out before any cycle: the old hang-up is not this phone's.
        d.pSource->Plug(pty.SlavePath(), "qcserial");
        d.pSource->Pull(pty.SlavePath());
        QCOMPARE(d.Bar(0).strText, std::string(" Disconnected..."));
        SERIAL_DEVICE_Close(0);
        SERIAL_DEVICE_SetPort(0, 0);
    }

    void WithoutAnImageAnArrivalDoesNotEnableStart()
    {
        SOURCED_DIALOG d;
        d.pSource->Plug(PHONE_A, "qcserial");
        QCOMPARE(d.Bar(0).strText, std::string(READY_A));
        QVERIFY(!d.StartEnabled());
    }

    void ANinthPhoneIsIgnoredButReleasesPassedChannels()
    {
        SOURCED_DIALOG d;
        for (int i = 0; i < 8; ++i) d.pSource->Plug("/dev/ttyUSB" + std::to_string(i), "qcserial");
        d.Core().m_aChannel[3].m_bDownloadDone = 1;
        d.Core().m_aChannel[3].m_bCycleEnd = 1;
        auto* pLog = d.dlg.findChild<QPlainTextEdit*>("1000");
        d.pSource->Plug("/dev/ttyUSB8", "qcserial");
        const uint32_t nNinth = PORT_TABLE_Find("/dev/ttyUSB8");
        QCOMPARE(nNinth, 9u);
        QCOMPARE(ChannelOf(d.Core(), nNinth), -1);
        QCOMPARE(pLog->toPlainText(), QString("Detect COM8 Port"));
        QCOMPARE(d.Core().m_aChannel[3].m_nComPort.load(), 0u);  // released by the arrival all the same
        // The same phone plugged in again finds the channel it freed.
        d.pSource->Pull("/dev/ttyUSB8");
        d.pSource->Plug("/dev/ttyUSB8", "qcserial");
        QCOMPARE(ChannelOf(d.Core(), nNinth), 3);
    }

    void PhonesPresentAtStartArriveInPortNumberOrder()
    {
        PORT_TABLE_Reset();
        CVarnDLDlg dlg;
        auto pSource = std::make_unique<CTestPortSource>();
        CTestPortSource* pTest = pSource.get();
        pSource->m_aPresent = {CTestPortSource::Tty("/dev/ttyUSB10", "qcserial"),
                               CTestPortSource::Tty("/dev/ttyS0", ""),
                               CTestPortSource::Tty("/dev/ttyUSB2", "qcserial"),
                               CTestPortSource::Tty("/dev/ttyACM0", "cdc_acm")};
        PORT_EVENT virt = CTestPortSource::Tty("/dev/pts/91", "");
        virt.nVirtualPort = 4;
        pSource->m_aPresent.insert(pSource->m_aPresent.begin(), virt);
        dlg.StartPortDiscovery(TEST_PORT_SOURCE_Only(std::move(pSource)));
        // Numbers: the virtual phone's own, then the lowest free in the order of the nodes.
        QCOMPARE(PORT_TABLE_Find("/dev/ttyUSB2"), 1u);
        QCOMPARE(PORT_TABLE_Find("/dev/ttyUSB10"), 2u);
        QCOMPARE(PORT_TABLE_Find("/dev/ttyACM0"), 0u);
        // Announced by number: each took the lowest free channel in turn.
        const uint32_t anExpected[] = {1, 2, 4, 0};
        for (int i = 0; i < 4; ++i) QCOMPARE(dlg.Core().m_aChannel[i].m_nComPort.load(), anExpected[i]);
        // The source telling a present port once more (its event was on its way) changes nothing.
        CVarnDLCore& core = dlg.Core();
        core.m_ctrlProgress[1].ShowText(core.m_csDisplay, " Download Start !!!", 0);
        pTest->Plug("/dev/ttyUSB10", "qcserial");
        QCOMPARE(core.m_ctrlProgress[1].GetState().strText, std::string(" Download Start !!!"));
        PORT_TABLE_Reset();
    }

    void VirtualDirectoryTakesOnlyLinksToPseudoTerminals()
    {
        PORT_TABLE_Reset();
        CScratchDir dir;
        const std::string strDir = dir.Path() + "/ports";
        CPtyPair pty1, pty2;
        QVERIFY(pty1.IsOpen() && pty2.IsOpen());
        QVERIFY(::mkdir(strDir.c_str(), 0755) == 0);
        auto link = [&](const std::string& strTarget, const std::string& strName) {
            return ::symlink(strTarget.c_str(), (strDir + "/" + strName).c_str()) == 0;
        };
        QVERIFY(link(pty1.SlavePath(), "COM3"));  // there before the station
        CVarnDLDlg dlg;
        CVarnDLCore& core = dlg.Core();
        dlg.StartPortDiscovery(TEST_PORT_SOURCE_Only(std::make_unique<CVirtualPortSource>(strDir, SOCKET_WATCH_Make)));
        QCOMPARE(core.m_aChannel[0].m_nComPort.load(), 3u);

        // Bad entries, then a good one: once it has arrived, the bad ones have been looked at.
        QVERIFY(link(strDir + "/gone", "COM4"));
        std::fclose(std::fopen((strDir + "/COM5").c_str(), "w"));
        QVERIFY(link(pty2.SlavePath(), "COM06"));
        QVERIFY(link(pty2.SlavePath(), "COMx"));
        QVERIFY(link("/dev/null", "COM7"));
        QVERIFY(link(pty1.SlavePath(), "COM9"));  // the pseudo-terminal COM3 has already
        QVERIFY(link(pty2.SlavePath(), "COM8"));
        QTRY_COMPARE_WITH_TIMEOUT(core.m_aChannel[1].m_nComPort.load(), 8u, 5000);
        for (int i = 2; i < MAX_CHANNEL; ++i) QCOMPARE(core.m_aChannel[i].m_nComPort.load(), 0u);

        // Gone: a removal. Pointed at another terminal: the old port goes, the new one comes.
        QVERIFY(::unlink((strDir + "/COM3").c_str()) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(core.m_ctrlProgress[0].GetState().strText, std::string(" Disconnected..."), 5000);
        QCOMPARE(core.m_aChannel[0].m_nComPort.load(), 0u);
        QVERIFY(link(pty1.SlavePath(), "COM8.new"));
        QVERIFY(::rename((strDir + "/COM8.new").c_str(), (strDir + "/COM8").c_str()) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(core.m_aChannel[0].m_nComPort.load(), 8u, 5000);
        QCOMPARE(core.m_aChannel[1].m_nComPort.load(), 0u);
        QCOMPARE(dlg.findChild<QLineEdit*>("1040")->toolTip(), QString::fromStdString(pty1.SlavePath()));

        // The directory itself goes away: so do its phones.
        QVERIFY(::rename(strDir.c_str(), (strDir + "-old").c_str()) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(core.m_aChannel[0].m_nComPort.load(), 0u, 5000);
        PORT_TABLE_Reset();
    }

    void AutoStartIsOffByDefaultAndOnePressStartsPhonesOfOneMoment()
    {
        CDialogStation st(2);
        st.SelectImages();
        st.m_pDlg->findChild<QCheckBox*>("1058")->click();  // Hidden is never ticked for us
        auto pOwned = std::make_unique<CTestPortSource>();
        CTestPortSource* pSource = pOwned.get();
        st.m_pDlg->StartPortDiscovery(TEST_PORT_SOURCE_Only(std::move(pOwned)));
        CVarnDLCore& core = st.m_pDlg->Core();
        QVERIFY(!st.m_pDlg->AutoStart());
        for (auto& pPhone : st.m_apPhone) pSource->Plug(pPhone->SlavePath(), "qcserial");
        QCoreApplication::processEvents();
        QVERIFY(st.m_pDlg->findChild<QPushButton*>("1")->isEnabled());
        QCOMPARE(core.m_aChannel[0].m_bThreadStart.load() + core.m_aChannel[1].m_bThreadStart.load(), 0u);
        QCOMPARE(st.m_apPhone[0]->RequestCount(), size_t(0));

        for (auto& pPhone : st.m_apPhone) pSource->Pull(pPhone->SlavePath());
        st.m_pDlg->SetAutoStart(true);
        for (auto& pPhone : st.m_apPhone) pSource->Plug(pPhone->SlavePath(), "qcserial");
        // The press comes from the event loop; its run ends when both phones have passed.
        QTRY_VERIFY_WITH_TIMEOUT(st.Passed(0) && st.Passed(1), 60000);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(QString::fromStdString(st.Verify(i)), QString());
            // The phone counts its lock once its answer has left the line, which the station's
            // clock does not wait for.
            QVERIFY(st.m_apPhone[i]->WaitLockCount(1, 5000));
            QCOMPARE(st.m_apPhone[i]->LockCount(), 1u);  // one run: each phone flashed once
        }
    }

    void AutoStartNeverPressesPastAModalWindow()
    {
        CDialogStation st(1);
        st.SelectImages();
        st.m_pDlg->findChild<QCheckBox*>("1058")->click();  // Hidden is never ticked for us
        auto pOwned = std::make_unique<CTestPortSource>();
        CTestPortSource* pSource = pOwned.get();
        st.m_pDlg->StartPortDiscovery(TEST_PORT_SOURCE_Only(std::move(pOwned)));
        SETTINGS_Get().m_byAutoStart = 1;
        CMessageBox box(nullptr, "Question", "A worker asks", CMessageBox::MB_YESNO);
        box.setWindowModality(Qt::ApplicationModal);
        box.show();
        pSource->Plug(st.m_apPhone[0]->SlavePath(), "qcserial");
        QCoreApplication::processEvents();
        QCOMPARE(st.m_pDlg->Core().m_aChannel[0].m_bThreadStart.load(), 0u);
        QCOMPARE(st.m_apPhone[0]->RequestCount(), size_t(0));
        box.done(IDNO);  // answered: now the press goes through
        QTRY_VERIFY_WITH_TIMEOUT(st.Passed(0), 60000);
        QCOMPARE(QString::fromStdString(st.Verify(0)), QString());
    }

    void AutoStartIsAStationSettingAndACommandLineOption()
    {
        QT_AnswerNextModal([](QWidget* pModal) {
            pModal->findChild<QCheckBox*>("1074")->click();
            QT_ClickButton(pModal, "1");
        });
        CNullSettingsStore store;
        QVERIFY(SETTINGS_EditOptions(nullptr, store));
        QCOMPARE(SETTINGS_Get().m_byAutoStart, uint8_t(1));
        CVarnDLDlg dlg;
        QVERIFY(dlg.AutoStart());
        // The box shows the stored value next time.
        QT_AnswerNextModal([](QWidget* pModal) {
            QVERIFY(pModal->findChild<QCheckBox*>("1074")->isChecked());
            QT_ClickButton(pModal, "2");
        });
        QVERIFY(!SETTINGS_EditOptions(nullptr, store));

        const char* aszArgs[] = {"quillon-downloader", "--auto-start"};
        VARNDL_OPTIONS opt;
        QVERIFY(VARNDL_ParseArgs(2, const_cast<char**>(aszArgs), opt));
        QVERIFY(opt.bAutoStart);
    }
};

QTEST_MAIN(PortDiscovery)
#include "port_discovery_test.moc"
