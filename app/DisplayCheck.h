#pragma once

#include <QString>

// Why the window toolkit could not open a window here, in one line for
// standard error; empty when a display is there. Checked before the toolkit
// starts, which would otherwise abort with advice to reinstall the program.
// A platform chosen with QT_QPA_PLATFORM or -platform is honoured; one that
// needs no display server (offscreen, vnc, eglfs, ...) always has a display.
QString displayProblem(int argc, char** argv);
