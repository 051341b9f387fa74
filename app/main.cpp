#include "app/mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("intercom"));
    // Task bars match the window to the installed desktop entry and its icon by this id.
    QGuiApplication::setDesktopFileName(QStringLiteral(INTERCOM_APP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/" INTERCOM_APP_ID ".svg")));
    MainWindow window;
    window.show();
    return app.exec();
}
