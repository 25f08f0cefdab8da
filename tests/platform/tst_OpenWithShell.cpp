// The desktop opener, run for real: fake xdg-open scripts on PATH stand in
// for the desktop's verdicts.

#include "platform/ApiDef.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace {

// Each fake opener records its pid, its arguments, one per line, and where
// its standard input comes from, then behaves as its row says.
QString openerScript(const QString& behaviour)
{
    return QStringLiteral("#!/bin/sh\n"
                          "echo $$ > \"$RECORD.pid\"\n"
                          "printf '%s\\n' \"$@\" > \"$RECORD.args\"\n"
                          "readlink /proc/self/fd/0 > \"$RECORD.stdin\"\n")
        + behaviour + u'\n';
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool processExists(pid_t pid)
{
    // A zombie still has its /proc entry: only a reaped process is gone.
    return QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

bool waitUntilGone(pid_t pid, int ms)
{
    QElapsedTimer t;
    t.start();
    while (processExists(pid)) {
        if (t.elapsed() > ms)
            return false;
        QTest::qWait(20);
    }
    return true;
}

std::int32_t open(const QString& file)
{
    return ApiDef::OpenWithShell(0, u"Open", file.toStdU16String(), u"", u"", 1);
}

} // namespace

class OpenWithShellTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void verdict_data();
    void verdict();
    void longRunningOpenerCountsAsSuccess();
    void openerOutlivesTheProgram();
    void noOpenerOnPath();
    void missingFileIsNotOpened();
    void onlyOpenIsAsked_data();
    void onlyOpenIsAsked();
    void relativeFileResolvesAgainstDirectory();

private:
    void installOpener(const QString& behaviour);

    QTemporaryDir m_dir;
    QString m_record;
    QString m_page;
    QByteArray m_oldPath;
};

void OpenWithShellTest::init()
{
    QVERIFY(m_dir.isValid());
    QDir(m_dir.path()).mkpath(QStringLiteral("bin"));
    m_record = m_dir.filePath(QStringLiteral("record"));
    for (const char* ext : {".pid", ".args", ".stdin"})
        QFile::remove(m_record + QLatin1String(ext));
    m_page = m_dir.filePath(QStringLiteral("quorvel.html"));
    QFile page(m_page);
    QVERIFY(page.open(QIODevice::WriteOnly));
    m_oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(m_dir.filePath(QStringLiteral("bin"))) + ":/usr/bin:/bin");
    qputenv("RECORD", QFile::encodeName(m_record));
}

void OpenWithShellTest::cleanup()
{
    qputenv("PATH", m_oldPath);
    QFile::remove(m_dir.filePath(QStringLiteral("bin/xdg-open")));
}

