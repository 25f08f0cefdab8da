// The installed program, started the way a menu starts it, on a real X
// server: its window must appear with the caption, the window class the
// desktop entry promises and the installed icon.

#include "PackagingSupport.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace packaging;

class tst_InstalledProgram : public QObject {
    Q_OBJECT

    QTemporaryDir m_dest;
    QTemporaryDir m_runtime;
    QProcess m_server;
    QProcess m_program;
    QString m_display;
    QString m_window;

    QString installed(const QString& relative) const { return m_dest.filePath(relative); }
    QMap<QString, QString> desktopEntry() const
    {
        return readDesktopEntry(installed(QStringLiteral("usr/share/applications/%1.desktop").arg(kAppId)));
    }

    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
        // As a menu would, find the program by the entry's Exec on PATH.
        env.insert(QStringLiteral("PATH"), installed(QStringLiteral("usr/bin")) + QLatin1Char(':') +
                                               env.value(QStringLiteral("PATH")));
        return env;
    }

    // The X server picks a free display itself and writes its number to the
    // descriptor it is given, so parallel test runs never collide.
    void startServer()
    {
        QUORVEL_REQUIRE_TOOL(xvfb, "Xvfb", "xvfb");
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_server.start(xvfb, {QStringLiteral("-displayfd"), QString::number(fds[1]), QStringLiteral("-nolisten"),
                              QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                              QStringLiteral("1024x768x24")});
        ::close(fds[1]);
        const bool started = m_server.waitForStarted();
        QByteArray number;
        pollfd pfd{fds[0], POLLIN, 0};
        while (started && ::poll(&pfd, 1, 20000) > 0) {
            char c = 0;
            if (::read(fds[0], &c, 1) != 1 || c == '\n')
                break;
            number += c;
        }
        ::close(fds[0]);
        QVERIFY2(started, qPrintable(m_server.errorString()));
        QVERIFY2(!number.isEmpty(), "Xvfb did not report its display");
        m_display = QLatin1Char(':') + QString::fromLatin1(number);
    }

    RunResult xprop(const QStringList& args)
    {
        const QString tool = QStandardPaths::findExecutable(QStringLiteral("xprop"));
        return run(tool, QStringList{QStringLiteral("-id"), m_window} + args, clientEnvironment(), 20000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dest.isValid());
        QVERIFY(m_runtime.isValid());
        const RunResult result = installInto(m_dest.path());
        QVERIFY2(result.ok(), qPrintable(result.describe(QStringLiteral(QUORVEL_CMAKE), installArguments())));
        startServer();
    }

    void cleanupTestCase()
    {
        for (QProcess* process : {&m_program, &m_server}) {
            if (process->state() == QProcess::NotRunning)
                continue;
            process->terminate();
            if (!process->waitForFinished(10000)) {
                process->kill();
                process->waitForFinished();
            }
        }
    }

    void showsItsWindow()
    {
        QUORVEL_REQUIRE_TOOL(xdotool, "xdotool", "xdotool");
        const QString exec = desktopEntry().value(QStringLiteral("Exec"));
        QVERIFY(!exec.isEmpty());
        m_program.setProcessEnvironment(clientEnvironment());
        m_program.setWorkingDirectory(m_runtime.path());
        m_program.setProcessChannelMode(QProcess::ForwardedChannels);
        const QString program = QStandardPaths::findExecutable(exec, {installed(QStringLiteral("usr/bin"))});
        QVERIFY2(!program.isEmpty(), qPrintable(exec));
        m_program.start(program, {});
        QVERIFY2(m_program.waitForStarted(), qPrintable(m_program.errorString()));

        // --sync waits until such a window is mapped; the time limit covers
        // a program that never shows one.
        const QStringList args{QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                               QStringLiteral("--name"), QStringLiteral("^Quorvel作成$")};
        const RunResult found = run(xdotool, args, clientEnvironment(), 30000);
        QVERIFY2(found.ok(), qPrintable(found.describe(xdotool, args)));
        const QList<QByteArray> windows = found.out.trimmed().split('\n');
        QCOMPARE(windows.size(), 1);
        m_window = QString::fromLatin1(windows.first());
        QCOMPARE(m_program.state(), QProcess::Running);
    }

    void windowClassIsTheEntrysStartupWMClass()
    {
        // On X11 the shell ties a window to its menu entry through WM_CLASS.
        QVERIFY2(!m_window.isEmpty(), "no window");
        QUORVEL_REQUIRE_TOOL(xpropTool, "xprop", "x11-utils");
        const RunResult result = xprop({QStringLiteral("WM_CLASS")});
        QVERIFY2(result.ok(), qPrintable(result.describe(xpropTool, {QStringLiteral("WM_CLASS")})));
        const QRegularExpression pattern(QStringLiteral("WM_CLASS\\(STRING\\) = \"([^\"]*)\", \"([^\"]*)\""));
        const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(result.out));
        QVERIFY2(match.hasMatch(), result.out.constData());
        const QString wmClass = desktopEntry().value(QStringLiteral("StartupWMClass"));
        QVERIFY2(wmClass == match.captured(1) || wmClass == match.captured(2),
                 qPrintable(QStringLiteral("StartupWMClass=%1, window %2").arg(wmClass, match.captured(0))));
    }

    void windowIconIsTheInstalledIcon()
    {
        QVERIFY2(!m_window.isEmpty(), "no window");
        QUORVEL_REQUIRE_TOOL(xpropTool, "xprop", "x11-utils");
        const QStringList args{QStringLiteral("-notype"), QStringLiteral("-f"), QStringLiteral("_NET_WM_ICON"),
                               QStringLiteral("32c"), QStringLiteral("_NET_WM_ICON")};
        const RunResult result = xprop(args);
        QVERIFY2(result.ok(), qPrintable(result.describe(xpropTool, args)));
        const QByteArray text = result.out.mid(result.out.indexOf('=') + 1);
        QVERIFY2(result.out.startsWith("_NET_WM_ICON ="), result.out.left(200).constData());

        // The property is width, height, then ARGB pixels, for each size.
        QList<quint32> values;
        for (const QByteArray& item : text.split(',')) {
            bool ok = false;
            values << item.trimmed().toUInt(&ok);
            QVERIFY2(ok, item.constData());
        }
        QVERIFY(values.size() > 2);
        const QImage expected(installed(QStringLiteral("usr/share/icons/hicolor/128x128/apps/%1.png").arg(kAppId)));
        QVERIFY(!expected.isNull());
        bool sawSize = false;
        for (qsizetype at = 0; at + 2 <= values.size();) {
            const int width = int(values[at]), height = int(values[at + 1]);
            QVERIFY(width > 0 && height > 0 && at + 2 + qsizetype(width) * height <= values.size());
            if (QSize(width, height) == expected.size()) {
                QImage shown(width, height, QImage::Format_ARGB32);
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x)
                        shown.setPixel(x, y, values[at + 2 + y * width + x]);
                const double difference = meanDifference(shown, expected);
                QVERIFY2(difference >= 0 && difference < 1.0, qPrintable(QString::number(difference)));
                sawSize = true;
            }
            at += 2 + qsizetype(width) * height;
        }
        QVERIFY2(sawSize, "the window's icon has no 128x128 picture");
    }
};

QTEST_MAIN(tst_InstalledProgram)
#include "tst_InstalledProgram.moc"
