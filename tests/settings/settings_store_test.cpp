// The settings file as an editor, a crash or a full disk leaves it: what the station reads from
// it, what Start writes when an image is refused, and that a damaged or unwritable file loses
// nothing.

#include <QDateTime>
#include <QPlainTextEdit>
#include <QtTest>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "images/image_select.h"
#include "settings/option_dialogs.h"
#include "settings/settings_store.h"
#include "support/qt/dialog_station.h"
#include "support/qt/settings_file.h"

namespace {

QByteArray Word(uint32_t dw) { return QByteArray(reinterpret_cast<const char*>(&dw), 4); }

QByteArray Utf16(const QString& str, int nBytes)
{
    return QByteArray(reinterpret_cast<const char*>(str.utf16()), str.size() * 2)
        .leftJustified(nBytes, '\0', true);
}

QByteArray FileBytes(const std::string& strPath)
{
    QFile file(QString::fromStdString(strPath));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

std::string ConfFile(const CScratchDir& dir) { return dir.Path() + "/Quillon/Downloader.conf"; }

}  // namespace

class SettingsStore : public QObject {
    Q_OBJECT
private slots:
    void init() { SETTINGS_Reset(); }

    void HandEditedValuesByTheLoadRules()
    {
        CScratchDir dir;
        QT_WriteSettings(ConfFile(dir), {{"DeviceModel", Word(9)},
                                         {"PBOOT_7", Word(1)},
                                         {"DelaySecond", QByteArray(1, '\x1e')},
                                         {"AutoStart", QByteArray(1, '\7')},
                                         {"PBOOT_3", Word(1)},
                                         {"HIDDEN_3", Word(1)},
                                         {"EFS_3", Word(1)},
                                         {"CLEAN_3", Word(1)},
                                         {"PHONE_3", Word(7)},
                                         {"CARRIER_1", Word(1)},
                                         {"PDA_5", Word(0)},
                                         {"SELECTALL_6", Word(1)},
                                         {"PBOOT_6", QByteArray(1, '\1')},
                                         {"PBOOT_0", QByteArray("\0\0\0\0\1", 5)},
                                         {"PBOOT_2", QString("0")},
                                         {"PhoneLocation_2", QString(300, 'p')},
                                         {"PDALocation_2", Utf16("/i/a.pda", 30)},
                                         {"PDALocation_3", QString(255, 'd')}});
        CQtSettingsStore store(ConfFile(dir));
        std::vector<std::string> astrTold;
        store.SetReport([&astrTold](const std::string& strLine) { astrTold.push_back(strLine); });
        CSettings s;
        store.LoadSettings(s);
        CVarnDLCore core;
        MODEL_LOCATIONS aLoc[MODEL_COUNT];
        QVERIFY(store.LoadModelSettings(core, aLoc));
        QCOMPARE(astrTold.size(), size_t(1));
        QVERIFY(astrTold[0].find("PhoneLocation_2") != std::string::npos);
        const MODEL_TICKS* r = core.m_aModelTicks;
        const struct {
            const char* szWhat;
            qint64 nLoaded, nExpected;
        } aCheck[] = {
            {"DelaySecond, one byte: zero-filled", s.m_nDelaySecond, 30},
            {"AutoStart 7 counts as on", s.m_byAutoStart, 1},
            {"PBOOT_3", r[3].dwPBoot, 1},
            {"HIDDEN, EFS, CLEAN start unticked", r[3].dwHidden + r[3].dwEfs + r[3].dwClean, 0},
            {"PHONE_3 = 7 counts as ticked", r[3].dwPhone, 1},
            {"models 0-2 have no CSC", r[1].dwCarrier, 0},
            {"model 5 ticks PDA whatever is stored", r[5].dwPda, 1},
            {"SELECTALL_6", r[6].dwSelectAll, 1},
            {"PBOOT_6, one byte", r[6].dwPBoot, 1},
            {"PBOOT_0, five bytes: cut", r[0].dwPBoot, 0},
            {"PBOOT_2 typed as text: its UTF-16 units", r[2].dwPBoot, 1},
            {"PhoneLocation_2, 300 characters: no location", qint64(aLoc[2].astrPath[IMAGE_PHONE].size()),
             0},
            {"PDALocation_3, 255 characters: kept", qint64(aLoc[3].astrPath[IMAGE_PDA].size()), 255},
        };
        for (const auto& c : aCheck) QVERIFY2(c.nLoaded == c.nExpected, c.szWhat);
        QCOMPARE(aLoc[2].astrPath[IMAGE_PDA], std::string("/i/a.pda"));
        // The password field: a typed text, 300 units without a NUL, an empty one that would
        // let anyone through the "EFS Clear" prompt.
        const std::pair<QVariant, std::string> aPassword[] = {
            {QString("Päss"), "Päss"},
            {Utf16(QString(300, 'x'), 600), std::string(255, 'x')},
            {Utf16("", 512), "4778"}};
        for (const auto& [value, strExpected] : aPassword) {
            QT_WriteSettings(ConfFile(dir), {{"LockPassword", value}});
            CSettings loaded;
            CQtSettingsStore(ConfFile(dir)).LoadSettings(loaded);
            QCOMPARE(loaded.m_strLockPassword, strExpected);
        }
    }

