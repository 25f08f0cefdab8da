#pragma once
// QString and the UTF-16 standard strings of the composer and the platform
// layer hold the same code units; these convert at the Qt edge without
// re-encoding.

#include <QString>

#include <string_view>

inline std::u16string_view view(const QString& s)
{
    return {reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size())};
}

inline QString toQString(std::u16string_view s)
{
    return QString(reinterpret_cast<const QChar*>(s.data()), static_cast<qsizetype>(s.size()));
}
