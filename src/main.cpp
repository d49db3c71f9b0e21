#include "mainwindow.h"
#include "quitsignals.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    MainWindow window;
    closeOnQuitRequests(&window);
    window.show();
    return QApplication::exec();
}
