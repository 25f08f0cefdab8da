#include "frmMain.h"

#include "TagComposer.h"
#include "frmMainDesign.h"
#include "platform/ApiDef.h"
#include "platform/PreviewFile.h"
#include "platform/QtText.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCheckBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include <limits>

namespace {

namespace design = frmMainDesign;

// At 96 device-independent pixels per inch a twip is 1/15 pixel; Qt scales
// pixels for high DPI.
constexpr int kTwipsPerPixel = 15;

QRect geometry(const design::Control& c)
{
    return {c.left / kTwipsPerPixel, c.top / kTwipsPerPixel, c.width / kTwipsPerPixel,
            c.height / kTwipsPerPixel};
}

template <typename Widget>
Widget* place(Widget* widget, const design::Control& c)
{
    widget->setObjectName(QLatin1String(c.name.data(), static_cast<qsizetype>(c.name.size())));
    widget->setGeometry(geometry(c));
    return widget;
}

QLineEdit* makeLineEdit(QWidget* parent, const char* name)
{
    const design::Control& c = design::control(name);
    auto* edit = place(new QLineEdit(toQString(c.text), parent), c);
    // QLineEdit stops at 32767 characters unless told otherwise; the fields
    // have no limit of their own.
    edit->setMaxLength(std::numeric_limits<int>::max());
    return edit;
}

QLabel* makeLabel(QWidget* parent, const char* name)
{
    const design::Control& c = design::control(name);
    auto* label = place(new QLabel(toQString(c.text), parent), c);
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

QCheckBox* makeCheckBox(QWidget* parent, const char* name)
{
    const design::Control& c = design::control(name);
    auto* box = place(new QCheckBox(toQString(c.text), parent), c);
    box->setTristate(false);
    box->setChecked(true);
    return box;
}

// GNOME's platform theme, like GTK, lets Enter press the button or check box
// that has the focus; in this window Enter presses nothing, on every desktop.
class EnterPressesNothing : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter)
                return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

QPushButton* makeButton(QWidget* parent, const char* name)
{
    const design::Control& c = design::control(name);
    auto* button = place(new QPushButton(toQString(c.text), parent), c);
    // Enter and Esc must not press anything.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

// Qt presents a plain top-level widget as a filler; screen readers look for
// an application's windows among the frames.
QAccessibleInterface* accessibleFrame(const QString& className, QObject* object)
{
    if (className == QLatin1String("frmMain") && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

// The controls' sizes are fixed in twips, so the text must be fixed too: the
// desktop's size (11 pt on GNOME) would clip the captions. A pixel size is in
// device-independent pixels, so display scaling still enlarges text and
// controls together. The desktop's family stays; the listed Japanese fonts
// come next, for a desktop font without kana and kanji.
QFont designFont(QFont font)
{
    font.setFamilies({font.family(), QStringLiteral("Noto Sans CJK JP"),
                      QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic")});
    font.setPixelSize(design::kFontHeight / kTwipsPerPixel);
    return font;
}

} // namespace

frmMain::frmMain(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(toQString(design::kCaption));
    setWindowIcon(QIcon(QStringLiteral(":/icons/io.github.quorvel.Quorvel-128.png")));
    setFixedSize(design::kClientWidth / kTwipsPerPixel, design::kClientHeight / kTwipsPerPixel);
    setFont(designFont(font()));
    static const bool frameInstalled = (QAccessible::installFactory(accessibleFrame), true);
    Q_UNUSED(frameInstalled);

    Label1 = makeLabel(this, "Label1");
    txtTitle = makeLineEdit(this, "txtTitle");
    Label2 = makeLabel(this, "Label2");
    txtMail = makeLineEdit(this, "txtMail");
    chkCnvScript = makeCheckBox(this, "chkCnvScript");
    chkCovCode = makeCheckBox(this, "chkCovCode");
    btnMake = makeButton(this, "btnMake");
    btnPreView = makeButton(this, "btnPreView");
    btnCopy = makeButton(this, "btnCopy");

    txtTag = place(new QPlainTextEdit(this), design::control("txtTag"));
    txtTag->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtTag->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtTag->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // A tab typed here would break the window's tab order.
    txtTag->setTabChangesFocus(true);
    txtTag->setPlainText(toQString(design::control("txtTag").text));
    txtTag->setAccessibleName(toQString(design::kTagName));
    txtTag->setAccessibleDescription(toQString(design::kTagDescription));
    // A label's buddy takes the label's text as its accessible name. No
    // caption has an access key, so the buddies add no shortcut.
    for (const auto& [label, field] : design::kLabelOf)
        findChild<QLabel*>(QLatin1String(label.data(), static_cast<qsizetype>(label.size())))
            ->setBuddy(findChild<QWidget*>(QLatin1String(field.data(), static_cast<qsizetype>(field.size()))));

    const auto order = design::TabOrder();
    for (std::size_t i = 0; i + 1 < order.size(); ++i)
        setTabOrder(findChild<QWidget*>(QLatin1String(order[i]->name.data())),
                    findChild<QWidget*>(QLatin1String(order[i + 1]->name.data())));
    txtTitle->setFocus();

    auto* enter = new EnterPressesNothing(this);
    for (QWidget* button : std::initializer_list<QWidget*>{chkCnvScript, chkCovCode, btnMake, btnPreView, btnCopy})
        button->installEventFilter(enter);

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
    const std::u16string tag = TagComposer::Compose(view(txtTitle->text()), view(txtMail->text()), options);
    txtTag->setPlainText(toQString(tag));
}

void frmMain::btnCopy_Click()
{
    const QString text = tagText();
    if (!ApiDef::CopyToClipboard(static_cast<ApiDef::WindowHandle>(winId()), text.toStdU16String()))
        showMessage(toQString(design::kCopyFailed));
}

void frmMain::btnPreView_Click()
{
    btnMake_Click();
    const ApiDef::WriteResult written =
        ApiDef::WritePreviewFile(design::kPreviewFile, TagComposer::PreviewPage(view(tagText())));
    if (!written.ok) {
        // The old page, if any, is still intact; opening it would show a stale tag.
        showMessage(toQString(design::WriteFailedMessage(written.reason)));
        return;
    }
    // The opener may only fail once this handler has returned; the user
    // hears of it then.
    ApiDef::SetLateShellFailureHandler(&frmMain::shellFailedLate);
    const std::int32_t result = ApiDef::OpenWithShell(static_cast<ApiDef::WindowHandle>(winId()),
                                                      u"Open", design::kPreviewFile, u"", u"", 1);
    if (result <= 32)
        showMessage(toQString(design::kShellError));
}

void frmMain::shellFailedLate(std::uintptr_t owner, std::int32_t /*result*/)
{
    if (auto* window = qobject_cast<frmMain*>(QWidget::find(static_cast<WId>(owner))))
        window->showMessage(toQString(design::kShellError));
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
    QMessageBox box(QMessageBox::NoIcon, toQString(design::kAppTitle), text, QMessageBox::Ok, this);
    box.setWindowModality(Qt::WindowModal);
    // Some styles decorate dialog buttons with icons; the box carries none.
    box.button(QMessageBox::Ok)->setIcon(QIcon());
    box.exec();
}
