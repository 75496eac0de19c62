#include "settings/settings_store.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "images/image_select.h"
#include "images/model_table.h"
#include "line/broker_url.h"
#include "station/station_core.h"

namespace {

// The byte sizes of the stored fields: a password of 256 UTF-16 units (255 and the NUL), 32-bit
// words, the one-byte flags, and image locations of 256 UTF-16 units.
constexpr int PASSWORD_BYTES = 512;
constexpr int WORD_BYTES = 4;
constexpr int FLAG_BYTES = 1;
constexpr int LOCATION_UNITS = 256;

// One model's stored record: its ticks and the locations of its five images.
struct MODEL_RECORD {
    MODEL_TICKS ticks;
    MODEL_LOCATIONS locations;
};

// The tick values of a record in the order they are written.
const struct {
    const char* szName;
    uint32_t MODEL_TICKS::*pdwField;
} g_aTickValue[] = {
    {"SELECTALL", &MODEL_TICKS::dwSelectAll}, {"PBOOT", &MODEL_TICKS::dwPBoot},
    {"PHONE", &MODEL_TICKS::dwPhone},         {"EFS", &MODEL_TICKS::dwEfs},
    {"EBOOT", &MODEL_TICKS::dwEboot},         {"PDA", &MODEL_TICKS::dwPda},
    {"CARRIER", &MODEL_TICKS::dwCarrier},     {"HIDDEN", &MODEL_TICKS::dwHidden},
    {"CLEAN", &MODEL_TICKS::dwClean},
};

QString ModelValueName(const char* szName, int nModel)
{
    char szValue[64];
    std::snprintf(szValue, sizeof(szValue), "%s_%d", szName, nModel);
    return QString::fromLatin1(szValue);
}

// A text as the 16-bit units of a stored string field, little-endian, with its terminating NUL.
QByteArray Utf16Bytes(const QString& str)
{
    QByteArray aby;
    aby.reserve((str.size() + 1) * 2);
    for (const QChar c : str) {
        aby.append(char(c.unicode() & 0xFF));
        aby.append(char(c.unicode() >> 8));
    }
    aby.append(2, '\0');
    return aby;
}

// Reads a value into a field of nSize bytes whatever its stored type: the bytes of a byte array,
// a text as its UTF-16 units with the NUL. A shorter value leaves the rest zero, a longer one is
// cut. false, and the field untouched, when the value is missing or holds neither.
bool ReadValue(QSettings& key, const QString& strName, uint8_t* pbyField, int nSize)
{
    if (!key.contains(strName)) return false;
    const QVariant value = key.value(strName);
    QByteArray aby;
    if (value.typeId() == QMetaType::QByteArray)
        aby = value.toByteArray();
    else if (value.typeId() == QMetaType::QStringList)
        aby = Utf16Bytes(value.toStringList().join(','));
    else if (value.canConvert<QString>())
        aby = Utf16Bytes(value.toString());
    else
        return false;
    std::memset(pbyField, 0, static_cast<size_t>(nSize));
    std::memcpy(pbyField, aby.constData(),
                static_cast<size_t>(std::min<qsizetype>(aby.size(), nSize)));
    return true;
}

// The text of a string field of nUnits 16-bit units: up to its NUL, and never its last unit,
// which is the terminator's place.
QString FieldText(const uint8_t* pbyField, int nUnits)
{
    QString str;
    for (int i = 0; i + 1 < nUnits; ++i) {
        const char16_t c = char16_t(pbyField[2 * i] | (pbyField[2 * i + 1] << 8));
        if (c == 0) break;
        str.append(QChar(c));
    }
    return str;
}

uint32_t WordOf(const uint8_t* pby)
{
    return uint32_t(pby[0]) | uint32_t(pby[1]) << 8 | uint32_t(pby[2]) << 16 |
           uint32_t(pby[3]) << 24;
}

QByteArray WordBytes(uint32_t dw)
{
    const char ach[WORD_BYTES] = {char(dw & 0xFF), char((dw >> 8) & 0xFF), char((dw >> 16) & 0xFF),
                                  char(dw >> 24)};
    return QByteArray(ach, WORD_BYTES);
}

QByteArray PasswordBytes(const std::string& strPassword)
{
    QByteArray aby = Utf16Bytes(QString::fromStdString(strPassword).left(SETTINGS_PASSWORD_MAX));
    aby.resize(PASSWORD_BYTES, '\0');
    return aby;
}

// A tick is a word 0 or 1; any other word counts as ticked.
uint32_t ReadTick(QSettings& key, const char* szName, int nModel)
{
    uint8_t aby[WORD_BYTES];
    if (!ReadValue(key, ModelValueName(szName, nModel), aby, WORD_BYTES)) return 0;
    return WordOf(aby) != 0 ? 1 : 0;
}

// A stored location, "" when there is none. One longer than its field holds is no location at
// all: cut to 255 characters it could name another image, which would then be flashed.
// *pbTooLong tells that case.
std::string ReadLocation(QSettings& key, const QString& strName, bool* pbTooLong)
{
    *pbTooLong = false;
    uint8_t aby[(LOCATION_UNITS + 1) * 2];
    if (!ReadValue(key, strName, aby, sizeof(aby))) return std::string();
    const QString strPath = FieldText(aby, LOCATION_UNITS + 1);
    if (strPath.size() >= LOCATION_UNITS) {
        *pbTooLong = true;
        return std::string();
    }
    return strPath.toStdString();
}

// Whether a value name is one the station stores: its own settings, the model index, and the
// ticks and image locations of the seven models.
bool StationValueName(const QString& strName)
{
    for (const char* sz : {"LockPassword", "DelaySecond", "EnableLoadReg", "AutoStart", "LineBroker", "DeviceModel"})
        if (strName == QLatin1String(sz)) return true;
    for (int m = 0; m < MODEL_COUNT; ++m) {
        for (const auto& v : g_aTickValue)
            if (strName == ModelValueName(v.szName, m)) return true;
        for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k)
            if (strName == ModelValueName(IMAGE_KindInfo(k)->szLocationValue, m)) return true;
    }
    return false;
}

