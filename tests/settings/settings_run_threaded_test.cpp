// The operator's settings across a run: a first start on an empty settings file, one virtual
// phone flashed with model 4's Phone and CSC images, then SIGTERM; the file holds the designed
// values and the next window opens with them.

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

#include <csignal>

#include "console/varndl_app.h"
#include "images/image_select.h"
#include "settings/settings_store.h"
#include "support/qt/dialog_station.h"

namespace {
bool Ticked(CVarnDLDlg& dlg, int nId) { return dlg.findChild<QCheckBox*>(QString::number(nId))->isChecked(); }
}  // namespace

class SettingsRun : public QObject {
    Q_OBJECT
private slots:
    void FirstRunThenSigtermKeepsTheChoices()
    {
        CScratchDir config, imageDir;  // the images outlive the first window, as on a station
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.Path()));
        CQtSettingsStore store;  // the user's own, as the program has it
        const std::string strFile = config.Path() + "/Quillon/Downloader.conf";
        QCOMPARE(store.FileName(), strFile);
        IMAGE_SET images;
        std::string strError;
        QVERIFY(IMAGE_BUILDER_WriteStandardSet(imageDir.Path(), 1, IMAGE_SET_SIZES{}, &images, &strError));
        {
            CDialogStation st(1, IMAGE_SET_SIZES{}, PHONE_CONFIG{}, &store);
            CVarnDLDlg& dlg = *st.m_pDlg;
            QCOMPARE(dlg.findChild<QComboBox*>("1069")->currentIndex(), 4);
            for (int nId : {1061, 1020, 1021, 1024, 1022, 1023, 1057, 1058}) QVERIFY(!Ticked(dlg, nId));
            QCOMPARE(SETTINGS_Get().m_strLockPassword, std::string("4778"));
            dlg.SelectImageFile(IMAGE_PHONE, images.strPhone);
            dlg.SelectImageFile(IMAGE_CSC, images.strCsc);
            QT_AnswerNextModal([](QWidget* pPw) {  // "EFS Clear" unlocked for this session only
                pPw->findChild<QLineEdit*>("1068")->setText("4778");
                QT_ClickButton(pPw, "1");
            });
            dlg.findChild<QCheckBox*>("1024")->click();
            QVERIFY(Ticked(dlg, 1024));
            st.PlugAll();
            dlg.findChild<QPushButton*>("1")->click();
            QTRY_VERIFY_WITH_TIMEOUT(st.Passed(0), 30000);
            QCOMPARE(QSettings(QString::fromStdString(strFile), QSettings::IniFormat).value("CARRIER_4").toByteArray(),
                     QByteArray("\1\0\0\0", 4));  // saved by Start
            VARNDL_CancelOnSignals(&dlg);
            ::raise(SIGTERM);
            QTRY_COMPARE(dlg.result(), int(QDialog::Rejected));
        }
        QSettings key(QString::fromStdString(strFile), QSettings::IniFormat);
        const struct {
            const char* szName;
            QVariant value;
        } aStored[] = {
            {"AutoStart", QByteArray(1, '\0')}, {"DelaySecond", QByteArray("\4\0\0\0", 4)},
            {"EnableLoadReg", QByteArray(1, '\1')}, {"LockPassword", QByteArray("4\0" "7\0" "7\0" "8\0", 8).leftJustified(512, '\0')},
            {"DeviceModel", QByteArray("\4\0\0\0", 4)}, {"PBOOT_4", QByteArray("\1\0\0\0", 4)},
            {"PHONE_4", QByteArray("\1\0\0\0", 4)}, {"EFS_4", QByteArray(4, '\0')}, {"EBOOT_4", QByteArray(4, '\0')},
            {"PDA_4", QByteArray(4, '\0')}, {"CARRIER_4", QByteArray("\1\0\0\0", 4)}, {"HIDDEN_4", QByteArray(4, '\0')},
            {"CLEAN_4", QByteArray(4, '\0')}, {"PhoneLocation_4", QString::fromStdString(images.strPhone)},
            {"CarrierLocation_4", QString::fromStdString(images.strCsc)},
        };
        QStringList astrExpected;
        for (const auto& v : aStored) {
            QVERIFY2(key.value(v.szName) == v.value, v.szName);
            astrExpected << v.szName;
        }
        QStringList astrKeys = key.allKeys();  // SELECTALL_4 among the missing
        astrKeys.sort();
        astrExpected.sort();
        QCOMPARE(astrKeys, astrExpected);

        SETTINGS_Reset();
        CVarnDLDlg again(&store);
        QCOMPARE(again.findChild<QComboBox*>("1069")->currentIndex(), 4);
        QCOMPARE(again.findChild<QLineEdit*>("1031")->text().toStdString(), images.strPhone);
        QCOMPARE(again.findChild<QLineEdit*>("1054")->text().toStdString(), images.strCsc);
        for (int nId : {1020, 1021, 1057}) QVERIFY(Ticked(again, nId));
        QVERIFY(!Ticked(again, 1024));
    }
};

QTEST_MAIN(SettingsRun)
#include "settings_run_threaded_test.moc"
