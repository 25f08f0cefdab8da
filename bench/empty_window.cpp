// The yardstick for start-up time and memory: the least a Qt Widgets program
// does to show a window of Quorvel's size.

#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    // frmMain's client area, 5505 x 3240 twips at 15 twips to the pixel.
    window.resize(367, 216);
    window.show();
    return app.exec();
}