// A file of random bytes or of NUL bytes reads as an empty one, without any error; saved over,
// whatever it held would be gone. A file with something in it and none of the station's values
// is taken for damaged.
bool HoldsNothingOfOurs(QSettings& key)
{
    const QFileInfo info(key.fileName());
    if (!info.isFile() || info.size() == 0) return false;
    for (const QString& strName : key.allKeys())
        if (StationValueName(strName)) return false;
    return true;
}

// Where a damaged file goes: beside it, named for the moment, never over an earlier one.
QString AsideName(const QString& strFile)
{
    const QString strBase = strFile + ".damaged-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    QString strName = strBase;
    for (int n = 2; QFileInfo::exists(strName); ++n) strName = strBase + "-" + QString::number(n);
    return strName;
}

}  // namespace

CQtSettingsStore::CQtSettingsStore(std::string strFile) : m_strFile(std::move(strFile)) {}

CQtSettingsStore::~CQtSettingsStore() = default;

std::string CQtSettingsStore::FileName()
{
    OpenKey();
    return m_pKey->fileName().toStdString();
}

void CQtSettingsStore::SetReport(std::function<void(const std::string&)> fnReport)
{
    m_fnReport = std::move(fnReport);
    if (!m_fnReport) return;
    for (const std::string& strLine : m_astrUntold) m_fnReport(strLine);
    m_astrUntold.clear();
}

void CQtSettingsStore::Report(bool& bTold, const std::string& strLine)
{
    if (bTold) return;
    bTold = true;
    // Standard error keeps the line after the log box has moved on.
    std::fprintf(stderr, "%s\n", strLine.c_str());
    if (m_fnReport)
        m_fnReport(strLine);
    else
        m_astrUntold.push_back(strLine);
}

std::unique_ptr<QSettings> CQtSettingsStore::NewKey() const
{
    if (m_strFile.empty())
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Quillon",
                                           "Downloader");
    return std::make_unique<QSettings>(QString::fromStdString(m_strFile), QSettings::IniFormat);
}

