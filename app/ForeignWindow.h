#pragma once

#include <optional>

#include <QSize>
#include <QWindow>

namespace thg {

// What the window system says of a window that belongs to another program (the timetable program's
// window that hosts ours). Qt's foreign windows report no size and no resize, so we ask directly.
namespace foreignWindow {

// Whether the window system knows a window with this handle. Where it cannot be asked (no X11
// connection), the answer is true and embedding will tell.
bool exists(WId handle);

// The window's client area size (x and y 0); nothing when the window is gone or cannot be asked.
std::optional<QSize> size(WId handle);

} // namespace foreignWindow

} // namespace thg
