#include "frmMain.h"
#include "platform/DisplayPlatform.h"

#include <QApplication>

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    // Past the file-size limit the kernel would end the program with SIGXFSZ
    // in the middle of writing the page; ignored, the write fails and the
    // user is told why.
    std::signal(SIGXFSZ, SIG_IGN);
    // The display platform goes in as an option rather than through the
    // environment, which the browser the preview starts would inherit. A
    // -platform of the user's own comes later and wins.
    std::string platform = ApiDef::PreferredDisplayPlatform();
    char option[] = "-platform";
    std::vector<char*> arguments(argv, argv + argc);
    if (!platform.empty())
        arguments.insert(arguments.begin() + (argc > 0), {option, platform.data()});
    arguments.push_back(nullptr);
    int count = static_cast<int>(arguments.size()) - 1;
    QApplication app(count, arguments.data());
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.quorvel.Quorvel"));
    frmMain window;
    window.show();
    // Returning from main, not exiting, lets Qt hand the clipboard to a
    // clipboard manager before the process ends.
    return app.exec();
}