QSettings* CQtSettingsStore::OpenKey()
{
    if (!m_pKey) {
        m_pKey = NewKey();
        const QString strFile = m_pKey->fileName();
        if (HoldsNothingOfOurs(*m_pKey)) {
            // Moved aside whole, so that an engineer can still look at it; the station starts
            // afresh at its path.
            const QString strAside = AsideName(strFile);
            if (QFile::rename(strFile, strAside)) {
                m_pKey = NewKey();
                Report(m_bToldDamaged, "The settings file " + strFile.toStdString() +
                                           " holds none of the station's settings: it was moved "
                                           "aside to " + strAside.toStdString() +
                                           " and the station starts with the defaults");
            }
        }
        // Nothing is ever set on a file that could not be read (or moved aside), so nothing of it
        // is written back.
        m_bUnreadable = m_pKey->status() != QSettings::NoError || HoldsNothingOfOurs(*m_pKey);
        if (m_bUnreadable)
            Report(m_bToldUnreadable,
                   "The settings file " + strFile.toStdString() +
                       " cannot be read: the defaults are used and the file is left as it is");
    }
    return m_bUnreadable ? nullptr : m_pKey.get();
}

void CQtSettingsStore::CloseKey(QSettings& key)
{
    // QSettings replaces the file as a whole (a new file renamed over the old one), so a failed
    // or interrupted write leaves the old settings.
    key.sync();
    // QSettings keeps its first error for good, so later saves cannot be judged: told once.
    if (key.status() != QSettings::NoError)
        Report(m_bToldUnwritable, "The settings cannot be saved in " +
                                      key.fileName().toStdString() +
                                      ": it keeps what it held before");
}

void CQtSettingsStore::LoadSettings(CSettings& settings)
{
    QSettings* pKey = OpenKey();
    if (!pKey) return;
    uint8_t abyPassword[PASSWORD_BYTES];
    if (ReadValue(*pKey, "LockPassword", abyPassword, PASSWORD_BYTES)) {
        // An empty password would let anyone through the "EFS Clear" prompt: the default stays.
        const QString strPassword = FieldText(abyPassword, PASSWORD_BYTES / 2);
        if (!strPassword.isEmpty()) settings.m_strLockPassword = strPassword.toStdString();
    }
    uint8_t abyDelay[WORD_BYTES];
    if (ReadValue(*pKey, "DelaySecond", abyDelay, WORD_BYTES))
        settings.m_nDelaySecond = int32_t(WordOf(abyDelay));
    uint8_t byFlag;
    if (ReadValue(*pKey, "EnableLoadReg", &byFlag, FLAG_BYTES)) settings.m_byEnableLoadReg = byFlag;
    if (ReadValue(*pKey, "AutoStart", &byFlag, FLAG_BYTES))
        settings.m_byAutoStart = byFlag != 0 ? 1 : 0;
    LoadLineBroker(*pKey, settings);
}

void CQtSettingsStore::LoadLineBroker(QSettings& key, CSettings& settings)
{
    if (!key.contains("LineBroker")) return;
    const QVariant value = key.value("LineBroker");
    std::string strWhy;
    // A password with a comma, typed into the file without quotes, reads as a list.
    const bool bList = value.typeId() == QMetaType::QStringList;
    if (value.typeId() != QMetaType::QString && !bList) {
        strWhy = "it is not a text";
    } else {
        const QString strValue = bList ? value.toStringList().join(',') : value.toString();
        const std::string strUrl = strValue.trimmed().toStdString();
        BROKER_URL url;
        if (strUrl.empty() || BROKER_URL_Parse(strUrl, url, strWhy)) {
            settings.m_strLineBroker = strUrl;
            return;
        }
    }
    settings.m_strLineBroker.clear();
    // Never the value itself: it may hold the broker's password.
    Report(m_bToldBroker, std::string("The stored LineBroker in ")
                              .append(key.fileName().toStdString())
                              .append(" cannot be used (")
                              .append(strWhy)
                              .append("): the station stays off the line until the option is set again"));
}

void CQtSettingsStore::SaveSettings(const CSettings& settings)
{
    QSettings* pKey = OpenKey();
    if (!pKey) return;
    pKey->setValue("LockPassword", PasswordBytes(settings.m_strLockPassword));
    pKey->setValue("DelaySecond", WordBytes(uint32_t(settings.m_nDelaySecond)));
    pKey->setValue("EnableLoadReg", QByteArray(1, char(settings.m_byEnableLoadReg)));
    pKey->setValue("AutoStart", QByteArray(1, char(settings.m_byAutoStart != 0 ? 1 : 0)));
    // A station off the line keeps the file every station has stored.
    if (settings.m_strLineBroker.empty())
        pKey->remove("LineBroker");
    else
        pKey->setValue("LineBroker", QString::fromStdString(settings.m_strLineBroker));
    CloseKey(*pKey);
}

