#include "frmMain.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.quorvel.Quorvel"));
    frmMain window;
    window.show();
    // Returning from main, not exiting, lets Qt hand the clipboard to a
    // clipboard manager before the process ends.
    return app.exec();
}
