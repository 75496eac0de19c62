// A run on the operator's settings: Start with one virtual phone, then SIGTERM, leaves the
// model's choices in the user's settings file, and the next window opens with them.

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

#include <csignal>

#include "console/varndl_app.h"
#include "images/image_select.h"
#include "settings/settings_store.h"
#include "support/qt/dialog_station.h"

class SettingsRun : public QObject {
    Q_OBJECT
private slots:
    void RunThenSigtermKeepsTheChoices()
    {
        CScratchDir config;
        // Before anything asks where the user's settings live.
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.Path()));
        CQtSettingsStore store;
        const std::string strFile = config.Path() + "/Quillon/Downloader.conf";
        QCOMPARE(store.FileName(), strFile);
        // The images outlive the first window, as they do on a station.
        CScratchDir imageDir;
        IMAGE_SET images;
        std::string strError;
        QVERIFY(IMAGE_BUILDER_WriteStandardSet(imageDir.Path(), 1, IMAGE_SET_SIZES{}, &images, &strError));
        const std::string strPhone = images.strPhone, strCsc = images.strCsc;
        {
            CDialogStation st(1, IMAGE_SET_SIZES{}, PHONE_CONFIG{}, &store);
            st.m_pDlg->SelectImageFile(IMAGE_PHONE, strPhone);
            st.m_pDlg->SelectImageFile(IMAGE_CSC, strCsc);
            st.PlugAll();
            st.m_pDlg->findChild<QPushButton*>("1")->click();
            QTRY_VERIFY_WITH_TIMEOUT(st.Passed(0), 30000);
            QVERIFY2(st.BarText(0).rfind(" Download PASS.", 0) == 0, st.BarText(0).c_str());
            VARNDL_CancelOnSignals(st.m_pDlg.get());
            ::raise(SIGTERM);
            QTRY_COMPARE(st.m_pDlg->result(), int(QDialog::Rejected));
        }
        QSettings key(QString::fromStdString(strFile), QSettings::IniFormat);
        const struct {
            const char* szName;
            uint32_t dwValue;
        } aTick[] = {{"DeviceModel", 4}, {"PBOOT_4", 1}, {"PHONE_4", 1}, {"EFS_4", 0}, {"EBOOT_4", 0},
                     {"PDA_4", 0},       {"CARRIER_4", 1}, {"HIDDEN_4", 0}, {"CLEAN_4", 0}};
        for (const auto& t : aTick)
            QVERIFY2(key.value(t.szName).toByteArray() == QByteArray(reinterpret_cast<const char*>(&t.dwValue), 4),
                     t.szName);
        QCOMPARE(key.value("PhoneLocation_4").toString().toStdString(), strPhone);
        QCOMPARE(key.value("CarrierLocation_4").toString().toStdString(), strCsc);
        QVERIFY(!key.contains("SELECTALL_4"));

        SETTINGS_Reset();
        CVarnDLDlg again(&store);
        QCOMPARE(again.findChild<QComboBox*>("1069")->currentIndex(), 4);
        QCOMPARE(again.findChild<QLineEdit*>("1031")->text().toStdString(), strPhone);
        QCOMPARE(again.findChild<QLineEdit*>("1054")->text().toStdString(), strCsc);
        for (int nId : {1020, 1021, 1057}) QVERIFY(again.findChild<QCheckBox*>(QString::number(nId))->isChecked());
    }
};

QTEST_MAIN(SettingsRun)
#include "settings_run_threaded_test.moc"
