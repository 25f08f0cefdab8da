// The window, driven offscreen with real clicks and keys, against the
// recording fake of the platform layer.

#include "FakeApiDef.h"
#include "TagComposer.h"
#include "frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

const QString kInstructions = QStringLiteral("出来たタグをコピペしてね。\r\n"
                                             "コピーボタンでクリップボードにコピーされます。\r\n");

QString qs(const std::u16string& s)
{
    return QString::fromStdU16String(s);
}

struct Message {
    QString title, text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    bool modal;
};

} // namespace

class frmMainTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void captions_data();
    void captions();
    void geometry_data();
    void geometry();
    void fixedClientArea();
    void tabOrder();
    void enterAndEscPressNothing_data();
    void enterAndEscPressNothing();
    void noLengthLimit();
    void coupling_data();
    void coupling();

    void firstMakeGivesEncodedScript();
    void makeTwiceGivesSameText();
    void encodeToggleChangesOnlyLine3();
    void makeReplacesEditedField();

    void copyBeforeMakeTakesInstructions();
    void copyTakesFieldAsEdited();
    void copyKeepsUnusualCharacters();
    void copyFailure_data();
    void copyFailure();

    void previewPassesExactArguments();
    void previewRecomposesEditedField();
    void previewShellResult_data();
    void previewShellResult();
    void previewWriteFailure();

private:
    template <typename T>
    T* child(const char* name)
    {
        T* w = m_window->findChild<T*>(QLatin1String(name));
        if (!w)
            qFatal("no child %s", name);
        return w;
    }
    void click(const char* name) { QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton); }
    QList<Message> clickCollectingMessages(const char* name);
    void setInputs(const QString& text, const QString& address);

    std::unique_ptr<frmMain> m_window;
};

void frmMainTest::init()
{
    fake::platform = {};
    m_window = std::make_unique<frmMain>();
    m_window->show();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

void frmMainTest::cleanup()
{
    m_window.reset();
}

QList<Message> frmMainTest::clickCollectingMessages(const char* name)
{
    // A message box runs its own event loop inside the handler; read it and
    // close it from there, as a user would.
    QList<Message> seen;
    QTimer poll;
    poll.setInterval(10);
    connect(&poll, &QTimer::timeout, this, [&seen] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                         box->isModal()});
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
        }
    });
    poll.start();
    click(name);
    return seen;
}

void frmMainTest::setInputs(const QString& text, const QString& address)
{
    child<QLineEdit>("txtTitle")->setText(text);
    child<QLineEdit>("txtMail")->setText(address);
}

void frmMainTest::captions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("Label1") << "Label1" << QStringLiteral("表示内容");
    QTest::newRow("Label2") << "Label2" << QStringLiteral("アドレス");
    QTest::newRow("txtTitle") << "txtTitle" << QStringLiteral("メール送信");
    QTest::newRow("chkCnvScript") << "chkCnvScript" << QStringLiteral("スクリプト化");
    QTest::newRow("chkCovCode") << "chkCovCode" << QStringLiteral("コード化");
    QTest::newRow("btnMake") << "btnMake" << QStringLiteral("作成");
    QTest::newRow("btnPreView") << "btnPreView" << QStringLiteral("ﾌﾟﾚﾋﾞｭｰ");
    QTest::newRow("btnCopy") << "btnCopy" << QStringLiteral("コピー");
    QTest::newRow("txtTag") << "txtTag" << kInstructions;
}

void frmMainTest::captions()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Quorvel作成"));
    QWidget* w = child<QWidget>(name.toLatin1().constData());
    QString actual;
    if (auto* label = qobject_cast<QLabel*>(w))
        actual = label->text();
    else if (auto* edit = qobject_cast<QLineEdit*>(w))
        actual = edit->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        actual = button->text();
    else if (qobject_cast<QPlainTextEdit*>(w))
        actual = m_window->tagText();
    QCOMPARE(actual, text);
    // No access keys: an '&' would make one.
    QVERIFY(!actual.contains(u'&'));
}

void frmMainTest::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("rect");
    // The layout's twips at 15 to the pixel.
    QTest::newRow("Label1") << "Label1" << QRect(8, 8, 57, 17);
    QTest::newRow("txtTitle") << "txtTitle" << QRect(72, 8, 289, 25);
    QTest::newRow("Label2") << "Label2" << QRect(8, 40, 57, 17);
    QTest::newRow("txtMail") << "txtMail" << QRect(72, 40, 289, 25);
    QTest::newRow("chkCnvScript") << "chkCnvScript" << QRect(16, 72, 97, 17);
    QTest::newRow("chkCovCode") << "chkCovCode" << QRect(16, 88, 97, 17);
    QTest::newRow("btnMake") << "btnMake" << QRect(160, 72, 73, 25);
    QTest::newRow("btnPreView") << "btnPreView" << QRect(240, 72, 57, 25);
    QTest::newRow("btnCopy") << "btnCopy" << QRect(304, 72, 49, 25);
    QTest::newRow("txtTag") << "txtTag" << QRect(8, 112, 353, 97);
}

