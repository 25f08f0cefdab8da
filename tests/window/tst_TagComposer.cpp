// Tag composition, without a display.

#include "TagComposer.h"

#include <QTest>

using TagComposer::Options;

namespace {

constexpr Options kPlain{false, false};
constexpr Options kScript{true, false};
constexpr Options kEncoded{true, true};

QString scriptBlock(const QString& line3)
{
    return QStringLiteral("<script type=\"text/javascript\">\r\n<!--\r\n") + line3
        + QStringLiteral("\r\n// -->\r\n</script>\r\n");
}

QString line(const QString& text, int index)
{
    return text.split(QStringLiteral("\r\n")).value(index);
}

} // namespace

class TagComposerTest : public QObject {
    Q_OBJECT

private slots:
    void shapes_data();
    void shapes();
    void encodeAddress_data();
    void encodeAddress();
    void lineBreakCount_data();
    void lineBreakCount();
    void encodeOptionChangesOnlyLine3();
    void encodeIgnoredWithoutScript();
    void previewPage_data();
    void previewPage();
};

void TagComposerTest::shapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("script");
    QTest::addColumn<bool>("encode");
    QTest::addColumn<QString>("expected");

    const QString mail = QStringLiteral("メール送信");

    // The worked example, verbatim.
    QTest::newRow("example plain") << mail << "abc" << false << false
                                   << QStringLiteral("<a href=\"mailto:abc\">メール送信</a>");
    QTest::newRow("example script")
        << mail << "abc" << true << false
        << scriptBlock(QStringLiteral("document.write('<a href=\"ma' + 'ilto:abc\">メール送信</a>');"));
    QTest::newRow("example encoded")
        << mail << "abc" << true << true
        << scriptBlock(
               QStringLiteral("document.write('<a href=\"ma' + 'ilto:&#97;&#98;&#99;\">メール送信</a>');"));

    // Empty inputs leave their place empty and nothing else changes.
    QTest::newRow("empty address plain") << mail << "" << false << false
                                         << QStringLiteral("<a href=\"mailto:\">メール送信</a>");
    QTest::newRow("empty address encoded")
        << mail << "" << true << true
        << scriptBlock(QStringLiteral("document.write('<a href=\"ma' + 'ilto:\">メール送信</a>');"));
    QTest::newRow("empty text plain") << "" << "a@b" << false << false
                                      << QStringLiteral("<a href=\"mailto:a@b\"></a>");
    QTest::newRow("empty text script")
        << "" << "a@b" << true << false
        << scriptBlock(QStringLiteral("document.write('<a href=\"ma' + 'ilto:a@b\"></a>');"));

    // Markup in the link text is the author's on purpose and passes
    // unchanged in every shape; so does "&" in an address (query strings).
    QTest::newRow("markup text plain")
        << "<img src=\"m.png\" alt=\"&\">" << "a@b?subject=x&body=y" << false << false
        << QStringLiteral("<a href=\"mailto:a@b?subject=x&body=y\"><img src=\"m.png\" alt=\"&\"></a>");
    QTest::newRow("markup text script")
        << "<b>&amp;\"</b" << "a@b?x=1&y=2" << true << false
        << scriptBlock(QStringLiteral(
               "document.write('<a href=\"ma' + 'ilto:a@b?x=1&y=2\"><b>&amp;\"<\\/b</a>');"));

    // In the plain shape nothing but the address's double quote changes.
    QTest::newRow("plain keeps apostrophe and breaks")
        << "O'Brien\r\nline" << "o'b@x" << false << false
        << QStringLiteral("<a href=\"mailto:o'b@x\">O'Brien\r\nline</a>");
    QTest::newRow("plain quote in address")
        << "t" << "a\"b@x" << false << false << QStringLiteral("<a href=\"mailto:a&quot;b@x\">t</a>");

    // Inside the script string: the characters that would end or break the
    // literal, and "</" that would end the script element.
    QTest::newRow("script apostrophe")
        << "Mail O'Brien" << "o'b@x" << true << false
        << scriptBlock(QStringLiteral(
               "document.write('<a href=\"ma' + 'ilto:o\\'b@x\">Mail O\\'Brien</a>');"));
    QTest::newRow("script backslash")
        << "a\\b" << "c\\d" << true << false
        << scriptBlock(QStringLiteral("document.write('<a href=\"ma' + 'ilto:c\\\\d\">a\\\\b</a>');"));
    QTest::newRow("script line breaks")
        << "1\r\n2\n3\r4" << "x" << true << false
        << scriptBlock(
               QStringLiteral("document.write('<a href=\"ma' + 'ilto:x\">1\\r\\n2\\n3\\r4</a>');"));
    QTest::newRow("script unicode separators")
        << QStringLiteral("a\u2028b\u2029c") << "x" << true << false
        << scriptBlock(
               QStringLiteral("document.write('<a href=\"ma' + 'ilto:x\">a\\u2028b\\u2029c</a>');"));
    QTest::newRow("script closing tag in text")
        << "</script><script>alert(1)</script>" << "x" << true << false
        << scriptBlock(QStringLiteral("document.write('<a href=\"ma' + 'ilto:x\"><\\/script><script>"
                                      "alert(1)<\\/script></a>');"));
    QTest::newRow("script closing tag in address")
        << "t" << "a</script>" << true << false
        << scriptBlock(QStringLiteral("document.write('<a href=\"ma' + 'ilto:a<\\/script>\">t</a>');"));
    QTest::newRow("script quote in address")
        << "t" << "a\"b" << true << false
        << scriptBlock(QStringLiteral("document.write('<a href=\"ma' + 'ilto:a&quot;b\">t</a>');"));
    QTest::newRow("script lone angle bracket")
        << "a<b>c" << "x" << true << false
        << scriptBlock(QStringLiteral("document.write('<a href=\"ma' + 'ilto:x\">a<b>c</a>');"));

    // The encoded address needs no escaping of its own; the link text still does.
    QTest::newRow("encoded hostile text")
        << "it's</a>" << "a'\"" << true << true
        << scriptBlock(QStringLiteral(
               "document.write('<a href=\"ma' + 'ilto:&#97;&#39;&#34;\">it\\'s<\\/a></a>');"));
}