bool CQtSettingsStore::LoadModelSettings(CVarnDLCore& core,
                                         MODEL_LOCATIONS (&aLocations)[MODEL_COUNT])
{
    QSettings* pKey = OpenKey();
    if (!pKey) return false;
    MODEL_RECORD aRecord[MODEL_COUNT];
    for (int m = 0; m < MODEL_COUNT; ++m) {
        MODEL_RECORD& r = aRecord[m];
        // CLEAN is never read: the load rules clear it with HIDDEN and EFS.
        for (const auto& v : g_aTickValue)
            if (v.pdwField != &MODEL_TICKS::dwClean)
                r.ticks.*v.pdwField = ReadTick(*pKey, v.szName, m);
        for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k) {
            const QString strName = ModelValueName(IMAGE_KindInfo(k)->szLocationValue, m);
            bool bTooLong = false;
            r.locations.astrPath[k] = ReadLocation(*pKey, strName, &bTooLong);
            bool bTold = false;
            if (bTooLong)
                Report(bTold, "The stored location " + strName.toStdString() + " in " +
                                  pKey->fileName().toStdString() +
                                  " is longer than 255 characters: no image is taken from it");
        }
        MODEL_ApplyLoadRules(m, r.ticks);
    }
    {
        std::lock_guard<std::mutex> lock(core.m_csTicks);
        for (int m = 0; m < MODEL_COUNT; ++m) core.m_aModelTicks[m] = aRecord[m].ticks;
    }
    for (int m = 0; m < MODEL_COUNT; ++m) aLocations[m] = aRecord[m].locations;
    return true;
}

void CQtSettingsStore::SaveModelSettings(CVarnDLCore& core,
                                         MODEL_LOCATIONS (&aLocations)[MODEL_COUNT],
                                         bool bSelectAll)
{
    QSettings* pKey = OpenKey();
    if (!pKey) return;
    MODEL_RECORD r;
    int nModel;
    bool abValid[IMAGE_HIDDEN + 1] = {};
    {
        // A worker that forced a full download may be rewriting the record and the paths.
        std::lock_guard<std::mutex> lock(core.m_csTicks);
        nModel = core.m_nModel;
        if (nModel < 0 || nModel >= MODEL_COUNT) return;
        MODEL_TICKS& ticks = core.m_aModelTicks[nModel];
        const DOWNLOAD_TICKS& boxes = core.m_CurrentTicks;
        ticks.dwSelectAll = bSelectAll;
        ticks.dwPBoot = boxes.bPhoneBoot;
        ticks.dwPhone = boxes.bPhone;
        ticks.dwEfs = 0;  // "EFS Clear" is unlocked again in every session
        ticks.dwEboot = boxes.bEboot;
        ticks.dwPda = boxes.bPda;
        ticks.dwCarrier = boxes.bCsc;
        ticks.dwHidden = boxes.bHidden;
        for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k) {
            const std::string& strPath = IMAGE_Path(core, k);
            if (!strPath.empty()) aLocations[nModel].astrPath[k] = strPath;
            abValid[k] = IMAGE_ValidFlag(core, k) != 0;
        }
        r.ticks = ticks;
        r.locations = aLocations[nModel];
    }
    pKey->setValue("DeviceModel", WordBytes(uint32_t(nModel)));
    for (const auto& v : g_aTickValue)
        if (v.pdwField != &MODEL_TICKS::dwSelectAll)
            pKey->setValue(ModelValueName(v.szName, nModel), WordBytes(r.ticks.*v.pdwField));
    // A refused or missing image keeps the location stored before; so does a path the field
    // cannot hold, rather than a cut one that names another file.
    for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k) {
        const QString strPath = QString::fromStdString(r.locations.astrPath[k]);
        if (abValid[k] && !strPath.isEmpty() && strPath.size() < LOCATION_UNITS)
            pKey->setValue(ModelValueName(IMAGE_KindInfo(k)->szLocationValue, nModel), strPath);
    }
    CloseKey(*pKey);
}
