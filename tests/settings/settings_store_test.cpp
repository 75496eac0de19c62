// The settings file: what an empty, a hand-edited, a damaged or an unwritable file gives the
// station, and what Start, Cancel, the option dialog and the window's end leave in it.

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <csignal>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "console/varndl_app.h"
#include "images/image_select.h"
#include "settings/option_dialogs.h"
#include "settings/settings_store.h"
#include "support/qt/dialog_station.h"

namespace {

using VALUES = std::vector<std::pair<QString, QVariant>>;

QByteArray Word(uint32_t dw) { return QByteArray(reinterpret_cast<const char*>(&dw), 4); }

QByteArray Utf16(const QString& str, int nBytes)
{
    QByteArray aby(reinterpret_cast<const char*>(str.utf16()), str.size() * 2);
    aby.resize(nBytes, '\0');
    return aby;
}

// Values as an editor, or another station, leaves them.
void WriteValues(const std::string& strFile, const VALUES& aValues)
{
    QSettings key(QString::fromStdString(strFile), QSettings::IniFormat);
    for (const auto& [strName, value] : aValues) key.setValue(strName, value);
    key.sync();
}

QSettings ReadKey(const std::string& strFile) { return {QString::fromStdString(strFile), QSettings::IniFormat}; }

QByteArray FileBytes(const std::string& strPath)
{
    QFile file(QString::fromStdString(strPath));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

std::string ConfFile(const CScratchDir& dir) { return dir.Path() + "/Quillon/Downloader.conf"; }

IMAGE_SET WriteImages(const CScratchDir& dir)
{
    IMAGE_SET images;
    std::string strError;
    IMAGE_BUILDER_WriteStandardSet(dir.Path(), 1, IMAGE_SET_SIZES{}, &images, &strError);
    return images;
}

bool Ticked(CVarnDLDlg& dlg, int nId) { return dlg.findChild<QCheckBox*>(QString::number(nId))->isChecked(); }
QString PathBox(CVarnDLDlg& dlg, int nId) { return dlg.findChild<QLineEdit*>(QString::number(nId))->text(); }
int ShownModel(CVarnDLDlg& dlg) { return dlg.findChild<QComboBox*>("1069")->currentIndex(); }

// Root writes wherever it likes: for as long as this lives, file access is that of an ordinary
// user (the effective ids only, so that they can be taken back).
class COrdinaryUser {
public:
    COrdinaryUser()
    {
        if (::geteuid() != 0) return;
        m_bSwitched = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
        m_bFailed = !m_bSwitched;
    }
    ~COrdinaryUser()
    {
        if (!m_bSwitched) return;
        [[maybe_unused]] const int nUid = ::seteuid(0);
        [[maybe_unused]] const int nGid = ::setegid(0);
    }
    bool Failed() const { return m_bFailed; }

private:
    bool m_bSwitched = false;
    bool m_bFailed = false;
};

}  // namespace

class SettingsStore : public QObject {
    Q_OBJECT
private slots:
    void init() { SETTINGS_Reset(); }

    void EmptyStoreGivesTheDefaults()
    {
        CScratchDir dir;
        const std::string strFile = ConfFile(dir);
        CQtSettingsStore store(strFile);
        {
            CVarnDLDlg dlg(&store);
            QCOMPARE(ShownModel(dlg), 4);
            for (int nId : {1061, 1020, 1021, 1024, 1022, 1023, 1057, 1058}) QVERIFY(!Ticked(dlg, nId));
            for (int nId : {1031, 1026, 1029, 1054, 1055}) QCOMPARE(PathBox(dlg, nId), QString());
            const CSettings& s = SETTINGS_Get();
            QCOMPARE(s.m_strLockPassword, std::string("4778"));
            QCOMPARE(s.m_nDelaySecond, 4);
            QCOMPARE(int(s.m_byEnableLoadReg), 1);
            QCOMPARE(int(s.m_byAutoStart), 0);
            QVERIFY(!QFile::exists(QString::fromStdString(strFile)));  // reading writes nothing
        }
        // The window's end saves the station values, each in its field's exact size.
        QSettings key = ReadKey(strFile);
        QCOMPARE(key.allKeys(), QStringList({"AutoStart", "DelaySecond", "EnableLoadReg", "LockPassword"}));
        QCOMPARE(key.value("LockPassword").toByteArray(), Utf16("4778", 512));
        QCOMPARE(key.value("DelaySecond").toByteArray(), Word(4));
        QCOMPARE(key.value("EnableLoadReg").toByteArray(), QByteArray(1, '\1'));
        QCOMPARE(key.value("AutoStart").toByteArray(), QByteArray(1, '\0'));
    }

