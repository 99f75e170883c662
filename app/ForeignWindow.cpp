#include "app/ForeignWindow.h"

#include <cstdlib>

#include <QGuiApplication>
#if QT_CONFIG(xcb)
#include <xcb/xcb.h>
#endif

namespace thg::foreignWindow {

namespace {

#if QT_CONFIG(xcb)
xcb_connection_t* connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The window's geometry, or nothing when the server answers with an error (no such window).
std::optional<QSize> x11Size(xcb_connection_t* x, WId handle) {
    xcb_generic_error_t* error = nullptr;
    xcb_get_geometry_reply_t* reply =
        xcb_get_geometry_reply(x, xcb_get_geometry(x, xcb_drawable_t(handle)), &error);
    std::free(error);
    if (!reply) return std::nullopt;
    const QSize result(reply->width, reply->height);
    std::free(reply);
    return result;
}
#endif

} // namespace

bool exists(WId handle) {
#if QT_CONFIG(xcb)
    if (auto* x = connection()) return x11Size(x, handle).has_value();
#endif
    return true;
}

std::optional<QSize> size(WId handle) {
#if QT_CONFIG(xcb)
    if (auto* x = connection()) return x11Size(x, handle);
#endif
    (void)handle;
    return std::nullopt;
}

} // namespace thg::foreignWindow
