// The window, driven offscreen with real clicks and keys, against a recording
// stand-in for the platform layer that is linked in place of the real one.

#include "TagComposer.h"
#include "frmMain.h"
#include "platform/ApiDef.h"
#include "platform/PreviewFile.h"
#include "platform/QtText.h"

#include <QTest>
#include <QtWidgets>

namespace {

// What the platform layer answers (1: the clipboard refuses, 2: the page is
// not written, 3: the shell fails, 4: the shell fails once it has returned),
// and every request it got, in order.
int failing = 0;
ApiDef::LateShellFailure lateFailure = nullptr;
QStringList requests;

const QString kInstruction = QStringLiteral("出来たタグをコピペしてね。\r\nコピーボタンでクリップボードにコピーされます。\r\n");

} // namespace

namespace ApiDef {
bool CopyToClipboard(WindowHandle owner, std::u16string text)
{
    requests << QStringLiteral("copy %1 ").arg(owner) + toQString(text);
    return failing != 1;
}
std::int32_t OpenWithShell(WindowHandle owner, std::u16string_view operation, std::u16string_view file,
                           std::u16string_view parameters, std::u16string_view directory, std::int32_t show)
{
    requests << QStringLiteral("open %1 %2 %3 [%4] [%5] %6").arg(owner).arg(toQString(operation), toQString(file),
                                                                           toQString(parameters), toQString(directory)).arg(show);
    if (failing == 4)
        QTimer::singleShot(50, [owner] { if (lateFailure) lateFailure(owner, 31); });
    return failing == 3 ? 32 : 33;  // 32 and below are the shell's errors
}
void SetLateShellFailureHandler(LateShellFailure report) { lateFailure = report; }
std::int32_t GetPlatformId() { return 2; }
WriteResult WritePreviewFile(std::u16string_view fileName, std::u16string_view text)
{
    requests << QStringLiteral("write %1 ").arg(toQString(fileName)) + toQString(text);
    return {failing != 2, failing == 2 ? u"Disk full" : u""};
}
} // namespace ApiDef

class frmMainTest : public QObject {
    Q_OBJECT
    std::unique_ptr<frmMain> m_window;

    template <typename T = QWidget>
    T* child(const QString& name) { return m_window->findChild<T*>(name); }
    void click(const QString& name) { QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton); }

