#ifndef SCREENSCALING_H
#define SCREENSCALING_H

// The window grows with the screen's density and the desktop's text size, as
// Qt 5 does only when asked. Call before the application object exists.
void scaleWithScreen();

#endif // SCREENSCALING_H