void frmMainTest::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, rect);
    QCOMPARE(child<QWidget>(name.toLatin1().constData())->geometry(), rect);
}

void frmMainTest::fixedClientArea()
{
    QCOMPARE(m_window->size(), QSize(367, 216));
    QCOMPARE(m_window->minimumSize(), QSize(367, 216));
    QCOMPARE(m_window->maximumSize(), QSize(367, 216));
    auto* tag = child<QPlainTextEdit>("txtTag");
    QCOMPARE(tag->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(tag->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(tag->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

void frmMainTest::tabOrder()
{
    const QStringList expected{"txtTitle", "txtMail", "txtTag",  "btnMake", "chkCovCode",
                               "btnCopy",  "btnPreView", "chkCnvScript", "txtTitle"};
    child<QWidget>("txtTitle")->setFocus();
    QStringList seen;
    for (int i = 0; i < expected.size(); ++i) {
        QWidget* focus = QApplication::focusWidget();
        QVERIFY(focus);
        seen << focus->objectName();
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    QCOMPARE(seen, expected);
    // Tab in the result field moved the focus; it typed nothing there.
    QCOMPARE(m_window->tagText(), kInstructions);
    QCOMPARE(child<QLabel>("Label1")->focusPolicy(), Qt::NoFocus);
    QCOMPARE(child<QLabel>("Label2")->focusPolicy(), Qt::NoFocus);
}

void frmMainTest::enterAndEscPressNothing_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");
    for (const char* name : {"txtTitle", "txtMail", "chkCovCode"}) {
        QTest::newRow(qPrintable(QStringLiteral("%1 Enter").arg(name))) << name << int(Qt::Key_Return);
        QTest::newRow(qPrintable(QStringLiteral("%1 Esc").arg(name))) << name << int(Qt::Key_Escape);
    }
}

void frmMainTest::enterAndEscPressNothing()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QWidget* w = child<QWidget>(focus.toLatin1().constData());
    w->setFocus();
    QTest::keyClick(w, Qt::Key(key));
    QCOMPARE(m_window->tagText(), kInstructions);
    QVERIFY(fake::platform.copies.empty());
    QVERIFY(fake::platform.writes.empty());
    QVERIFY(m_window->isVisible());
    for (auto* button : m_window->findChildren<QPushButton*>()) {
        QVERIFY(!button->isDefault());
        QVERIFY(!button->autoDefault());
    }
}

void frmMainTest::noLengthLimit()
{
    const QString longAddress = QString(100000, u'a') + QStringLiteral("@example.com");
    for (const char* name : {"txtTitle", "txtMail"}) {
        auto* edit = child<QLineEdit>(name);
        edit->setText(longAddress);
        QCOMPARE(edit->text().size(), longAddress.size());
    }
    click("btnMake");
    QVERIFY(m_window->tagText().contains(TagComposer::EncodeAddress(longAddress)));
}

void frmMainTest::coupling_data()
{
    QTest::addColumn<bool>("script");
    QTest::addColumn<bool>("encode");
    QTest::addColumn<QString>("clicked");
    QTest::addColumn<bool>("scriptAfter");
    QTest::addColumn<bool>("encodeAfter");

    QTest::newRow("uncheck script unchecks encode") << true << true << "chkCnvScript" << false << false;
    QTest::newRow("check encode checks script") << false << false << "chkCovCode" << true << true;
    QTest::newRow("check script leaves encode off") << false << false << "chkCnvScript" << true << false;
    QTest::newRow("uncheck encode leaves script on") << true << true << "chkCovCode" << true << false;
    QTest::newRow("uncheck script, encode already off") << true << false << "chkCnvScript" << false << false;
    QTest::newRow("check encode, script already on") << true << false << "chkCovCode" << true << true;
}

void frmMainTest::coupling()
{
    QFETCH(bool, script);
    QFETCH(bool, encode);
    QFETCH(QString, clicked);
    QFETCH(bool, scriptAfter);
    QFETCH(bool, encodeAfter);

    auto* chkScript = child<QCheckBox>("chkCnvScript");
    auto* chkEncode = child<QCheckBox>("chkCovCode");
    QVERIFY(chkScript->isChecked() && chkEncode->isChecked());  // the design's start
    QVERIFY(!chkScript->isTristate() && !chkEncode->isTristate());
    // Reach the starting state by clicking, as a user would.
    if (!encode && chkEncode->isChecked())
        click("chkCovCode");
    if (!script && chkScript->isChecked())
        click("chkCnvScript");
    QCOMPARE(chkScript->isChecked(), script);
    QCOMPARE(chkEncode->isChecked(), encode);

    click(clicked.toLatin1().constData());
    QCOMPARE(chkScript->isChecked(), scriptAfter);
    QCOMPARE(chkEncode->isChecked(), encodeAfter);
    QVERIFY(!(chkEncode->isChecked() && !chkScript->isChecked()));
}

void frmMainTest::firstMakeGivesEncodedScript()
{
    const QString text = child<QLineEdit>("txtTitle")->text();
    const QString address = child<QLineEdit>("txtMail")->text();
    QVERIFY(address.contains(QStringLiteral("@example.")));
    click("btnMake");
    QCOMPARE(m_window->tagText(), TagComposer::Compose(text, address, {true, true}));
    QVERIFY(m_window->tagText().contains(QStringLiteral("'ilto:&#")));
}

void frmMainTest::makeTwiceGivesSameText()
{
    setInputs(QStringLiteral("t"), QStringLiteral("a@b"));
    click("btnMake");
    const QString first = m_window->tagText();
    click("btnMake");
    QCOMPARE(m_window->tagText(), first);
    QCOMPARE(first.count(QStringLiteral("\r\n")), 5);
}

void frmMainTest::encodeToggleChangesOnlyLine3()
{
    setInputs(QStringLiteral("メール送信"), QStringLiteral("abc"));
    click("btnMake");
    const QStringList encoded = m_window->tagText().split(QStringLiteral("\r\n"));
    click("chkCovCode");
    click("btnMake");
    const QStringList script = m_window->tagText().split(QStringLiteral("\r\n"));
    QCOMPARE(script.size(), 6);
    QCOMPARE(encoded.size(), 6);
    QCOMPARE(script[2], QStringLiteral("document.write('<a href=\"ma' + 'ilto:abc\">メール送信</a>');"));
    QCOMPARE(encoded[2],
             QStringLiteral("document.write('<a href=\"ma' + 'ilto:&#97;&#98;&#99;\">メール送信</a>');"));
    for (int i : {0, 1, 3, 4, 5})
        QCOMPARE(script[i], encoded[i]);
    click("chkCnvScript");
    click("btnMake");
    QCOMPARE(m_window->tagText(), QStringLiteral("<a href=\"mailto:abc\">メール送信</a>"));
}

void frmMainTest::makeReplacesEditedField()
{
    auto* tag = child<QPlainTextEdit>("txtTag");
    tag->setFocus();
    QTest::keyClicks(tag, QStringLiteral("typed by hand"));
    click("btnMake");
    QVERIFY(!m_window->tagText().contains(QStringLiteral("typed by hand")));
    QVERIFY(m_window->tagText().startsWith(QStringLiteral("<script")));
}

void frmMainTest::copyBeforeMakeTakesInstructions()
{
    QVERIFY(clickCollectingMessages("btnCopy").isEmpty());
    QCOMPARE(fake::platform.copies.size(), 1u);
    QCOMPARE(qs(fake::platform.copies[0].text), kInstructions);
    QCOMPARE(fake::platform.copies[0].owner, static_cast<ApiDef::WindowHandle>(m_window->winId()));
    QVERIFY(fake::platform.writes.empty());
}

void frmMainTest::copyTakesFieldAsEdited()
{
    auto* tag = child<QPlainTextEdit>("txtTag");
    tag->selectAll();
    tag->setFocus();
    QTest::keyClicks(tag, QStringLiteral("first"));
    QTest::keyClick(tag, Qt::Key_Return);
    // keyClicks() only knows Latin-1; an input method delivers text like this.
    QTest::sendKeyEvent(QTest::Click, tag, Qt::Key_unknown, QStringLiteral("二行目"), Qt::NoModifier);
    click("btnCopy");
    QCOMPARE(fake::platform.copies.size(), 1u);
    QCOMPARE(qs(fake::platform.copies[0].text), QStringLiteral("first\r\n二行目"));
    QCOMPARE(tag->toPlainText(), QStringLiteral("first\n二行目"));  // copying changes nothing

    tag->clear();
    click("btnCopy");
    QCOMPARE(fake::platform.copies.size(), 2u);
    QCOMPARE(qs(fake::platform.copies[1].text), QString());
}

void frmMainTest::copyKeepsUnusualCharacters()
{
    // A plain-shape tag carries the link text raw; reading the field back
    // must not flatten a no-break space or a line separator.
    click("chkCnvScript");
    setInputs(QStringLiteral("a\u00A0b\u2028c\U0001F600"), QStringLiteral("x"));
    click("btnMake");
    click("btnCopy");
    QCOMPARE(qs(fake::platform.copies.at(0).text),
             QStringLiteral("<a href=\"mailto:x\">a\u00A0b\u2028c\U0001F600</a>"));
}

void frmMainTest::copyFailure_data()
{
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("messages");
    QTest::newRow("handed over") << true << 0;
    QTest::newRow("refused") << false << 1;
}

void frmMainTest::copyFailure()
{
    QFETCH(bool, result);
    QFETCH(int, messages);
    fake::platform.copyResult = result;
    const QList<Message> seen = clickCollectingMessages("btnCopy");
    QCOMPARE(seen.size(), messages);
    QCOMPARE(fake::platform.copies.size(), 1u);  // tried once, never retried
    if (messages) {
        QCOMPARE(seen[0].title, QStringLiteral("Quorvel"));
        QCOMPARE(seen[0].text, QStringLiteral("クリップボードコピーに失敗しました。"));
        QCOMPARE(seen[0].icon, QMessageBox::NoIcon);
        QCOMPARE(seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(seen[0].modal);
    }
    QCOMPARE(m_window->tagText(), kInstructions);
}

void frmMainTest::previewPassesExactArguments()
{
    setInputs(QStringLiteral("t"), QStringLiteral("a@b"));
    click("btnPreView");
    const QString tag = TagComposer::Compose(QStringLiteral("t"), QStringLiteral("a@b"), {true, true});
    QCOMPARE(fake::platform.writes.size(), 1u);
    QCOMPARE(qs(fake::platform.writes[0].fileName), QStringLiteral("quorvel.html"));
    QCOMPARE(qs(fake::platform.writes[0].text), TagComposer::PreviewPage(tag));
    QCOMPARE(fake::platform.shellCalls.size(), 1u);
    const fake::ShellCall& call = fake::platform.shellCalls[0];
    QCOMPARE(call.owner, static_cast<ApiDef::WindowHandle>(m_window->winId()));
    QCOMPARE(qs(call.operation), QStringLiteral("Open"));
    QCOMPARE(qs(call.file), QStringLiteral("quorvel.html"));
    QCOMPARE(qs(call.parameters), QString());
    QCOMPARE(qs(call.directory), QString());
    QCOMPARE(call.showCommand, 1);
    QVERIFY(fake::platform.copies.empty());
}

void frmMainTest::previewRecomposesEditedField()
{
    click("chkCnvScript");
    setInputs(QStringLiteral("t"), QStringLiteral("a@b"));
    child<QPlainTextEdit>("txtTag")->setPlainText(QStringLiteral("edited"));
    click("btnPreView");
    const QString plain = QStringLiteral("<a href=\"mailto:a@b\">t</a>");
    QCOMPARE(m_window->tagText(), plain);
    QCOMPARE(qs(fake::platform.writes.at(0).text), TagComposer::PreviewPage(plain));
    QVERIFY(qs(fake::platform.writes.at(0).text).contains(plain + QStringLiteral("\r\n</body>")));
}

void frmMainTest::previewShellResult_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("messages");
    QTest::newRow("0") << 0 << 1;
    QTest::newRow("2 file not found") << 2 << 1;
    QTest::newRow("31 no association") << 31 << 1;
    QTest::newRow("32") << 32 << 1;
    QTest::newRow("33") << 33 << 0;
    QTest::newRow("42") << 42 << 0;
    QTest::newRow("negative") << -1 << 1;
}

void frmMainTest::previewShellResult()
{
    QFETCH(int, result);
    QFETCH(int, messages);
    fake::platform.shellResult = result;
    const QList<Message> seen = clickCollectingMessages("btnPreView");
    QCOMPARE(seen.size(), messages);
    QCOMPARE(fake::platform.writes.size(), 1u);
    QCOMPARE(fake::platform.shellCalls.size(), 1u);
    if (messages) {
        QCOMPARE(seen[0].title, QStringLiteral("Quorvel"));
        QCOMPARE(seen[0].text, QStringLiteral("ShellExecuteエラー"));
        QCOMPARE(seen[0].icon, QMessageBox::NoIcon);
        QCOMPARE(seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
}

void frmMainTest::previewWriteFailure()
{
    fake::platform.writeResult = {false, u"No space left on device"};
    const QList<Message> seen = clickCollectingMessages("btnPreView");
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].title, QStringLiteral("Quorvel"));
    QCOMPARE(seen[0].text, QStringLiteral("プレビューファイル「quorvel.html」を書き込めませんでした。\n"
                                          "No space left on device"));
    QCOMPARE(seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // A page that is not there must not be opened.
    QVERIFY(fake::platform.shellCalls.empty());
}

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    frmMainTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_frmMain.moc"
