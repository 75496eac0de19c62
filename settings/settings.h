// The station-wide settings (lock password, "DelaySecond", "EnableLoadReg", "AutoStart",
// "LineBroker") with their defaults, one object for the process, and the seam through which a store loads and saves
// them and the per-model selections. Without a store nothing persists and the defaults hold.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "station/model_ticks.h"

class CVarnDLCore;

// The stored image locations of one model, by image kind (1 Phone .. 5 Hidden; 0 unused).
struct MODEL_LOCATIONS {
    std::string astrPath[6];
};

constexpr const char* SETTINGS_DEFAULT_PASSWORD = "4778";
constexpr int SETTINGS_DEFAULT_DELAY = 4;
constexpr uint8_t SETTINGS_DEFAULT_LOAD_FLAG = 1;
// The stored password field holds 255 characters and its terminator.
constexpr int SETTINGS_PASSWORD_MAX = 255;

class CSettings {
public:
    std::string m_strLockPassword = SETTINGS_DEFAULT_PASSWORD;  // UTF-8
    int32_t m_nDelaySecond = SETTINGS_DEFAULT_DELAY;
    uint8_t m_byEnableLoadReg = SETTINGS_DEFAULT_LOAD_FLAG;
    uint8_t m_byAutoStart = 0;
    // The line's broker (a broker URL, see line/broker_url.h); "" keeps the station off the line.
    // It belongs to the station, whichever model it flashes.
    std::string m_strLineBroker;
};

// The process-wide settings: created with their defaults on first use.
CSettings& SETTINGS_Get();
// Back to the defaults (tests).
void SETTINGS_Reset();

// Where the settings and the per-model selections are kept. The dialog calls each operation at
// its moment: LoadSettings when it is built, LoadModelSettings when it initialises (before the
// first model change), SaveModelSettings at Start and at Cancel, SaveSettings when the option
// dialog closes with OK and when the dialog is destroyed.
class ISettingsStore {
public:
    virtual ~ISettingsStore() = default;
    virtual void LoadSettings(CSettings& settings) = 0;
    virtual void SaveSettings(const CSettings& settings) = 0;
    // Fills the seven models' ticks (core.m_aModelTicks) and image locations; false when the
    // store cannot be opened, which leaves everything as the dialog built it.
    virtual bool LoadModelSettings(CVarnDLCore& core, MODEL_LOCATIONS (&aLocations)[MODEL_COUNT]) = 0;
    // Takes the boxes ("Select/Deselect All" as bSelectAll, the others as core.m_CurrentTicks)
    // and the non-empty paths into the current model's record, then saves its ticks and the
    // locations of its valid images. A store that cannot be opened leaves even the record.
    virtual void SaveModelSettings(CVarnDLCore& core, MODEL_LOCATIONS (&aLocations)[MODEL_COUNT],
                                   bool bSelectAll) = 0;
    // Where the store tells of a settings file it cannot read or write: one line per trouble,
    // without line end. Lines told before a reporter is set are handed to it when it is set;
    // an empty function stops the telling (the window is going).
    virtual void SetReport(std::function<void(const std::string&)>) {}
};

// Keeps nothing: every start is a start with an empty store.
class CNullSettingsStore : public ISettingsStore {
public:
    void LoadSettings(CSettings&) override {}
    void SaveSettings(const CSettings&) override {}
    bool LoadModelSettings(CVarnDLCore&, MODEL_LOCATIONS (&)[MODEL_COUNT]) override { return true; }
    void SaveModelSettings(CVarnDLCore&, MODEL_LOCATIONS (&)[MODEL_COUNT], bool) override {}
};
