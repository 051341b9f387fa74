#include "app/mainwindow.h"
#include "app/screenscaling.h"
#include "app/singleinstance.h"

#include <QApplication>
#include <QDebug>
#include <QIcon>

int main(int argc, char *argv[])
{
    // The window draws without OpenGL: loading the GL stack (on most machines
    // Mesa's whole driver) would cost start-up time and memory for nothing, and
    // the leaks it leaves behind at unload hide among the program's own. A
    // choice the user made stands.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    scaleWithScreen();
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("intercom"));
    // Task bars match the window to the installed desktop entry and its icon by this id.
    QGuiApplication::setDesktopFileName(QStringLiteral(INTERCOM_APP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/" INTERCOM_APP_ID ".svg")));
    SingleInstance instance;
    if (!instance.claim()) {
        qDebug() << "already running: its window is brought forward";
        return 0;
    }
    MainWindow window;
    instance.setWindow(&window);
    window.show();
    return app.exec();
}
