#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    // The exit status is 0 however the event loop ended.
    application.exec();
    return 0;
}
