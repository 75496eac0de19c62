// Choosing image files: a file is accepted or refused by its descriptor block, the accepted
// blocks are merged into the one region table that every worker reads, and the controls that
// depend on which images are valid are told. Image files are untrusted: nothing here reads
// outside a buffer, whatever a file holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "images/image_controls.h"
#include "images/image_paths.h"
#include "images/image_trailer.h"

class CImageSelection;

// Opens the file read-only (taking no lock: other stations may be reading it), judges it as an image of `nKind` and
// fills *pTrailer in the 192-byte shape. A Phone (or Unified) trailer also fills the partition
// block and m_bHiddenAllowed. A Hidden file (kind 5) is judged by its length alone against
// entry 10's DataLength. true when accepted.
bool IMAGE_CheckImageTrailer(CImageSelection& core, const std::string& strPath, int nKind,
                             IMAGE_TRAILER* pTrailer);

// Runs the file dialog when bShowDialog, then checks the kind's path, fills the region table and
// the valid flag, logs, and refreshes the controls. true only when a Phone, Eboot, PDA or CSC
// file was accepted.
bool IMAGE_SelectImage(CImageSelection& core, IImageControls& controls, int nKind, bool bShowDialog);

// Forgets every image and the region table, then checks kinds 1 to 5 again from their paths.
void IMAGE_RevalidateImages(CImageSelection& core, IImageControls& controls);

// The enable states that follow from the valid flags.
IMAGE_ENABLING IMAGE_Enabling(const CImageSelection& core);

// "bin" 1, "eb0" 2, "pda" and "nb0" 3, "csc" 4, "hid" 5, anything else 6 (exact comparison).
int IMAGE_KindFromExtension(const std::string& strExt);

// Files dropped on the window, in drop order. Each path is lower-cased and routed by its
// extension to SelectImage of its kind; an unknown extension gets a message box. While a
// download runs (bRunActive, or a channel's worker still busy) drops are refused as a whole,
// because the workers are reading the paths and the region table a drop would change.
void IMAGE_DropFiles(CImageSelection& core, IImageControls& controls,
                     const std::vector<std::string>& astrPaths, bool bRunActive);

// Start's image validation, shared by the dialog and the headless station: copies the
// "CSC Priority Bit" box, picks the Multi-CSC entry, then checks Phone, Eboot, PDA and CSC again
// (the CSC through the chosen entry when a container is in use). A refused image does not stop
// Start; a missing or unknown entry does, with the message already shown through the controls.
// Last, every region the "Download Mode" boxes select (as they stand once the images are checked,
// which is what Start hands the workers) must lie inside its image file and fit its erase
// length; one that does not stops Start before any phone is touched, its sentence logged and
// shown in one message with the others.
struct IMAGE_START_INPUT {
    bool bCscPriority = true;     // "CSC Priority Bit" (1064)
    bool bCscTicked = false;      // "CSC" (1057)
    bool bHasSelection = false;   // the Multi-CSC list (1062) has a selected item
    std::string strSelected;      // its text
};
struct IMAGE_START_RESULT {
    bool bGoOn = false;
    int nEntry = -1;              // the container entry used, -1 when no container is in use
    std::string strMessage;       // the message box that stopped Start, if any
    std::vector<std::string> astrRefused;  // the refusal sentence of each image refused
    std::vector<std::string> astrUnfit;    // the sentence of each selected region that does not fit
};
IMAGE_START_RESULT IMAGE_ValidateForStart(CImageSelection& core, IImageControls& controls,
                                          const IMAGE_START_INPUT& input);

// True when the region's data lie wholly inside the file: FileOffset + DataLength (64-bit) is
// at most the file's length. (Start and the region procedures judge a region's file and flash
// together, with the operator's sentence: images/region_fit.h.)
bool IMAGE_RegionFitsFile(int fd, const REGION_INFO& region);
bool IMAGE_RegionFitsFile(const std::string& strPath, const REGION_INFO& region);