private slots:
    void init()
    {
        failing = 0;
        requests.clear();
        m_window = std::make_unique<frmMain>();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void design_data()
    {
        QTest::addColumn<QString>("text");  // no '&' either: it would make an access key
        QTest::addColumn<QRect>("pixels");  // the design's twips at 15 to the pixel
        QTest::newRow("Label1") << QStringLiteral("表示内容") << QRect(8, 8, 57, 17);
        QTest::newRow("txtTitle") << QStringLiteral("メール送信") << QRect(72, 8, 289, 25);
        QTest::newRow("Label2") << QStringLiteral("アドレス") << QRect(8, 40, 57, 17);
        QTest::newRow("txtMail") << QStringLiteral("someone@example.com") << QRect(72, 40, 289, 25);
        QTest::newRow("chkCnvScript") << QStringLiteral("スクリプト化") << QRect(16, 72, 97, 17);
        QTest::newRow("chkCovCode") << QStringLiteral("コード化") << QRect(16, 88, 97, 17);
        QTest::newRow("btnMake") << QStringLiteral("作成") << QRect(160, 72, 73, 25);
        QTest::newRow("btnPreView") << QStringLiteral("ﾌﾟﾚﾋﾞｭｰ") << QRect(240, 72, 57, 25);
        QTest::newRow("btnCopy") << QStringLiteral("コピー") << QRect(304, 72, 49, 25);
        QTest::newRow("txtTag") << kInstruction << QRect(8, 112, 353, 97);
    }
    void design()
    {
        QWidget* w = child(QString::fromLatin1(QTest::currentDataTag()));
        QTEST(w->geometry(), "pixels");
        QTEST(qobject_cast<QPlainTextEdit*>(w) ? m_window->tagText() : w->property("text").toString(), "text");
    }

    void window()
    {
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Quorvel作成"));
        QCOMPARE(m_window->minimumSize(), QSize(367, 216));
        QCOMPARE(m_window->maximumSize(), QSize(367, 216));
        auto* tag = child<QPlainTextEdit>(QStringLiteral("txtTag"));
        QCOMPARE(tag->lineWrapMode(), QPlainTextEdit::NoWrap);
        QCOMPARE(tag->horizontalScrollBarPolicy() + tag->verticalScrollBarPolicy(), 2 * Qt::ScrollBarAlwaysOn);
        // Tab follows the tab indexes; in the result field it moves on too.
        QStringList seen{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 8; ++i) {
            if (i != 2)  // Enter presses no button; in the result field it breaks the line
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(seen.join(u' '), QStringLiteral("txtTitle txtMail txtTag btnMake chkCovCode btnCopy btnPreView chkCnvScript txtTitle"));
        QCOMPARE(m_window->tagText(), kInstruction);
        // No field stops at Qt's default of 32767 characters.
        for (auto* edit : m_window->findChildren<QLineEdit*>()) {
            edit->setText(QString(100000, u'a'));
            QCOMPARE(edit->text().size(), 100000);
        }
        click(QStringLiteral("btnMake"));  // a long encoded address: its references must stay inside their buffer (the sanitizer build)
        QCOMPARE(m_window->tagText().size(), 600106);
    }

    void coupling_data()
    {
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<QString>("options");  // script and encode after the clicks
        QTest::newRow("at start") << QStringList{} << "11";
        QTest::newRow("uncheck script unchecks encode") << QStringList{"chkCnvScript"} << "00";
        QTest::newRow("check encode checks script") << QStringList{"chkCnvScript", "chkCovCode"} << "11";
        QTest::newRow("check script leaves encode off") << QStringList{"chkCnvScript", "chkCnvScript"} << "10";
        QTest::newRow("uncheck encode leaves script on") << QStringList{"chkCovCode"} << "10";
    }
    // Make composes with the options as the clicks left them; the composer
    // itself is proven against the table.
    void coupling()
    {
        QFETCH(QStringList, clicks);
        for (const QString& name : clicks)
            click(name);
        const bool script = child<QCheckBox>(QStringLiteral("chkCnvScript"))->isChecked();
        const bool encode = child<QCheckBox>(QStringLiteral("chkCovCode"))->isChecked();
        QTEST(QStringLiteral("%1%2").arg(int(script)).arg(int(encode)), "options");
        child<QLineEdit>(QStringLiteral("txtTitle"))->setText(QStringLiteral("O'Brien"));
        click(QStringLiteral("btnMake"));
        click(QStringLiteral("btnMake"));  // nothing is appended to the earlier result
        QCOMPARE(m_window->tagText(), toQString(TagComposer::Compose(u"O'Brien", u"someone@example.com", {script, encode})));
    }

    void commands_data()
    {
        QTest::addColumn<QString>("typed");  // into the result field first; null: nothing
        QTest::addColumn<int>("failing");
        QTest::addColumn<QString>("requests");  // %1: the window's handle
        QTest::addColumn<QString>("messages");
        QTest::addColumn<QString>("field");
        const QString plain = QStringLiteral("<a href=\"mailto:someone@example.com\">メール送信</a>");
        const QString write = QStringLiteral("write quorvel.html ") + toQString(TagComposer::PreviewPage(view(plain)));
        const QString open = write + QStringLiteral("\nopen %1 Open quorvel.html [] [] 1");
        const QString box = QStringLiteral("Quorvel|%1|0|1024|1;");  // no icon, OK only, modal to the window
        const QString edited = QStringLiteral("x\n二\u00A0\u2028"), copied = QStringLiteral("x\r\n二\u00A0\u2028");
        QTest::newRow("copy before make") << QString() << 0 << "copy %1 " + kInstruction << "" << kInstruction;
        QTest::newRow("copy as edited") << edited << 0 << "copy %1 " + copied << "" << copied;
        QTest::newRow("copy empty") << "" << 0 << "copy %1 " << "" << "";
        QTest::newRow("copy refused") << QString() << 1 << "copy %1 " + kInstruction << box.arg(QStringLiteral("クリップボードコピーに失敗しました。")) << kInstruction;
        QTest::newRow("preview opened") << edited << 0 << open << "" << plain;
        QTest::newRow("preview refused") << QString() << 3 << open << box.arg(QStringLiteral("ShellExecuteエラー")) << plain;
        QTest::newRow("preview refused late") << QString() << 4 << open << box.arg(QStringLiteral("ShellExecuteエラー")) << plain;
        QTest::newRow("page not written") << QString() << 2 << write << box.arg(QStringLiteral("プレビューファイル「quorvel.html」を書き込めませんでした。\nDisk full")) << plain;
    }
    void commands()
    {
        QFETCH(QString, typed);
        QFETCH(QString, requests);
        QFETCH(int, failing);
        ::failing = failing;
        click(QStringLiteral("chkCnvScript"));
        auto* tag = child<QPlainTextEdit>(QStringLiteral("txtTag"));
        if (!typed.isNull()) {
            tag->selectAll();
            QTest::keyClick(tag, Qt::Key_Delete);
            // keyClicks() knows only Latin-1; an input method delivers text like this.
            QTest::sendKeyEvent(QTest::Click, tag, Qt::Key_unknown, typed, Qt::NoModifier);
        }
        // A message box runs its own event loop inside the handler: read it
        // and close it from there, as a user would.
        QString seen;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&seen, this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen += QStringLiteral("%1|%2|%3|%4|%5;").arg(box->windowTitle(), box->text()).arg(box->icon())
                            .arg(box->standardButtons()).arg(box->parent() == m_window.get());
                box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start(10);
        click(QLatin1String(QTest::currentDataTag()).startsWith(QLatin1String("copy")) ? QStringLiteral("btnCopy") : QStringLiteral("btnPreView"));
        QFETCH(QString, messages);
        QTRY_COMPARE(seen, messages);
        QCOMPARE(::requests.join(u'\n'), requests.replace(QLatin1String("%1"), QString::number(m_window->winId())));
        QTEST(m_window->tagText(), "field");
    }
};

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    frmMainTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_frmMain.moc"
