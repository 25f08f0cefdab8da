// The Linux platform layer against the real system: the page's bytes in each
// legacy locale, the page on disk, the desktop opener and the X11 clipboard.
// The cases are the rows of platform_rows.json and ../narrow_rows.json.
#include "platform/ApiDef.h"
#include "platform/DisplayPlatform.h"
#include "platform/PreviewFile.h"

#include <QClipboard>
#include <QtTest>
#include <qpa/qplatformnativeinterface.h>
#include <csignal>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>

static QByteArray readAll(const QString& path) { QFile f(path); return f.open(QIODevice::ReadOnly) ? f.readAll() : "<unreadable>"; }
static bool writeFile(const QString& path, const QByteArray& bytes, QFile::Permissions mode) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.setPermissions(mode);
}
static QJsonDocument json(const char* file) { return QJsonDocument::fromJson(readAll(file)); }
// Root passes every permission check; under another file-system user id
// (this thread's only) it meets a read-only directory as a user does.
static void lockDirectory(bool locked) { ::setfsuid(::geteuid()); ::chmod(".", locked ? 0555 : 0755); ::setfsuid(locked ? 1 : ::geteuid()); }
static void addRows(const char* name) {
    QTest::addColumn<QJsonObject>("r");
    for (const QJsonValue row : json(QUORVEL_PLATFORM_ROWS)[name].toArray())
        QTest::newRow(qPrintable(row["name"].toString())) << row.toObject();
}

static int lateFailure = 0;  // what the opener reported once OpenWithShell had returned

class tst_Platform : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QHash<QString, QString> m_tools;
    QHash<int, int> m_seen;  // the window's events by type; outlives it
    QWindow m_window;  // stands for Quorvel's window during the opener's wait
    bool eventFilter(QObject*, QEvent* e) override { return ++m_seen[e->type()], false; }

