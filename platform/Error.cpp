#include "platform/Error.h"

#include "platform/Ansi.h"

namespace thg {

Error notAnInteger(const std::string& text) {
    return Error("'" + ansi::toUtf8(text) + "' no es un valor entero válido");
}

} // namespace thg
