// The Linux platform layer against the real system: the page's bytes in each
// legacy locale, the page on disk, the desktop opener and the X11 clipboard.
// The cases are the rows of platform_rows.json and ../narrow_rows.json.
#include "platform/ApiDef.h"
#include "platform/PreviewFile.h"

#include <QtTest>
#include <csignal>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>

static QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : "<unreadable>";
}
static bool writeFile(const QString& path, const QByteArray& bytes, QFile::Permissions mode) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.setPermissions(mode);
}
static QJsonArray table(const char* file, const char* name = nullptr) {
    const QJsonDocument doc = QJsonDocument::fromJson(readAll(file));
    return name ? doc[name].toArray() : doc.array();
}
// Root passes every permission check; under another file-system user id
// (this thread's only) it meets a read-only directory as a user does.
static void lockDirectory(bool locked) { ::setfsuid(::geteuid()); ::chmod(".", locked ? 0555 : 0755); ::setfsuid(locked ? 1 : ::geteuid()); }
static void addRows(const char* name) {
    QTest::addColumn<QJsonObject>("r");
    for (const QJsonValue row : table(QUORVEL_PLATFORM_ROWS, name))
        QTest::newRow(qPrintable(row["name"].toString())) << row.toObject();
}

class tst_Platform : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase() {
        QVERIFY2(!QStandardPaths::findExecutable("xclip").isEmpty(), "xclip is missing: install the Debian package xclip");
        QVERIFY(QDir::setCurrent(m_dir.path()));
        ::umask(022);
        std::signal(SIGXFSZ, SIG_IGN);  // as main() does
    }

    // Each row of the narrow table in each legacy locale. A Shift_JIS
    // locale's page is meant to be read as CP932, as browsers read Shift_JIS.
    void page_data() {
        QTest::addColumn<QJsonObject>("r");
        for (const QJsonValue row : table(QUORVEL_NARROW_ROWS))
            for (const QJsonValue locale : table(QUORVEL_PLATFORM_ROWS, "locales"))
                QTest::addRow("%s, %s", qPrintable(row["name"].toString()), qPrintable(locale["locale"].toString()))
                    << QJsonObject{{"locale", locale["locale"]}, {"text", row["text"]}, {"hex", row["bytes"][locale["column"].toString()]}};
    }
    void page() {
        QFETCH(QJsonObject, r);
        const QByteArray locale = r["locale"].toString().toLatin1();
        const std::unique_ptr<std::remove_pointer_t<locale_t>, decltype(&freelocale)> exists(newlocale(LC_ALL_MASK, locale, nullptr), freelocale);
        QVERIFY2(exists, locale + " is missing: scripts/install-deps generates it (Debian package locales)");
        qputenv("LC_ALL", locale);
        QVERIFY(ApiDef::WritePreviewFile(u"quorvel.html", r["text"].toString().toStdU16String()).ok);
        qunsetenv("LC_ALL");
        QCOMPARE(readAll("quorvel.html").toHex(), r["hex"].toString().toLatin1());
    }

    void replace_data() { addRows("replace"); }
    void replace() {
        QFETCH(QJsonObject, r);
        QFile::remove("quorvel.html");
        QVERIFY(writeFile("other", "old page, longer than the new one", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup));
        QVERIFY(r["page"] == "none" || (r["page"] == "symlink" ? ::symlink : ::link)("other", "quorvel.html") == 0);
        const rlimit tiny{4, RLIM_INFINITY}, unlimited{RLIM_INFINITY, RLIM_INFINITY};
        lockDirectory(!r["writableDir"].toBool());
        ::setrlimit(RLIMIT_FSIZE, r["sizeLimit"].toBool() ? &tiny : &unlimited);
        const ApiDef::WriteResult w = ApiDef::ReplaceFileContents(u"quorvel.html", "new page");
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        lockDirectory(false);
        // A failure comes with the system's reason for it.
        QCOMPARE(std::pair(w.ok, w.reason.empty()), std::pair(r["ok"].toBool(), r["ok"].toBool()));
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).filter(".tmp"), QStringList());
        QCOMPARE(readAll("other"), r["other"].toString().toUtf8());
        QCOMPARE(readAll("quorvel.html"), r["after"].toString().toUtf8());
        struct stat info {};
        QCOMPARE(::lstat("quorvel.html", &info) == 0 ? QString::number(info.st_mode, 8) : "none", r["mode"].toString());
    }

    void open_data() { addRows("open"); }
    void open() {
        QFETCH(QJsonObject, r);
        const QByteArray opener = r["opener"].toString().toUtf8(), path = qgetenv("PATH");
        QFile::remove("record");
        QVERIFY(writeFile("quorvel.html", "", QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeFile("xdg-open", "#!/bin/sh\nPATH=/usr/bin:/bin\necho $$ \"$@\" > record\n" + opener, QFile::ReadOwner | QFile::ExeOwner));
        qputenv("PATH", opener.isEmpty() ? "/nonexistent" : QFile::encodeName(m_dir.path()));
        QTimer tick;  // its timeouts come during the wait only if the window's events do
        QSignalSpy ticks(&tick, &QTimer::timeout);
        tick.start(100);
        const QDeadlineTimer bound(1500);
        const int result = ApiDef::OpenWithShell(0, u"Open", r["file"].toString().toStdU16String(), u"", u"", 1);
        qputenv("PATH", path);
        // Within the bounded wait; an opener still running by then counts as a success.
        QVERIFY2(result >= r["low"].toInt() && result <= r["high"].toInt() && !bound.hasExpired(), QByteArray::number(result));
        QVERIFY2(!ticks.isEmpty() || !r["running"].toBool(), "the window stopped painting while the opener decided");
        const QList<QByteArray> ran = readAll("record").trimmed().split(' ');  // pid, arguments
        QCOMPARE(ran.size() == 2 ? ran[1] : "", r["ran"].toBool() ? QFile::encodeName(m_dir.filePath("quorvel.html")) : "");
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists("/proc/" + ran[0]), 5000);  // reaped once ended, not a zombie
    }

    void clipboard_data() { addRows("clipboard"); }
    void clipboard() {
        QFETCH(QJsonObject, r);
        QVERIFY(ApiDef::CopyToClipboard(0, u"previous") && ApiDef::CopyToClipboard(0, r["text"].toString().toStdU16String()));
        QProcess xclip;  // another program; this one answers its request meanwhile
        xclip.start("xclip", {"-o", "-selection", "clipboard"});
        QTRY_VERIFY_WITH_TIMEOUT(xclip.state() == QProcess::NotRunning, 10000);
        QCOMPARE(xclip.readAllStandardOutput(), r["text"].toString().toUtf8());
    }
};

QTEST_MAIN(tst_Platform)
#include "tst_Platform.moc"
