// The station's modal message box: a text and OK, or Yes and No, answered with the codes the
// core uses (IDOK, IDYES, IDNO). Its size is settled before it is shown, so that it opens the same
// way on every window system, the offscreen one included.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;

class CMessageBox : public QDialog {
    Q_OBJECT
public:
    enum BUTTONS { MB_OK, MB_YESNO };
    CMessageBox(QWidget* pParent, const QString& strCaption, const QString& strText, BUTTONS eButtons);
    QString Text() const;
    // IDOK, IDYES or IDNO once closed; closing the window answers OK or No.
    int Answer() const { return result(); }
    // Shows the box modally and returns the answer.
    static int Ask(QWidget* pParent, const QString& strCaption, const QString& strText,
                   BUTTONS eButtons = MB_OK);

    void reject() override;

private:
    QLabel* m_pText;
    BUTTONS m_eButtons;
};