    void StartSavesTheCurrentModelOnly()
    {
        CScratchDir dir;
        const std::string strFile = ConfFile(dir);
        const IMAGE_SET images = WriteImages(dir);
        WriteValues(strFile, {{"EbootLocation_4", "/old/eboot.eb0"}, {"PhoneLocation_3", "/old/three.bin"}});
        CQtSettingsStore store(strFile);
        CVarnDLDlg dlg(&store);
        dlg.SelectImageFile(IMAGE_PHONE, images.strPhone);
        dlg.SelectImageFile(IMAGE_CSC, images.strCsc);
        // "EFS Clear" unlocked for this session is never stored ticked.
        QT_AnswerNextModal([](QWidget* pPw) {
            pPw->findChild<QLineEdit*>("1068")->setText("4778");
            QT_ClickButton(pPw, "1");
        });
        dlg.findChild<QCheckBox*>("1024")->click();
        QVERIFY(Ticked(dlg, 1024));
        // A second name for the old file shows whether saving replaces it or writes into it.
        const std::string strBefore = dir.Path() + "/before.conf";
        QCOMPARE(::link(strFile.c_str(), strBefore.c_str()), 0);
        const QByteArray abyBefore = FileBytes(strFile);

        dlg.OnStart();
        QCOMPARE(FileBytes(strBefore), abyBefore);
        QSettings key = ReadKey(strFile);
        const VALUES aExpected = {
            {"DeviceModel", Word(4)},  {"PBOOT_4", Word(1)},  {"PHONE_4", Word(1)},
            {"EFS_4", Word(0)},        {"EBOOT_4", Word(0)},  {"PDA_4", Word(0)},
            {"CARRIER_4", Word(1)},    {"HIDDEN_4", Word(0)}, {"CLEAN_4", Word(0)},
            {"PhoneLocation_4", QString::fromStdString(images.strPhone)},
            {"CarrierLocation_4", QString::fromStdString(images.strCsc)},
            // No valid Eboot image: the stored location stays; other models are not touched.
            {"EbootLocation_4", "/old/eboot.eb0"},
            {"PhoneLocation_3", "/old/three.bin"},
        };
        QStringList astrExpected;
        for (const auto& [strName, value] : aExpected) {
            QCOMPARE(key.value(strName), value);
            astrExpected << strName;
        }
        QStringList astrKeys = key.allKeys();
        astrKeys.sort();
        astrExpected.sort();
        QCOMPARE(astrKeys, astrExpected);  // SELECTALL_4 among the missing
    }

