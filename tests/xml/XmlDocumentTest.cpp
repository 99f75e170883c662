#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Ansi.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/XmlDocument.h"
#include "support/TestSupport.h"

namespace thg {
namespace {

// The message of the Error `action` throws, or a failure when it throws none.
template <typename Action> std::string errorOf(Action action) {
    try {
        action();
    } catch (const Error& e) {
        return e.what();
    }
    ADD_FAILURE() << "no error";
    return {};
}

std::string errorParsing(std::string_view xml) {
    return errorOf([&] { XmlDocument::parse(xml, "doc.xml"); });
}

enum class Form { Utf8, Utf8Bom, Utf16Le, Utf16Be, SingleByte };

// UTF-8 text as a file in `form` would hold it (UTF-16 with its byte order mark).
std::string encodeAs(std::string_view utf8, Form form) {
    switch (form) {
    case Form::Utf8:
        return std::string(utf8);
    case Form::Utf8Bom:
        return "\xEF\xBB\xBF" + std::string(utf8);
    case Form::SingleByte:
        return ansi::fromUtf8(utf8); // Windows-1252; the same bytes as ISO-8859-1 for its letters
    case Form::Utf16Le:
    case Form::Utf16Be: {
        std::string out = form == Form::Utf16Le ? "\xFF\xFE" : "\xFE\xFF";
        std::u16string units;
        for (char c : ansi::fromUtf8(utf8)) { // the test texts stay within Windows-1252
            std::string one = ansi::toUtf8(std::string(1, c));
            std::uint32_t code = static_cast<unsigned char>(one[0]);
            if (one.size() == 2)
                code = ((code & 0x1F) << 6) | (one[1] & 0x3F);
            else if (one.size() == 3)
                code = ((code & 0x0F) << 12) | ((one[1] & 0x3F) << 6) | (one[2] & 0x3F);
            char low = static_cast<char>(code & 0xFF), high = static_cast<char>(code >> 8);
            if (form == Form::Utf16Le)
                out += low, out += high;
            else
                out += high, out += low;
        }
        return out;
    }
    }
    return {};
}

struct EncodingCase {
    const char* declared; // "" for no declaration
    Form form;
    const char* encoding; // as encoding() reports it
    const char* second;   // the second item's text
};

std::string exchangeFile(const EncodingCase& c) {
    std::string declaration =
        *c.declared ? std::string("<?xml version=\"1.0\" encoding=\"") + c.declared + "\"?>\n" : "";
    return declaration + R"(<SERVICIO>
  <SALIDAS>
    <listasal seq="MATERIAS">
      <listasal><salida>IES Ñandú</salida><salida dato="año">)" +
           c.second + R"(</salida></listasal>
    </listasal>
  </SALIDAS>
</SERVICIO>
)";
}

class Encodings : public testing::TestWithParam<EncodingCase> {};

TEST_P(Encodings, give_the_same_values_and_save_back_in_the_same_encoding) {
    const EncodingCase& c = GetParam();
    const std::string bytes = encodeAs(exchangeFile(c), c.form);
    auto check = [&](const XmlDocument& document) {
        EXPECT_EQ(document.encoding(), c.encoding);
        auto records = document.selectNodes(R"(/SERVICIO/SALIDAS/listasal[@seq="MATERIAS"]/listasal)");
        ASSERT_EQ(records.size(), 1u);
        auto items = records[0].childElements("salida");
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items[0].text(), "IES Ñandú");
        EXPECT_EQ(items[1].text(), c.second);
        EXPECT_EQ(items[1].attribute("dato"), "año");
    };
    XmlDocument document = XmlDocument::parse(bytes);
    check(document);

    const std::string saved = document.serialize();
    if (*c.declared) {
        std::string declaration = std::string("<?xml version=\"1.0\" encoding=\"") + c.declared + "\"?>";
        EXPECT_TRUE(saved.starts_with(encodeAs(declaration, c.form))) << saved;
    } else {
        EXPECT_EQ(saved.substr(0, 10), "<SERVICIO>");
    }
    // The accented text is stored as the encoding's own characters, not as references.
    std::string second = encodeAs(c.second, c.form);
    std::size_t mark = c.form == Form::Utf8Bom                              ? 3
                       : c.form == Form::Utf16Le || c.form == Form::Utf16Be ? 2
                                                                            : 0;
    EXPECT_NE(saved.find(second.substr(mark)), std::string::npos);
    check(XmlDocument::parse(saved));
}

