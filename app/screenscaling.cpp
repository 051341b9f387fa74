#include "app/screenscaling.h"

#include <QCoreApplication>
#include <QGuiApplication>

void scaleWithScreen()
{
    // The window's places are fixed in pixels: unscaled, a denser screen or a
    // larger desktop font draws bigger text into the same small widgets and
    // cuts it. A factor or a switch the user set for the toolkit stands.
    if (!qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
        && !qEnvironmentVariableIsSet("QT_AUTO_SCREEN_SCALE_FACTOR"))
        QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    // Rounded, 120 dpi would stay at 1 with text a quarter too big, and 144
    // would jump to 2.
    if (!qEnvironmentVariableIsSet("QT_SCALE_FACTOR_ROUNDING_POLICY"))
        QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
            Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    // Icons (the window's, the style's) at the screen's own resolution rather
    // than blown up from one made for 96 dpi.
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
}
