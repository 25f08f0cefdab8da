#include "PackagingSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <cstdlib>

namespace packaging {

QStringList expectedInstalledFiles()
{
    return {
        QStringLiteral("usr/bin/quorvel"),
        QStringLiteral("usr/share/applications/%1.desktop").arg(kAppId),
        QStringLiteral("usr/share/doc/quorvel/copyright"),
        QStringLiteral("usr/share/icons/hicolor/128x128/apps/%1.png").arg(kAppId),
        QStringLiteral("usr/share/icons/hicolor/48x48/apps/%1.png").arg(kAppId),
        QStringLiteral("usr/share/icons/hicolor/scalable/apps/%1.svg").arg(kAppId),
        QStringLiteral("usr/share/metainfo/%1.metainfo.xml").arg(kAppId),
    };
}

QString RunResult::describe(const QString& program, const QStringList& args) const
{
    QString status = finished ? QStringLiteral("exit code %1").arg(exitCode)
                              : QStringLiteral("did not finish");
    return QStringLiteral("%1 %2: %3\n--- stdout\n%4\n--- stderr\n%5")
        .arg(program, args.join(QLatin1Char(' ')), status, QString::fromUtf8(out),
             QString::fromUtf8(err));
}

RunResult run(const QString& program, const QStringList& args, const QProcessEnvironment& env,
              int timeoutMs)
{
    RunResult result;
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    if (!process.waitForStarted()) {
        result.err = process.errorString().toUtf8();
        return result;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    } else {
        result.finished = process.exitStatus() == QProcess::NormalExit;
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QStringList installArguments()
{
    return {QStringLiteral("--install"), QStringLiteral(QUORVEL_BUILD_DIR), QStringLiteral("--prefix"),
            QStringLiteral("/usr")};
}

RunResult installInto(const QString& destdir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DESTDIR"), destdir);
    return run(QStringLiteral(QUORVEL_CMAKE), installArguments(), env);
}

QStringList filesUnder(const QString& root)
{
    QStringList files;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << base.relativeFilePath(it.next());
    files.sort();
    return files;
}

QMap<QString, QString> readDesktopEntry(const QString& path)
{
    QMap<QString, QString> entry;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entry;
    bool inMainGroup = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (inMainGroup && eq > 0)
            entry.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return entry;
}

bool hasJapanese(const QString& text)
{
    static const QRegularExpression japanese(QStringLiteral("[\\x{3040}-\\x{30FF}\\x{4E00}-\\x{9FFF}]"));
    return japanese.match(text).hasMatch();
}

double meanDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size() || a.isNull())
        return -1.0;
    const QImage pa = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage pb = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    double sum = 0;
    for (int y = 0; y < pa.height(); ++y) {
        const auto* la = reinterpret_cast<const QRgb*>(pa.constScanLine(y));
        const auto* lb = reinterpret_cast<const QRgb*>(pb.constScanLine(y));
        for (int x = 0; x < pa.width(); ++x) {
            sum += std::abs(qAlpha(la[x]) - qAlpha(lb[x])) + std::abs(qRed(la[x]) - qRed(lb[x])) +
                   std::abs(qGreen(la[x]) - qGreen(lb[x])) + std::abs(qBlue(la[x]) - qBlue(lb[x]));
        }
    }
    return sum / (4.0 * pa.width() * pa.height());
}

QList<XmlElement> readXml(const QString& path, QString* error)
{
    QList<XmlElement> elements;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return elements;
    }
    QXmlStreamReader reader(&file);
    QList<XmlElement> open;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            XmlElement element;
            element.path = open.isEmpty() ? reader.name().toString()
                                          : open.last().path + QLatin1Char('/') + reader.name().toString();
            for (const QXmlStreamAttribute& attribute : reader.attributes())
                element.attributes.insert(attribute.qualifiedName().toString(), attribute.value().toString());
            open.append(element);
            break;
        }
        case QXmlStreamReader::Characters:
            if (!open.isEmpty())
                open.last().text += reader.text();
            break;
        case QXmlStreamReader::EndElement:
            open.last().text = open.last().text.simplified();
            elements.append(open.takeLast());
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        *error = reader.errorString();
    return elements;
}

} // namespace packaging
