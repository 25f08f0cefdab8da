// The desktop clipboard on a real X server: what another program reads
// after the hand-over.

#include "platform/ApiDef.h"

#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

class ClipboardTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void anotherProgramReadsIt_data();
    void anotherProgramReadsIt();

private:
    QByteArray readWithXclip();
    QString m_xclip;
};

void ClipboardTest::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    m_xclip = QStandardPaths::findExecutable(QStringLiteral("xclip"));
    if (m_xclip.isEmpty())
        QFAIL("xclip is not on PATH: install the Debian package xclip");
}

QByteArray ClipboardTest::readWithXclip()
{
    // We own the selection, so our event loop must keep running to answer
    // xclip's request while it waits.
    QProcess xclip;
    xclip.start(m_xclip, {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
    QDeadlineTimer deadline(10000);
    while (!xclip.waitForFinished(10) && !deadline.hasExpired())
        QCoreApplication::processEvents();
    if (xclip.state() != QProcess::NotRunning || xclip.exitCode() != 0)
        return "<xclip failed: " + xclip.readAllStandardError() + ">";
    return xclip.readAllStandardOutput();
}

void ClipboardTest::anotherProgramReadsIt_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("japanese with CR LF")
        << QStringLiteral("出来たタグをコピペしてね。\r\nコピーボタンでクリップボードにコピーされます。\r\n");
    QTest::newRow("script tag")
        << QStringLiteral("<script type=\"text/javascript\">\r\n<!--\r\ndocument.write('<a href=\"ma' + "
                          "'ilto:&#97;\">メール送信</a>');\r\n// -->\r\n</script>\r\n");
    QTest::newRow("emoji") << QStringLiteral("\U0001F600 mail");
    QTest::newRow("empty") << QString();
}

void ClipboardTest::anotherProgramReadsIt()
{
    QFETCH(QString, text);
    // Something else first, so that an empty copy has to replace it.
    QVERIFY(ApiDef::CopyToClipboard(0, u"previous"));
    QCOMPARE(readWithXclip(), QByteArray("previous"));
    QVERIFY(ApiDef::CopyToClipboard(0, text.toStdU16String()));
    QCOMPARE(readWithXclip(), text.toUtf8());
}

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    ClipboardTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Clipboard.moc"
