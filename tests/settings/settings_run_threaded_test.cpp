// The operator's settings across a run: a first start on an empty settings file, the option
// dialog, one virtual phone flashed with model 4's Phone and CSC images, then SIGTERM; the file
// holds the designed values and the next window opens with them.

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <csignal>

#include "console/varndl_app.h"
#include "images/image_select.h"
#include "settings/settings_store.h"
#include "support/qt/dialog_station.h"
#include "support/qt/settings_file.h"

namespace {
bool Ticked(CVarnDLDlg& dlg, int nId)
{
    return dlg.findChild<QCheckBox*>(QString::number(nId))->isChecked();
}
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
        QVERIFY(IMAGE_BUILDER_WriteStandardSet(imageDir.Path(), 1, IMAGE_SET_SIZES{}, &images,
                                               &strError));
        const QString strPhone = QString::fromStdString(images.strPhone),
                      strCsc = QString::fromStdString(images.strCsc);
        {
            CDialogStation st(1, IMAGE_SET_SIZES{}, PHONE_CONFIG{}, &store);
            CVarnDLDlg& dlg = *st.m_pDlg;
            QCOMPARE(dlg.findChild<QComboBox*>("1069")->currentIndex(), 4);
            for (int nId : {1061, 1020, 1021, 1024, 1022, 1023, 1057, 1058})
                QVERIFY(!Ticked(dlg, nId));
            QCOMPARE(SETTINGS_Get().m_strLockPassword, std::string("4778"));
            dlg.SelectImageFile(IMAGE_PHONE, images.strPhone);
            dlg.SelectImageFile(IMAGE_CSC, images.strCsc);
            QT_AnswerNextModal([](QWidget* pPw) {  // "EFS Clear" unlocked for this session only
                pPw->findChild<QLineEdit*>("1068")->setText("4778");
                QT_ClickButton(pPw, "1");
            });
            dlg.findChild<QCheckBox*>("1024")->click();
            QVERIFY(Ticked(dlg, 1024));
            QT_AnswerNextModal([](QWidget* pDlg) {
                pDlg->findChild<QLineEdit*>("1068")->setText("Pä");
                pDlg->findChild<QLineEdit*>("1067")->setText("30");
                QT_ClickButton(pDlg, "1");
            });
            dlg.OnOption();
            st.PlugAll();
            dlg.findChild<QPushButton*>("1")->click();
            QTRY_VERIFY_WITH_TIMEOUT(st.Passed(0), 30000);
            QVERIFY(QT_SettingsLines(strFile).contains("CARRIER_4:4:01"));  // saved by Start
            VARNDL_CancelOnSignals(&dlg);
            ::raise(SIGTERM);
            QTRY_COMPARE(dlg.result(), int(QDialog::Rejected));
        }
        // No SELECTALL_4; EFS_4 stored as 0; the password in 512 bytes of UTF-16 with its NUL.
        QCOMPARE(QT_SettingsLines(strFile),
                 QStringList({"AutoStart:1:", "CARRIER_4:4:01",
                              "CLEAN_4:4:", "CarrierLocation_4=" + strCsc, "DelaySecond:4:1e",
                              "DeviceModel:4:04", "EBOOT_4:4:", "EFS_4:4:", "EnableLoadReg:1:01",
                              "HIDDEN_4:4:", "LockPassword:512:5000e4", "PBOOT_4:4:01",
                              "PDA_4:4:", "PHONE_4:4:01", "PhoneLocation_4=" + strPhone}));

        SETTINGS_Reset();
        CVarnDLDlg again(&store);
        QCOMPARE(again.findChild<QComboBox*>("1069")->currentIndex(), 4);
        QCOMPARE(again.findChild<QLineEdit*>("1031")->text(), strPhone);
        QCOMPARE(again.findChild<QLineEdit*>("1054")->text(), strCsc);
        for (int nId : {1020, 1021, 1057}) QVERIFY(Ticked(again, nId));
        QVERIFY(!Ticked(again, 1024));
        QCOMPARE(SETTINGS_Get().m_nDelaySecond, 30);
        QCOMPARE(SETTINGS_Get().m_strLockPassword, std::string("Pä"));
    }
};

QTEST_MAIN(SettingsRun)
#include "settings_run_threaded_test.moc"