    void StoredTicksByTheLoadRules()
    {
        uint32_t MODEL_TICKS::*const PBOOT = &MODEL_TICKS::dwPBoot;
        const struct {
            const char* szName;
            QVariant value;
            int nModel;
            uint32_t MODEL_TICKS::*pdwField;
            uint32_t dwExpected;
        } aCase[] = {
            {"PBOOT_3", Word(1), 3, PBOOT, 1},
            {"HIDDEN_3", Word(1), 3, &MODEL_TICKS::dwHidden, 0},
            {"EFS_3", Word(1), 3, &MODEL_TICKS::dwEfs, 0},
            {"CLEAN_3", Word(1), 3, &MODEL_TICKS::dwClean, 0},
            {"PHONE_3", Word(7), 3, &MODEL_TICKS::dwPhone, 1},           // not 0 or 1: ticked
            {"EBOOT_3", Word(0x100), 3, &MODEL_TICKS::dwEboot, 1},
            {"CARRIER_1", Word(1), 1, &MODEL_TICKS::dwCarrier, 0},       // models 0-2 have no CSC
            {"CARRIER_3", Word(1), 3, &MODEL_TICKS::dwCarrier, 1},
            {"PDA_5", Word(0), 5, &MODEL_TICKS::dwPda, 1},               // model 5 always ticks it
            {"SELECTALL_6", Word(1), 6, &MODEL_TICKS::dwSelectAll, 1},
            {"PBOOT_6", QByteArray(1, '\1'), 6, PBOOT, 1},                // shorter: zero-filled
            {"PBOOT_0", QByteArray("\0\0\0\0\1", 5), 0, PBOOT, 0},        // longer: cut
            {"PBOOT_2", QString("0"), 2, PBOOT, 1},                       // a text: its UTF-16 units
            {"PBOOT_4", QStringList({"a", "b"}), 4, PBOOT, 1},
            {"PBOOT_1", QByteArray(), 1, PBOOT, 0},
        };
        CScratchDir dir;
        const std::string strFile = ConfFile(dir);
        VALUES aValues = {{"DeviceModel", Word(9)}, {"PBOOT_7", Word(1)}, {"PBOOT_-1", Word(1)}};
        for (const auto& c : aCase) aValues.push_back({c.szName, c.value});
        const struct {
            const char* szName;
            QVariant value;
            QString strExpected;
        } aLocation[] = {
            {"PhoneLocation_2", "/img/phone.bin", "/img/phone.bin"},
            {"EbootLocation_2", QString(300, 'e'), QString(255, 'e')},
            {"PDALocation_2", Utf16("/img/pda.pda", 30), "/img/pda.pda"},  // written as bytes
            {"CarrierLocation_2", QByteArray(), ""},
        };
        for (const auto& c : aLocation) aValues.push_back({c.szName, c.value});
        WriteValues(strFile, aValues);
        const QByteArray abyStored = FileBytes(strFile);

        CQtSettingsStore store(strFile);
        CVarnDLCore core;
        MODEL_LOCATIONS aLocations[MODEL_COUNT];
        QVERIFY(store.LoadModelSettings(core, aLocations));
        for (const auto& c : aCase)
            QVERIFY2(core.m_aModelTicks[c.nModel].*c.pdwField == c.dwExpected, c.szName);
        for (int k = IMAGE_PHONE; k <= IMAGE_CSC; ++k)
            QCOMPARE(QString::fromStdString(aLocations[2].astrPath[k]), aLocation[k - 1].strExpected);
        QCOMPARE(FileBytes(strFile), abyStored);  // loading writes nothing
    }

    void RestartShowsTheFilteredStoredTicks()
    {
        CScratchDir dir;
        const std::string strFile = ConfFile(dir);
        const IMAGE_SET images = WriteImages(dir);
        const auto q = [](const std::string& str) { return QString::fromStdString(str); };
        // Model 5 stored with nothing ticked and no PDA image; model 3 with Hidden and EFS ticked.
        WriteValues(strFile, {{"DeviceModel", Word(5)},
                              {"PhoneLocation_5", q(images.strPhone)}, {"EbootLocation_5", q(images.strEboot)},
                              {"CarrierLocation_5", q(images.strCsc)},
                              {"PhoneLocation_3", q(images.strPhone)}, {"HiddenLocation_3", q(images.strHidden)},
                              {"PBOOT_3", Word(1)}, {"HIDDEN_3", Word(1)}, {"EFS_3", Word(1)}});
        CQtSettingsStore store(strFile);
        CVarnDLDlg dlg(&store);
        QCOMPARE(ShownModel(dlg), 4);  // whatever model was last used
        dlg.SelectModel(5);
        for (int nId : {1020, 1021, 1022, 1057}) QVERIFY(Ticked(dlg, nId));
        QVERIFY(!Ticked(dlg, 1023));  // as far as the valid images allow
        dlg.SelectModel(3);
        QVERIFY(Ticked(dlg, 1020));
        QVERIFY(dlg.findChild<QCheckBox*>("1058")->isEnabled());
        QVERIFY(!Ticked(dlg, 1058));
        QVERIFY(!Ticked(dlg, 1024));
    }

