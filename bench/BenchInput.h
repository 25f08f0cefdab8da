#pragma once
// What the benchmarks compose: an address of a given length in UTF-16 units,
// mostly ASCII with some Japanese and exactly one astral character, so that
// every branch of the reference writer is on the hot path in realistic
// proportion. The peer under node is fed the very same text through a file,
// never a second generator that could drift.

#include <QString>

namespace BenchInput {

inline QString Address(qsizetype units)
{
    // 28 units: 24 ASCII, 4 Japanese.
    static const QString pattern = QStringLiteral("taro.yamada+お知らせ@example.jp,");
    QString s;
    s.reserve(units);
    while (s.size() < units)
        s += pattern;
    s.truncate(units);
    // U+1F4E7 (e-mail symbol) as its surrogate pair, in the middle.
    if (units >= 2) {
        const qsizetype at = units / 2 - 1;
        s[at] = QChar(0xD83D);
        s[at + 1] = QChar(0xDCE7);
    }
    return s;
}

inline const QString& LinkText()
{
    static const QString text = QStringLiteral("メール送信");
    return text;
}

} // namespace BenchInput
