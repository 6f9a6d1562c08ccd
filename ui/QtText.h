#pragma once
// The one crossing between our UTF-16 strings and Qt's: both are UTF-16, so nothing is converted.
#include <QString>
#include <string>

inline QString ToQString(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::u16string FromQString(const QString& text) {
    return text.toStdU16String();
}
