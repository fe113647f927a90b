#include "app/MessageBoxPresenter.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QMessageBox>
#include <cstdlib>

#include "app/AppIdentity.h"

namespace {

QMessageBox::Icon boxIcon(platform::MessageIcon icon) {
    switch (icon) {
        case platform::MessageIcon::Critical:
            return QMessageBox::Critical;
        case platform::MessageIcon::Warning:
            return QMessageBox::Warning;
        case platform::MessageIcon::Information:
            return QMessageBox::Information;
    }
    return QMessageBox::NoIcon;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    const auto cookie = xcb_intern_atom(connection, 0, static_cast<uint16_t>(qstrlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    xcb_atom_t atom = XCB_ATOM_NONE;
    if (reply) atom = reply->atom;
    std::free(reply);
    return atom;
}

// Qt's X11 backend puts the program's name on a window whose title is empty,
// so an empty title is written to the window's name properties directly.
void emptyX11TitleBar(QWidget* window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    // Other platforms show an empty title as given. (The offscreen platform
    // answers as X11 too, but without a connection.)
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) return;
    const auto id = static_cast<xcb_window_t>(window->winId());
    const xcb_atom_t utf8 = internAtom(connection, "UTF8_STRING");
    const xcb_atom_t netName = internAtom(connection, "_NET_WM_NAME");
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        0, nullptr);
    if (netName != XCB_ATOM_NONE && utf8 != XCB_ATOM_NONE) {
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, netName, utf8, 8, 0, nullptr);
    }
    xcb_flush(connection);
}

}  // namespace

void showMessageBox(QWidget* owner, const platform::Message& message) {
    QMessageBox box(boxIcon(message.icon), message.title.value_or(ApplicationTitle), message.prompt,
                    QMessageBox::Ok, owner);
    // Prompts carry folder names from the disk: never read them as markup.
    box.setTextFormat(Qt::PlainText);
    if (message.title && message.title->isEmpty()) emptyX11TitleBar(&box);
    box.exec();
}
