// The chosen image of each kind as the station holds it: its path and whether it was accepted.
// Selection, the fit of the selected regions, the settings and the cycle all name an image by
// its kind, and read or write it here.
#pragma once

#include <cstdint>
#include <string>

class CImageSelection;

// The valid flag and the path of a kind 0-5.
uint32_t& IMAGE_ValidFlag(CImageSelection& core, int nKind);
std::string& IMAGE_Path(CImageSelection& core, int nKind);