    void RefusedPhoneImageKeepsItsStoredLocation()
    {
        CScratchDir dir;
        const std::string strFile = ConfFile(dir);
        IMAGE_SET images;
        std::string strError;
        QVERIFY(
            IMAGE_BUILDER_WriteStandardSet(dir.Path(), 1, IMAGE_SET_SIZES{}, &images, &strError));
        QT_WriteSettings(strFile, {{"PhoneLocation_4", QString::fromStdString(images.strPhone)},
                                   {"PBOOT_4", Word(1)}});
        CQtSettingsStore store(strFile);
        CVarnDLDlg dlg(&store);
        QVERIFY(dlg.Core().m_bPhoneImage);
        std::filesystem::resize_file(images.strPhone, 100);  // refused at Start
        // A second name for the old file shows that saving puts a new file in its place.
        const std::string strBefore = dir.Path() + "/before.conf";
        QCOMPARE(::link(strFile.c_str(), strBefore.c_str()), 0);
        const QByteArray abyBefore = FileBytes(strFile);
        dlg.OnStart();
        QCOMPARE(FileBytes(strBefore), abyBefore);
        const QStringList astrLines = QT_SettingsLines(strFile);
        QVERIFY(astrLines.contains("PhoneLocation_4=" + QString::fromStdString(images.strPhone)));
        QVERIFY(astrLines.contains("PBOOT_4:4:"));  // nothing is ticked without it
    }

    void DamagedFileIsLeftAlone()
    {
        const std::function<void(const std::string&)> afnDamage[] = {
            [](const std::string& strFile) {  // QSettings cannot parse it
                QFile file(QString::fromStdString(strFile));
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write("[General\nPBOOT_4=@ByteArray(\\x1\\0\\0\\0)\n");
            },
            [](const std::string& strFile) { std::filesystem::create_directory(strFile); },
        };
        for (const auto& fnDamage : afnDamage) {
            SETTINGS_Reset();
            CScratchDir dir;
            const std::string strFile = ConfFile(dir);
            std::filesystem::create_directories(dir.Path() + "/Quillon");
            fnDamage(strFile);
            const QByteArray abyDamaged = FileBytes(strFile);
            CQtSettingsStore store(strFile);
            {
                CVarnDLDlg dlg(&store);
                const QString strLog = dlg.findChild<QPlainTextEdit*>("1000")->toPlainText();
                QVERIFY2(strLog.contains(QString::fromStdString(strFile)), qPrintable(strLog));
                int nTold = 0;
                store.SetReport([&nTold](const std::string&) { ++nTold; });
                dlg.OnStart();
                QT_AnswerNextModal([](QWidget* pDlg) { QT_ClickButton(pDlg, "1"); });
                SETTINGS_EditOptions(&dlg, store);
                dlg.OnCancel();
                QCOMPARE(nTold, 0);  // once is enough
            }
            QCOMPARE(FileBytes(strFile), abyDamaged);
            QCOMPARE(
                std::distance(std::filesystem::directory_iterator(dir.Path() + "/Quillon"), {}), 1);
        }
    }

