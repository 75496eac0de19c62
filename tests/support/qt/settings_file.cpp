#include "support/qt/settings_file.h"

#include <QSettings>

void QT_WriteSettings(const std::string& strFile,
                      const std::vector<std::pair<QString, QVariant>>& aValues)
{
    QSettings key(QString::fromStdString(strFile), QSettings::IniFormat);
    for (const auto& [strName, value] : aValues) key.setValue(strName, value);
}

QStringList QT_SettingsLines(const std::string& strFile)
{
    QSettings key(QString::fromStdString(strFile), QSettings::IniFormat);
    QStringList astrLines;
    for (const QString& strName : key.allKeys()) {
        const QVariant value = key.value(strName);
        if (value.typeId() != QMetaType::QByteArray) {
            astrLines << strName + "=" + value.toString();
            continue;
        }
        QByteArray aby = value.toByteArray();
        const qsizetype nSize = aby.size();
        while (aby.endsWith('\0')) aby.chop(1);
        astrLines
            << QString("%1:%2:%3").arg(strName).arg(nSize).arg(QString::fromLatin1(aby.toHex()));
    }
    astrLines.sort();
    return astrLines;
}
