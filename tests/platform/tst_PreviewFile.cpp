// The preview page's bytes on disk: its encoding, and replacing it whole.

#include "platform/PreviewFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::u16string u16(const QString& s)
{
    return s.toStdU16String();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// Runs the test body in `dir` as the working directory, since the page's
// name is relative.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const QString& dir) : m_old(QDir::currentPath())
    {
        QDir::setCurrent(dir);
    }
    ~WorkingDirectory() { QDir::setCurrent(m_old); }

private:
    QString m_old;
};

QStringList leftovers(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System).filter(QStringLiteral(".tmp"));
}

} // namespace

class PreviewFileTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void encoding_data();
    void encoding();
    void unknownEncoding();
    void localeDecides_data();
    void localeDecides();
    void replacesWholeFile();
    void newFileHonoursUmask_data();
    void newFileHonoursUmask();
    void plantedSymlinkIsReplaced();
    void fileSizeLimitKeepsOldPage();
    void vanishedDirectoryFails();

private:
    QString m_iconv;
};

void PreviewFileTest::initTestCase()
{
    m_iconv = QStandardPaths::findExecutable(QStringLiteral("iconv"));
    if (m_iconv.isEmpty())
        QFAIL("iconv is not on PATH: install the Debian package libc-bin");
}

void PreviewFileTest::encoding_data()
{
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QString>("text");
    // What the target can hold, with references where it cannot; iconv(1)
    // turns this into the expected bytes.
    QTest::addColumn<QString>("representable");

    const QString page = QStringLiteral("<title>Quorvel プレビュー</title>\r\n下記のように表示されます。<br><br>\r\n"
                                        "<a href=\"mailto:a@b\">メール送信</a>\r\n");
    QTest::newRow("UTF-8") << "UTF-8" << page << page;
    QTest::newRow("CP932") << "CP932" << page << page;
    QTest::newRow("EUC-JP") << "EUC-JP" << page << page;
    QTest::newRow("ISO-2022-JP") << "ISO-2022-JP" << page << page;
    QTest::newRow("ASCII")
        << "ASCII" << QStringLiteral("プレ\r\nx")
        << QStringLiteral("&#12503;&#12524;\r\nx");

    const QString mixed = QStringLiteral("送信\U0001F600é\u00A0x");
    QTest::newRow("CP932 lacks emoji and e-acute")
        << "CP932" << mixed << QStringLiteral("送信&#128512;&#233;&#160;x");
    QTest::newRow("EUC-JP lacks emoji") << "EUC-JP" << QStringLiteral("送\U0001F600信")
                                        << QStringLiteral("送&#128512;信");
    QTest::newRow("ISO-2022-JP shifts back before a reference")
        << "ISO-2022-JP" << QStringLiteral("送\U0001F600信") << QStringLiteral("送&#128512;信");
    QTest::newRow("UTF-8 keeps emoji") << "UTF-8" << mixed << mixed;
    QTest::newRow("lone surrogate") << "UTF-8" << QString(u'a') + QChar(0xD800) + u'b'
                                    << QStringLiteral("a&#65533;b");
    QTest::newRow("lone surrogate at end") << "CP932" << QString(u'a') + QChar(0xDBFF)
                                           << QStringLiteral("a&#65533;");
    QTest::newRow("empty") << "CP932" << "" << "";
}

void PreviewFileTest::encoding()
{
    QFETCH(QString, charset);
    QFETCH(QString, text);
    QFETCH(QString, representable);

    QProcess iconv;
    iconv.start(m_iconv, {QStringLiteral("-f"), QStringLiteral("UTF-8"), QStringLiteral("-t"), charset});
    QVERIFY(iconv.waitForStarted());
    iconv.write(representable.toUtf8());
    iconv.closeWriteChannel();
    QVERIFY(iconv.waitForFinished());
    QCOMPARE(iconv.exitCode(), 0);
    const QByteArray expected = iconv.readAllStandardOutput();

    const std::string actual = ApiDef::ToNarrow(u16(text), charset.toLatin1().constData());
    QCOMPARE(QByteArray::fromStdString(actual), expected);
}

void PreviewFileTest::unknownEncoding()
{
    QVERIFY(ApiDef::ToNarrow(u"abc", "NO-SUCH-CHARSET").empty());
}