    void AFileWithNoneOfTheStationsSettingsIsMovedAsideWhole()
    {
        QByteArray abyRandom(4096, '\0');
        for (int i = 0; i < abyRandom.size(); ++i) abyRandom[i] = char(IMAGE_BUILDER_SeededByte(5, uint32_t(i)));
        const std::pair<QByteArray, bool> aCase[] = {  // the file, and whether it is damaged
            {abyRandom, true},
            {QByteArray(2048, '\0'), true},
            {"[General]\nfoo=1\n", true},  // another program's
            {"", false},                     // a station's first day
            {"[General]\nDelaySecond=@ByteArray(\\x1e\\0\\0\\0)\n", false},
        };
        for (const auto& [abyContent, bDamaged] : aCase) {
            SETTINGS_Reset();
            CScratchDir dir;
            const std::string strFile = ConfFile(dir);
            std::filesystem::create_directories(dir.Path() + "/Quillon");
            QFile file(QString::fromStdString(strFile));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(abyContent) == abyContent.size());
            file.close();
            CQtSettingsStore store(strFile);
            QString strLog;
            {
                CVarnDLDlg dlg(&store);
                strLog = dlg.findChild<QPlainTextEdit*>("1000")->toPlainText();
            }
            const QString strAside = QString::fromStdString(strFile) + ".damaged-" +
                                     QDateTime::currentDateTime().toString("yyyyMMdd-");
            const int nAt = int(strLog.indexOf("moved aside to " + strAside));
            QVERIFY2((nAt >= 0) == bDamaged, qPrintable(strLog));
            // Kept whole beside it; the station's own values saved at its path.
            if (bDamaged) QCOMPARE(FileBytes(strLog.mid(nAt + 15, strAside.size() + 6).toStdString()), abyContent);
            QVERIFY(QT_SettingsLines(strFile).contains(bDamaged || abyContent.isEmpty() ? "DelaySecond:4:04"
                                                                                         : "DelaySecond:4:1e"));
        }
    }

    void UnwritableDirectoryLosesNothing()
    {
        CScratchDir dir;
        const std::string strFile = ConfFile(dir), strConfDir = dir.Path() + "/Quillon";
        QT_WriteSettings(strFile,
                         {{"PhoneLocation_4", "/kept/phone.bin"}, {"DelaySecond", Word(9)}});
        ::chmod(dir.Path().c_str(), 0755);
        ::chmod(strConfDir.c_str(), 0555);
        const QByteArray abyStored = FileBytes(strFile);
        CQtSettingsStore store(strFile);
        std::vector<std::string> astrTold;
        store.SetReport([&astrTold](const std::string& strLine) { astrTold.push_back(strLine); });
        CVarnDLCore core;
        MODEL_LOCATIONS aLoc[MODEL_COUNT];
        // Root writes anywhere: the saves run with an ordinary user's rights.
        struct CUserRights {
            bool bTaken = ::geteuid() == 0 && ::setegid(65534) == 0 && ::seteuid(65534) == 0;
            void GiveBack()
            {
                if (bTaken) bTaken = !(::seteuid(0) == 0 && ::setegid(0) == 0);
            }
            ~CUserRights() { GiveBack(); }
        } rights;
        if (::geteuid() == 0) QSKIP("cannot take an ordinary user's rights");
        QVERIFY(store.LoadModelSettings(core, aLoc));
        core.m_strPhonePath = "/new/phone.bin";
        core.m_bPhoneImage = 1;
        for (int i = 0; i < 2; ++i) {
            store.SaveModelSettings(core, aLoc, false);
            store.SaveSettings(CSettings{});
        }
        rights.GiveBack();
        ::chmod(strConfDir.c_str(), 0755);
        QCOMPARE(int(astrTold.size()), 1);
        QVERIFY(QString::fromStdString(astrTold[0]).contains(QString::fromStdString(strFile)));
        QCOMPARE(FileBytes(strFile), abyStored);
        QCOMPARE(std::distance(std::filesystem::directory_iterator(strConfDir), {}), 1);
    }
};

QTEST_MAIN(SettingsStore)
#include "settings_store_test.moc"
