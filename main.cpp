#include "frmMain.h"

#include <QApplication>

#include <csignal>

int main(int argc, char* argv[])
{
    // Past the file-size limit the kernel would end the program with SIGXFSZ
    // in the middle of writing the page; ignored, the write fails and the
    // user is told why.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.quorvel.Quorvel"));
    frmMain window;
    window.show();
    // Returning from main, not exiting, lets Qt hand the clipboard to a
    // clipboard manager before the process ends.
    return app.exec();
}
