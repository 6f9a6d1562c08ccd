#pragma once
// The one crossing between our UTF-16 strings and Qt's: both are UTF-16, so nothing is converted.
// Also the way a text from the network reaches a Qt surface that may read it as markup. Widgets
// that show such texts are set to Qt::PlainText; this is for a surface that can't be.
#include <QString>
#include <string>

inline QString ToQString(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::u16string FromQString(const QString& text) {
    return text.toStdU16String();
}

// A notification's title that no reader takes for markup. Qt's own balloon (where the desktop
// has no notification service) guesses markup from the text, and some notification services
// read markup too, so no one escaped form shows literally on both. A word joiner (U+2060:
// invisible, no break) after each '<' and '&' ends any tag or entity before it starts, so the
// text is read literally either way and looks unchanged.
inline QString InertToMarkup(const QString& text) {
    QString inert;
    inert.reserve(text.size());
    for (const QChar c : text) {
        inert += c;
        if (c == u'<' || c == u'&') {
            inert += QChar(0x2060);
        }
    }
    return inert;
}