void TagComposerTest::shapes()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(bool, script);
    QFETCH(bool, encode);
    QFETCH(QString, expected);
    QCOMPARE(TagComposer::Compose(text, address, {script, encode}), expected);
}

void TagComposerTest::encodeAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("expected");

    QTest::newRow("abc") << "abc" << "&#97;&#98;&#99;";
    QTest::newRow("punctuation") << ".-@" << "&#46;&#45;&#64;";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("control and DEL") << QString(QChar(0)) + QChar(9) + QChar(127) << "&#0;&#9;&#127;";
    QTest::newRow("digit boundaries")
        << QString(QChar(0x80)) + QChar(999) + QChar(1000) + QChar(9999) + QChar(10000) + QChar(0xFFFF)
        << "&#128;&#999;&#1000;&#9999;&#10000;&#65535;";
    QTest::newRow("japanese") << QStringLiteral("送信") << "&#36865;&#20449;";
    QTest::newRow("astral is one reference") << QStringLiteral("a\U0001F600b") << "&#97;&#128512;&#98;";
    QTest::newRow("highest code point") << QString::fromUcs4(U"\U0010FFFF") << "&#1114111;";
    QTest::newRow("lone high surrogate") << QString(QChar(0xD83D)) + u'x' << "&#65533;&#120;";
    QTest::newRow("lone high surrogate at end") << QString(u'x') + QChar(0xD83D) << "&#120;&#65533;";
    QTest::newRow("lone low surrogate") << QString(QChar(0xDE00)) << "&#65533;";
    QTest::newRow("reversed pair")
        << QString(QChar(0xDE00)) + QChar(0xD83D) << "&#65533;&#65533;";
}

