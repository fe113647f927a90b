#include "app/DisplayCheck.h"

#include <xcb/xcb.h>

#include <QByteArray>
#include <QByteArrayList>
#include <QFileInfo>

namespace {

bool x11Connectable() {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) return false;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool connected = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return connected;
}

// A Wayland compositor listens on a socket named by WAYLAND_DISPLAY, relative
// to XDG_RUNTIME_DIR unless it is absolute.
bool waylandSocketThere() {
    const QString name = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (name.isEmpty()) return false;
    if (name.startsWith(QLatin1Char('/'))) return QFileInfo::exists(name);
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QLatin1Char('/') + name);
}

// The platform names asked for, in Qt's "a;b" form; empty when none was.
QByteArrayList requestedPlatforms(int argc, char** argv) {
    QByteArray requested = qgetenv("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "-platform") == 0 || qstrcmp(argv[i], "--platform") == 0)
            requested = argv[i + 1];
    }
    QByteArrayList names;
    for (const QByteArray& entry : requested.split(';')) {
        // "xcb:option=value" carries options after the name.
        const QByteArray name = entry.split(':').first().trimmed();
        if (!name.isEmpty()) names << name;
    }
    return names;
}

// The platforms Qt tries when none is asked for: X11, with Wayland first in a
// Wayland session other than GNOME's (GNOME always runs an X server as well).
QByteArrayList defaultPlatforms() {
    const bool gnome = qgetenv("XDG_CURRENT_DESKTOP").toLower().contains("gnome") ||
                       qgetenv("XDG_SESSION_DESKTOP").toLower().contains("gnome");
    if (qgetenv("XDG_SESSION_TYPE") == "wayland" && !gnome) return {"wayland", "xcb"};
    return {"xcb"};
}

}  // namespace

QString displayProblem(int argc, char** argv) {
    QByteArrayList platforms = requestedPlatforms(argc, argv);
    if (platforms.isEmpty()) platforms = defaultPlatforms();
    for (const QByteArray& platform : platforms) {
        if (platform == "xcb") {
            if (x11Connectable()) return {};
        } else if (platform.startsWith("wayland")) {
            if (waylandSocketThere()) return {};
        } else {
            return {};
        }
    }
    const QString display = qEnvironmentVariable("DISPLAY");
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    QString found;
    if (!display.isEmpty())
        found += QStringLiteral(" (cannot connect to X display %1)").arg(display);
    if (!wayland.isEmpty()) found += QStringLiteral(" (no Wayland display %1)").arg(wayland);
    return QStringLiteral(
               "no display%1: set DISPLAY or WAYLAND_DISPLAY to the desktop session the window "
               "should open on")
        .arg(found);
}
