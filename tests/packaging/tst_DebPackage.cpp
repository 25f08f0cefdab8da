// The Debian package that `cpack -G DEB` builds from the build tree, read
// back with dpkg-deb and judged against this system's dpkg database.

#include "PackagingSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace packaging;

namespace {

struct Relation {
    QString name;
    QString op;      // empty when the relation names no version
    QString version;
};

// A Depends-style field: groups separated by commas, alternatives by bars.
QList<QList<Relation>> parseRelations(const QString& field)
{
    static const QRegularExpression one(
        QStringLiteral("^\\s*([a-z0-9][a-z0-9.+-]*)(?::[a-z0-9-]+)?\\s*(?:\\(\\s*([<>=]+)\\s*([^)\\s]+)\\s*\\))?\\s*$"));
    QList<QList<Relation>> groups;
    for (const QString& group : field.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        QList<Relation> alternatives;
        for (const QString& alternative : group.split(QLatin1Char('|'))) {
            const QRegularExpressionMatch match = one.match(alternative);
            alternatives.append(match.hasMatch() ? Relation{match.captured(1), match.captured(2), match.captured(3)}
                                                 : Relation{QStringLiteral("<unparsed: %1>").arg(alternative), {}, {}});
        }
        groups.append(alternatives);
    }
    return groups;
}

bool names(const QList<QList<Relation>>& groups, const QString& package)
{
    for (const QList<Relation>& group : groups)
        for (const Relation& relation : group)
            if (relation.name == package)
                return true;
    return false;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_DebPackage : public QObject {
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_deb;
    QString m_arch;
    QString m_dpkgDeb;
    QString m_dpkg;

    QString workPath(const QString& relative) const { return m_work.filePath(relative); }

    QString field(const QString& name)
    {
        const QStringList args{QStringLiteral("--field"), m_deb, name};
        const RunResult result = run(m_dpkgDeb, args);
        return result.ok() ? QString::fromUtf8(result.out).trimmed() : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        QUORVEL_REQUIRE_TOOL(dpkgDeb, "dpkg-deb", "dpkg");
        QUORVEL_REQUIRE_TOOL(dpkg, "dpkg", "dpkg");
        // cpack needs these to compute the library dependencies.
        QUORVEL_REQUIRE_TOOL(shlibdeps, "dpkg-shlibdeps", "dpkg-dev");
        QUORVEL_REQUIRE_TOOL(file, "file", "file");
        QUORVEL_REQUIRE_TOOL(objdump, "objdump", "binutils");
        m_dpkgDeb = dpkgDeb;
        m_dpkg = dpkg;

        const RunResult arch = run(dpkg, {QStringLiteral("--print-architecture")});
        QVERIFY(arch.ok());
        m_arch = QString::fromLatin1(arch.out).trimmed();

        const QStringList args{QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                               QStringLiteral(QUORVEL_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"),
                               workPath(QStringLiteral("out"))};
        const RunResult packed = run(QStringLiteral(QUORVEL_CPACK), args);
        QVERIFY2(packed.ok(), qPrintable(packed.describe(QStringLiteral(QUORVEL_CPACK), args)));
        const QStringList debs = QDir(workPath(QStringLiteral("out"))).entryList({QStringLiteral("*.deb")});
        QCOMPARE(debs.size(), 1);
        m_deb = workPath(QStringLiteral("out/") + debs.first());

        const QStringList extract{QStringLiteral("--extract"), m_deb, workPath(QStringLiteral("unpacked"))};
        const RunResult unpacked = run(m_dpkgDeb, extract);
        QVERIFY2(unpacked.ok(), qPrintable(unpacked.describe(m_dpkgDeb, extract)));
        const RunResult installed = installInto(workPath(QStringLiteral("installed")));
        QVERIFY2(installed.ok(), qPrintable(installed.describe(QStringLiteral(QUORVEL_CMAKE), installArguments())));
    }

    void fileNameFollowsDebian()
    {
        // `sudo apt install ./quorvel_*.deb` relies on this name.
        QCOMPARE(QFileInfo(m_deb).fileName(),
                 QStringLiteral("quorvel_%1_%2.deb").arg(QStringLiteral(QUORVEL_VERSION), m_arch));
    }

    void carriesWhatAnInstallPuts()
    {
        QCOMPARE(filesUnder(workPath(QStringLiteral("unpacked"))), expectedInstalledFiles());
    }

    void member_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("mode");
        const QString data = QStringLiteral("-rw-r--r--");
        QTest::newRow("program") << "./usr/bin/quorvel" << "-rwxr-xr-x";
        QTest::newRow("desktop entry") << QStringLiteral("./usr/share/applications/%1.desktop").arg(kAppId) << data;
        QTest::newRow("scalable icon")
            << QStringLiteral("./usr/share/icons/hicolor/scalable/apps/%1.svg").arg(kAppId) << data;
        QTest::newRow("48x48 icon") << QStringLiteral("./usr/share/icons/hicolor/48x48/apps/%1.png").arg(kAppId)
                                    << data;
        QTest::newRow("128x128 icon")
            << QStringLiteral("./usr/share/icons/hicolor/128x128/apps/%1.png").arg(kAppId) << data;
        QTest::newRow("metainfo") << QStringLiteral("./usr/share/metainfo/%1.metainfo.xml").arg(kAppId) << data;
        QTest::newRow("copyright") << "./usr/share/doc/quorvel/copyright" << data;
    }

    void member()
    {
        // dpkg installs the members with the owner and mode they have in the
        // archive, whatever the build machine's umask and user were.
        QFETCH(QString, path);
        QFETCH(QString, mode);
        const QStringList args{QStringLiteral("--contents"), m_deb};
        const RunResult listing = run(m_dpkgDeb, args);
        QVERIFY2(listing.ok(), qPrintable(listing.describe(m_dpkgDeb, args)));
        const QRegularExpression line(QStringLiteral("^(\\S+)\\s+(\\S+)\\s+\\d+\\s+\\S+\\s+\\S+\\s+%1$")
                                          .arg(QRegularExpression::escape(path)),
                                      QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = line.match(QString::fromUtf8(listing.out));
        QVERIFY2(match.hasMatch(), qPrintable(path));
        QCOMPARE(match.captured(1), mode);
        QCOMPARE(match.captured(2), QStringLiteral("root/root"));
    }

    void dataFileIsTheInstalledOne_data()
    {
        QTest::addColumn<QString>("path");
        // The program is stripped in the package; everything else is copied.
        const QStringList files = expectedInstalledFiles();
        for (const QString& file : files)
            if (file != QLatin1String("usr/bin/quorvel"))
                QTest::newRow(qPrintable(file)) << file;
    }

    void dataFileIsTheInstalledOne()
    {
        QFETCH(QString, path);
        const QByteArray packaged = contents(workPath(QStringLiteral("unpacked/") + path));
        QVERIFY(!packaged.isEmpty());
        QVERIFY(packaged == contents(workPath(QStringLiteral("installed/") + path)));
    }

    void controlField_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("Package") << "Package" << "quorvel";
        QTest::newRow("Version is the program's") << "Version" << QUORVEL_VERSION;
    }

    void controlField()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(field(name), expected);
    }

    void architectureIsThisMachines()
    {
        QCOMPARE(field(QStringLiteral("Architecture")), m_arch);
    }

    void descriptionSurvivesCPack()
    {
        // A summary line, then the long text indented by one space.
        const QString description = field(QStringLiteral("Description"));
        const QStringList lines = description.split(QLatin1Char('\n'));
        QVERIFY2(lines.size() > 2, qPrintable(description));
        QVERIFY(!lines.first().isEmpty());
        QVERIFY2(!description.contains(QLatin1Char(';')), qPrintable(description));
        for (const QString& line : lines.mid(1))
            QVERIFY2(line.startsWith(QLatin1Char(' ')), qPrintable(line));
    }

    void depends_data()
    {
        QTest::addColumn<QString>("package");
        // These come from dpkg-shlibdeps reading the program's libraries.
        QTest::newRow("Qt 6 widgets") << "libqt6widgets6";
        QTest::newRow("Qt 6 gui") << "libqt6gui6";
        QTest::newRow("Qt 6 core") << "libqt6core6";
        QTest::newRow("C library") << "libc6";
        QTest::newRow("C++ library") << "libstdc++6";
        // The preview opens the page through xdg-open.
        QTest::newRow("desktop opener") << "xdg-utils";
    }

    void depends()
    {
        QFETCH(QString, package);
        const QString depends = field(QStringLiteral("Depends"));
        QVERIFY2(names(parseRelations(depends), package), qPrintable(depends));
    }

    void recommends_data()
    {
        QTest::addColumn<QString>("package");
        QTest::newRow("fcitx5 front end for Qt 6") << "fcitx5-frontend-qt6";
        QTest::newRow("a Japanese font") << "fonts-noto-cjk";
        QTest::newRow("the font install-deps puts here") << "fonts-ipafont-gothic";
    }

    void recommends()
    {
        QFETCH(QString, package);
        const QString recommends = field(QStringLiteral("Recommends"));
        QVERIFY2(names(parseRelations(recommends), package), qPrintable(recommends));
    }

    void ibusInputContextComesWithADependency()
    {
        // Qt's ibus front end is no package of its own: it ships inside one
        // of Qt's libraries, so the package must pull that library in.
        const RunResult owner = run(QStringLiteral("dpkg-query"),
                                    {QStringLiteral("--search"), QStringLiteral("*/qt6/plugins/platforminputcontexts/"
                                                                                "libibusplatforminputcontextplugin.so")});
        QVERIFY2(owner.ok(), "no installed package carries Qt 6's ibus input context; install libqt6gui6");
        const QString package = QString::fromUtf8(owner.out).section(QLatin1Char(':'), 0, 0).trimmed();
        const QString depends = field(QStringLiteral("Depends"));
        QVERIFY2(names(parseRelations(depends), package), qPrintable(package + QStringLiteral(" not in ") + depends));
    }

    void dependsAreSatisfiedOnThisSystem()
    {
        // The program runs here, so every dependency must hold here: a
        // wrong name or an impossible version would keep apt from
        // installing the package on the very system it was built on.
        const QString depends = field(QStringLiteral("Depends"));
        QVERIFY(!depends.isEmpty());
        for (const QList<Relation>& group : parseRelations(depends)) {
            QStringList tried;
            bool satisfied = false;
            for (const Relation& relation : group) {
                const RunResult query = run(QStringLiteral("dpkg-query"),
                                            {QStringLiteral("--show"), QStringLiteral("--showformat=${Version}"),
                                             relation.name});
                const QString installedVersion = QString::fromUtf8(query.out).trimmed();
                tried << QStringLiteral("%1 %2 %3 (here: %4)")
                             .arg(relation.name, relation.op, relation.version,
                                  installedVersion.isEmpty() ? QStringLiteral("none") : installedVersion);
                if (!query.ok() || installedVersion.isEmpty())
                    continue;
                if (relation.op.isEmpty()) {
                    satisfied = true;
                    break;
                }
                const QMap<QString, QString> ops{{QStringLiteral(">="), QStringLiteral("ge")},
                                                 {QStringLiteral("<="), QStringLiteral("le")},
                                                 {QStringLiteral(">>"), QStringLiteral("gt")},
                                                 {QStringLiteral("<<"), QStringLiteral("lt")},
                                                 {QStringLiteral("="), QStringLiteral("eq")}};
                QVERIFY2(ops.contains(relation.op), qPrintable(relation.op));
                const RunResult compare =
                    run(m_dpkg, {QStringLiteral("--compare-versions"), installedVersion, ops.value(relation.op),
                                 relation.version});
                if (compare.ok()) {
                    satisfied = true;
                    break;
                }
            }
            QVERIFY2(satisfied, qPrintable(tried.join(QStringLiteral(" | "))));
        }
    }
};

QTEST_MAIN(tst_DebPackage)
#include "tst_DebPackage.moc"