INSTANTIATE_TEST_SUITE_P(XmlDocument, Encodings,
                         testing::Values(EncodingCase{"", Form::Utf8, "UTF-8", "€ 1º"},
                                         EncodingCase{"UTF-8", Form::Utf8, "UTF-8", "€ 1º"},
                                         EncodingCase{"utf-8", Form::Utf8Bom, "UTF-8", "€ 1º"},
                                         EncodingCase{"UTF-16", Form::Utf16Le, "UTF-16LE", "€ 1º"},
                                         EncodingCase{"UTF-16", Form::Utf16Be, "UTF-16BE", "€ 1º"},
                                         EncodingCase{"ISO-8859-1", Form::SingleByte, "ISO-8859-1", "1º"},
                                         EncodingCase{"latin1", Form::SingleByte, "ISO-8859-1", "1º"},
                                         EncodingCase{"iso_8859-1", Form::SingleByte, "ISO-8859-1", "1º"},
                                         EncodingCase{"windows-1252", Form::SingleByte, "windows-1252",
                                                      "€ 1º"},
                                         EncodingCase{"CP1252", Form::SingleByte, "windows-1252", "€ 1º"}));

TEST(XmlDocument, single_byte_files_keep_their_bytes_and_write_references_for_what_they_lack) {
    XmlDocument latin1 = XmlDocument::parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xD1</a>");
    XmlDocument cp1252 = XmlDocument::parse("<?xml version=\"1.0\" encoding=\"windows-1252\"?><a>\xD1</a>");
    for (XmlDocument* document : {&latin1, &cp1252}) {
        XmlNode a = document->root();
        EXPECT_EQ(a.text(), "Ñ");
        a.setText("Ñ € ✓\r");
        a.setAttribute("dato", "“Œ”");
    }
    EXPECT_EQ(latin1.serialize(), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                                  "<a dato=\"&#8220;&#338;&#8221;\">\xD1 &#8364; &#10003;&#13;</a>\n");
    EXPECT_EQ(cp1252.serialize(), "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n"
                                  "<a dato=\"\x93\x8C\x94\">\xD1 \x80 &#10003;&#13;</a>\n");
    for (XmlDocument* document : {&latin1, &cp1252}) {
        XmlDocument again = XmlDocument::parse(document->serialize());
        EXPECT_EQ(again.root().text(), "Ñ € ✓\r");
        EXPECT_EQ(again.root().attribute("dato"), "“Œ”");
    }
}

TEST(XmlDocument, encoding_errors_name_the_encoding) {
    EXPECT_EQ(errorParsing(R"(<?xml version="1.0" encoding="Shift_JIS"?><a/>)"),
              "doc.xml: codificación 'Shift_JIS' no admitida");
    EXPECT_EQ(errorParsing(R"(<?xml version="1.0" encoding="UTF-16"?><a/>)"),
              "doc.xml: declara la codificación 'UTF-16' pero sus caracteres son de un byte");
}

