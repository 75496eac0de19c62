// The two small modal dialogs of the settings: the lock-password prompt that guards "EFS Clear",
// and the option dialog that edits the lock password, "DelaySecond", Auto Start and the line's
// broker. Both refuse an entry the settings cannot hold and stay open until it is mended or
// cancelled.
#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QLineEdit;

class CDLG_ConfirmPw : public QDialog {
    Q_OBJECT
public:
    explicit CDLG_ConfirmPw(QWidget* pParent = nullptr);
    // The text entered (empty when the dialog opens).
    QString EnteredPassword() const;

private:
    QLineEdit* m_pEdit;
};

class CDLG_Option : public QDialog {
    Q_OBJECT
public:
    CDLG_Option(const QString& strPassword, int nDelaySecond, QWidget* pParent = nullptr);
    // Valid once the dialog closed with OK.
    QString Password() const { return m_strPassword; }
    int DelaySecond() const { return m_nDelaySecond; }
    // "Start phones as they arrive" (the station's Auto Start).
    void SetAutoStart(bool bOn);
    bool AutoStart() const { return m_bAutoStart; }
    // "Line broker": a broker URL, or empty for a station off the line.
    void SetLineBroker(const QString& strUrl);
    QString LineBroker() const { return m_strLineBroker; }

    void accept() override;

private:
    QLineEdit* m_pPassword;
    QLineEdit* m_pDelay;
    QCheckBox* m_pAutoStart;
    QLineEdit* m_pLineBroker;
    QString m_strPassword;
    QString m_strLineBroker;
    int m_nDelaySecond;
    bool m_bAutoStart = false;
};

// Messages of the option dialog when it refuses an entry.
extern const char* const OPTION_NOT_INTEGER_TEXT;    // "Enter an integer."
extern const char* const OPTION_BAD_PASSWORD_TEXT;
// Begins the refusal of a broker URL; the reason and what to do follow.
extern const char* const OPTION_BAD_BROKER_TEXT;    // "The line broker cannot be used: "

// "EFS Clear" was ticked: runs the password prompt and answers whether the tick may stay. A wrong
// password shows "  Invalid Password"; Cancel shows nothing.
bool SETTINGS_ConfirmEfsClear(QWidget* pParent);
// The "Option" button: the option dialog on the current settings; on OK the settings take the
// new values (Auto Start and the line's broker among them) and are saved through the store. true when changed.
class ISettingsStore;
bool SETTINGS_EditOptions(QWidget* pParent, ISettingsStore& store);
