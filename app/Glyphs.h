#pragma once

#include <QIcon>

namespace thg {

// The green check mark of the "Aceptar" buttons, with its grey form for a disabled button.
QIcon checkGlyph();

// The open door of the "Salir" button, with its grey form for a disabled button.
QIcon doorGlyph();

} // namespace thg
