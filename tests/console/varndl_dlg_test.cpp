// The main dialog without phones: its state after start, the three layouts and their heights, the
// tick rules, the keyboard filter, path boxes, the log box, a reboot wait as the bar and the port
// box show it, dropped and refused files, the About entry and the command line.

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "console/text_progress_ctrl.h"
#include "console/varndl_app.h"
#include "images/model_table.h"
#include "settings/settings.h"
#include "station/clock.h"
#include "station/log.h"
#include "station/status.h"
#include "support/qt/dialog_station.h"

namespace {

QCheckBox* Box(QWidget* pDlg, int nId) { return pDlg->findChild<QCheckBox*>(QString::number(nId)); }
QWidget* Ctl(QWidget* pDlg, int nId) { return pDlg->findChild<QWidget*>(QString::number(nId)); }
QString PathText(QWidget* pDlg, int nId) { return pDlg->findChild<QLineEdit*>(QString::number(nId))->text(); }

// The image buttons' file dialog answers with a path of the test's choice.
class CChoosingDlg : public CVarnDLDlg {
public:
    bool AskOpenFile(const std::string& strFilter, const std::string&, std::string& strChosen) override
    {
        m_strFilter = strFilter;
        strChosen = m_strAnswer;
        return !m_strAnswer.empty();
    }
    std::string m_strAnswer, m_strFilter;
};

}  // namespace

class VarnDLDlg : public QObject {
    Q_OBJECT
private slots:
    void init() { SETTINGS_Reset(); }

    void StartsWithModel4AndNothingToStart()
    {
        CVarnDLDlg dlg;
        QCOMPARE(dlg.windowTitle(), QString("Quillon (Rode) Downloader Series Version 9.4 "));
        auto* pModel = dlg.findChild<QComboBox*>("1069");
        QCOMPARE(pModel->currentText(), QString("TR-650"));
        // Usable before the first run, so that a TR-640 line flashes by TR-640's rules from the
        // first phone on.
        QVERIFY(pModel->isEnabled());
        pModel->setCurrentIndex(3);
        emit pModel->activated(3);
        QCOMPARE(dlg.Core().m_nModel, 3);
        QVERIFY(Ctl(&dlg, 1062)->isHidden());
        pModel->setCurrentIndex(4);
        emit pModel->activated(4);
        QVERIFY(!Ctl(&dlg, 1)->isEnabled());
        QVERIFY(!Ctl(&dlg, 1062)->isEnabled());
        QCOMPARE(dlg.findChild<QLabel*>("1063")->text(), QString(" "));
        QVERIFY(Box(&dlg, 1064)->isChecked());
        for (int nId : {1038, 1039, 1056}) QVERIFY(!Ctl(&dlg, nId)->isEnabled());
        QCOMPARE(PathText(&dlg, 1039), QString("Unified Image only"));
        for (int i = 0; i < 8; ++i) QCOMPARE(PathText(&dlg, 1040 + i), QString("NONE"));

        // A phone on a port: its box turns green with black text, its bar greets it in dark
        // blue; without a Phone image Start stays off.
        dlg.PortArrived(7, "/dev/ttyUSB3");
        auto* pBox = dlg.findChild<QLineEdit*>("1040");
        QCOMPARE(pBox->text(), QString("COM7"));
        QCOMPARE(pBox->toolTip(), QString("/dev/ttyUSB3"));
        QCOMPARE(pBox->palette().color(QPalette::Base), QColor(0, 255, 0));
        QCOMPARE(pBox->palette().color(QPalette::Text), QColor(Qt::black));
        const BAR_STATE bar = dlg.Core().m_ctrlProgress[0].GetState();
        QCOMPARE(QString::fromStdString(bar.strText), QString(" Ready - Detect COM7 Port"));
        QCOMPARE(QColor(bar.byRed, bar.byGreen, bar.byBlue), QColor(0, 0, 200));
        QVERIFY(!Ctl(&dlg, 1)->isEnabled());
        auto* pIdle = dlg.findChild<QLineEdit*>("1041");
        QCOMPARE(pIdle->palette().color(QPalette::Base), QColor(222, 222, 222));
        QCOMPARE(pIdle->palette().color(QPalette::Text), QColor(Qt::white));
        // It goes away before any run: the channel is free again.
        dlg.PortRemoved(7);
        QCOMPARE(pBox->text(), QString("NONE"));
        QCOMPARE(dlg.Core().m_aChannel[0].m_nComPort.load(), 0u);
        QCOMPARE(pBox->palette().color(QPalette::Base), QColor(222, 222, 222));

        // Cancel with nothing downloading asks nothing.
        dlg.show();
        static_cast<QPushButton*>(Ctl(&dlg, 2))->click();
        QVERIFY(!dlg.isVisible());
        QVERIFY(!dlg.findChild<QWidget*>("confirmCancel"));
    }

