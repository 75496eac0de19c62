#include "settings/message_box.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "station/station_view.h"

CMessageBox::CMessageBox(QWidget* pParent, const QString& strCaption, const QString& strText, BUTTONS eButtons)
    : QDialog(pParent), m_eButtons(eButtons)
{
    setWindowTitle(strCaption);
    setObjectName("messagebox");
    auto* pLayout = new QVBoxLayout(this);
    m_pText = new QLabel(strText, this);
    m_pText->setObjectName("text");
    pLayout->addWidget(m_pText);
    auto* pRow = new QHBoxLayout;
    pRow->addStretch();
    auto addButton = [&](const char* szText, int nCode) {
        auto* pButton = new QPushButton(szText, this);
        pButton->setObjectName(QString::number(nCode));
        connect(pButton, &QPushButton::clicked, this, [this, nCode] { done(nCode); });
        pRow->addWidget(pButton);
    };
    if (eButtons == MB_YESNO) {
        addButton("&Yes", IDYES);
        addButton("&No", IDNO);
    } else {
        addButton("OK", IDOK);
    }
    pLayout->addLayout(pRow);
    pLayout->setSizeConstraint(QLayout::SetFixedSize);
    pLayout->activate();
}

QString CMessageBox::Text() const { return m_pText->text(); }

void CMessageBox::reject() { done(m_eButtons == MB_YESNO ? IDNO : IDOK); }

int CMessageBox::Ask(QWidget* pParent, const QString& strCaption, const QString& strText, BUTTONS eButtons)
{
    CMessageBox box(pParent, strCaption, strText, eButtons);
    return box.exec();
}
