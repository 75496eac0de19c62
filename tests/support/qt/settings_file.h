// Settings files as tests see them: values written as an editor or another station would leave
// them, and a file's whole content as short comparable lines.
#pragma once

#include <QStringList>
#include <QVariant>

#include <string>
#include <utility>
#include <vector>

void QT_WriteSettings(const std::string& strFile,
                      const std::vector<std::pair<QString, QVariant>>& aValues);
// One line per value, sorted: "Name:size:hex" for bytes, the hex without its trailing zero bytes
// (so "PBOOT_4:4:01", "EFS_4:4:"); "Name=text" for texts.
QStringList QT_SettingsLines(const std::string& strFile);