    void TheDesignedHeightIsTheOuterOneFromTheFirstShow()
    {
        // A window manager's frame, known once the window is shown and decorated. The events
        // are sent by hand: a shown window's size limits cannot change offscreen without a warning.
        struct CFramedDlg : CVarnDLDlg {
            int m_nFrame = 0;
            int FrameHeight() const override { return m_nFrame; }
        } dlg;
        QCOMPARE(dlg.height(), 550);
        dlg.m_nFrame = 30;
        QShowEvent show;
        QCoreApplication::sendEvent(&dlg, &show);
        QCOMPARE(dlg.height() + 30, 550);
        dlg.m_nFrame = 24;  // decorated after the show: a move tells
        QMoveEvent move(QPoint(10, 34), QPoint(10, 10));
        QCoreApplication::sendEvent(&dlg, &move);
        QCOMPARE(dlg.height() + 24, 550);
        for (int m : {0, 3, 1, 4}) {
            dlg.SelectModel(m);
            QCOMPARE(dlg.height() + 24, MODEL_Get(m).eLayout == LAYOUT_COMPACT ? 400 : 550);
            QVERIFY(Ctl(&dlg, 1073)->geometry().bottom() < dlg.height());
        }
    }

    void TheLogBoxShowsALongLineWholeAndItsEnd()
    {
        CVarnDLDlg dlg;
        dlg.show();
        auto* pLog = dlg.findChild<QPlainTextEdit*>("1000");
        QVERIFY(pLog->isReadOnly());
        QCOMPARE(pLog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        // Two lines at least: a path that wraps once is seen whole.
        QVERIFY(pLog->viewport()->height() >= 2 * pLog->fontMetrics().lineSpacing());
        const std::string strLong = "udev is not running here: " + std::string(300, 'x') + " the end";
        WriteLog(&dlg.Core(), -1, dlg.Core().m_csDisplay, "%s\r\n", strLong.c_str());
        QCOMPARE(pLog->toPlainText(), QString::fromStdString(strLong));
        QScrollBar* pBar = pLog->verticalScrollBar();
        QVERIFY(pBar->maximum() > 0);
        QCOMPARE(pBar->value(), pBar->maximum());
        WriteLog(&dlg.Core(), -1, dlg.Core().m_csDisplay, "Detect COM3 Port\r\n");
        QCOMPARE(pLog->toPlainText(), QString("Detect COM3 Port"));
        QCOMPARE(pBar->maximum(), 0);
    }

    void TheRebootWaitCountsDownOnTheBar()
    {
        CVirtualClock clock;
        CClockScope scope(clock);
        CVarnDLDlg dlg;
        CVarnDLCore& core = dlg.Core();
        dlg.PortArrived(3, "/dev/ttyUSB0");
        // The channel as its worker leaves it at the lock: the last region's blue, the reboot
        // text, the model's wait; then the phone reboots and its port goes.
        core.m_aChannel[0].m_bThreadStart = 1;
        core.m_ctrlProgress[0].ShowStatus(0, core.m_csDisplay, nullptr, PdaFlashing, 100, 0);
        core.m_ctrlProgress[0].ShowText(core.m_csDisplay, "   Varn Reboot", 0);
        core.m_aChannel[0].m_bRebootWait = 1;
        core.m_aChannel[0].m_bDownloadDone = 1;
        core.m_ctrlProgress[0].ShowWait(core.m_csDisplay, clock.GetTickCount(), 120000);
        auto* pBox = dlg.findChild<QLineEdit*>("1040");
        QCOMPARE(pBox->text(), QString("COM3"));
        QCOMPARE(pBox->palette().color(QPalette::Base), QColor(222, 222, 222));  // closed, still there
        dlg.PortRemoved(3);
        QCOMPARE(pBox->text(), QString("COM3"));
        QCOMPARE(pBox->palette().color(QPalette::Text), QColor(Qt::white));

        // The seconds left round up, the fill is the time gone, the blue stays.
        auto shownAfter = [&](uint32_t dwMs) {
            clock.Advance(dwMs);
            std::string strText;
            int nPercent;
            uint8_t r, g, b;
            dlg.findChild<CTextProgressCtrl*>("1011")->Shown(strText, nPercent, r, g, b);
            return QString("%1|%2|%3").arg(QString::fromStdString(strText)).arg(nPercent).arg(QColor(r, g, b).name());
        };
        QCOMPARE(shownAfter(33000), QString("   Varn Reboot  87 s|27|#0000ff"));
        QCOMPARE(shownAfter(86500), QString("   Varn Reboot  1 s|99|#0000ff"));
        QCOMPARE(shownAfter(9000), QString("   Varn Reboot  0 s|100|#0000ff"));
    }

    void EachModelHasItsLayout()
    {
        CVarnDLDlg dlg;
        for (int m = 0; m < MODEL_COUNT; ++m) {
            dlg.SelectModel(m);
            const ModelLayout eLayout = MODEL_Get(m).eLayout;
            QCOMPARE(dlg.height(), eLayout == LAYOUT_COMPACT ? 400 : 550);
            // Hidden is asked of the widget itself: the dialog is never shown here.
            QCOMPARE(!Ctl(&dlg, 1054)->isHidden(), eLayout != LAYOUT_COMPACT);
            QCOMPARE(!Ctl(&dlg, 1055)->isHidden(), eLayout != LAYOUT_COMPACT);
            QCOMPARE(!Ctl(&dlg, 1057)->isHidden(), eLayout != LAYOUT_COMPACT);
            QCOMPARE(!Ctl(&dlg, 1062)->isHidden(), eLayout == LAYOUT_FULL_MULTICSC);
            QCOMPARE(!Ctl(&dlg, 1064)->isHidden(), eLayout == LAYOUT_FULL_MULTICSC);
            // Rows from top to bottom, and the lower block below the last visible row.
            int nLastY = 0;
            for (int nId : {1031, 1026, 1029, 1054, 1062, 1055, 1039}) {
                if (Ctl(&dlg, nId)->isHidden()) continue;
                QVERIFY(Ctl(&dlg, nId)->y() > nLastY);
                nLastY = Ctl(&dlg, nId)->y();
            }
            const QRect group = Ctl(&dlg, 1070)->geometry();
            QVERIFY(group.bottom() > nLastY);
            QVERIFY(Ctl(&dlg, 1071)->y() > group.bottom());
            QVERIFY(Ctl(&dlg, 1073)->geometry().bottom() < dlg.height());
        }
    }

    void TickRules()
    {
        CScratchDir dir;
        IMAGE_SET_SIZES sizes;
        IMAGE_SET set;
        QVERIFY(IMAGE_BUILDER_WriteStandardSet(dir.Path(), 3, sizes, &set, nullptr));
        CVarnDLDlg dlg;
        QVERIFY(dlg.SelectImageFile(IMAGE_PHONE, set.strPhone));
        QVERIFY(dlg.SelectImageFile(IMAGE_PDA, set.strPda));
        // The button path ticks what it selected.
        QVERIFY(Box(&dlg, 1020)->isChecked() && Box(&dlg, 1021)->isChecked() && Box(&dlg, 1023)->isChecked());

        Box(&dlg, 1021)->click();  // Phone off
        QVERIFY(!Box(&dlg, 1021)->isChecked());
        QVERIFY(Box(&dlg, 1020)->isChecked() && Box(&dlg, 1023)->isChecked());
        QCOMPARE(dlg.Core().m_aModelTicks[4].dwPhone, 0u);

        // "Select/Deselect All" with Phone and PDA, no Eboot. Its box is usable only with all
        // three, so the handler runs as a click would.
        Box(&dlg, 1061)->setEnabled(true);
        Box(&dlg, 1061)->click();
        QVERIFY(Box(&dlg, 1020)->isChecked() && Box(&dlg, 1021)->isChecked() && Box(&dlg, 1023)->isChecked());
        QVERIFY(!Box(&dlg, 1022)->isChecked());
        QVERIFY(!Box(&dlg, 1024)->isChecked());
        QVERIFY(dlg.Core().m_CurrentTicks.bPhone);

        // "EFS Clear": Cancel, a wrong password, then the right one.
        const struct {
            const char* szWhy;
            QString strTyped;  // empty: Cancel
            bool bTicked;
            QString strMessage;
        } aCase[] = {{"cancel", "", false, ""},
                     {"trailing blank", "4778 ", false, "  Invalid Password"},
                     {"right", "4778", true, ""}};
        for (const auto& c : aCase) {
            auto ppMessage = std::make_shared<std::shared_ptr<QString>>();
            QT_AnswerNextModal([&c, ppMessage](QWidget* pPw) {
                if (c.strTyped.isEmpty()) return QT_ClickButton(pPw, "2");
                pPw->findChild<QLineEdit*>("1068")->setText(c.strTyped);
                if (!c.bTicked) *ppMessage = QT_AnswerNextModal([](QWidget* p) { QT_ClickButton(p, "1"); });
                QT_ClickButton(pPw, "1");
            });
            Box(&dlg, 1024)->click();
            QVERIFY2(Box(&dlg, 1024)->isChecked() == c.bTicked, c.szWhy);
            QVERIFY2(dlg.Core().m_aModelTicks[4].dwEfs == (c.bTicked ? 1u : 0u), c.szWhy);
            QCOMPARE(*ppMessage ? **ppMessage : QString(), c.strMessage);
        }
    }

    void ImageButtonsChooseAndTick()
    {
        CScratchDir dir;
        IMAGE_SET set;
        QVERIFY(IMAGE_BUILDER_WriteStandardSet(dir.Path(), 9, IMAGE_SET_SIZES{}, &set, nullptr));
        CChoosingDlg dlg;
        dlg.m_strAnswer = set.strPhone;
        static_cast<QPushButton*>(Ctl(&dlg, 1032))->click();
        QCOMPARE(dlg.m_strFilter, std::string("Phone Image (*.bin)|*.bin|All Files(*.*)|*.*|"));
        QCOMPARE(PathText(&dlg, 1031), QString::fromStdString(set.strPhone));
        QVERIFY(Box(&dlg, 1020)->isChecked() && Box(&dlg, 1021)->isChecked());
        QVERIFY(Ctl(&dlg, 1027)->isEnabled());  // the other rows open with a Phone image

        // A path too long to be stored: told, and nothing changes.
        dlg.m_strAnswer = dir.Path() + "/" + std::string(250, 'e') + ".eb0";
        auto pText = QT_AnswerNextModal([](QWidget* p) { QT_ClickButton(p, "1"); });
        static_cast<QPushButton*>(Ctl(&dlg, 1027))->click();
        QCOMPARE(*pText, QString(VARNDL_PATH_TOO_LONG_TEXT));
        QCOMPARE(PathText(&dlg, 1026), QString());
        QVERIFY(!Box(&dlg, 1022)->isChecked());
        // Cancel in the file dialog keeps the path.
        dlg.m_strAnswer.clear();
        static_cast<QPushButton*>(Ctl(&dlg, 1032))->click();
        QCOMPARE(PathText(&dlg, 1031), QString::fromStdString(set.strPhone));
    }

    void EnterEscapeAndArrowKeys()
    {
        CVarnDLDlg dlg;
        QSignalSpy finished(&dlg, &QDialog::finished);
        const QPoint ptGroup = Ctl(&dlg, 1072)->pos();
        Ctl(&dlg, 1)->setEnabled(true);
        QSignalSpy started(static_cast<QPushButton*>(Ctl(&dlg, 1)), &QPushButton::clicked);
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape, Qt::Key_Tab}) {
            QTest::keyClick(&dlg, key);
            QTest::keyClick(Ctl(&dlg, 1), key);
        }
        QCOMPARE(finished.count(), 0);
        QCOMPARE(started.count(), 0);
        QCOMPARE(Ctl(&dlg, 1072)->pos(), ptGroup);
        // The arrows move the "Download Mode" frame a pixel from (2, 120).
        QTest::keyClick(&dlg, Qt::Key_Right);
        QTest::keyClick(&dlg, Qt::Key_Down);
        QTest::keyClick(&dlg, Qt::Key_Down);
        QCOMPARE(Ctl(&dlg, 1072)->pos(), QPoint(3, 122));
    }

    void PathBoxesOnlyShowThePath()
    {
        CVarnDLDlg dlg;
        auto* pEdit = dlg.findChild<QLineEdit*>("1031");
        pEdit->setText("/typed/by/hand.bin");
        QFocusEvent out(QEvent::FocusOut);
        QCoreApplication::sendEvent(pEdit, &out);
        QCOMPARE(pEdit->text(), QString());
        QCOMPARE(dlg.Core().m_strPhonePath, std::string());
    }

    void BadImagesAreRefusedWithoutBlocking()
    {
        CScratchDir dir;
        IMAGE_SET set;
        QVERIFY(IMAGE_BUILDER_WriteStandardSet(dir.Path(), 5, IMAGE_SET_SIZES{}, &set, nullptr));
        const std::string strFifo = dir.Path() + "/fifo.bin";
        QCOMPARE(::mkfifo(strFifo.c_str(), 0600), 0);
        const std::string strMissing = dir.Path() + "/gone.bin";
        // A "container" whose header promises entries it does not have.
        const std::string strBadMulti = dir.Path() + "/bad.csc";
        {
            std::ifstream in(set.strCsc, std::ios::binary);
            std::vector<char> aby((std::istreambuf_iterator<char>(in)), {});
            const uint32_t awHead[] = {0xAAAAAAAA};
            std::memcpy(aby.data(), awHead, 4);
            const uint32_t dwCount = 5000, dwEnd = 0xBBBBBBBB;
            std::memcpy(aby.data() + 36, &dwCount, 4);
            std::memcpy(aby.data() + 124, &dwEnd, 4);
            std::ofstream(strBadMulti, std::ios::binary).write(aby.data(), std::streamsize(aby.size()));
        }
        CVarnDLDlg dlg;
        QVERIFY(dlg.SelectImageFile(IMAGE_PHONE, set.strPhone));
        for (const std::string& strPath : {strFifo, strMissing}) {
            QVERIFY(!dlg.SelectImageFile(IMAGE_PHONE, strPath));
            QCOMPARE(PathText(&dlg, 1031), QString("This File is not a Phone Image File!!"));
        }
        auto pRefusal = QT_AnswerNextModal([](QWidget* p) { QT_ClickButton(p, "1"); });
        QVERIFY(!dlg.SelectImageFile(IMAGE_CSC, strBadMulti));
        QVERIFY(pRefusal->startsWith("Multi CSC file refused"));
        QCOMPARE(PathText(&dlg, 1054), QString("This File is not a CSC Image File!!"));
        QCOMPARE(dlg.findChild<QComboBox*>("1062")->count(), 0);

        // A path the stored selection cannot hold is refused with a message.
        const std::string strLong = dir.Path() + "/" + std::string(260, 'x') + ".bin";
        auto pText = QT_AnswerNextModal([](QWidget* p) { QT_ClickButton(p, "1"); });
        QVERIFY(!dlg.SelectImageFile(IMAGE_PDA, strLong));
        QCOMPARE(*pText, QString(VARNDL_PATH_TOO_LONG_TEXT));
    }

    void DropsGoByExtensionAndNotDuringARun()
    {
        CScratchDir dir;
        IMAGE_SET set;
        QVERIFY(IMAGE_BUILDER_WriteStandardSet(dir.Path(), 7, IMAGE_SET_SIZES{}, &set, nullptr));
        CVarnDLDlg dlg;
        auto pText = QT_AnswerNextModal([](QWidget* p) { QT_ClickButton(p, "1"); });
        dlg.DropFiles({set.strPhone, dir.Path() + "/notes.txt"});
        QCOMPARE(*pText, QString("Wrong file format : Specify the image file!!!"));
        QCOMPARE(PathText(&dlg, 1031), QString::fromStdString(set.strPhone));
        QCOMPARE(dlg.Core().m_bPhoneImage, 1u);

        dlg.Core().m_aChannel[3].m_bThreadStart = 1;  // a worker is busy
        pText = QT_AnswerNextModal([](QWidget* p) { QT_ClickButton(p, "1"); });
        dlg.DropFiles({set.strPda});
        QVERIFY(pText->contains("while a download is running"));
        QCOMPARE(dlg.Core().m_bPdaImage, 0u);
        dlg.Core().m_aChannel[3].m_bThreadStart = 0;
    }

    void AboutIsInTheContextMenu()
    {
        CVarnDLDlg dlg;
        std::unique_ptr<QMenu> pMenu(dlg.CreateContextMenu());
        QAction* pAbout = pMenu->actions().value(0);
        QVERIFY(pAbout && pAbout->text().startsWith("&About "));
        QString strAbout;
        QT_AnswerNextModal([&strAbout](QWidget* pBox) {
            strAbout = pBox->windowTitle();
            for (QLabel* pLabel : pBox->findChildren<QLabel*>()) strAbout += "|" + pLabel->text();
            QT_ClickButton(pBox, "1");
        });
        pAbout->trigger();
        QCOMPARE(strAbout, QString("About VarnDL||Version 7.0"));
    }

    void CommandLine()
    {
        const struct {
            std::vector<const char*> argv;
            bool bOk;
        } aCase[] = {
            {{"--model", "3", "--phone", "a.bin"}, true},
            {{"--phone=a.bin", "--csc", "c.csc", "-platform", "offscreen"}, true},
            {{"-reverse", "--mod=3", "--auto"}, true},
            {{"--help"}, true},
            {{"--model", "7"}, false},
            {{"--model"}, false},
            {{"--phone"}, false},
            {{"--pda="}, false},
            {{"--bogus"}, false},
            {{"stray"}, false},
        };
        for (const auto& c : aCase) {
            std::vector<char*> argv = {const_cast<char*>("quillon-downloader")};
            for (const char* sz : c.argv) argv.push_back(const_cast<char*>(sz));
            VARNDL_OPTIONS opt;
            QCOMPARE(VARNDL_ParseArgs(int(argv.size()), argv.data(), opt), c.bOk);
        }
        // A relative image path is kept as the file it names now, whatever the directory the
        // station is started from next time.
        const char* aszArgs[] = {"quillon-downloader", "--phone", "./img/../a.bin", "--pda", "/x/p.pda"};
        VARNDL_OPTIONS opt;
        QVERIFY(VARNDL_ParseArgs(5, const_cast<char**>(aszArgs), opt));
        QCOMPARE(QString::fromStdString(opt.astrImage[IMAGE_PHONE]), QDir::current().absoluteFilePath("a.bin"));
        QCOMPARE(QString::fromStdString(opt.astrImage[IMAGE_PDA]), QString("/x/p.pda"));
    }
};

QTEST_MAIN(VarnDLDlg)
#include "varndl_dlg_test.moc"