    void RefusedPhoneImageKeepsItsStoredLocation()
    {
        CScratchDir dir;
        const std::string strFile = ConfFile(dir);
        const IMAGE_SET images = WriteImages(dir);
        const QString strPhone = QString::fromStdString(images.strPhone);
        WriteValues(strFile, {{"PhoneLocation_4", strPhone}, {"PBOOT_4", Word(1)}});
        CQtSettingsStore store(strFile);
        CVarnDLDlg dlg(&store);
        QVERIFY(dlg.Core().m_bPhoneImage);
        std::filesystem::resize_file(images.strPhone, 100);  // refused at Start
        dlg.OnStart();
        QVERIFY(!dlg.Core().m_bPhoneImage);
        QSettings key = ReadKey(strFile);
        QCOMPARE(key.value("PhoneLocation_4").toString(), strPhone);
        QCOMPARE(key.value("PBOOT_4").toByteArray(), Word(0));  // nothing can be ticked without it
    }

    void StationValuesByTheBufferRule()
    {
        const struct {
            const char* szName;
            QVariant value;
            std::string strPassword;
            int nDelay;
            int nLoadFlag, nAutoStart;
        } aCase[] = {
            {"LockPassword", Utf16("abc", 512), "abc", 4, 1, 0},
            {"LockPassword", QString("Päss"), "Päss", 4, 1, 0},        // a hand-typed text
            {"LockPassword", Utf16("ab", 4), "ab", 4, 1, 0},           // no NUL: zero-filled
            {"LockPassword", Utf16(QString(300, 'x'), 600), std::string(255, 'x'), 4, 1, 0},
            {"LockPassword", Utf16("", 512), "4778", 4, 1, 0},         // empty would open the lock
            {"DelaySecond", Word(30), "4778", 30, 1, 0},
            {"DelaySecond", QByteArray(1, '\x1e'), "4778", 30, 1, 0},
            {"DelaySecond", QByteArray("\xfb\xff\xff\xff\1\2\3\4", 8), "4778", -5, 1, 0},
            {"EnableLoadReg", QByteArray(1, '\0'), "4778", 4, 0, 0},
            {"EnableLoadReg", QByteArray(1, '\7'), "4778", 4, 7, 0},   // carried as it is
            {"AutoStart", QByteArray(1, '\1'), "4778", 4, 1, 1},
            {"AutoStart", QByteArray(1, '\7'), "4778", 4, 1, 1},
            {"AutoStart", Word(0), "4778", 4, 1, 0},
        };
        for (const auto& c : aCase) {
            CScratchDir dir;
            WriteValues(ConfFile(dir), {{c.szName, c.value}});
            CSettings s;
            CQtSettingsStore(ConfFile(dir)).LoadSettings(s);
            const QByteArray abyCase = QByteArray(c.szName) + " " + c.value.toByteArray().toHex();
            QVERIFY2(s.m_strLockPassword == c.strPassword, abyCase);
            QVERIFY2(s.m_nDelaySecond == c.nDelay && s.m_byEnableLoadReg == c.nLoadFlag, abyCase);
            QVERIFY2(s.m_byAutoStart == c.nAutoStart, abyCase);
        }
        // And back: UTF-16 with its NUL in 512 bytes, a little-endian word, single bytes.
        CScratchDir dir;
        CQtSettingsStore store(ConfFile(dir));
        CSettings saved;
        saved.m_strLockPassword = "Pä";
        saved.m_nDelaySecond = -5;
        saved.m_byEnableLoadReg = 0;
        saved.m_byAutoStart = 1;
        store.SaveSettings(saved);
        QSettings key = ReadKey(ConfFile(dir));
        QCOMPARE(key.value("LockPassword").toByteArray(), QByteArray("P\0\xe4\0", 4) + QByteArray(508, '\0'));
        QCOMPARE(key.value("DelaySecond").toByteArray(), QByteArray("\xfb\xff\xff\xff", 4));
        CSettings loaded;
        store.LoadSettings(loaded);
        QCOMPARE(loaded.m_strLockPassword, saved.m_strLockPassword);
        QCOMPARE(loaded.m_nDelaySecond, -5);
        QCOMPARE(int(loaded.m_byEnableLoadReg), 0);
        QCOMPARE(int(loaded.m_byAutoStart), 1);
    }

