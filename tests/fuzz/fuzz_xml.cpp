#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/XmlDocument.h"

namespace {

// Reads what the runs read from every element: its name, text and "dato"/"seq" attributes.
void readAll(const thg::XmlDocument& document) {
    std::size_t total = 0;
    for (const thg::XmlNode& node : document.selectNodes("//*")) {
        total += node.name().size() + node.text().size();
        total += node.attribute("dato").value_or("").size() + node.attribute("seq").value_or("").size();
        for (const thg::XmlNode& item : node.childElements("salida"))
            total += item.text().size();
    }
    (void)total;
}

} // namespace

// Any bytes as an exchange file: loading must end in a document or an Error, never a crash, a hang
// or a runaway expansion. A loaded document is read as the runs read it, its SALIDAS is replaced as
// the import run does, and what it saves must load again and save to the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    thg::XmlDocument document;
    try {
        document =
            thg::XmlDocument::parse(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.xml");
    } catch (const thg::Error&) {
        return 0;
    }
    readAll(document);
    for (const thg::XmlNode& record :
         document.selectNodes(R"(/SERVICIO/SALIDAS/listasal[@seq="MATERIAS"]/listasal)"))
        (void)record.selectNodes("salida");

    thg::XmlNode root = document.root();
    if (thg::XmlNode salidas = root.selectSingleNode("SALIDAS")) root.removeChild(salidas);
    root.appendChild(document.createElement("SALIDAS"));
    thg::XmlNode item = document.createElement("salida");
    item.setAttribute("dato", root.text().substr(0, 20));
    item.setText(root.name());
    root.selectSingleNode("SALIDAS").appendChild(item);
    document.createElement("fantasma");

    const std::string saved = document.serialize();
    try {
        thg::XmlDocument again = thg::XmlDocument::parse(saved, "fuzz-saved.xml");
        readAll(again);
        if (again.serialize() != saved || again.encoding() != document.encoding()) __builtin_trap();
    } catch (const thg::Error&) {
        __builtin_trap(); // a saved document that does not load again would be a lost result file
    }
    return 0;
}