void PreviewFileTest::localeDecides_data()
{
    QTest::addColumn<QByteArray>("locale");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("C is ASCII") << QByteArray("C") << QByteArray("&#36865;&#20449;&#128512;a");
    QTest::newRow("C.UTF-8") << QByteArray("C.UTF-8") << QStringLiteral("送信\U0001F600a").toUtf8();
}

void PreviewFileTest::localeDecides()
{
    QFETCH(QByteArray, locale);
    QFETCH(QByteArray, expected);
    const QByteArray old = qgetenv("LC_ALL");
    qputenv("LC_ALL", locale);
    const std::string bytes = ApiDef::ToLocaleNarrow(u"送信\U0001F600a");
    qputenv("LC_ALL", old);
    QCOMPARE(QByteArray::fromStdString(bytes), expected);
}

void PreviewFileTest::replacesWholeFile()
{
    QTemporaryDir dir;
    WorkingDirectory cwd(dir.path());
    writeFile(QStringLiteral("quorvel.html"), QByteArray(10000, 'o'));
    const ApiDef::WriteResult r = ApiDef::ReplaceFileContents(u"quorvel.html", "second");
    QVERIFY(r.ok);
    QVERIFY(r.reason.empty());
    QCOMPARE(readFile(QStringLiteral("quorvel.html")), QByteArray("second"));
    QVERIFY(leftovers(dir.path()).isEmpty());
}

void PreviewFileTest::newFileHonoursUmask_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("mode");
    QTest::newRow("022") << 022 << 0644;
    QTest::newRow("077") << 077 << 0600;
    QTest::newRow("002") << 002 << 0664;
}

void PreviewFileTest::newFileHonoursUmask()
{
    QFETCH(int, mask);
    QFETCH(int, mode);
    QTemporaryDir dir;
    WorkingDirectory cwd(dir.path());
    const mode_t old = ::umask(static_cast<mode_t>(mask));
    const ApiDef::WriteResult r = ApiDef::ReplaceFileContents(u"quorvel.html", "x");
    ::umask(old);
    QVERIFY(r.ok);
    struct stat info {};
    QCOMPARE(::stat("quorvel.html", &info), 0);
    QCOMPARE(int(info.st_mode & 07777), mode);
}

void PreviewFileTest::plantedSymlinkIsReplaced()
{
    QTemporaryDir dir;
    WorkingDirectory cwd(dir.path());
    writeFile(QStringLiteral("precious"), "keep me");
    QVERIFY(QFile::link(QStringLiteral("precious"), QStringLiteral("quorvel.html")));

    QVERIFY(ApiDef::WritePreviewFile(u"quorvel.html", u"page").ok);
    QCOMPARE(readFile(QStringLiteral("precious")), QByteArray("keep me"));
    QVERIFY(!QFileInfo(QStringLiteral("quorvel.html")).isSymLink());
    QCOMPARE(readFile(QStringLiteral("quorvel.html")), QByteArray("page"));
}

void PreviewFileTest::fileSizeLimitKeepsOldPage()
{
    QTemporaryDir dir;
    WorkingDirectory cwd(dir.path());
    writeFile(QStringLiteral("quorvel.html"), "old page");

    struct rlimit old {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit tiny = old;
    tiny.rlim_cur = 16;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const ApiDef::WriteResult r = ApiDef::ReplaceFileContents(u"quorvel.html", std::string(4096, 'n'));
    ::setrlimit(RLIMIT_FSIZE, &old);

    QVERIFY(!r.ok);
    QVERIFY2(!r.reason.empty(), "the system's reason must reach the user");
    QCOMPARE(readFile(QStringLiteral("quorvel.html")), QByteArray("old page"));
    QVERIFY(leftovers(dir.path()).isEmpty());
}

void PreviewFileTest::vanishedDirectoryFails()
{
    QTemporaryDir dir;
    const QString gone = dir.path() + QStringLiteral("/gone");
    QVERIFY(QDir().mkdir(gone));
    WorkingDirectory cwd(gone);
    QVERIFY(QDir().rmdir(gone));
    const ApiDef::WriteResult r = ApiDef::WritePreviewFile(u"quorvel.html", u"page");
    QVERIFY(!r.ok);
    QVERIFY(!r.reason.empty());
}

QTEST_GUILESS_MAIN(PreviewFileTest)
#include "tst_PreviewFile.moc"
