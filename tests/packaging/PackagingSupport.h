#pragma once
// Helpers shared by the tests of the installed program and its package: they
// run the real tools (cmake, cpack, dpkg, the freedesktop validators, an X
// server) and read what those tools leave behind.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QtTest>

namespace packaging {

inline const QString kAppId = QStringLiteral("io.github.quorvel.Quorvel");

// Every file an install puts under DESTDIR, for the prefix /usr, in the
// places the freedesktop and Debian conventions expect them.
QStringList expectedInstalledFiles();

struct RunResult {
    bool finished = false; // started, and exited by itself within the time limit
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    bool ok() const { return finished && exitCode == 0; }
    // The command line and what it printed, for a failure message.
    QString describe(const QString& program, const QStringList& args) const;
};

RunResult run(const QString& program, const QStringList& args,
              const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
              int timeoutMs = 180000);

// `cmake --install` of the build tree under test, prefix /usr, into destdir.
RunResult installInto(const QString& destdir);
QStringList installArguments();

// Regular files under root, relative to it, sorted.
QStringList filesUnder(const QString& root);

// The [Desktop Entry] group of a desktop entry file: key (with its locale,
// "Name[ja]") to value.
QMap<QString, QString> readDesktopEntry(const QString& path);

// True when the text holds kana or kanji, i.e. was written in Japanese.
bool hasJapanese(const QString& text);

// Mean absolute difference per channel of two images of equal size, both
// compared premultiplied so that fully transparent pixels count as equal;
// a negative value when the sizes differ.
double meanDifference(const QImage& a, const QImage& b);

// One element of an XML document, flattened: its path from the root
// ("component/summary"), its attributes by qualified name, its own text.
struct XmlElement {
    QString path;
    QMap<QString, QString> attributes;
    QString text;
};
QList<XmlElement> readXml(const QString& path, QString* error);

} // namespace packaging

// A missing tool is a failure that says which Debian package brings it.
#define QUORVEL_REQUIRE_TOOL(var, command, package)                                         \
    const QString var = QStandardPaths::findExecutable(QStringLiteral(command));           \
    if (var.isEmpty())                                                                      \
        QFAIL(command " is not on PATH: install the Debian package " package                \
                      " (scripts/install-deps does)")