private slots:
    void initTestCase() {
        for (const QString tool : {"xclip", "xdotool"})
            QVERIFY2(!(m_tools[tool] = QStandardPaths::findExecutable(tool)).isEmpty(), qPrintable(tool + ": install the Debian package " + tool));
        QVERIFY(QDir::setCurrent(m_dir.path()));
        qputenv("PATH", QFile::encodeName(m_dir.path()));  // only the fake opener
        m_window.installEventFilter(this);
        m_window.showFullScreen();
        QVERIFY(QTest::qWaitForWindowExposed(&m_window));
        ::umask(022);
        std::signal(SIGXFSZ, SIG_IGN);  // as main() does
        ApiDef::SetLateShellFailureHandler([](ApiDef::WindowHandle, std::int32_t result) { lateFailure = result; });
    }

    // Each row of the narrow table in each legacy locale. A Shift_JIS
    // locale's page is meant to be read as CP932, as browsers read Shift_JIS.
    void page_data() {
        QTest::addColumn<QJsonObject>("r");
        for (const QJsonValue row : json(QUORVEL_NARROW_ROWS).array())
            for (const QJsonValue locale : json(QUORVEL_PLATFORM_ROWS)["locales"].toArray())
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
        struct stat info {};  // the linked file's bytes, the page's bytes and its type and mode
        QCOMPARE((QStringList{readAll("other"), readAll("quorvel.html"), ::lstat("quorvel.html", &info) == 0 ? QString::number(info.st_mode, 8) : "none"}),
                 (QStringList{r["other"].toString(), r["after"].toString(), r["mode"].toString()}));
    }

    void open_data() { addRows("open"); QVERIFY(writeFile("quorvel.html", "", QFile::ReadOwner | QFile::WriteOwner)); }
    void open() {
        QFETCH(QJsonObject, r);
        QFile::remove("record");
        QVERIFY(writeFile("xdg-open", "#!/bin/sh\nPATH=/usr/bin:/bin\necho $$ \"$@\" > record\n" + r["opener"].toString().toUtf8(),
                          r["opener"] == "" ? QFile::ReadOwner : QFile::ReadOwner | QFile::ExeOwner));
        m_window.requestUpdate();  // delivered during the wait only if the window's events are
        const QHash<int, int> seen = m_seen;
        const QDeadlineTimer bound(1500);
        lateFailure = 0;
        const int result = ApiDef::OpenWithShell(0, u"Open", r["file"].toString().toStdU16String(), u"", u"", 1);
        // Within the bounded wait; an opener still running by then counts as a success.
        QVERIFY2(result >= r["low"].toInt() && result <= r["high"].toInt() && !bound.hasExpired(), QByteArray::number(result));
        if (r["running"].toBool()) {  // the opener clicked the window meanwhile
            // The window painted during the wait, but held the click back until the preview ended.
            QCOMPARE(std::pair(m_seen[QEvent::UpdateRequest] > seen[QEvent::UpdateRequest], m_seen[QEvent::MouseButtonPress] - seen[QEvent::MouseButtonPress]), std::pair(true, 0));
            QTRY_COMPARE(m_seen[QEvent::MouseButtonPress] - seen[QEvent::MouseButtonPress], 1);
        }
        const QList<QByteArray> ran = readAll("record").trimmed().split(' ');  // pid, arguments
        QCOMPARE(ran.size() == 2 ? ran[1] : "", r["ran"].toBool() ? QFile::encodeName(m_dir.filePath("quorvel.html")) : "");
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists("/proc/" + ran[0]), 15000);  // reaped once ended, not a zombie
        QCOMPARE(lateFailure, r["late"].toInt());  // a late failure is told, a late success is not
    }

    void clipboard_data() { addRows("clipboard"); }
    void clipboard() {
        QFETCH(QJsonObject, r);
        QProcess holder;  // another program that keeps the clipboard, with the very text we copy next
        if (r["held"].toBool()) {
            holder.start(m_tools["xclip"], {"-quiet", "-i", "-selection", "clipboard"});
            holder.write(r["text"].toString().toUtf8());
            holder.closeWriteChannel();
            QTRY_COMPARE(QGuiApplication::clipboard()->text(), r["text"].toString());
            // The server ignores a claim stamped later than its clock, as it does one older than the holder's.
            // Qt's clock only ever moves forward, so no claim of ours succeeds after this: the last row.
            QPlatformNativeInterface* x = QGuiApplication::platformNativeInterface();
            const auto time = quint32(quintptr(x->nativeResourceForScreen("apptime", QGuiApplication::primaryScreen())));
            const auto setTime = reinterpret_cast<void (*)(QScreen*, quint32)>(reinterpret_cast<void (*)()>(x->nativeResourceFunctionForScreen("setapptime")));
            setTime(QGuiApplication::primaryScreen(), time + (1u << 30));
        } else {
            QVERIFY(ApiDef::CopyToClipboard(0, u"previous"));
        }
        QCOMPARE(ApiDef::CopyToClipboard(0, r["text"].toString().toStdU16String()), !r["held"].toBool());
        QProcess xclip;  // another program; this one answers its request meanwhile
        xclip.start(m_tools["xclip"], {"-o", "-selection", "clipboard"});
        QTRY_VERIFY_WITH_TIMEOUT(xclip.state() == QProcess::NotRunning, 10000);
        QCOMPARE(xclip.readAllStandardOutput(), r["text"].toString().toUtf8());
        holder.kill();
        holder.waitForFinished();
    }

    // Last: it leaves the session's variables as its last row set them.
    void displayPlatform_data() { addRows("display"); }
    void displayPlatform() {
        QFETCH(QJsonObject, r);
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP"})
            r["env"][QLatin1String(name)].isString() ? qputenv(name, r["env"][QLatin1String(name)].toString().toUtf8()) : qunsetenv(name);
        QCOMPARE(QString::fromStdString(ApiDef::PreferredDisplayPlatform()), r["platform"].toString());
    }
};

QTEST_MAIN(tst_Platform)
#include "tst_Platform.moc"
