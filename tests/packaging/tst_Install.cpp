// An install into a DESTDIR, checked file by file and by the freedesktop
// ecosystem's own validators.

#include "PackagingSupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace packaging;

namespace {

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// How a metainfo row judges the element it names.
enum class Expect { Equals, English, Japanese, Matches, Present };

} // namespace

class tst_Install : public QObject {
    Q_OBJECT

    QTemporaryDir m_dest;
    QString installed(const QString& relative) const { return m_dest.filePath(relative); }
    QString desktopEntryPath() const
    {
        return installed(QStringLiteral("usr/share/applications/%1.desktop").arg(kAppId));
    }
    QString metainfoPath() const
    {
        return installed(QStringLiteral("usr/share/metainfo/%1.metainfo.xml").arg(kAppId));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dest.isValid());
        const RunResult result = installInto(m_dest.path());
        QVERIFY2(result.ok(), qPrintable(result.describe(QStringLiteral(QUORVEL_CMAKE), installArguments())));
    }

    void installsEveryFileInItsPlace_data()
    {
        QTest::addColumn<QString>("path");
        const QStringList files = expectedInstalledFiles();
        for (const QString& file : files)
            QTest::newRow(qPrintable(file)) << file;
    }

    void installsEveryFileInItsPlace()
    {
        QFETCH(QString, path);
        const QFileInfo info(installed(path));
        QVERIFY2(info.isFile(), qPrintable(info.filePath()));
        QVERIFY2(info.size() > 0, qPrintable(info.filePath()));
        // Only the program may be executable; the data files are read by others.
        QCOMPARE(info.isExecutable(), path == QLatin1String("usr/bin/quorvel"));
        QVERIFY(info.permission(QFile::ReadOther));
    }

    void installsNothingElse()
    {
        QCOMPARE(filesUnder(m_dest.path()), expectedInstalledFiles());
    }

    void installedProgramIsTheBuiltOne()
    {
        // An install rule that named another file, or a stale copy, would
        // show here as different bytes.
        const QByteArray built = contents(QStringLiteral(QUORVEL_PROGRAM));
        QVERIFY(!built.isEmpty());
        QVERIFY(built.startsWith("\x7f" "ELF"));
        QCOMPARE(QCryptographicHash::hash(contents(installed(QStringLiteral("usr/bin/quorvel"))),
                                          QCryptographicHash::Sha256),
                 QCryptographicHash::hash(built, QCryptographicHash::Sha256));
    }

    void desktopEntryPassesDesktopFileValidate()
    {
        QUORVEL_REQUIRE_TOOL(validate, "desktop-file-validate", "desktop-file-utils");
        const RunResult result = run(validate, {desktopEntryPath()});
        QVERIFY2(result.ok(), qPrintable(result.describe(validate, {desktopEntryPath()})));
        // It reports hints and deprecations on stdout and still exits 0.
        QVERIFY2(result.out.trimmed().isEmpty(), result.out.constData());
    }

    void desktopEntryKey_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected"); // empty: judged by `japanese`
        QTest::addColumn<bool>("japanese");
        QTest::newRow("Type") << "Type" << "Application" << false;
        QTest::newRow("Name") << "Name" << "Quorvel" << false;
        QTest::newRow("Name[ja]") << "Name[ja]" << "Quorvel" << false;
        QTest::newRow("Comment is English") << "Comment" << QString() << false;
        QTest::newRow("Comment[ja] is Japanese") << "Comment[ja]" << QString() << true;
        QTest::newRow("Exec takes no arguments") << "Exec" << "quorvel" << false;
        QTest::newRow("Icon is the id") << "Icon" << kAppId << false;
        QTest::newRow("Categories") << "Categories" << "Development;WebDevelopment;" << false;
        QTest::newRow("Terminal") << "Terminal" << "false" << false;
    }

    void desktopEntryKey()
    {
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QFETCH(bool, japanese);
        const QMap<QString, QString> entry = readDesktopEntry(desktopEntryPath());
        QVERIFY2(entry.contains(key), qPrintable(key));
        const QString value = entry.value(key);
        if (!expected.isEmpty())
            QCOMPARE(value, expected);
        QVERIFY2(!value.isEmpty(), qPrintable(key));
        QCOMPARE(hasJapanese(value), japanese);
    }

    void desktopEntryPointsAtInstalledFiles_data()
    {
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("Exec on bin") << "usr/bin" << "Exec" << "";
        QTest::newRow("Icon scalable") << "usr/share/icons/hicolor/scalable/apps" << "Icon" << ".svg";
        QTest::newRow("Icon 48x48") << "usr/share/icons/hicolor/48x48/apps" << "Icon" << ".png";
        QTest::newRow("Icon 128x128") << "usr/share/icons/hicolor/128x128/apps" << "Icon" << ".png";
    }

    void desktopEntryPointsAtInstalledFiles()
    {
        // A menu finds the program on PATH and the icon in the theme by the
        // names the entry gives; a rename on one side only breaks both.
        QFETCH(QString, directory);
        QFETCH(QString, key);
        QFETCH(QString, suffix);
        const QString name = readDesktopEntry(desktopEntryPath()).value(key);
        QVERIFY(!name.isEmpty());
        const QString path = installed(directory + QLatin1Char('/') + name + suffix);
        QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
    }

    void metainfoPassesAppstreamValidate()
    {
        QUORVEL_REQUIRE_TOOL(appstreamcli, "appstreamcli", "appstream");
        const QStringList args{QStringLiteral("validate"), QStringLiteral("--no-net"), metainfoPath()};
        const RunResult result = run(appstreamcli, args);
        QVERIFY2(result.ok(), qPrintable(result.describe(appstreamcli, args)));
    }

    void installedTreePassesAppstreamValidateTree()
    {
        // Unlike `validate`, this also looks for the desktop entry that the
        // metainfo launches, in the installed tree.
        QUORVEL_REQUIRE_TOOL(appstreamcli, "appstreamcli", "appstream");
        const QStringList args{QStringLiteral("validate-tree"), QStringLiteral("--no-net"),
                               installed(QStringLiteral("usr"))};
        const RunResult result = run(appstreamcli, args);
        QVERIFY2(result.ok(), qPrintable(result.describe(appstreamcli, args)));
    }

    void metainfo_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("attribute"); // "name=value" the element must carry, or empty
        QTest::addColumn<QString>("lang");      // xml:lang, empty for the untranslated text
        QTest::addColumn<int>("expect");
        QTest::addColumn<QString>("value");
        const int equals = int(Expect::Equals), english = int(Expect::English),
                  japanese = int(Expect::Japanese), matches = int(Expect::Matches),
                  present = int(Expect::Present);
        QTest::newRow("id is the desktop entry's") << "component/id" << "" << "" << equals << kAppId;
        QTest::newRow("type") << "component" << "type=desktop-application" << "" << present << "";
        QTest::newRow("launchable") << "component/launchable" << "type=desktop-id" << "" << equals
                                    << kAppId + QStringLiteral(".desktop");
        QTest::newRow("binary") << "component/provides/binary" << "" << "" << equals << "quorvel";
        QTest::newRow("name") << "component/name" << "" << "" << equals << "Quorvel";
        QTest::newRow("summary en") << "component/summary" << "" << "" << english << "";
        QTest::newRow("summary ja") << "component/summary" << "" << "ja" << japanese << "";
        QTest::newRow("description en") << "component/description/p" << "" << "" << english << "";
        QTest::newRow("description ja") << "component/description/p" << "" << "ja" << japanese << "";
        QTest::newRow("caption en") << "component/screenshots/screenshot/caption" << "" << "" << english << "";
        QTest::newRow("caption ja") << "component/screenshots/screenshot/caption" << "" << "ja" << japanese
                                    << "";
        QTest::newRow("screenshot is docs/screenshot.png")
            << "component/screenshots/screenshot/image" << "" << "" << matches
            << "^https://\\S+/docs/screenshot\\.png$";
        QTest::newRow("content rating") << "component/content_rating" << "type=oars-1.1" << "" << present << "";
        QTest::newRow("metadata licence") << "component/metadata_license" << "" << "" << matches << "^\\S+$";
        QTest::newRow("release is the program's version")
            << "component/releases/release" << "version=" QUORVEL_VERSION << "" << present << "";
    }

    void metainfo()
    {
        QFETCH(QString, path);
        QFETCH(QString, attribute);
        QFETCH(QString, lang);
        QFETCH(int, expect);
        QFETCH(QString, value);

        QString error;
        const QList<XmlElement> elements = readXml(metainfoPath(), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        const QString wantName = attribute.section(QLatin1Char('='), 0, 0);
        const QString wantValue = attribute.section(QLatin1Char('='), 1);
        const XmlElement* found = nullptr;
        for (const XmlElement& element : elements) {
            if (element.path != path || element.attributes.value(QStringLiteral("xml:lang")) != lang)
                continue;
            if (!wantName.isEmpty() && element.attributes.value(wantName) != wantValue)
                continue;
            found = &element;
            break;
        }
        QVERIFY2(found, qPrintable(QStringLiteral("no %1 %2 lang=%3").arg(path, attribute, lang)));
        switch (Expect(expect)) {
        case Expect::Equals:
            QCOMPARE(found->text, value);
            break;
        case Expect::English:
            QVERIFY(found->text.size() > 10);
            QVERIFY2(!hasJapanese(found->text), qPrintable(found->text));
            break;
        case Expect::Japanese:
            QVERIFY2(hasJapanese(found->text), qPrintable(found->text));
            break;
        case Expect::Matches:
            QVERIFY2(QRegularExpression(value).match(found->text).hasMatch(), qPrintable(found->text));
            break;
        case Expect::Present:
            break;
        }
    }

    void screenshotIsInTheSourceTree()
    {
        // Software centres fetch the screenshot from the repository, by the
        // path the metainfo names after the branch.
        QString error;
        QString url;
        for (const XmlElement& element : readXml(metainfoPath(), &error))
            if (element.path == QLatin1String("component/screenshots/screenshot/image"))
                url = element.text;
        QVERIFY2(error.isEmpty(), qPrintable(error));
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^https://raw\\.githubusercontent\\.com/[^/]+/[^/]+/[^/]+/(.+)$")).match(url);
        QVERIFY2(match.hasMatch(), qPrintable(url));
        const QImage screenshot(QStringLiteral(QUORVEL_SOURCE_DIR "/") + match.captured(1));
        QVERIFY2(!screenshot.isNull(), qPrintable(match.captured(1) + QStringLiteral(": run make screenshot")));
        QVERIFY(screenshot.width() >= 200 && screenshot.height() >= 100);
    }

    void licenceIsNamedTheSameEverywhere()
    {
        // The licence text at the root names the licence; the metainfo and
        // the package's copyright file must say the same.
        const QByteArray licence = contents(QStringLiteral(QUORVEL_SOURCE_DIR "/LICENSE"));
        const QMap<QByteArray, QString> spdx{{"MIT License", QStringLiteral("MIT")},
                                             {"Apache License", QStringLiteral("Apache-2.0")},
                                             {"GNU GENERAL PUBLIC LICENSE", QStringLiteral("GPL-3.0-or-later")}};
        const QByteArray heading = licence.left(licence.indexOf('\n')).trimmed();
        QVERIFY2(spdx.contains(heading), heading.constData());

        QString error;
        QString projectLicence;
        for (const XmlElement& element : readXml(metainfoPath(), &error))
            if (element.path == QLatin1String("component/project_license"))
                projectLicence = element.text;
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(projectLicence, spdx.value(heading));
        QCOMPARE(contents(installed(QStringLiteral("usr/share/doc/quorvel/copyright"))), licence);
    }

    void pngIconMatchesTheSvg_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("48x48") << 48;
        QTest::newRow("128x128") << 128;
    }

    void pngIconMatchesTheSvg()
    {
        // The PNGs are rendered from the SVG and committed; an SVG changed
        // without rendering them again would give a menu and a window that
        // show another picture than the theme's scalable icon.
        QFETCH(int, size);
        QUORVEL_REQUIRE_TOOL(rsvg, "rsvg-convert", "librsvg2-bin");
        const QString dims = QStringLiteral("%1x%1").arg(size);
        const QImage png(installed(QStringLiteral("usr/share/icons/hicolor/%1/apps/%2.png").arg(dims, kAppId)));
        QCOMPARE(png.size(), QSize(size, size));

        int covered = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                covered += qAlpha(png.pixel(x, y)) > 0 ? 1 : 0;
        QVERIFY2(covered > size * size / 2, "the icon is mostly transparent");

        const QStringList args{QStringLiteral("-w"), QString::number(size), QStringLiteral("-h"),
                               QString::number(size),
                               installed(QStringLiteral("usr/share/icons/hicolor/scalable/apps/%1.svg").arg(kAppId))};
        const RunResult rendered = run(rsvg, args);
        QVERIFY2(rendered.ok(), qPrintable(rendered.describe(rsvg, args)));
        const QImage fromSvg = QImage::fromData(rendered.out, "PNG");
        const double difference = meanDifference(png, fromSvg);
        // Another librsvg may anti-alias edges a little differently.
        QVERIFY2(difference >= 0 && difference < 2.0,
                 qPrintable(QStringLiteral("mean difference %1; run packaging/render-icons").arg(difference)));
    }
};

QTEST_MAIN(tst_Install)
#include "tst_Install.moc"