void TagComposerTest::encodeAddress()
{
    QFETCH(QString, address);
    QFETCH(QString, expected);
    QCOMPARE(TagComposer::EncodeAddress(address), expected);
    // The encoded shape carries exactly this between "ilto:" and its quote.
    QCOMPARE(line(TagComposer::Compose(QStringLiteral("t"), address, kEncoded), 2),
             QStringLiteral("document.write('<a href=\"ma' + 'ilto:%1\">t</a>');").arg(expected));
}

void TagComposerTest::lineBreakCount_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("script");
    QTest::addColumn<bool>("encode");
    QTest::addColumn<int>("breaks");
    QTest::newRow("plain") << "t" << "a@b" << false << false << 0;
    QTest::newRow("script") << "t" << "a@b" << true << false << 5;
    QTest::newRow("encoded") << "t" << "a@b" << true << true << 5;
    // Breaks typed into the fields must not add a line to the script.
    QTest::newRow("script, breaks in both") << "a\r\nb\nc\rd" << "x\ny" << true << false << 5;
    QTest::newRow("encoded, breaks in both") << "a\r\nb\nc\rd" << "x\r\ny" << true << true << 5;
}

void TagComposerTest::lineBreakCount()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(bool, script);
    QFETCH(bool, encode);
    QFETCH(int, breaks);
    const QString tag = TagComposer::Compose(text, address, {script, encode});
    QCOMPARE(tag.count(QStringLiteral("\r\n")), breaks);
    QCOMPARE(tag.count(QLatin1Char('\n')), breaks);
    QCOMPARE(tag.count(QLatin1Char('\r')), breaks);
    QCOMPARE(tag.endsWith(QStringLiteral("\r\n")), breaks > 0);
}

void TagComposerTest::encodeOptionChangesOnlyLine3()
{
    const QString text = QStringLiteral("メール送信");
    const QString address = QStringLiteral("someone@example.com");
    const QStringList script = TagComposer::Compose(text, address, kScript).split(QStringLiteral("\r\n"));
    const QStringList encoded = TagComposer::Compose(text, address, kEncoded).split(QStringLiteral("\r\n"));
    QCOMPARE(script.size(), encoded.size());
    for (int i = 0; i < script.size(); ++i) {
        if (i == 2)
            QVERIFY(script[i] != encoded[i]);
        else
            QCOMPARE(script[i], encoded[i]);
    }
}

void TagComposerTest::encodeIgnoredWithoutScript()
{
    QCOMPARE(TagComposer::Compose(QStringLiteral("t"), QStringLiteral("a@b"), {false, true}),
             TagComposer::Compose(QStringLiteral("t"), QStringLiteral("a@b"), kPlain));
}

void TagComposerTest::previewPage_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("expected");

    const QString head = QStringLiteral("<html>\r\n<head>\r\n<title>Quorvel プレビュー</title>\r\n"
                                        "</head>\r\n<body>\r\n下記のように表示されます。<br><br>\r\n");
    const QString tail = QStringLiteral("</body>\r\n</html>\r\n");

    // The plain link has no break of its own, so </body> follows at once...
    const QString plain = TagComposer::Compose(QStringLiteral("t"), QStringLiteral("a@b"), kPlain);
    QTest::newRow("plain") << plain << head + plain + QStringLiteral("\r\n") + tail;
    // ...while the script block's final break leaves an empty line.
    const QString script = TagComposer::Compose(QStringLiteral("t"), QStringLiteral("a@b"), kEncoded);
    QTest::newRow("script") << script << head + script + QStringLiteral("\r\n") + tail;
    QTest::newRow("empty") << "" << head + QStringLiteral("\r\n") + tail;
}

void TagComposerTest::previewPage()
{
    QFETCH(QString, tag);
    QFETCH(QString, expected);
    const QString page = TagComposer::PreviewPage(tag);
    QCOMPARE(page, expected);
    QCOMPARE(line(page, 0), QStringLiteral("<html>"));
    QCOMPARE(line(page, 2), QStringLiteral("<title>Quorvel プレビュー</title>"));
}

QTEST_APPLESS_MAIN(TagComposerTest)
#include "tst_TagComposer.moc"
