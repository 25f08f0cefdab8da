#include "frmMain.h"

#include "TagComposer.h"
#include "platform/ApiDef.h"
#include "platform/PreviewFile.h"

#include <QCheckBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include <limits>
#include <string_view>

namespace {

const QString kAppTitle = QStringLiteral("Quorvel");
constexpr std::u16string_view kPreviewFile = u"quorvel.html";

// The layout is drawn in twips (1/1440 inch). At 96 device-independent pixels
// per inch that is 15 twips to the pixel; Qt scales pixels for high DPI.
constexpr int kTwipsPerPixel = 15;

QRect twips(int left, int top, int width, int height)
{
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
}

std::u16string_view view(const QString& s)
{
    return {reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size())};
}

QString toQString(std::u16string_view s)
{
    return QString(reinterpret_cast<const QChar*>(s.data()), static_cast<qsizetype>(s.size()));
}

QLineEdit* makeLineEdit(QWidget* parent, const char* name, const QString& text, QRect geometry)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(QLatin1String(name));
    edit->setGeometry(geometry);
    // QLineEdit stops at 32767 characters unless told otherwise; the fields
    // have no limit of their own.
    edit->setMaxLength(std::numeric_limits<int>::max());
    return edit;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

QCheckBox* makeCheckBox(QWidget* parent, const char* name, const QString& text, QRect geometry)
{
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(geometry);
    box->setTristate(false);
    box->setChecked(true);
    return box;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& text, QRect geometry)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    // Enter and Esc must not press anything.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

frmMain::frmMain(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quorvel作成"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/io.github.quorvel.Quorvel-128.png")));
    setFixedSize(5505 / kTwipsPerPixel, 3240 / kTwipsPerPixel);

    Label1 = makeLabel(this, "Label1", QStringLiteral("表示内容"), twips(120, 120, 855, 255));
    txtTitle = makeLineEdit(this, "txtTitle", QStringLiteral("メール送信"), twips(1080, 120, 4335, 375));
    Label2 = makeLabel(this, "Label2", QStringLiteral("アドレス"), twips(120, 600, 855, 255));
    txtMail = makeLineEdit(this, "txtMail", QStringLiteral("someone@example.com"),
                           twips(1080, 600, 4335, 375));
    chkCnvScript = makeCheckBox(this, "chkCnvScript", QStringLiteral("スクリプト化"),
                                twips(240, 1080, 1455, 255));
    chkCovCode = makeCheckBox(this, "chkCovCode", QStringLiteral("コード化"), twips(240, 1320, 1455, 255));
    btnMake = makeButton(this, "btnMake", QStringLiteral("作成"), twips(2400, 1080, 1095, 375));
    btnPreView = makeButton(this, "btnPreView", QStringLiteral("ﾌﾟﾚﾋﾞｭｰ"), twips(3600, 1080, 855, 375));
    btnCopy = makeButton(this, "btnCopy", QStringLiteral("コピー"), twips(4560, 1080, 735, 375));

    txtTag = new QPlainTextEdit(this);
    txtTag->setObjectName(QStringLiteral("txtTag"));
    txtTag->setGeometry(twips(120, 1680, 5295, 1455));
    txtTag->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtTag->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtTag->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // A tab typed here would break the window's tab order.
    txtTag->setTabChangesFocus(true);
    txtTag->setPlainText(QStringLiteral("出来たタグをコピペしてね。\r\n"
                                        "コピーボタンでクリップボードにコピーされます。\r\n"));

    // Tab indexes: link text, address, result, make, encode, copy, preview, script.
    setTabOrder(txtTitle, txtMail);
    setTabOrder(txtMail, txtTag);
    setTabOrder(txtTag, btnMake);
    setTabOrder(btnMake, chkCovCode);
    setTabOrder(chkCovCode, btnCopy);
    setTabOrder(btnCopy, btnPreView);
    setTabOrder(btnPreView, chkCnvScript);
    txtTitle->setFocus();

    connect(btnMake, &QPushButton::clicked, this, &frmMain::btnMake_Click);
    connect(btnCopy, &QPushButton::clicked, this, &frmMain::btnCopy_Click);
    connect(btnPreView, &QPushButton::clicked, this, &frmMain::btnPreView_Click);
    connect(chkCnvScript, &QCheckBox::toggled, this, &frmMain::chkCnvScript_Click);
    connect(chkCovCode, &QCheckBox::toggled, this, &frmMain::chkCovCode_Click);
}

QString frmMain::tagText() const
{
    // The document keeps each line break as a block separator (U+2029);
    // toPlainText() would also flatten non-breaking spaces, so read it raw.
    QString text = txtTag->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    return text;
}

void frmMain::btnMake_Click()
{
    const TagComposer::Options options{chkCnvScript->isChecked(), chkCovCode->isChecked()};
    txtTag->setPlainText(TagComposer::Compose(txtTitle->text(), txtMail->text(), options));
}

void frmMain::btnCopy_Click()
{
    const QString text = tagText();
    if (!ApiDef::CopyToClipboard(static_cast<ApiDef::WindowHandle>(winId()), text.toStdU16String()))
        showMessage(QStringLiteral("クリップボードコピーに失敗しました。"));
}

void frmMain::btnPreView_Click()
{
    btnMake_Click();
    const QString page = TagComposer::PreviewPage(tagText());
    const ApiDef::WriteResult written = ApiDef::WritePreviewFile(kPreviewFile, view(page));
    if (!written.ok) {
        // The old page, if any, is still intact; opening it would show a stale tag.
        showMessage(QStringLiteral("プレビューファイル「%1」を書き込めませんでした。\n%2")
                        .arg(toQString(kPreviewFile), toQString(written.reason)));
        return;
    }
    const std::int32_t result = ApiDef::OpenWithShell(static_cast<ApiDef::WindowHandle>(winId()),
                                                      u"Open", kPreviewFile, u"", u"", 1);
    if (result <= 32)
        showMessage(QStringLiteral("ShellExecuteエラー"));
}

void frmMain::chkCnvScript_Click()
{
    if (!chkCnvScript->isChecked())
        chkCovCode->setChecked(false);
}

void frmMain::chkCovCode_Click()
{
    if (chkCovCode->isChecked())
        chkCnvScript->setChecked(true);
}

void frmMain::showMessage(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, kAppTitle, text, QMessageBox::Ok, this);
    box.setWindowModality(Qt::WindowModal);
    // Some styles decorate dialog buttons with icons; the box carries none.
    box.button(QMessageBox::Ok)->setIcon(QIcon());
    box.exec();
}
