// The lock-password prompt and the option dialog: what unlocks "EFS Clear", and which entries
// the option dialog refuses while staying open.

#include <QLineEdit>
#include <QtTest>

#include "settings/option_dialogs.h"
#include "settings/settings.h"
#include "support/qt/dialog_station.h"

namespace {

// Keeps what was saved.
class CRecordingStore final : public CNullSettingsStore {
public:
    void SaveSettings(const CSettings& s) override
    {
        ++m_nSaves;
        m_Saved = s;
    }
    int m_nSaves = 0;
    CSettings m_Saved;
};

}  // namespace

class OptionDialogs : public QObject {
    Q_OBJECT
private slots:
    void init() { SETTINGS_Reset(); }

    void PasswordPrompt()
    {
        const struct {
            const char* szTyped;  // nullptr: Cancel
            bool bUnlocks;
        } aCase[] = {{"4778", true}, {"4778 ", false}, {"", false}, {nullptr, false}};
        for (const auto& c : aCase) {
            std::shared_ptr<QString> pMessage;
            QT_AnswerNextModal([&c, &pMessage](QWidget* pPw) {
                auto* pEdit = pPw->findChild<QLineEdit*>("1068");
                QCOMPARE(pEdit->echoMode(), QLineEdit::Password);
                if (!c.szTyped) return QT_ClickButton(pPw, "2");
                pEdit->setText(c.szTyped);
                if (!c.bUnlocks) pMessage = QT_AnswerNextModal([](QWidget* p) { QT_ClickButton(p, "1"); });
                QT_ClickButton(pPw, "1");
            });
            QCOMPARE(SETTINGS_ConfirmEfsClear(nullptr), c.bUnlocks);
            // A wrong entry is told; Cancel is not.
            QCOMPARE(pMessage ? *pMessage : QString(), QString(c.szTyped && !c.bUnlocks ? "  Invalid Password" : ""));
        }
        // Case matters.
        SETTINGS_Get().m_strLockPassword = "Quill";
        QT_AnswerNextModal([](QWidget* pPw) {
            pPw->findChild<QLineEdit*>("1068")->setText("quill");
            QT_AnswerNextModal([](QWidget* p) { QT_ClickButton(p, "1"); });
            QT_ClickButton(pPw, "1");
        });
        QVERIFY(!SETTINGS_ConfirmEfsClear(nullptr));
    }

    void OptionDialogRefusesWhatCannotBeKept()
    {
        // Entries tried in order on one open dialog; the last is accepted.
        const struct {
            QString strPassword, strDelay;
            const char* szMessage;  // nullptr: accepted
        } aTry[] = {{"4778", "ten", OPTION_NOT_INTEGER_TEXT},
                    {"4778", "1.5", OPTION_NOT_INTEGER_TEXT},
                    {"", "5", OPTION_BAD_PASSWORD_TEXT},
                    {QString(256, 'p'), "5", OPTION_BAD_PASSWORD_TEXT},
                    {QString(255, 'p'), "-5", nullptr}};
        CRecordingStore store;
        QStringList astrSeen;
        QString strShown;
        QT_AnswerNextModal([&](QWidget* pDlg) {
            strShown = pDlg->findChild<QLineEdit*>("1068")->text();
            QCOMPARE(pDlg->findChild<QLineEdit*>("1068")->echoMode(), QLineEdit::Normal);
            for (const auto& t : aTry) {
                pDlg->findChild<QLineEdit*>("1068")->setText(t.strPassword);
                pDlg->findChild<QLineEdit*>("1067")->setText(t.strDelay);
                std::shared_ptr<QString> pMessage;
                if (t.szMessage) pMessage = QT_AnswerNextModal([](QWidget* p) { QT_ClickButton(p, "1"); });
                QT_ClickButton(pDlg, "1");
                if (!t.szMessage) break;
                // The refusal is shown by the click itself: the dialog is still open.
                astrSeen << *pMessage;
                QVERIFY(pDlg->isVisible());
            }
        });
        QVERIFY(SETTINGS_EditOptions(nullptr, store));
        QCOMPARE(strShown, QString("4778"));  // in clear
        QCOMPARE(astrSeen, QStringList({OPTION_NOT_INTEGER_TEXT, OPTION_NOT_INTEGER_TEXT,
                                        OPTION_BAD_PASSWORD_TEXT, OPTION_BAD_PASSWORD_TEXT}));
        QCOMPARE(SETTINGS_Get().m_nDelaySecond, -5);
        QCOMPARE(SETTINGS_Get().m_strLockPassword, std::string(255, 'p'));
        QCOMPARE(store.m_nSaves, 1);

        // Cancel changes nothing and saves nothing.
        QT_AnswerNextModal([](QWidget* pDlg) {
            pDlg->findChild<QLineEdit*>("1067")->setText("99");
            QT_ClickButton(pDlg, "2");
        });
        QVERIFY(!SETTINGS_EditOptions(nullptr, store));
        QCOMPARE(SETTINGS_Get().m_nDelaySecond, -5);
        QCOMPARE(store.m_nSaves, 1);
    }
};

QTEST_MAIN(OptionDialogs)
#include "option_dialogs_test.moc"
