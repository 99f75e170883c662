#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Ansi.h"
#include "platform/DbfTable.h"
#include "platform/Error.h"
#include "support/TestSupport.h"
#include "to_timetable/ExportRun.h"

namespace thg {
namespace {

using test::TempDir;
using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

// An exchange file whose SALIDAS holds `lists`.
std::string exchange(std::string_view lists)
{
    return std::string(R"(<?xml version="1.0" encoding="UTF-8"?><SERVICIO><SALIDAS>)") + std::string(lists) +
           "</SALIDAS></SERVICIO>";
}

// One input list named `seq` whose list records hold plain items (no dato).
std::string list(std::string_view seq, std::initializer_list<std::initializer_list<std::string_view>> records)
{
    std::string xml = "<listasal seq=\"" + std::string(seq) + "\">";
    for (const auto& record : records) {
        xml += "<listasal>";
        for (std::string_view item : record)
            xml += "<salida>" + std::string(item) + "</salida>";
        xml += "</listasal>";
    }
    return xml + "</listasal>";
}

// Every file of a folder with its bytes: "nothing was touched" is this map staying equal.
std::map<std::string, std::string> snapshot(const std::filesystem::path& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& name : test::listFiles(dir))
        files[name] = test::readFile(dir / name);
    return files;
}

class ExportRunTest : public ::testing::Test {
protected:
    std::filesystem::path workDir() const { return dir / "HTEMP"; }

    void run(std::string_view xml)
    {
        test::writeFile(dir / "centro.xml", xml);
        exportToTimetable(dir / "centro.xml", workDir());
    }

    // The table's records, the given fields read as text and turned back into UTF-8.
    Rows rows(std::string_view table, std::initializer_list<std::string_view> fields) const
    {
        DbfTable dbf = DbfTable::open(workDir(), table);
        Rows result;
        for (dbf.first(); !dbf.eof(); dbf.next()) {
            Row row;
            for (std::string_view field : fields)
                row.push_back(ansi::toUtf8(dbf.text(field)));
            result.push_back(row);
        }
        return result;
    }

