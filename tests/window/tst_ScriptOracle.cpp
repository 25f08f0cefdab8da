// A real JavaScript engine judges the script shapes: each generated block
// must run and write exactly the plain link, whatever the user typed.

#include "TagComposer.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTest>

namespace {

// JSON with every non-ASCII unit as \uXXXX, so that lone surrogates survive
// the trip into node intact.
QByteArray jsonString(const QString& s)
{
    QByteArray out = "\"";
    for (const QChar c : s) {
        const char16_t u = c.unicode();
        if (u == u'"' || u == u'\\') {
            out += '\\';
            out += char(u);
        } else if (u >= 0x20 && u < 0x7F) {
            out += char(u);
        } else {
            out += "\\u" + QByteArray::number(u, 16).rightJustified(4, '0');
        }
    }
    return out + "\"";
}

} // namespace

class ScriptOracleTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void scriptWritesThePlainLink_data();
    void scriptWritesThePlainLink();

private:
    QString m_node;
};

void ScriptOracleTest::initTestCase()
{
    m_node = QStandardPaths::findExecutable(QStringLiteral("node"));
    if (m_node.isEmpty())
        QFAIL("node is not on PATH: install the Debian package nodejs");
}

void ScriptOracleTest::scriptWritesThePlainLink_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address");

    QTest::newRow("ordinary") << QStringLiteral("メール送信") << QStringLiteral("someone@example.com");
    QTest::newRow("apostrophe") << "Mail O'Brien" << "o'brien@example.com";
    QTest::newRow("backslashes") << "C:\\path\\" << "a\\@example.com";
    QTest::newRow("trailing backslash") << "end\\" << "x\\";
    QTest::newRow("closing script") << "</script><script>x()</script>" << "a</script>@example.com";
    QTest::newRow("closing script, upper case") << "</SCRIPT >" << "</Script/";
    QTest::newRow("html comment markers") << "<!-- --> <!--<script>" << "-->@example.com";
    QTest::newRow("CR and LF") << "one\r\ntwo\nthree\rfour" << "a\r\nb@example.com";
    QTest::newRow("unicode line separators") << QStringLiteral("a\u2028b\u2029c") << QStringLiteral("x\u2028y");
    QTest::newRow("emoji") << QStringLiteral("\U0001F4E7 mail") << QStringLiteral("\U0001F600@example.com");
    QTest::newRow("lone surrogates") << QString(QChar(0xD83D)) + u'!' << QString(u'a') + QChar(0xDE00);
    QTest::newRow("japanese") << QStringLiteral("お問い合わせ") << QStringLiteral("問い合わせ@例え.jp");
    QTest::newRow("double quotes") << "say \"hi\"" << "a\"b@example.com";
    QTest::newRow("markup in text") << "<img src=\"m.png\" alt='m'> &amp;" << "a@example.com";
    QTest::newRow("query string") << "mail" << "a@example.com?subject=Hi&body=It's%20me";
    QTest::newRow("template and quotes") << "${x} `y` \"z\" 'w'" << "`@`";
    QTest::newRow("nul and controls") << QString(QChar(0)) + QChar(8) + QChar(0x1B) << QString(QChar(0)) + u'a';
    QTest::newRow("empty") << "" << "";
}

void ScriptOracleTest::scriptWritesThePlainLink()
{
    QFETCH(QString, text);
    QFETCH(QString, address);

    for (const bool encoded : {false, true}) {
        const QString tag = TagComposer::Compose(text, address, {true, encoded});
        QProcess node;
        node.start(m_node, {QFINDTESTDATA("script_oracle.js")});
        QVERIFY2(node.waitForStarted(10000), qPrintable(node.errorString()));
        node.write("{\"tag\":" + jsonString(tag) + ",\"text\":" + jsonString(text)
                   + ",\"address\":" + jsonString(address) + ",\"encoded\":" + (encoded ? "true" : "false")
                   + "}");
        node.closeWriteChannel();
        QVERIFY(node.waitForFinished(30000));
        const QByteArray verdict = node.readAllStandardError();
        QVERIFY2(node.exitStatus() == QProcess::NormalExit && node.exitCode() == 0,
                 qPrintable(QStringLiteral("%1 shape: %2").arg(encoded ? "encoded" : "script",
                                                               QString::fromUtf8(verdict))));
    }
}

QTEST_APPLESS_MAIN(ScriptOracleTest)
#include "tst_ScriptOracle.moc"