    void DelaySecondFromTheOptionDialogComesBack()
    {
        CScratchDir dir;
        CQtSettingsStore store(ConfFile(dir));
        QT_AnswerNextModal([](QWidget* pDlg) {
            pDlg->findChild<QLineEdit*>("1067")->setText("30");
            QT_ClickButton(pDlg, "1");
        });
        QVERIFY(SETTINGS_EditOptions(nullptr, store));
        SETTINGS_Reset();
        store.LoadSettings(SETTINGS_Get());
        QString strShown;
        QT_AnswerNextModal([&strShown](QWidget* pDlg) {
            strShown = pDlg->findChild<QLineEdit*>("1067")->text();
            QT_ClickButton(pDlg, "2");
        });
        SETTINGS_EditOptions(nullptr, store);
        QCOMPARE(strShown, QString("30"));
    }

    void DamagedFileIsLeftAlone()
    {
        const struct {
            const char* szForm;
            std::function<void(const std::string&)> fnDamage;
        } aCase[] = {
            {"unparsable", [](const std::string& strFile) {
                 QFile file(QString::fromStdString(strFile));
                 QVERIFY(file.open(QIODevice::WriteOnly));
                 file.write("[General\nPBOOT_4=@ByteArray(\\x1\\0\\0\\0)\nLockPassword=x\n");
             }},
            {"a directory", [](const std::string& strFile) { std::filesystem::create_directory(strFile); }},
        };
        for (const auto& c : aCase) {
            SETTINGS_Reset();
            CScratchDir dir;
            const std::string strFile = ConfFile(dir);
            std::filesystem::create_directories(dir.Path() + "/Quillon");
            c.fnDamage(strFile);
            const QByteArray abyDamaged = FileBytes(strFile);
            CQtSettingsStore store(strFile);
            {
                CVarnDLDlg dlg(&store);
                // Told in the log box once the window is up, naming the file.
                const QString strLog = dlg.findChild<QPlainTextEdit*>("1000")->toPlainText();
                QVERIFY2(strLog.contains(QString::fromStdString(strFile)), c.szForm);
                QCOMPARE(ShownModel(dlg), 0);  // the model list as the window built it
                QCOMPARE(SETTINGS_Get().m_strLockPassword, std::string("4778"));
                int nTold = 0;
                store.SetReport([&nTold](const std::string&) { ++nTold; });
                dlg.OnStart();
                QT_AnswerNextModal([](QWidget* pDlg) { QT_ClickButton(pDlg, "1"); });
                SETTINGS_EditOptions(&dlg, store);
                dlg.OnCancel();
                QCOMPARE(nTold, 0);  // once is enough
            }
            QCOMPARE(FileBytes(strFile), abyDamaged);
            QCOMPARE(std::distance(std::filesystem::directory_iterator(dir.Path() + "/Quillon"), {}), 1);
        }
    }