void OpenWithShellTest::installOpener(const QString& behaviour)
{
    const QString path = m_dir.filePath(QStringLiteral("bin/xdg-open"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(openerScript(behaviour).toUtf8());
    f.close();
    QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void OpenWithShellTest::verdict_data()
{
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<bool>("success");
    QTest::addColumn<int>("error");
    QTest::newRow("exit 0 opened") << "exit 0" << true << 0;
    QTest::newRow("exit 1 bad syntax") << "exit 1" << false << 31;
    QTest::newRow("exit 2 file missing") << "exit 2" << false << 2;
    QTest::newRow("exit 3 no handler") << "exit 3" << false << 31;
    QTest::newRow("exit 4 handler failed") << "exit 4" << false << 31;
    QTest::newRow("killed by a signal") << "kill -9 $$" << false << 31;
}

void OpenWithShellTest::verdict()
{
    QFETCH(QString, behaviour);
    QFETCH(bool, success);
    QFETCH(int, error);
    installOpener(behaviour);

    const std::int32_t result = open(m_page);
    if (success)
        QVERIFY2(result > 32, qPrintable(QString::number(result)));
    else
        QCOMPARE(result, error);

    // One argument, the absolute path; nothing to read on standard input.
    QCOMPARE(readFile(m_record + QStringLiteral(".args")), QFile::encodeName(m_page) + '\n');
    QCOMPARE(readFile(m_record + QStringLiteral(".stdin")), QByteArray("/dev/null\n"));
    // The verdict was collected, so no zombie is left.
    const pid_t pid = readFile(m_record + QStringLiteral(".pid")).trimmed().toInt();
    QVERIFY(pid > 0);
    QVERIFY(!processExists(pid));
}

void OpenWithShellTest::longRunningOpenerCountsAsSuccess()
{
    // Without a known desktop, xdg-open runs the browser in the foreground.
    installOpener(QStringLiteral("sleep 10"));
    QElapsedTimer t;
    t.start();
    const std::int32_t result = open(m_page);
    const qint64 waited = t.elapsed();
    QVERIFY2(result > 32, qPrintable(QString::number(result)));
    QVERIFY2(waited >= 1900 && waited < 4000, qPrintable(QString::number(waited)));

    const pid_t pid = readFile(m_record + QStringLiteral(".pid")).trimmed().toInt();
    QVERIFY(processExists(pid));
    // Once it ends it is reaped, not left behind as a zombie.
    QVERIFY2(waitUntilGone(pid, 12000), "the finished opener was left as a zombie");
}

void OpenWithShellTest::openerOutlivesTheProgram()
{
    installOpener(QStringLiteral("sleep 5"));
    QProcess program;
    program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--open-and-exit"), m_page});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);
    const pid_t pid = readFile(m_record + QStringLiteral(".pid")).trimmed().toInt();
    QVERIFY(pid > 0);
    QVERIFY2(processExists(pid), "the opener died with the program that started it");
    ::kill(pid, SIGTERM);
}

void OpenWithShellTest::noOpenerOnPath()
{
    qputenv("PATH", QFile::encodeName(m_dir.filePath(QStringLiteral("bin"))));
    QCOMPARE(open(m_page), 31);
}

void OpenWithShellTest::missingFileIsNotOpened()
{
    installOpener(QStringLiteral("exit 0"));
    QCOMPARE(open(m_dir.filePath(QStringLiteral("no-such.html"))), 2);
    QVERIFY(!QFile::exists(m_record + QStringLiteral(".pid")));
}

void OpenWithShellTest::onlyOpenIsAsked_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("runs");
    QTest::newRow("Open") << "Open" << true;
    QTest::newRow("open, any case") << "oPEN" << true;
    QTest::newRow("edit") << "edit" << false;
    QTest::newRow("print") << "print" << false;
    QTest::newRow("empty") << "" << false;
}

void OpenWithShellTest::onlyOpenIsAsked()
{
    QFETCH(QString, operation);
    QFETCH(bool, runs);
    installOpener(QStringLiteral("exit 0"));
    const std::int32_t result =
        ApiDef::OpenWithShell(0, operation.toStdU16String(), m_page.toStdU16String(), u"", u"", 1);
    QCOMPARE(result > 32, runs);
    if (!runs)
        QCOMPARE(result, 31);
    QCOMPARE(QFile::exists(m_record + QStringLiteral(".pid")), runs);
}

void OpenWithShellTest::relativeFileResolvesAgainstDirectory()
{
    installOpener(QStringLiteral("exit 0"));
    const QString old = QDir::currentPath();
    QDir::setCurrent(m_dir.path());
    const std::int32_t fromCwd = open(QStringLiteral("quorvel.html"));
    QDir::setCurrent(QDir::rootPath());
    const std::int32_t fromDirectory = ApiDef::OpenWithShell(
        0, u"Open", u"quorvel.html", u"", m_dir.path().toStdU16String(), 1);
    QDir::setCurrent(old);
    QVERIFY(fromCwd > 32);
    QVERIFY(fromDirectory > 32);
    QCOMPARE(readFile(m_record + QStringLiteral(".args")), QFile::encodeName(m_page) + '\n');
}

int main(int argc, char* argv[])
{
    if (argc == 3 && QByteArrayView(argv[1]) == "--open-and-exit")
        return open(QFile::decodeName(argv[2])) > 32 ? 0 : 1;
    QCoreApplication app(argc, argv);
    OpenWithShellTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_OpenWithShell.moc"
