// The real dialog on virtual phones: Start flashes every phone with its images and returns at
// once, a Start during the run adds to it; Cancel in the middle of a run asks first, then ends
// within its bound and never costs a phone its EFS2; a worker's question is answered No and its
// box goes away once the channel is stopped; path boxes read what workers write under its lock.

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>

#include "console/dialog_view.h"
#include "images/image_select.h"
#include "link/port_table.h"
#include "protocol/commands.h"
#include "settings/message_box.h"
#include "sim/image_builder.h"
#include "support/qt/dialog_station.h"

namespace {

constexpr uint32_t EFS_LENGTH = 0x10000;

bool Received(CVirtualPhone& phone, uint8_t byOpcode, uint32_t dwParam, uint32_t dwLength)
{
    for (const REQUEST_RECORD& r : phone.Requests())
        if (r.byOpcode == byOpcode && r.dwParam == dwParam && r.dwLength == dwLength) return true;
    return false;
}

// Phone 0 holds a partition table unlike the images' and an EFS2 of its own.
std::vector<uint8_t> PrepareRepartition(CDialogStation& st, uint32_t dwReplyLatencyUs)
{
    PHONE_CONFIG cfg;
    cfg.abyPartitionTable.assign(2048, 0x5A);
    cfg.dwEfsStart = st.m_Images.aFlash[REGION_EFS2].StartAddr;
    cfg.dwEfsLength = EFS_LENGTH;
    cfg.dwReplyLatencyUs = dwReplyLatencyUs;
    st.m_apPhone[0]->SetConfig(cfg);
    std::vector<uint8_t> abyEfs(EFS_LENGTH);
    for (uint32_t i = 0; i < EFS_LENGTH; ++i) abyEfs[i] = IMAGE_BUILDER_SeededByte(77, i);
    st.m_apPhone[0]->PreloadFlash(cfg.dwEfsStart, abyEfs);
    return abyEfs;
}

}  // namespace

class ConsoleRun : public QObject {
    Q_OBJECT
private slots:
    void StartFlashesEveryPhoneWithItsImages()
    {
        CDialogStation st(8);
        st.SelectImages();
        st.m_pDlg->findChild<QCheckBox*>("1058")->click();  // Hidden is never ticked for us
        QVERIFY(!st.m_pDlg->findChild<QPushButton*>("1")->isEnabled());  // no phone yet
        st.PlugAll();
        auto* pStart = st.m_pDlg->findChild<QPushButton*>("1");
        QVERIFY(pStart->isEnabled());
        pStart->click();
        QVERIFY(st.m_pDlg->RunGoing());  // watched from the event loop, not inside the click
        QTRY_VERIFY_WITH_TIMEOUT(!st.m_pDlg->RunGoing(), 60000);
        for (int i = 0; i < 8; ++i) {
            QTRY_VERIFY_WITH_TIMEOUT(st.Passed(i), 20000);
            QVERIFY2(st.BarText(i).rfind(" Download PASS.", 0) == 0, st.BarText(i).c_str());
            QCOMPARE(QString::fromStdString(st.Verify(i)), QString());
        }
        // Selection comes back when the run returns.
        QVERIFY(st.m_pDlg->findChild<QWidget*>("1069")->isEnabled());
    }

