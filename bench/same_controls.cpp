// The yardstick for start-up time and memory: a Qt window with Quorvel's
// controls, captions and layout, and nothing else.

#include "frmMainDesign.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

int main(int argc, char* argv[])
{
    using frmMainDesign::Kind;
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(frmMainDesign::kClientWidth / 15, frmMainDesign::kClientHeight / 15);
    for (const frmMainDesign::Control& c : frmMainDesign::kControls) {
        const QString text = QString::fromStdU16String(std::u16string(c.text));
        QWidget* w = nullptr;
        switch (c.kind) {
        case Kind::Label: w = new QLabel(text, &window); break;
        case Kind::LineEdit: w = new QLineEdit(text, &window); break;
        case Kind::CheckBox: w = new QCheckBox(text, &window); break;
        case Kind::Button: w = new QPushButton(text, &window); break;
        case Kind::MultiLineEdit: w = new QPlainTextEdit(text, &window); break;
        }
        w->setGeometry(c.left / 15, c.top / 15, c.width / 15, c.height / 15);
    }
    window.show();
    return app.exec();
}
