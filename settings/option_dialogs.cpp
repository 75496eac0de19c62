#include "settings/option_dialogs.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "line/broker_url.h"
#include "settings/message_box.h"
#include "settings/settings.h"

const char* const OPTION_NOT_INTEGER_TEXT = "Enter an integer.";
const char* const OPTION_BAD_PASSWORD_TEXT =
    "The password must have at least 1 and at most 255 characters.";
const char* const OPTION_BAD_BROKER_TEXT = "The line broker cannot be used: ";

namespace {

const char* const INVALID_PASSWORD_TEXT = "  Invalid Password";

QFont DialogFont()
{
    QFont font("MS Shell Dlg", 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// OK (1) and Cancel (2), named by their ids so that tests and scripts find them.
QDialogButtonBox* OkCancel(QDialog* pDlg)
{
    auto* pBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, pDlg);
    pBox->button(QDialogButtonBox::Ok)->setObjectName("1");
    pBox->button(QDialogButtonBox::Cancel)->setObjectName("2");
    QObject::connect(pBox, &QDialogButtonBox::accepted, pDlg, &QDialog::accept);
    QObject::connect(pBox, &QDialogButtonBox::rejected, pDlg, &QDialog::reject);
    return pBox;
}

void Refuse(QWidget* pParent, const QString& strText)
{
    CMessageBox::Ask(pParent, pParent ? pParent->windowTitle() : QString(), strText);
}

}  // namespace

CDLG_ConfirmPw::CDLG_ConfirmPw(QWidget* pParent) : QDialog(pParent)
{
    setWindowTitle("Password Dialog");
    setFont(DialogFont());
    m_pEdit = new QLineEdit(this);
    m_pEdit->setObjectName("1068");
    m_pEdit->setEchoMode(QLineEdit::Password);
    m_pEdit->setAlignment(Qt::AlignCenter);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pEdit);
    pLayout->addWidget(OkCancel(this));
    pLayout->activate();
}

QString CDLG_ConfirmPw::EnteredPassword() const { return m_pEdit->text(); }

CDLG_Option::CDLG_Option(const QString& strPassword, int nDelaySecond, QWidget* pParent)
    : QDialog(pParent), m_strPassword(strPassword), m_nDelaySecond(nDelaySecond)
{
    setWindowTitle("Option Dialog");
    setFont(DialogFont());
    m_pPassword = new QLineEdit(strPassword, this);  // shown in clear
    m_pPassword->setObjectName("1068");
    m_pPassword->setAlignment(Qt::AlignCenter);
    m_pDelay = new QLineEdit(QString::number(nDelaySecond), this);
    m_pDelay->setObjectName("1067");
    m_pDelay->setAlignment(Qt::AlignCenter);
    auto* pGrid = new QGridLayout(this);
    pGrid->addWidget(new QLabel("Password", this), 0, 0);
    pGrid->addWidget(m_pPassword, 0, 1);
    pGrid->addWidget(new QLabel("Downlaod Done \n Delay Time ( sec )", this), 1, 0);
    pGrid->addWidget(m_pDelay, 1, 1);
    m_pAutoStart = new QCheckBox("Start phones as they arrive", this);
    m_pAutoStart->setObjectName("1074");
    pGrid->addWidget(m_pAutoStart, 2, 0, 1, 2);
    m_pLineBroker = new QLineEdit(this);
    m_pLineBroker->setObjectName("1075");
    m_pLineBroker->setPlaceholderText("off (mqtt://user@host:port)");
    m_pLineBroker->setMinimumWidth(240);
    pGrid->addWidget(new QLabel("Line broker", this), 3, 0);
    pGrid->addWidget(m_pLineBroker, 3, 1);
    pGrid->addWidget(OkCancel(this), 4, 0, 1, 2);
    pGrid->activate();
}

void CDLG_Option::accept()
{
    bool bOk = false;
    const int nDelay = m_pDelay->text().trimmed().toInt(&bOk);
    if (!bOk) {
        Refuse(this, QString::fromUtf8(OPTION_NOT_INTEGER_TEXT));
        m_pDelay->setFocus();
        return;
    }
    // The stored field holds 255 characters; an empty password could never be typed at the
    // prompt that guards "EFS Clear" against mistakes.
    const QString strPassword = m_pPassword->text();
    if (strPassword.isEmpty() || strPassword.size() > SETTINGS_PASSWORD_MAX) {
        Refuse(this, QString::fromUtf8(OPTION_BAD_PASSWORD_TEXT));
        m_pPassword->setFocus();
        return;
    }
    // Refused here rather than met by the publisher later, when nobody reads the log box.
    const QString strBroker = m_pLineBroker->text().trimmed();
    BROKER_URL url;
    std::string strWhy;
    if (!strBroker.isEmpty() && !BROKER_URL_Parse(strBroker.toStdString(), url, strWhy)) {
        std::string strText = OPTION_BAD_BROKER_TEXT;
        strText.append(strWhy).append(". Enter mqtt://[user[:password]@]host[:port] or mqtts://..., "
                                      "or nothing to keep the station off the line.");
        Refuse(this, QString::fromStdString(strText));
        m_pLineBroker->setFocus();
        return;
    }
    m_strLineBroker = strBroker;
    m_strPassword = strPassword;
    m_nDelaySecond = nDelay;
    m_bAutoStart = m_pAutoStart->isChecked();
    QDialog::accept();
}

void CDLG_Option::SetLineBroker(const QString& strUrl)
{
    m_strLineBroker = strUrl;
    m_pLineBroker->setText(strUrl);
}

void CDLG_Option::SetAutoStart(bool bOn)
{
    m_bAutoStart = bOn;
    m_pAutoStart->setChecked(bOn);
}

bool SETTINGS_ConfirmEfsClear(QWidget* pParent)
{
    CDLG_ConfirmPw dlg(pParent);
    if (dlg.exec() != QDialog::Accepted) return false;
    if (dlg.EnteredPassword().toStdString() == SETTINGS_Get().m_strLockPassword) return true;
    CMessageBox::Ask(pParent, pParent ? pParent->windowTitle() : QString(), INVALID_PASSWORD_TEXT);
    return false;
}

bool SETTINGS_EditOptions(QWidget* pParent, ISettingsStore& store)
{
    CSettings& settings = SETTINGS_Get();
    CDLG_Option dlg(QString::fromStdString(settings.m_strLockPassword), settings.m_nDelaySecond,
                    pParent);
    dlg.SetAutoStart(settings.m_byAutoStart != 0);
    dlg.SetLineBroker(QString::fromStdString(settings.m_strLineBroker));
    if (dlg.exec() != QDialog::Accepted) return false;
    settings.m_strLockPassword = dlg.Password().toStdString();
    settings.m_nDelaySecond = dlg.DelaySecond();
    settings.m_byAutoStart = dlg.AutoStart() ? 1 : 0;
    settings.m_strLineBroker = dlg.LineBroker().toStdString();
    store.SaveSettings(settings);
    return true;
}