    void StartDuringARunStartsTheNewPhoneToo()
    {
        PHONE_CONFIG slow;
        slow.dwReplyLatencyUs = 3000;
        CDialogStation st(2, IMAGE_SET_SIZES{}, slow);
        st.SelectImages();
        st.m_pDlg->findChild<QCheckBox*>("1058")->click();
        const std::string strNode0 = st.m_apPhone[0]->SlavePath(), strNode1 = st.m_apPhone[1]->SlavePath();
        st.m_pDlg->PortArrived(PORT_TABLE_Assign(strNode0), strNode0);
        auto* pStart = st.m_pDlg->findChild<QPushButton*>("1");
        bool bSelectionOff = false, bAdded = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (st.m_apPhone[0]->RequestCount() < 20) return;
            poll.stop();
            bSelectionOff = !st.m_pDlg->findChild<QWidget*>("1069")->isEnabled() &&
                            !st.m_pDlg->findChild<QWidget*>("1032")->isEnabled();
            // The second phone arrives mid-run and Start is pressed again: its channel joins the
            // run going, which the press leaves at once.
            st.m_pDlg->PortArrived(PORT_TABLE_Assign(strNode1), strNode1);
            QVERIFY(pStart->isEnabled());
            pStart->click();
            bAdded = st.m_pDlg->RunGoing() && st.m_pDlg->Core().m_aChannel[1].m_bThreadStart;
        });
        poll.start(5);
        pStart->click();
        QTRY_VERIFY_WITH_TIMEOUT(bAdded, 30000);
        QVERIFY(bSelectionOff);
        QTRY_VERIFY_WITH_TIMEOUT(!st.m_pDlg->RunGoing(), 60000);
        for (int i = 0; i < 2; ++i) {
            QTRY_VERIFY_WITH_TIMEOUT(st.Passed(i), 30000);
            QCOMPARE(QString::fromStdString(st.Verify(i)), QString());
        }
    }

    void CancelMidRunEndsInTimeAndKeepsEfs()
    {
        CDialogStation st(3);
        const std::vector<uint8_t> abyEfs = PrepareRepartition(st, 200000);
        const uint32_t dwEfsStart = st.m_Images.aFlash[REGION_EFS2].StartAddr;
        const uint32_t dwPdaStart = st.m_Images.aFlash[REGION_PDA].StartAddr;
        st.SelectImages();
        st.PlugAll();
        QT_AnswerNextModal([](QWidget* pBox) { QT_ClickButton(pBox, "Yes"); });
        // Cancel lands while phone 0 has nothing but the copy of its EFS2 in its PDA area; the
        // operator is asked first, says No (the run goes on), then Cancel again and Yes.
        qint64 nCancelMs = -1;
        QString strAsked, strExpected;
        bool bWentOn = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (!Received(*st.m_apPhone[0], CMD_ERASE_FOR_WRITE, 0, dwPdaStart)) return;
            poll.stop();
            strExpected = QString("Stop %1 phones that are downloading?").arg(st.m_pDlg->DownloadingCount());
            auto* pCancel = st.m_pDlg->findChild<QPushButton*>("2");
            pCancel->click();
            QT_ClickButton(st.m_pDlg->findChild<CMessageBox*>("confirmCancel"), "No");
            bWentOn = !st.m_pDlg->Core().m_bQuit && st.m_pDlg->Core().m_aChannel[0].m_bRun;
            pCancel->click();
            auto* pAsk = st.m_pDlg->findChild<CMessageBox*>("confirmCancel");
            strAsked = pAsk->Text();
            const auto tCancel = std::chrono::steady_clock::now();
            QT_ClickButton(pAsk, "Yes");
            nCancelMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - tCancel).count();
        });
        poll.start(5);
        st.m_pDlg->findChild<QPushButton*>("1")->click();
        QTRY_VERIFY_WITH_TIMEOUT(nCancelMs >= 0, 30000);
        QVERIFY(bWentOn);
        QCOMPARE(strAsked, strExpected);
        QVERIFY2(nCancelMs < VARNDL_CANCEL_BOUND_MS + 5000, QByteArray::number(nCancelMs));
        QVERIFY(st.m_pDlg->AllWorkersJoined());
        QVERIFY(!st.m_pDlg->isVisible());
        QVERIFY(st.m_apPhone[0]->ReadFlash(dwEfsStart, EFS_LENGTH) == abyEfs);
        // The write-back was the last thing phone 0 was sent, and it did not pass.
        QCOMPARE(int(st.m_apPhone[0]->Requests().back().byOpcode), int(CMD_EFS_RESTORE));
        QVERIFY(!st.Passed(0));
    }

    void PathBoxesReadThePathsUnderTheWorkersLock()
    {
        CVarnDLDlg dlg;
        CVarnDLCore& core = dlg.Core();
        auto* pUnified = dlg.findChild<QLineEdit*>("1039");
        // A worker names the missing images in their fields (a partition change without the
        // whole image set) while the operator leaves a path box.
        std::thread worker([&] {
            for (int n = 0; n < 2000; ++n) {
                std::lock_guard<std::mutex> lock(core.m_csTicks);
                IMAGE_Path(core, IMAGE_UNIFIED) = n % 2 ? "Unified Image only" : "Please open Unified Image File";
            }
        });
        QFocusEvent out(QEvent::FocusOut);
        for (int n = 0; n < 2000; ++n) QCoreApplication::sendEvent(pUnified, &out);
        worker.join();
    }

    void StoppedWorkerQuestionIsAnsweredNoAndItsBoxCloses()
    {
        CDialogStation st(1);
        PrepareRepartition(st, 0);
        st.SelectImages();
        st.PlugAll();
        // The partition prompt stays unanswered; Cancel comes instead, and while it asks, a
        // SIGTERM, which asks nothing and takes the question away.
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (st.m_pDlg->View().OpenQuestions() == 0) return;
            poll.stop();
            st.m_pDlg->findChild<QPushButton*>("2")->click();
            st.m_pDlg->OnCancel(STOP_REASON{STOP_SIGNAL, SIGTERM});
        });
        poll.start(5);
        st.m_pDlg->findChild<QPushButton*>("1")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!st.m_pDlg->isVisible(), 20000);
        QVERIFY(st.m_pDlg->AllWorkersJoined());
        QTRY_COMPARE(st.m_pDlg->View().OpenQuestions(), 0);
        QTRY_VERIFY(!st.m_pDlg->findChild<CMessageBox*>("confirmCancel"));
        QVERIFY(!QApplication::activeModalWidget());
        // Answered No: nothing was erased.
        for (const REQUEST_RECORD& r : st.m_apPhone[0]->Requests())
            QVERIFY(r.byOpcode != CMD_ERASE_FOR_WRITE && r.byOpcode != CMD_EFS_BACKUP);
    }
};

QTEST_MAIN(ConsoleRun)
#include "console_threaded_test.moc"
