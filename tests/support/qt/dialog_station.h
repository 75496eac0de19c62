// Widget-test helpers: answering the modal boxes a handler opens, and the real dialog on
// virtual phones with a standard image set, ports given to channels through the port table.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/varndl_dlg.h"
#include "sim/image_builder.h"
#include "sim/virtual_phone.h"
#include "station/clock.h"

// Runs fnAct on the next modal window to appear (a message box, a dialog), once, from the event
// loop; gives up after nTimeoutMs. The returned text is the box's text, once it has been seen.
std::shared_ptr<QString> QT_AnswerNextModal(std::function<void(QWidget*)> fnAct, int nTimeoutMs = 10000);
// Clicks the button named (object name, e.g. "1") or with this text in a modal window.
void QT_ClickButton(QWidget* pModal, const QString& strNameOrText);

// A scratch directory removed with everything in it.
class CScratchDir {
public:
    CScratchDir();
    ~CScratchDir();
    const std::string& Path() const { return m_strDir; }

private:
    std::string m_strDir;
};

class CDialogStation {
public:
    // pStore: where the dialog keeps its settings (nullptr: nowhere).
    CDialogStation(int nPhones, const IMAGE_SET_SIZES& sizes = {}, const PHONE_CONFIG& cfg = {},
                   ISettingsStore* pStore = nullptr);
    ~CDialogStation();

    // Chooses the image files the set has and ticks through the command-line path.
    void SelectImages();
    // Every phone's port arrives on the dialog.
    void PlugAll();
    // "" when every region the images give lies in phone i's flash exactly, else what differs.
    std::string Verify(int i) const;
    bool Passed(int i) const;
    std::string BarText(int i) const;

    CVirtualClock m_Clock;
    CClockScope m_ClockScope{m_Clock};
    CScratchDir m_Dir;
    IMAGE_SET m_Images;
    std::vector<std::unique_ptr<CVirtualPhone>> m_apPhone;
    std::unique_ptr<CVarnDLDlg> m_pDlg;
};
