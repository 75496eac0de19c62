// What image selection asks of the window that shows it: path boxes, which controls are usable,
// the stored ticks, the Multi-CSC list and message boxes. The dialog and the headless station
// implement it; the core decides, the window only shows.
#pragma once

#include <string>
#include <vector>

#include "images/image_trailer.h"

// Enable states that follow from the valid images (P Phone, E Eboot, D PDA, C CSC, H Hidden,
// N Hidden allowed by the Phone trailer).
struct IMAGE_ENABLING {
    bool bPhoneBoot = false;   // 1020, P
    bool bPhone = false;       // 1021, P
    bool bEfsClear = false;    // 1024, P
    bool bEboot = false;       // 1022, P and E
    bool bPda = false;         // 1023, P and D
    bool bSelectAll = false;   // 1061, P and E and D
    bool bImageRows = false;   // Eboot, PDA, CSC path boxes 1026/1029/1054, buttons 1027/1030/1052: P
    bool bCsc = false;         // 1057, P and C
    bool bHidden = false;      // 1058, P and H and N
    bool bHiddenRow = false;   // 1055 / 1053, P and N
    bool bDisableStart = false;  // 1: Start must be disabled; 0: leave it as it is
};

class IImageControls {
public:
    virtual ~IImageControls() = default;

    // The path box of a kind (0 Unified .. 5 Hidden) shows this text.
    virtual void SetPathText(int nKind, const std::string& strText) = 0;
    // The Phone path box and button become usable (RevalidateImages).
    virtual void EnablePhoneRow() = 0;
    // The current model's stored ticks go back on the check boxes.
    virtual void ApplyStoredTicks() = 0;
    virtual void ApplyEnabling(const IMAGE_ENABLING& enabling) = 0;
    // The Multi-CSC list (1062): its items, already in the order shown, the selected item
    // (-1: none) and whether the list is usable.
    virtual void SetMultiCscList(const std::vector<std::string>& astrItems, int nSel, bool bEnabled) = 0;
    // The label beside the list (1063).
    virtual void SetMultiCscLabel(const std::string& strText) = 0;
    // A modal notice with one OK button.
    virtual void ShowMessage(const std::string& strText) = 0;
    // The open-file dialog: true with the chosen full path on OK, false on Cancel.
    virtual bool AskOpenFile(const std::string& strFilter, const std::string& strDefaultExt,
                             const std::string& strCurrentPath, std::string& strChosen) = 0;
};

// Shows nothing and cancels every file dialog.
class CNullImageControls : public IImageControls {
public:
    void SetPathText(int, const std::string&) override {}
    void EnablePhoneRow() override {}
    void ApplyStoredTicks() override {}
    void ApplyEnabling(const IMAGE_ENABLING&) override {}
    void SetMultiCscList(const std::vector<std::string>&, int, bool) override {}
    void SetMultiCscLabel(const std::string&) override {}
    void ShowMessage(const std::string&) override {}
    bool AskOpenFile(const std::string&, const std::string&, const std::string&, std::string&) override
    {
        return false;
    }
};