    TempDir dir;
};

TEST_F(ExportRunTest, envelopeSelectsListRecordsAndTrimsItems)
{
    // Two lists named MATERIAS (read one after the other), one in other letter case (not read), records
    // with fewer than two items (skipped), a nested listasal and a stray salida (neither a record nor an
    // item), a record with two items only (the rest read empty). Trimming removes blanks, tabs and line
    // breaks but keeps inner blanks and a no-break space.
    run(R"(<?xml version="1.0" encoding="UTF-8"?>
<SERVICIO><SALIDAS>
  <listasal seq="MATERIAS">
    <salida>M9</salida>
    <listasal><salida>  M1 </salida><salida>
        A1</salida><salida>	L 1	</salida><salida>Lengua  y Literatura&#xA0;</salida><salida>extra</salida></listasal>
    <listasal><salida>M2</salida></listasal>
    <listasal></listasal>
    <listasal><salida>M3</salida><salida>A3</salida>
      <listasal><salida>M4</salida><salida>A4</salida></listasal>
    </listasal>
  </listasal>
  <listasal seq="materias"><listasal><salida>M5</salida><salida>A5</salida></listasal></listasal>
  <listasal seq="MATERIAS"><listasal><salida>M6</salida><salida>A6</salida><salida/><salida>Química</salida></listasal></listasal>
</SALIDAS></SERVICIO>)");

    EXPECT_EQ(rows("ASIGNOMT", {"MATERIA", "COD", "CODLARGO", "NOMBRE"}),
              (Rows{{"M1", "A1", "L 1", "Lengua  y Literatura\u00A0"},
                    {"M3", "A3", "", ""},
                    {"M6", "A6", "", "Química"}}));
    // Lists absent from the file still give their tables, empty.
    for (std::string_view table : {"PROFT", "AULAT", "GRUPOST", "ASIGT", "DIASHORAST"})
        EXPECT_EQ(DbfTable::open(workDir(), table).recordCount(), 0u) << table;
}

TEST_F(ExportRunTest, emptyListsGiveEmptyTables)
{
    run(exchange(
        R"(<listasal seq="MATERIAS"/><listasal seq="PROFESORES"></listasal><listasal seq="TRAMOS"/>)"));
    for (std::string_view table : {"ASIGNOMT", "PROFT", "AULAT", "GRUPOST", "ASIGT", "DIASHORAST"})
        EXPECT_EQ(DbfTable::open(workDir(), table).recordCount(), 0u) << table;
}

TEST_F(ExportRunTest, subjectCatalogueKeepsTheFirstOfEachCodeRegardlessOfCase)
{
    run(exchange(list("MATERIAS", {
                                      {"G001", "GUA", "GUARDIA", "Guardia"},
                                      {"M002", "GUA", "OTRA", "Dropped: same code"},
                                      {"M003", "gua", "OTRA", "Dropped: same code in small letters"},
                                      {"g004", "Ñú", "", "Small g is no task"},
                                      {"G005", "ñÚ", "", "Dropped: accented letters fold too"},
                                      {"  G006", "", "", "Blanks before G are trimmed"},
                                      {"", "", "", "Dropped: second empty code"},
                                      {"", "X7", "", ""},
                                      {"M008", "ABCDEFGHIJKL", "LONGER THAN TEN", "Cut to ten"},
                                  })));
    EXPECT_EQ(rows("ASIGNOMT", {"COD", "CODLARGO", "NOMBRE", "MATERIA", "ESTAREA"}),
              (Rows{
                  {"GUA", "GUARDIA", "Guardia", "G001", "T"},
                  {"Ñú", "", "Small g is no task", "g004", "F"},
                  {"", "", "Blanks before G are trimmed", "G006", "T"},
                  {"X7", "", "", "", "F"},
                  {"ABCDEFGHIJ", "LONGER THA", "Cut to ten", "M008", "F"},
              }));
}

TEST_F(ExportRunTest, teachersRoomsAndGroupsTakeTheirItemsByPosition)
{
    run(exchange(list("PROFESORES", {{"E001", "01/09/2015", "María José Núñez", "MJN", "extra"},
                                     {"E002", "01/09/2020", "Íñigo Aguirre", "MJN"},
                                     {"E003", "01/09/2021"}}) +
                 list("AULAS", {{"A101", "1A", "Aula 1.º A", "AB"},
                                {"B001", "", "Biblioteca", "B"},
                                {"B002", "   ", "Sala de profesores", "B"},
                                {"A102", "1A", "Aula repetida", "A"}}) +
                 list("GRUPOS", {{"U1ESOA", "1ESOA", "M", "ESO", "1", "A"},
                                 {"UAPOYO", "APOYO", "", "", "", ""},
                                 {"U2BACH", "2BACH", "Mañana", "BACHILLER", "2.º", "AB1"},
                                 {"U4", "4X", "", "", "", "B"},
                                 {"U3", "3ESO"}})));

    EXPECT_EQ(rows("PROFT", {"ABREV", "NOMBRE", "DEPART", "DNI", "X_EMPLEADO", "F_TOMAPOS"}),
              (Rows{{"MJN", "María José Núñez", "", "", "E001", "01/09/2015"},
                    {"MJN", "Íñigo Aguirre", "", "", "E002", "01/09/2020"},
                    {"", "", "", "", "E003", "01/09/2021"}}));
    EXPECT_EQ(rows("AULAT", {"ABREV", "NOMBRE", "EDIFICIO", "MAXALUM", "DEPCENTRO"}),
              (Rows{{"1A", "Aula 1.º A", "A", "", "A101"},
                    {"B001", "Biblioteca", "B", "", "B001"},
                    {"B002", "Sala de profesores", "B", "", "B002"},
                    {"1A", "Aula repetida", "A", "", "A102"}}));
    // DESCRIP joins the whole values; TURNO, NIVEL, CURSO and GRUPO keep what fits.
    EXPECT_EQ(rows("GRUPOST", {"ABREV", "TURNO", "NIVEL", "CURSO", "GRUPO", "UNIDAD", "DESCRIP"}),
              (Rows{{"1ESOA", "M", "ESO", "1", "A", "U1ESOA", "M ESO 1 A"},
                    {"APOYO", "", "NIV", "", "", "UAPOYO", " NIV"},
                    {"2BACH", "M", "BACHI", "2.º", "AB", "U2BACH", "Mañana BACHILLER 2.º AB1"},
                    {"4X", "", "NIV", "", "B", "U4", " NIV  B"},
                    {"3ESO", "", "NIV", "", "", "U3", " NIV"}}));
}

TEST_F(ExportRunTest, weeklyMinutesGiveHoursAndSessionPattern)
{
    struct Case {
        const char* minutes;
        const char* horas;
        std::string sesiones;
    };
    const std::string ones13(13, '1');
    const Case cases[] = {
        {"", "1", "1"},
        {"0", "1", "1"},
        {"30", "1", "1"},
        {"60", "1", "1"},
        {"-90", "1", "1"},
        {"90", "1.5", "11"},
        {"\n 150\t", "2.5", "111"},
        {"780", "13", ones13},
        {"781", "13.0167", "1" + ones13},
        {"840", "14", "1" + ones13},
        {"900", "15", "2" + ones13},
        {"1320", "22", "9" + ones13},
        {"1380", "23", "10" + ones13},
        // The integer forms the timetable program's tools accept.
        {"+120", "2", "11"},
        {"0120", "2", "11"},
        {"$3C0", "16", "3" + ones13},
        {"0x3c0", "16", "3" + ones13},
        {"0X3C0", "16", "3" + ones13},
        {"-$1A", "1", "1"},
        {"$FFFFFFFF", "1", "1"},
        {"-2147483648", "1", "1"},
        {"2147483647", "35791394.1167", "35791382111111111111"},
    };
    std::string records;
    for (const Case& c : cases)
        records += "<listasal><salida>C</salida><salida>G</salida><salida/><salida/><salida/><salida/>"
                   "<salida/><salida>" +
                   std::string(c.minutes) + "</salida><salida/></listasal>";
    run(exchange("<listasal seq=\"ASIGNATURAS\">" + records + "</listasal>"));

    Rows table = rows("ASIGT", {"HORAS", "SESIONES"});
    ASSERT_EQ(table.size(), std::size(cases));
    for (std::size_t i = 0; i < table.size(); ++i)
        EXPECT_EQ(table[i], (Row{cases[i].horas, cases[i].sesiones}))
            << "minutes '" << cases[i].minutes << "'";
}

TEST_F(ExportRunTest, assignmentsTakeTheirItemsByPosition)
{
    run(exchange(
        list("ASIGNATURAS", {
                                {"LCL", "1ESOA", "1A", "Mañana", "ESO", "1", "A", "220", "M0101", "extra"},
                                {"MAT", "APOYO", "DEPTOS", "M", "   ", "", "", "110", ""},
                                {"EF", "2ESOB"},
                                {"ING", "2BACHA", "B1", "M", "BACHIL", "1.º", "ABC", "60", "M0103456789012"},
                            })));
    EXPECT_EQ(rows("ASIGT", {"CASIG", "CPROF", "CGRUP", "CAULA", "TURNO", "NIVEL", "CURSO", "GRUPO",
                             "SESIONES", "NCONEX", "MATERIA", "CTAREA"}),
              (Rows{
                  {"LCL", "", "1ESOA", "1A", "M", "ESO", "1", "A", "1111", "", "M0101", "LE"},
                  {"MAT", "", "APOYO", "DEPTOS", "M", "NIV", "", "", "11", "", "", "LE"},
                  {"EF", "", "2ESOB", "", "", "NIV", "", "", "1", "", "", "LE"},
                  {"ING", "", "2BACHA", "B1", "M", "BACHI", "1.º", "AB", "1", "", "M01034567890", "LE"},
              }));
}

TEST_F(ExportRunTest, taskCodeIsTheCodOfTheFirstCatalogueRecordWithThatMateria)
{
    run(exchange(
        list("MATERIAS",
             {
                 {"G001", "GUA", "", ""},
                 {"G001", "GU2", "", "Second record of G001: never found"},
                 {"G002", "GUA", "", "Dropped duplicate COD: G002 is not in the table"},
                 {"G00123456789X", "LARGA", "", "MATERIA cut to G00123456789"},
                 {"G1234567890 Z", "BLANCO", "", "cut to 'G1234567890 ', read back without the blank"},
                 {"g003", "MIN", "", ""},
             }) +
        list("ASIGNATURAS", {
                                {"A", "", "", "", "", "", "", "", "G001"},
                                {"B", "", "", "", "", "", "", "", "G002"},
                                {"C", "", "", "", "", "", "", "", "G00123456789"},
                                {"D", "", "", "", "", "", "", "", "G00123456789X"},
                                {"E", "", "", "", "", "", "", "", "G1234567890"},
                                {"F", "", "", "", "", "", "", "", "g003"},
                                {"G", "", "", "", "", "", "", "", "M001"},
                                {"H", "", "", "", "", "", "", "", ""},
                                {"I", "", "", "", "", "", "", "", "G999"},
                            })));
    EXPECT_EQ(rows("ASIGT", {"CASIG", "MATERIA", "CTAREA"}), (Rows{
                                                                 {"A", "G001", "GUA"},
                                                                 {"B", "G002", "G002"},
                                                                 {"C", "G00123456789", "LARGA"},
                                                                 {"D", "G00123456789", "G001234567"},
                                                                 {"E", "G1234567890", "BLANCO"},
                                                                 {"F", "g003", "LE"},
                                                                 {"G", "M001", "LE"},
                                                                 {"H", "", "LE"},
                                                                 {"I", "G999", "G999"},
                                                             }));
}

TEST_F(ExportRunTest, timeSlotsAreReadByDato)
{
    run(exchange(R"(<listasal seq="TRAMOS">
  <listasal><salida dato="CODIGO_GESTALIA">T1</salida><salida dato="NOMBRE"> L1 </salida>
    <salida dato="INICIO">08:15</salida><salida dato="FIN">09:10</salida><salida dato="NINUTOS">55</salida></listasal>
  <listasal><salida dato="NOMBRE">M3</salida><salida dato="DIA">X10</salida><salida dato="CODIGO_GESTALIA">T2</salida>
    <salida dato="CODIGO_GESTALIA">T2b</salida></listasal>
  <listasal><salida dato="DIA">J</salida><salida dato="NOMBRE">V123</salida></listasal>
  <listasal><salida dato="MINUTOS">55</salida><salida dato=" NOMBRE">S1</salida><salida dato="nombre">S2</salida>
    <salida>D1</salida><salida dato="FIN">14:15</salida></listasal>
  <listasal/>
  <listasal><salida dato="NOMBRE">L1234567890123</salida><salida dato="INICIO">8:15 de la mañana</salida></listasal>
</listasal>)"));
    EXPECT_EQ(rows("DIASHORAST",
                   {"DIHO", "CODDIHO", "DIA", "TEXTODIA", "HORA", "HORADESDE", "HORAHASTA", "MINUTOS"}),
              (Rows{
                  {"L1", "T1", "1", "", "1", "08:15", "09:10", "55"},
                  {"X10", "T2b", "3", "", "10", "", "", ""},
                  {"V123", "", "5", "", "12", "", "", ""},
                  {"", "", "", "", "", "", "14:15", ""},
                  {"", "", "", "", "", "", "", ""},
                  {"L123456789", "", "1", "", "12", "8:15 de", "", ""},
              }));
}

TEST_F(ExportRunTest, dayAndPeriodNumbersComeFromTheSlotCode)
{
    const std::pair<const char*, Row> cases[] = {
        {"L1", {"1", "1"}}, {"M3", {"2", "3"}},    {"X10", {"3", "10"}}, {"S7", {"6", "7"}},
        {"D2", {"7", "2"}}, {"V123", {"5", "12"}}, {"J", {"4", ""}},     {"l1", {"l", "1"}},
        {"9A", {"9", "A"}}, {"", {"", ""}},
    };
    std::string records;
    for (const auto& [code, expected] : cases)
        records += "<listasal><salida dato=\"NOMBRE\">" + std::string(code) + "</salida></listasal>";
    run(exchange("<listasal seq=\"TRAMOS\">" + records + "</listasal>"));

    Rows table = rows("DIASHORAST", {"DIA", "HORA"});
    ASSERT_EQ(table.size(), std::size(cases));
    for (std::size_t i = 0; i < table.size(); ++i)
        EXPECT_EQ(table[i], cases[i].second) << "code '" << cases[i].first << "'";
}

std::string oneAssignment(std::string_view minutes)
{
    return exchange(list("MATERIAS", {{"M1", "A1", "", ""}}) +
                    "<listasal seq=\"ASIGNATURAS\"><listasal><salida>A1</salida><salida>1A</salida><salida/>"
                    "<salida/><salida/><salida/><salida/><salida>" +
                    std::string(minutes) + "</salida><salida>M1</salida></listasal></listasal>");
}

TEST_F(ExportRunTest, badMinutesFailTheRunAndLeaveThePreviousTablesAsTheyWere)
{
    run(oneAssignment("60"));
    const auto before = snapshot(workDir());
    ASSERT_EQ(before.size(), 6u);

    const char* bad[] = {"abc",        "1.5", "1 2", "2147483648", "-2147483649", "$", "0x",
                         "$100000000", "x1A", "--5", "+",          "1e3",         "½", "١٢"};
    for (const char* minutes : bad) {
        try {
            run(oneAssignment(minutes));
            ADD_FAILURE() << "minutes '" << minutes << "' accepted";
        } catch (const Error& error) {
            // Arabic digits have no place in the tables' code page: they reach the message as "?".
            std::string shown = std::string_view(minutes) == "١٢" ? "??" : minutes;
            EXPECT_EQ(std::string(error.what()), "'" + shown + "' no es un valor entero válido");
        }
        EXPECT_EQ(snapshot(workDir()), before) << "minutes '" << minutes << "'";
    }
}

// A large list of assignments is built in parts side by side; what the user is told is still the
// first bad value in document order, and the records still come out in document order.
TEST_F(ExportRunTest, assignmentsKeepDocumentOrderAndTheFirstBadValueIsReported)
{
    auto assignments = [](std::initializer_list<std::pair<const char*, const char*>> rows) {
        std::string records;
        for (auto [code, minutes] : rows)
            records += std::string("<listasal><salida>") + code + "</salida><salida>1A</salida><salida/><salida/>"
                       "<salida/><salida/><salida/><salida>" + minutes + "</salida><salida/></listasal>";
        return exchange("<listasal seq=\"ASIGNATURAS\">" + records + "</listasal>");
    };
    run(assignments({{"A1", "60"}, {"A2", "120"}, {"A3", "180"}, {"A4", "240"}, {"A5", "300"}}));
    EXPECT_EQ(rows("ASIGT", {"CASIG", "HORAS"}),
              (Rows{{"A1", "1"}, {"A2", "2"}, {"A3", "3"}, {"A4", "4"}, {"A5", "5"}}));

    struct Case {
        std::initializer_list<std::pair<const char*, const char*>> rows;
        const char* message;
    };
    const Case cases[] = {
        {{{"A1", "uno"}, {"A2", "60"}, {"A3", "dos"}}, "'uno' no es un valor entero válido"},
        {{{"A1", "60"}, {"A2", "60"}, {"A3", "dos"}}, "'dos' no es un valor entero válido"},
        {{{"A1", "60"}, {"A2", "uno"}, {"A3", "dos"}, {"A4", "tres"}}, "'uno' no es un valor entero válido"},
    };
    for (const Case& c : cases) {
        try {
            run(assignments(c.rows));
            ADD_FAILURE() << c.message << ": accepted";
        } catch (const Error& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }
}

TEST_F(ExportRunTest, malformedFileFailsBeforeAnyTableIsTouched)
{
    run(oneAssignment("60"));
    const auto before = snapshot(workDir());
    test::writeFile(dir / "malo.xml", "<SERVICIO>\n<SALIDAS>\n</SERVICIO>\n");
    try {
        exportToTimetable(dir / "malo.xml", workDir());
        ADD_FAILURE() << "malformed file accepted";
    } catch (const Error& error) {
        EXPECT_NE(std::string(error.what()).find("malo.xml"), std::string::npos) << error.what();
    }
    EXPECT_EQ(snapshot(workDir()), before);

    // With no working folder yet, none is created.
    EXPECT_THROW(exportToTimetable(dir / "malo.xml", dir / "nueva"), Error);
    EXPECT_FALSE(std::filesystem::exists(dir / "nueva"));
}

TEST_F(ExportRunTest, tableHeldByAnotherProgramFailsTheRunBeforeAnythingIsReplaced)
{
    run(oneAssignment("60"));
    const auto before = snapshot(workDir());
    {
        DbfTable held = DbfTable::open(workDir(), "DIASHORAST");
        EXPECT_THROW(run(oneAssignment("120")), Error);
    }
    EXPECT_EQ(snapshot(workDir()), before);
}

TEST_F(ExportRunTest, replacesOldTablesInAnyLetterCaseAndRemovesStaleIndexes)
{
    std::filesystem::create_directories(workDir());
    for (const char* name :
         {"asignomt.dbf", "ASIGNOMT.MDX", "proft.mdx", "Asigt.Dbf", "SOLUC.DBF", "OTRA.MDX"})
        test::writeFile(workDir() / name, "old");
    run(oneAssignment("60"));
    EXPECT_EQ(test::listFiles(workDir()),
              (std::vector<std::string>{"ASIGNOMT.DBF", "ASIGT.DBF", "AULAT.DBF", "DIASHORAST.DBF",
                                        "GRUPOST.DBF", "OTRA.MDX", "PROFT.DBF", "SOLUC.DBF"}));
    EXPECT_EQ(rows("ASIGT", {"CASIG", "HORAS"}), (Rows{{"A1", "1"}}));
}

} // namespace
} // namespace thg
