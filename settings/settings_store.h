// The settings kept between runs, in the user's settings file (organisation "Quillon",
// application "Downloader": ~/.config/Quillon/Downloader.conf on Linux). Values keep the names and
// byte sizes every station has stored; a file that cannot be read is never written over, one that
// holds none of the station's values is moved aside before anything is saved, and each of these
// troubles is told once.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "settings/settings.h"

class QSettings;

class CQtSettingsStore final : public ISettingsStore {
public:
    // strFile empty: the user's own settings; otherwise this file, in the same format.
    explicit CQtSettingsStore(std::string strFile = std::string());
    ~CQtSettingsStore() override;

    void LoadSettings(CSettings& settings) override;
    void SaveSettings(const CSettings& settings) override;
    bool LoadModelSettings(CVarnDLCore& core, MODEL_LOCATIONS (&aLocations)[MODEL_COUNT]) override;
    void SaveModelSettings(CVarnDLCore& core, MODEL_LOCATIONS (&aLocations)[MODEL_COUNT],
                           bool bSelectAll) override;
    void SetReport(std::function<void(const std::string&)> fnReport) override;

    // Where the settings are (or would be) kept.
    std::string FileName();

private:
    // The settings file, read when first needed and kept open: QSettings tells of a damaged file
    // only to the first reader (later ones get its cached reading), so that verdict is kept
    // here. nullptr when the file cannot be read, which is told.
    QSettings* OpenKey();
    std::unique_ptr<QSettings> NewKey() const;
    // "LineBroker", a broker URL or empty; anything else is told once and read as empty.
    void LoadLineBroker(QSettings& key, CSettings& settings);
    // Writes what the operation set; a failure is told.
    void CloseKey(QSettings& key);
    // Tells strLine once: on standard error and to the reporter (or to the next one set).
    void Report(bool& bTold, const std::string& strLine);

    std::string m_strFile;
    std::unique_ptr<QSettings> m_pKey;
    bool m_bUnreadable = false;
    std::function<void(const std::string&)> m_fnReport;
    std::vector<std::string> m_astrUntold;
    bool m_bToldUnreadable = false;
    bool m_bToldDamaged = false;
    bool m_bToldUnwritable = false;
    bool m_bToldBroker = false;
};
