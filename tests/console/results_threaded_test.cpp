// The window's result records: a record for every phone a run flashes, the day's counts beside
// the log box (those of the file's earlier runs today included), and a file that cannot be
// written told in the log box without stopping anything.

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "records/result_record.h"
#include "support/qt/dialog_station.h"

namespace {

std::vector<std::string> Lines(const std::string& strPath)
{
    std::ifstream in(strPath);
    std::vector<std::string> a;
    for (std::string str; std::getline(in, str);) a.push_back(str);
    return a;
}

std::string HostName()
{
    char sz[256] = {};
    ::gethostname(sz, sizeof(sz) - 1);
    return sz;
}

}  // namespace

class DialogResults : public QObject {
    Q_OBJECT
private slots:
    void EveryPhoneIsRecordedAndTheDayCounted()
    {
        CDialogStation st(2);
        const std::string strPath = st.m_Dir.Path() + "/results.jsonl";
        const std::string strToday = RESULT_RECORD_Time(std::time(nullptr)).substr(0, 10);
        const std::string strHead = "{\"time\":\"" + strToday + "T07:00:00+00:00\",\"host\":\"";
        std::ofstream(strPath) << strHead << HostName() << "\",\"result\":\"PASS\"}\n"
                               << strHead << HostName() << "\",\"result\":\"FLASH LOCK Fail !!!\"}\n"
                               << strHead << "another-station\",\"result\":\"PASS\"}\n";
        st.m_pDlg->RecordResults(strPath);
        auto* pCounts = st.m_pDlg->findChild<QLabel*>("DayCounts");
        QVERIFY(pCounts && !pCounts->isHidden());
        QCOMPARE(pCounts->text(), QString("Today: 1 PASS, 1 failed"));

        st.SelectImages();
        st.m_pDlg->findChild<QCheckBox*>("1058")->click();
        st.PlugAll();
        const std::string astrNode[2] = {st.m_apPhone[0]->SlavePath(), st.m_apPhone[1]->SlavePath()};
        st.m_pDlg->findChild<QPushButton*>("1")->click();
        for (int i = 0; i < 2; ++i) QTRY_VERIFY_WITH_TIMEOUT(st.Passed(i), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(pCounts->text(), QString("Today: 3 PASS, 1 failed"), 20000);

        st.m_pDlg.reset();  // the records still queued are written as the window closes
        const std::vector<std::string> astrLines = Lines(strPath);
        QCOMPARE(astrLines.size(), size_t(5));
        for (size_t i = 3; i < 5; ++i) {
            const std::string& strRecord = astrLines[i];
            QVERIFY2(strRecord.find("\"result\":\"PASS\"") != std::string::npos, strRecord.c_str());
            QVERIFY2(strRecord.find("\"kind\":\"phone\",\"path\":\"" + st.m_Images.strPhone + "\"") !=
                         std::string::npos,
                     strRecord.c_str());
            for (int k = 0; k < 2; ++k) {
                const std::string strNode = "\"device\":\"" + astrNode[k] + "\"";
                if (strRecord.find("\"channel\":" + std::to_string(k) + ",") != std::string::npos)
                    QVERIFY2(strRecord.find(strNode) != std::string::npos, strRecord.c_str());
            }
        }
    }

    void AFileThatCannotBeWrittenIsToldInTheLogBox()
    {
        CDialogStation st(0);
        const std::string strPath = st.m_Dir.Path() + "/missing/results.jsonl";
        st.m_pDlg->RecordResults(strPath);
        auto* pLog = st.m_pDlg->findChild<QPlainTextEdit*>("1000");
        QTRY_COMPARE(pLog->toPlainText(),
                     QString::fromStdString("Result records cannot be written to " + strPath +
                                            ": No such file or directory. Downloads go on without them."));
        QCOMPARE(st.m_pDlg->findChild<QLabel*>("DayCounts")->text(), QString("Today: 0 PASS, 0 failed"));
    }
};

QTEST_MAIN(DialogResults)
#include "results_threaded_test.moc"