    void UnwritableDirectoryLosesNothing()
    {
        CScratchDir dir;
        const std::string strFile = ConfFile(dir);
        WriteValues(strFile, {{"PhoneLocation_4", "/kept/phone.bin"}, {"PBOOT_4", Word(1)}, {"DelaySecond", Word(9)}});
        const std::string strConfDir = dir.Path() + "/Quillon";
        ::chmod(dir.Path().c_str(), 0755);
        ::chmod(strFile.c_str(), 0644);
        ::chmod(strConfDir.c_str(), 0555);
        const QByteArray abyStored = FileBytes(strFile);
        CQtSettingsStore store(strFile);
        std::vector<std::string> astrTold;
        store.SetReport([&astrTold](const std::string& strLine) { astrTold.push_back(strLine); });
        CVarnDLCore core;
        MODEL_LOCATIONS aLocations[MODEL_COUNT];
        CSettings s;
        {
            COrdinaryUser user;
            if (user.Failed()) QSKIP("cannot act as an ordinary user");
            QVERIFY(store.LoadModelSettings(core, aLocations));
            store.LoadSettings(s);
            core.m_nModel = 4;
            core.m_strPhonePath = "/new/phone.bin";
            core.m_bPhoneImage = 1;
            store.SaveModelSettings(core, aLocations, false);
            s.m_nDelaySecond = 12;
            store.SaveSettings(s);
            store.SaveModelSettings(core, aLocations, false);
        }
        ::chmod(strConfDir.c_str(), 0755);
        QCOMPARE(s.m_nDelaySecond, 12);
        QCOMPARE(int(astrTold.size()), 1);
        QVERIFY(QString::fromStdString(astrTold[0]).contains(QString::fromStdString(strFile)));
        QCOMPARE(FileBytes(strFile), abyStored);
        QCOMPARE(std::distance(std::filesystem::directory_iterator(strConfDir), {}), 1);
    }

    void ProgramKeepsTheChoicesOfItsRun()
    {
        CScratchDir dir;
        const IMAGE_SET images = WriteImages(dir);
        const QString strConfig = QString::fromStdString(dir.Path() + "/config");
        QDir().mkpath(strConfig);
        QProcess station;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", strConfig);
        env.insert("TMPDIR", QString::fromStdString(dir.Path()));  // where the instance socket lives
        station.setProcessEnvironment(env);
        station.start(QUILLON_BINARY_DIR "/quillon-downloader",
                      {"--model", "4", "--phone", QString::fromStdString(images.strPhone), "--csc",
                       QString::fromStdString(images.strCsc)});
        QVERIFY(station.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QString::fromStdString(dir.Path()) + "/" + VARNDL_InstanceName()), 20000);
        ::kill(static_cast<pid_t>(station.processId()), SIGTERM);  // as Cancel
        QVERIFY(station.waitForFinished(20000));
        QCOMPARE(station.exitCode(), 0);

        const std::string strFile = strConfig.toStdString() + "/Quillon/Downloader.conf";
        QSettings key = ReadKey(strFile);
        for (const char* szName : {"DeviceModel", "PBOOT_4", "PHONE_4", "EFS_4", "EBOOT_4", "PDA_4", "CARRIER_4",
                                   "HIDDEN_4", "CLEAN_4"})
            QVERIFY2(key.value(szName).toByteArray().size() == 4, szName);
        QCOMPARE(key.value("CARRIER_4").toByteArray(), Word(1));
        QCOMPARE(key.value("PhoneLocation_4").toString().toStdString(), images.strPhone);
        QCOMPARE(key.value("CarrierLocation_4").toString().toStdString(), images.strCsc);
        QVERIFY(!key.contains("SELECTALL_4"));
    }
};

QTEST_MAIN(SettingsStore)
#include "settings_store_test.moc"