TEST(XmlDocument, malformed_documents_name_the_file_line_and_column) {
    EXPECT_EQ(errorOf([] {
                  XmlDocument::parse("<SERVICIO>\n  <SALIDAS>\n  </SALIDA>\n</SERVICIO>", "centro.xml");
              }),
              "centro.xml: línea 3, columna 5: la etiqueta de cierre no corresponde a la de apertura");

    // Columns count characters, so a line reads the same in every encoding; lines and columns also
    // stay those of the file after an entity earlier on the line has been expanded.
    const struct {
        std::string bytes;
        std::string where;
    } cases[] = {
        {"<a>\n<b>ñññ</c></a>", "línea 2, columna 9"},
        {"<?xml version=\"1.0\" encoding=\"windows-1252\"?><a>\n<b>\xF1\xF1\xF1</c></a>",
         "línea 2, columna 9"},
        {encodeAs("<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>\r\n<b>ñññ</c></a>", Form::Utf16Le),
         "línea 2, columna 9"},
        {"<!DOCTYPE a [<!ENTITY e \"un texto bastante largo\n de dos líneas\">]>\n<a>&e;<b></c></a>",
         "línea 3, columna 12"},
        {"<a/>\n<b/>", "línea 2, columna 1: hay más de un elemento raíz"},
        {"<?xml version=\"1.0\"?>\nR&amp;D\n<a/>", "línea 2, columna 1: texto fuera del elemento raíz"},
        {"<!-- nada más -->", "línea 1, columna 18: el documento no tiene elemento raíz"},
        {"<a>\n <b c=\"<!--\"/>&nada;<!-- x --></a>",
         "línea 2, columna 8: '<' no permitido dentro de un valor"},
        {"<a><!DOCTYPE a></a>", "línea 1, columna 4: declaración DOCTYPE fuera de lugar"},
        {"<a>x</a><?xml version=\"1.0\"?>",
         "línea 1, columna 9: la declaración XML solo puede ir al principio"},
        {"<a>\n<!-- sin cerrar </a>", "línea 2, columna 1: comentario sin terminar"},
        {"", "línea 1, columna 1: el documento no tiene elemento raíz"},
        {std::string("<a>\0</a>", 8), "línea 1, columna 4: carácter no válido (código 0)"},
        {"<a>\n\t<b>\x1B</b></a>", "línea 2, columna 5: carácter no válido (código 27)"},
        {"<a>Pe\xF1"
         "a</a>",
         "línea 1, columna 6: el texto no es UTF-8 válido"}, // Latin-1 left undeclared
    };
    for (const auto& c : cases) {
        std::string message = errorParsing(c.bytes);
        EXPECT_TRUE(message.starts_with("doc.xml: " + c.where)) << message;
    }
}

TEST(XmlDocument, load_names_the_file_it_cannot_read) {
    test::TempDir dir;
    EXPECT_EQ(errorOf([&] { XmlDocument::load(dir / "falta.xml"); }),
              (dir / "falta.xml").string() + ": no se puede abrir el archivo");
    test::writeFile(dir / "roto.xml", "<a>\n</b>");
    EXPECT_TRUE(errorOf([&] {
                    XmlDocument::load(dir / "roto.xml");
                }).starts_with((dir / "roto.xml").string() + ": línea 2, columna 3: "));
}

