// quillon-screenshots: renders the station's real dialog (offscreen) in the states the README
// shows, from a sample image set: idle with phones on ports, a run, phones in their reboot wait,
// the end of a run, the compact layout, the question Cancel asks during a run, and the option and
// password dialogs. Bar states are set as the workers would set them, on a clock of its own, and
// a shift's result records give the day's counts.
//
// Usage: quillon-screenshots DIR

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPixmap>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "console/varndl_dlg.h"
#include "images/image_trailer.h"
#include "records/result_record.h"
#include "settings/message_box.h"
#include "settings/option_dialogs.h"
#include "sim/image_builder.h"
#include "station/clock.h"
#include "station/log.h"
#include "station/status.h"

namespace {

bool Save(QWidget& widget, const std::string& strDir, const char* szName)
{
    const std::string strPath = strDir + "/" + szName;
    if (widget.grab().save(QString::fromStdString(strPath), "PNG")) {
        std::printf("%s\n", strPath.c_str());
        return true;
    }
    std::fprintf(stderr, "quillon-screenshots: cannot write %s\n", strPath.c_str());
    return false;
}

void Status(CVarnDLCore& core, int nCh, int nKind, int nPercent, const char* szError = nullptr,
            uint32_t dwMs = 0)
{
    core.m_ctrlProgress[nCh].ShowStatus(nCh, core.m_csDisplay, szError, nKind, nPercent, dwMs);
}

void Text(CVarnDLCore& core, int nCh, const char* szText)
{
    core.m_ctrlProgress[nCh].ShowText(core.m_csDisplay, szText, 0);
}

// A dialog with the sample images chosen and eight phones on ports.
void Prepare(CVarnDLDlg& dlg, const IMAGE_SET& set, int nModel)
{
    dlg.SelectModel(nModel);
    dlg.SelectImageFile(IMAGE_PHONE, set.strPhone);
    dlg.SelectImageFile(IMAGE_EBOOT, set.strEboot);
    dlg.SelectImageFile(IMAGE_PDA, set.strPda);
    if (nModel >= 3) dlg.SelectImageFile(IMAGE_CSC, set.strCsc);
    for (int i = 0; i < 8; ++i)
        dlg.PortArrived(static_cast<uint32_t>(3 + i), "/dev/ttyUSB" + std::to_string(i));
}

// A results file holding a shift's records of today at this station, so that the day's counts
// beside the log box show.
std::string WriteShiftRecords(const std::string& strDir)
{
    char szHost[256] = {};
    ::gethostname(szHost, sizeof(szHost) - 1);
    const std::string strPath = strDir + "/results.jsonl";
    const std::string strDay = RESULT_RECORD_Time(std::time(nullptr)).substr(0, 10);
    std::ofstream out(strPath);
    for (int i = 0; i < 43; ++i)
        out << "{\"time\":\"" << strDay << "T08:00:00+00:00\",\"host\":\"" << szHost << "\",\"result\":\""
            << (i % 20 == 7 ? "PDA Write Fail !!!" : "PASS") << "\"}\n";
    return strPath;
}

// Channel nCh locked its phone nPassedMs into a reboot wait of nWaitMs, and the phone's port went.
void Rebooting(CVarnDLDlg& dlg, int nCh, uint32_t dwPassedMs, uint32_t dwWaitMs)
{
    CVarnDLCore& core = dlg.Core();
    core.m_aChannel[nCh].m_bThreadStart = 1;
    Status(core, nCh, PdaFlashing, 100);
    Text(core, nCh, "   Varn Reboot");
    core.m_aChannel[nCh].m_bRebootWait = 1;
    core.m_aChannel[nCh].m_bDownloadDone = 1;
    core.m_ctrlProgress[nCh].ShowWait(core.m_csDisplay, CLOCK_Get().GetTickCount() - dwPassedMs, dwWaitMs);
    dlg.PortRemoved(core.m_aChannel[nCh].m_nComPort);
}

// Puts the channels back as a dialog without workers has them, before it goes.
void Idle(CVarnDLDlg& dlg)
{
    CVarnDLCore& core = dlg.Core();
    for (int i = 0; i < MAX_CHANNEL; ++i) core.m_aChannel[i].m_bThreadStart = core.m_aChannel[i].m_bRebootWait = 0;
}

void DisableSelection(CVarnDLDlg& dlg)
{
    for (int nId : {1020, 1021, 1024, 1022, 1023, 1057, 1058, 1061, 1031, 1026, 1029, 1054, 1055, 1032,
                    1027, 1030, 1052, 1053, 1062, 1064, 1069, 1})
        if (QWidget* p = dlg.findChild<QWidget*>(QString::number(nId))) p->setEnabled(false);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Usage: quillon-screenshots DIR\n");
        return 2;
    }
    const std::string strOut = argv[1];
    QApplication app(argc, argv);
    CVirtualClock clock;  // the seconds a waiting bar shows are the picture's, not the moment's
    CClockScope clockScope(clock);
    std::error_code ec;
    std::filesystem::create_directories(strOut, ec);
    const std::string strImages = (std::filesystem::temp_directory_path() / "quillon-screenshots").string();
    std::filesystem::create_directories(strImages, ec);
    IMAGE_SET set;
    IMAGE_SET_SIZES sizes;
    sizes.eCsc = CSC_MULTI;
    std::string strError;
    if (!IMAGE_BUILDER_WriteStandardSet(strImages, 1, sizes, &set, &strError)) {
        std::fprintf(stderr, "quillon-screenshots: %s\n", strError.c_str());
        return 1;
    }
    bool bOk = true;
    {
        CVarnDLDlg dlg;
        dlg.RecordResults(WriteShiftRecords(strImages));
        Prepare(dlg, set, 4);
        bOk &= Save(dlg, strOut, "idle.png");

        CVarnDLCore& core = dlg.Core();
        DisableSelection(dlg);
        Status(core, 0, QcsblDownloading, 64);
        Status(core, 1, AmssFlashing, 37);
        Status(core, 2, PdaDownloading, 81);
        Status(core, 3, PdaFlashing, 12);
        Text(core, 4, "   Send Partition Table");
        Status(core, 5, CarrierDownloading, 93);
        Status(core, 6, OemsblFlashing, 50);
        Status(core, 7, AmssDownloading, 8);
        WriteLog(&core, 2, core.m_csDisplay, "[Channel %d]  PDA Write Data\r\n", 2);
        bOk &= Save(dlg, strOut, "run.png");

        // Downloading phones: Cancel asks before it stops them.
        for (int i = 0; i < MAX_CHANNEL; ++i) core.m_aChannel[i].m_bThreadStart = 1;
        dlg.OnCancel();
        if (auto* pAsk = dlg.findChild<CMessageBox*>("confirmCancel")) {
            bOk &= Save(*pAsk, strOut, "cancel.png");
            pAsk->done(IDNO);
        }
        Idle(dlg);

        // Two minutes and more after the lock, the bars count the model's wait down.
        const uint32_t dwWait = 240000;
        for (int i : {0, 1, 2, 4, 5, 7}) Rebooting(dlg, i, 153000 + 9000u * i, dwWait);
        WriteLog(&core, 7, core.m_csDisplay, "[Channel %d]  FLASH LOCK Success!!!\r\n", 7);
        bOk &= Save(dlg, strOut, "reboot.png");
        Idle(dlg);

        for (int i : {0, 1, 2, 4, 5, 7}) Status(core, i, Pass, 100, nullptr, 96000 + 1000u * i);
        Status(core, 3, PdaFlashing, 45);
        Status(core, 3, Error, 0, " PDA Write Fail !!!");
        Status(core, 6, Error, 100, " ERROR!! Disconnected COM9 Port");
        WriteLog(&core, 7, core.m_csDisplay, "[Channel %d]  FLASH LOCK Success!!!\r\n", 7);
        bOk &= Save(dlg, strOut, "end.png");
    }
    {
        CVarnDLDlg dlg;
        dlg.RecordResults(WriteShiftRecords(strImages));
        Prepare(dlg, set, 0);
        bOk &= Save(dlg, strOut, "compact.png");
    }
    {
        CDLG_Option option("4778", 4);
        option.setWindowTitle("Option Dialog");
        bOk &= Save(option, strOut, "option.png");
        CDLG_ConfirmPw password;
        password.findChild<QLineEdit*>("1068")->setText("4778");
        bOk &= Save(password, strOut, "password.png");
    }
    std::filesystem::remove_all(strImages, ec);
    return bOk ? 0 : 1;
}