TEST(XmlDocument, expands_the_text_entities_of_the_internal_subset) {
    XmlDocument document = XmlDocument::parse(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE SERVICIO SYSTEM "/no/existe/servicio.dtd" [
  <!-- the school's name -->
  <!ELEMENT SERVICIO ANY>
  <!ATTLIST SERVICIO nombre CDATA #IMPLIED>
  <!ENTITY centro "IES Ñandú">
  <!ENTITY saludo "Hola, &centro;">
  <!ENTITY cita 'dice "sí" &#38;amp; &#38;#60;no>'>
  <!ENTITY centro "primera declaración gana">
  <!ENTITY % parametro "ignorado">
  <!ENTITY imagen SYSTEM "logo.gif" NDATA gif>
]>
<SERVICIO nombre="&saludo;" cita="&cita;"><salida>&saludo; &amp; &#241;&#x20AC;</salida></SERVICIO>)");
    XmlNode root = document.root();
    EXPECT_EQ(root.attribute("nombre"), "Hola, IES Ñandú");
    EXPECT_EQ(root.attribute("cita"), R"(dice "sí" & <no>)");
    EXPECT_EQ(root.selectSingleNode("salida").text(), "Hola, IES Ñandú & ñ€");
    // The DOCTYPE is written back as it was, entities unexpanded.
    EXPECT_NE(document.serialize().find("<!ENTITY saludo \"Hola, &centro;\">"), std::string::npos);
}

TEST(XmlDocument, refuses_every_other_reference) {
    const struct {
        std::string xml;
        std::string message;
    } cases[] = {
        {"<a>\n  &nada;</a>", "doc.xml: línea 2, columna 3: entidad no declarada '&nada;'"},
        {"<!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n<a>&x;</a>",
         "doc.xml: línea 2, columna 4: la entidad 'x' es externa y no se lee"},
        {"<!DOCTYPE a [<!ENTITY x PUBLIC \"-//x\" \"http://example.org/x\">]><a b=\"&x;\"/>",
         "doc.xml: línea 1, columna 70: la entidad 'x' es externa y no se lee"},
        {"<!DOCTYPE a [<!ENTITY y SYSTEM \"y.txt\"><!ENTITY x \"&y;\">]><a>&x;</a>",
         "doc.xml: línea 1, columna 62: la entidad 'y' es externa y no se lee"},
        {"<!DOCTYPE a [<!ENTITY % p \"<!ENTITY x 'y'>\"> %p;]><a>&x;</a>",
         "doc.xml: línea 1, columna 46: referencia a una entidad de parámetro, que no se admite"},
        {"<!DOCTYPE a [<!ENTITY x \"%p;\">]><a/>",
         "doc.xml: línea 1, columna 26: referencia a una entidad de parámetro, que no se admite"},
        {"<!DOCTYPE a [<!ENTITY x \"&y;\"><!ENTITY y \"&x;\">]><a>&x;</a>",
         "doc.xml: línea 1, columna 53: entidad que se refiere a sí misma"},
        {"<!DOCTYPE a [<!ENTITY x \"<b/>\">]><a>&x;</a>",
         "doc.xml: línea 1, columna 37: la entidad contiene marcas, que no se admiten"},
        {"<!DOCTYPE a [<!ENTITY x \"&z;\">]><a>&x;</a>",
         "doc.xml: línea 1, columna 36: entidad no declarada '&z;'"},
        {"<a>R&D</a>", "doc.xml: línea 1, columna 5: '&' sin una referencia válida"},
        {"<a b='&'/>", "doc.xml: línea 1, columna 7: '&' sin una referencia válida"},
        {"<a>&#0;</a>",
         "doc.xml: línea 1, columna 4: la referencia de carácter no es un carácter XML válido"},
        {"<a>&#xZZ;</a>", "doc.xml: línea 1, columna 4: referencia de carácter mal formada"},
        {"<a>&#99999999999999999999;</a>",
         "doc.xml: línea 1, columna 4: la referencia de carácter no es un carácter XML válido"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(errorParsing(c.xml), c.message);
}

TEST(XmlDocument, entity_bombs_fail_fast) {
    std::string laughs = "<!DOCTYPE lolz [<!ENTITY lol0 \"lol\">";
    std::string empties = "<!DOCTYPE nada [<!ENTITY e0 \"\">";
    for (int level = 1; level <= 9; ++level) {
        std::string previous = "&lol" + std::to_string(level - 1) + ";";
        std::string previousEmpty = "&e" + std::to_string(level - 1) + ";";
        laughs += "<!ENTITY lol" + std::to_string(level) + " \"";
        empties += "<!ENTITY e" + std::to_string(level) + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += previous, empties += previousEmpty;
        laughs += "\">";
        empties += "\">";
    }
    laughs += "]>\n<lolz>&lol9;</lolz>";
    empties += "]>\n<nada>&e9;</nada>";
    for (const std::string& bomb : {laughs, empties}) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_NE(errorParsing(bomb).find("la expansión de entidades supera el límite de tamaño"),
                  std::string::npos);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

TEST(XmlDocument, text_joins_everything_inside_in_document_order) {
    XmlDocument document = XmlDocument::parse(
        "<a>uno <b>dos<![CDATA[<tres>]]><c>&lt;4&gt;</c></b> &#241;<!-- no --><?pi no?> cinco\r\nseis</a>");
    EXPECT_EQ(document.root().text(), "uno dos<tres><4> ñ cinco\nseis");
    EXPECT_EQ(document.root().selectSingleNode("b/c").text(), "<4>");
    EXPECT_EQ(XmlNode().text(), "");
    EXPECT_EQ(XmlDocument::parse("<a>  <b/>  </a>").root().text(), ""); // blank text is not kept
}

const char* const lists = R"(<SERVICIO>
  <SALIDAS>
    <listasal seq="MATERIAS"><listasal n="1"><salida>a</salida><otro/><salida>b</salida></listasal></listasal>
    <listasal seq="PROFESORES"><listasal n="2"/></listasal>
    <listasal seq="MATERIAS"><listasal n="3"/><listasal n="4"/></listasal>
  </SALIDAS>
</SERVICIO>)";

TEST(XmlDocument, selections_absolute_and_relative_in_document_order) {
    XmlDocument document = XmlDocument::parse(lists);
    auto numbers = [](const std::vector<XmlNode>& nodes) {
        std::string n;
        for (const XmlNode& node : nodes)
            n += node.attribute("n").value_or("-");
        return n;
    };
    EXPECT_EQ(numbers(document.selectNodes(R"(/SERVICIO/SALIDAS/listasal[@seq="MATERIAS"]/listasal)")),
              "134");
    EXPECT_EQ(numbers(document.selectNodes("//listasal[@n]")), "1234");
    EXPECT_EQ(document.selectNodes(R"(/SERVICIO/SALIDAS/listasal[@seq="NADA"]/listasal)").size(), 0u);
    EXPECT_EQ(document.selectSingleNode("//listasal[@n > 2]").attribute("n"), "3");
    EXPECT_TRUE(document.selectSingleNode("/SERVICIO/NADA").isNull());

    XmlNode record = document.selectSingleNode("//listasal[@n='1']");
    std::vector<XmlNode> items = record.selectNodes("salida");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].text() + items[1].text(), "ab");
    EXPECT_EQ(record.childElements("salida"), items);
    EXPECT_EQ(record.selectNodes("./salida[2]").at(0), items[1]);
    EXPECT_EQ(document.root().selectSingleNode("SALIDAS").name(), "SALIDAS");
    EXPECT_EQ(record.selectNodes("@n").size(), 0u); // attributes are not nodes here
    EXPECT_EQ(record.attribute("nada"), std::nullopt);

    EXPECT_TRUE(errorOf([&] {
                    document.selectNodes("/SERVICIO/[@");
                }).starts_with("Expresión XPath '/SERVICIO/[@' no válida: "));
    EXPECT_TRUE(errorOf([&] { record.selectNodes("count(salida)"); }).starts_with("Expresión XPath"));
    EXPECT_TRUE(XmlNode().selectNodes("//x").empty());
    EXPECT_TRUE(XmlNode().selectSingleNode("x").isNull());
}

TEST(XmlDocument, removeChild_refuses_what_is_not_a_child) {
    XmlDocument document = XmlDocument::parse(lists);
    XmlNode root = document.root();
    XmlNode grandchild = document.selectSingleNode("//listasal");
    EXPECT_EQ(errorOf([&] { root.removeChild(root.selectSingleNode("NADA")); }),
              "Elemento 'SERVICIO': no hay nodo que quitar");
    EXPECT_EQ(errorOf([&] { root.removeChild(grandchild); }),
              "Elemento 'SERVICIO': Elemento 'listasal' no es un hijo suyo");
    EXPECT_EQ(errorOf([&] { root.removeChild(root); }),
              "Elemento 'SERVICIO': Elemento 'SERVICIO' no es un hijo suyo");
    EXPECT_EQ(errorOf([&] { root.appendChild(XmlNode()); }), "Elemento 'SERVICIO': no hay nodo que añadir");
    EXPECT_TRUE(errorOf([&] {
                    grandchild.appendChild(root);
                }).starts_with("Elemento 'listasal': no se puede añadir"));
    EXPECT_TRUE(
        errorOf([&] { document.createElement("mal nombre"); }).starts_with("Nombre de elemento no válido"));

    root.removeChild(root.selectSingleNode("SALIDAS"));
    EXPECT_TRUE(document.selectNodes("//listasal").empty());
}

// The result file's shape: SALIDAS replaced at the end, the rest as it was, indented, and an element
// created but never placed left out.
TEST(XmlDocument, rebuilt_salidas_is_saved_indented_after_the_rest) {
    XmlDocument document =
        XmlDocument::parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?>\r\n"
                           "<!-- exportado por Gestalia -->\r\n"
                           "<SERVICIO><CABECERA><dato>Pe\xF1"
                           "a</dato></CABECERA>\r\n"
                           "<SALIDAS><listasal seq=\"MATERIAS\"/></SALIDAS><PIE/></SERVICIO>");
    XmlNode root = document.root();
    root.removeChild(root.selectSingleNode("SALIDAS"));
    XmlNode ghost = document.createElement("fantasma");
    ghost.setText("no se guarda");
    root.appendChild(document.createElement("SALIDAS"));
    XmlNode salidas = root.selectSingleNode("SALIDAS");
    XmlNode error = document.createElement("ERROR");
    salidas.appendChild(error);
    for (auto [dato, text] :
         {std::pair{"CN_ERROR", "0"}, {"TE_ERROR", "Servicio finalizado Correctamente"}}) {
        XmlNode item = document.createElement("salida");
        item.setAttribute("dato", "x");
        item.setAttribute("dato", dato);
        item.setText(text);
        error.appendChild(item);
    }
    XmlNode empty = document.createElement("listasal");
    salidas.appendChild(empty);
    empty.setText("");
    EXPECT_TRUE(document.selectNodes("//fantasma").empty());
    EXPECT_TRUE(document.selectNodes("/*").size() == 1);
    EXPECT_EQ(document.root().text(), "Peña0Servicio finalizado Correctamente");

    EXPECT_EQ(document.serialize(),
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?>\r\n"
              "<!-- exportado por Gestalia -->\r\n"
              "<SERVICIO>\r\n"
              "  <CABECERA>\r\n"
              "    <dato>Pe\xF1"
              "a</dato>\r\n"
              "  </CABECERA>\r\n"
              "  <PIE />\r\n"
              "  <SALIDAS>\r\n"
              "    <ERROR>\r\n"
              "      <salida dato=\"CN_ERROR\">0</salida>\r\n"
              "      <salida dato=\"TE_ERROR\">Servicio finalizado Correctamente</salida>\r\n"
              "    </ERROR>\r\n"
              "    <listasal />\r\n"
              "  </SALIDAS>\r\n"
              "</SERVICIO>\r\n");
}

TEST(XmlDocument, save_replaces_the_file_and_a_failed_save_leaves_the_old_one) {
    test::TempDir dir;
    const auto file = dir / "ResultadoHoraxcentro.xml";
    XmlDocument document = XmlDocument::parse("<a>uno</a>");
    document.save(file);
    EXPECT_EQ(test::readFile(file), "<a>uno</a>\n");
    EXPECT_EQ(XmlDocument::load(file).root().text(), "uno");

    document.root().setText("dos");
    setWriteFaultHook([](const std::filesystem::path&) { throw std::runtime_error("disco lleno"); });
    std::string message = errorOf([&] { document.save(file); });
    setWriteFaultHook(nullptr);
    EXPECT_EQ(message, file.string() + ": disco lleno");
    EXPECT_EQ(test::readFile(file), "<a>uno</a>\n");
    EXPECT_EQ(test::listFiles(dir.path()), std::vector<std::string>{"ResultadoHoraxcentro.xml"});

    document.save(file);
    EXPECT_EQ(test::readFile(file), "<a>dos</a>\n");
}

} // namespace
} // namespace thg
