#include <array>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/DbfTable.h"
#include "platform/Error.h"
#include "platform/XmlDocument.h"
#include "support/TestSupport.h"
#include "to_administration/ImportRun.h"

namespace fs = std::filesystem;
using namespace thg;
using thg::test::TempDir;

namespace {

// A table written with our own writer: only the fields a case needs, rows as texts (integer fields
// take the text's number).
struct Table {
    std::vector<DbfFieldSpec> fields;
    std::vector<std::vector<std::string>> rows;
};

void writeTable(const fs::path& dir, const std::string& name, const Table& table) {
    DbfWriter writer(dir / (name + ".DBF"), table.fields);
    for (const auto& row : table.rows) {
        writer.append();
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (table.fields[i].type == DbfType::Integer)
                writer.setInteger(table.fields[i].name, std::stoll(row[i]));
            else
                writer.setText(table.fields[i].name, row[i]);
        }
        writer.post();
    }
    writer.finish();
}

DbfFieldSpec text(const char* name, int width = 10) {
    return {name, DbfType::Text, width};
}
DbfFieldSpec integer(const char* name) {
    return {name, DbfType::Integer};
}

const std::vector<DbfFieldSpec> solucFields = {text("PROF"),  integer("DIA"),   integer("HORA"),
                                               text("TAREA"), text("AULA"),     text("CODGRUPO"),
                                               text("ASIG"),  text("NIVEL", 5), text("CURSO", 3)};

constexpr const char* exchangeXml = R"(<?xml version="1.0" encoding="ISO-8859-1"?>
<SERVICIO version="2"><CABECERA><dato>1</dato></CABECERA><SALIDAS><listasal seq="PROFESORES"><listasal><salida>E1</salida></listasal></listasal></SALIDAS><PIE>fin</PIE></SERVICIO>
)";

// A small school: working tables whose every lookup has a trap beside the record it should find (a
// later duplicate, another letter case, a leading zero), and one teacher, P1.
struct School {
    std::map<std::string, Table> tables = {
        {"PROFT",
         {{text("ABREV"), text("NOMBRE", 80), text("X_EMPLEADO", 12), text("F_TOMAPOS")},
          {{"P1", "Ana", "E1", "01/09/2020"}}}},
        {"SOLUC", {solucFields, {}}},
        {"ASIGNOMT",
         {{text("COD"), text("MATERIA", 12)},
          {{"T1", "M-T1"},
           {"T1", "M-T1-later"},
           {"t1", "M-t1"},
           {"TB", ""},
           {"TT", "\t"},
           {"S3", "NOM-S3"},
           {"S9", "NOM-S9"}}}},
        {"DIASHORAST",
         {{text("DIHO"), text("CODDIHO"), text("DIA", 20)},
          {{"L1", "C-L1", "1"},
           {"L1", "C-L1-later", "1"},
           {"S2", "C-S2", "6"},
           {"D1", "C-D1", "7"},
           {"L10", "C-L10", "1"},
           {"3", "C-3", "9"},
           {"m1", "C-m1", "2"},
           {"M01", "C-M01", "2"}}}},
        {"AULAT",
         {{text("ABREV"), text("DEPCENTRO")}, {{"A1", "DEP1"}, {"A1", "DEP1-later"}, {"a1", "dep-a1"}}}},
        {"GRUPOST",
         {{text("ABREV"), text("UNIDAD", 12)}, {{"G1", "UNI1"}, {"G1", "UNI1-later"}, {"01", "UNI01"}}}},
        {"ASIGT",
         {{text("CASIG"), text("CGRUP"), text("NIVEL", 5), text("CURSO", 3), text("MATERIA", 12)},
          {{"S1", "G1", "ESO", "1", "MAT-S1"},
           {"S1", "G1", "ESO", "1", "MAT-S1-later"},
           {"S1", "G2", "ESO", "2", "MAT-S1-G2"},
           {"S2", "G1", "ESO", "1", ""},
           {"S2", "GX", "ESO", "1", ""},
           {"S2", "GY", "ESO", "1", "MAT-S2"},
           {"S2", "GZ", "ESO", "1", "MAT-S2-later"},
           {"S3", "G1", "ESO", "1", ""},
           {"S8", "G1", "ESO", "1", "\t"},
           {"S8", "G2", "ESO", "1", "MAT-S8"},
           {"S9", "G1", "ESO", "1", "\t"}}}},
    };
    std::string xml = exchangeXml;
};

class ImportRunTest : public testing::Test {
protected:
    void SetUp() override { fs::create_directory(work); }

    void writeSchool() {
        for (const auto& [name, table] : school.tables)
            writeTable(work, name, table);
        test::writeFile(exchange, school.xml);
    }

    XmlDocument run() {
        writeSchool();
        fs::path result = importFromTimetable(exchange, work);
        EXPECT_EQ(result, dir / "ResultadoHoraxcentro.xml");
        return XmlDocument::load(result);
    }

    Table& soluc() { return school.tables["SOLUC"]; }

    TempDir dir;
    fs::path work = dir / "HTEMP";
    fs::path exchange = dir / "centro.xml";
    School school;
};

// The new SALIDAS is the root's last child, whatever came before.
XmlNode resultSalidas(const XmlDocument& document) {
    return document.selectSingleNode("/*/SALIDAS[last()]");
}

std::vector<std::string> itemTexts(XmlNode list) {
    std::vector<std::string> texts;
    for (XmlNode item : list.childElements("salida"))
        texts.push_back(item.text());
    return texts;
}

// Per teacher list, the activity lists' seq and X_ACTIVIDAD, as "ACTIVIDAD_1=A".
std::vector<std::vector<std::string>> activitiesByTeacher(const XmlDocument& document) {
    std::vector<std::vector<std::string>> teachers;
    for (XmlNode teacher : resultSalidas(document).childElements("listasal")) {
        std::vector<std::string> activities;
        for (XmlNode activity : teacher.childElements("listasal"))
            activities.push_back(activity.attribute("seq").value_or("?") + "=" +
                                 activity.selectSingleNode("salida[@dato='X_ACTIVIDAD']").text());
        teachers.push_back(activities);
    }
    return teachers;
}

bool openableByAnotherProcess(const fs::path& dir, const std::string& name) {
    pid_t child = ::fork();
    if (child == 0) {
        try {
            DbfTable::open(dir, name);
            ::_exit(0);
        } catch (...) {
            ::_exit(1);
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct LookupCase {
    const char* what;
    std::vector<std::string> soluc; // DIA, HORA, TAREA, AULA, CODGRUPO, ASIG, NIVEL, CURSO
    std::array<const char*, 6> items;
};

const LookupCase lookupCases[] = {
    {"first match of every lookup",
     {"1", "1", "T1", "A1", "G1", "S1", "ESO", "1"},
     {"M-T1", "1", "C-L1", "DEP1", "UNI1", "MAT-S1"}},
    {"codes in another letter case match only their own",
     {"1", "1", "t1", "a1", "g1", "s1", "ESO", "1"},
     {"M-t1", "1", "C-L1", "dep-a1", "", ""}},
    {"codes not in the tables",
     {"1", "1", "ZZ", "B7", "1", "S0", "ESO", "1"},
     {"ZZ", "1", "C-L1", "", "", ""}},
    {"task with a blank MATERIA", {"1", "1", "TB", "", "", "", "", ""}, {"G439", "1", "C-L1", "", "", ""}},
    {"task whose MATERIA is a tab", {"1", "1", "TT", "", "", "", "", ""}, {"G439", "1", "C-L1", "", "", ""}},
    {"blank task", {"1", "1", "", "", "", "", "", ""}, {"G439", "1", "C-L1", "", "", ""}},
    {"saturday", {"6", "2", "T1", "", "", "", "", ""}, {"M-T1", "6", "C-S2", "", "", ""}},
    {"sunday", {"7", "1", "T1", "", "", "", "", ""}, {"M-T1", "7", "C-D1", "", "", ""}},
    {"period 10 has no blank or leading zero",
     {"1", "10", "T1", "", "", "", "", ""},
     {"M-T1", "1", "C-L10", "", "", ""}},
    {"day 8 has no letter", {"8", "3", "T1", "", "", "", "", ""}, {"M-T1", "9", "C-3", "", "", ""}},
    {"negative day has no letter", {"-1", "3", "T1", "", "", "", "", ""}, {"M-T1", "9", "C-3", "", "", ""}},
    {"slot stored in lower case or with a leading zero",
     {"2", "1", "T1", "", "", "", "", ""},
     {"M-T1", "", "", "", "", ""}},
    {"group with a leading zero",
     {"1", "1", "T1", "", "01", "", "", ""},
     {"M-T1", "1", "C-L1", "", "UNI01", ""}},
    {"subject: stage 1 needs both subject and group",
     {"1", "1", "T1", "", "G9", "S1", "ESO", "3"},
     {"M-T1", "1", "C-L1", "", "", ""}},
    {"subject: stage 2 by level and course when the group has no assignment",
     {"1", "1", "T1", "", "G9", "S1", "ESO", "1"},
     {"M-T1", "1", "C-L1", "", "", "MAT-S1"}},
    {"subject: stage 2 passes over blank codes",
     {"1", "1", "T1", "", "G1", "S2", "ESO", "1"},
     {"M-T1", "1", "C-L1", "", "UNI1", "MAT-S2"}},
    {"subject: a tab from stage 1 is blank",
     {"1", "1", "T1", "", "G1", "S8", "ESO", "1"},
     {"M-T1", "1", "C-L1", "", "UNI1", "MAT-S8"}},
    {"subject: stage 3 from the catalogue",
     {"1", "1", "T1", "", "G1", "S3", "ESO", "1"},
     {"M-T1", "1", "C-L1", "", "UNI1", "NOM-S3"}},
    {"subject: a blank code that is not empty stays when no stage finds better",
     {"1", "1", "T1", "", "G1", "S9", "ESO", "1"},
     {"M-T1", "1", "C-L1", "", "UNI1", "NOM-S9"}},
    {"subject: level in another letter case",
     {"1", "1", "T1", "", "G9", "S1", "eso", "1"},
     {"M-T1", "1", "C-L1", "", "", ""}},
};

TEST_F(ImportRunTest, ResolvesEachLookupToTheFirstExactMatch) {
    const std::vector<std::string> datos = {"X_ACTIVIDAD", "N_DIASEMANA", "X_TRAMO",
                                            "X_DEPCENTRO", "X_UNIDAD",    "X_MATERIAOMC"};
    for (const auto& c : lookupCases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> row = {"P1"};
        row.insert(row.end(), c.soluc.begin(), c.soluc.end());
        soluc().rows = {row};
        XmlDocument result = run();
        XmlNode activity = resultSalidas(result).selectSingleNode("listasal[@seq='EMPLEADO_1']/listasal");
        ASSERT_EQ(activity.attribute("seq"), "ACTIVIDAD_1");
        std::vector<std::string> dato;
        for (XmlNode item : activity.childElements("salida"))
            dato.push_back(item.attribute("dato").value_or(""));
        EXPECT_EQ(dato, datos);
        EXPECT_EQ(itemTexts(activity), std::vector<std::string>(c.items.begin(), c.items.end()));
    }
}

TEST_F(ImportRunTest, ANonBlankCodeFromStageOneIsKeptAndTabIsBlank) {
    // S9's only assignment has MATERIA "\t": blank, so the catalogue's code wins. Without a catalogue
    // entry the blank text itself is written, untouched.
    school.tables["ASIGNOMT"].rows.pop_back();
    soluc().rows = {{"P1", "1", "1", "T1", "", "G1", "S9", "ESO", "1"}};
    run();
    std::string result = test::readFile(dir / "ResultadoHoraxcentro.xml");
    EXPECT_NE(result.find("<salida dato=\"X_MATERIAOMC\">\t</salida>"), std::string::npos) << result;
}

TEST_F(ImportRunTest, NumbersTeachersAndTheirPlacedActivities) {
    school.tables["PROFT"].rows = {{"P1", "Ana", "E1", "01/09/2020"},
                                   {"O'Neil", "Sean",
                                    "  E\xD1"
                                    "2",
                                    ""},
                                   {"P3", "Eva", "E3", "x"},
                                   {"p1", "Luis", "E4", "y"}};
    soluc().rows = {
        {"P1", "1", "1", "A", "", "", "", "", ""},    {"O'Neil", "2", "1", "Q", "", "", "", "", ""},
        {"P1", "0", "1", "skip", "", "", "", "", ""}, {"p1", "1", "2", "lower", "", "", "", "", ""},
        {"P1", "3", "1", "B", "", "", "", "", ""},    {"P3", "0", "1", "none", "", "", "", "", ""},
        {"P1", "5", "9", "C", "", "", "", "", ""}};
    XmlDocument result = run();

    std::vector<std::string> seqs, items;
    for (XmlNode teacher : resultSalidas(result).childElements("listasal")) {
        seqs.push_back(teacher.attribute("seq").value_or(""));
        for (XmlNode item : teacher.childElements("salida"))
            items.push_back(item.attribute("dato").value_or("") + "=" + item.text());
    }
    EXPECT_EQ(seqs, (std::vector<std::string>{"EMPLEADO_1", "EMPLEADO_2", "EMPLEADO_3", "EMPLEADO_4"}));
    // Texts keep their leading blanks and pass from Windows-1252 to UTF-8.
    EXPECT_EQ(items, (std::vector<std::string>{"X_EMPLEADO=E1", "F_TOMAPOS=01/09/2020", "X_EMPLEADO=  EÑ2",
                                               "F_TOMAPOS=", "X_EMPLEADO=E3", "F_TOMAPOS=x", "X_EMPLEADO=E4",
                                               "F_TOMAPOS=y"}));
    EXPECT_EQ(activitiesByTeacher(result),
              (std::vector<std::vector<std::string>>{{"ACTIVIDAD_1=A", "ACTIVIDAD_2=B", "ACTIVIDAD_3=C"},
                                                     {"ACTIVIDAD_1=Q"},
                                                     {},
                                                     {"ACTIVIDAD_1=lower"}}));
}

TEST_F(ImportRunTest, WithoutActivitiesNeitherAsigtNorTeachersAreNeeded) {
    // A run that places nothing never needs ASIGT, so a missing one is no error.
    school.tables.erase("ASIGT");
    soluc().rows = {{"P1", "0", "1", "T1", "", "", "", "", ""}};
    XmlDocument result = run();
    EXPECT_EQ(activitiesByTeacher(result), (std::vector<std::vector<std::string>>{{}}));

    school.tables["PROFT"].rows.clear();
    result = run();
    std::vector<std::string> children;
    for (XmlNode child : resultSalidas(result).selectNodes("*"))
        children.push_back(child.name());
    EXPECT_EQ(children, std::vector<std::string>{"ERROR"});
}

TEST_F(ImportRunTest, ReplacesSalidasWithTheErrorBlockAsTheRootsLastChild) {
    XmlDocument result = run();
    std::vector<std::string> rootChildren;
    for (XmlNode child : result.root().selectNodes("*"))
        rootChildren.push_back(child.name());
    EXPECT_EQ(rootChildren, (std::vector<std::string>{"CABECERA", "PIE", "SALIDAS"}));
    EXPECT_EQ(result.root().attribute("version"), "2");
    EXPECT_EQ(result.selectSingleNode("/SERVICIO/CABECERA/dato").text(), "1");
    EXPECT_TRUE(result.selectNodes("//listasal[@seq='PROFESORES']").empty());

    XmlNode salidas = resultSalidas(result);
    EXPECT_EQ(salidas.selectSingleNode("*[1]").name(), "ERROR");
    XmlNode error = salidas.selectSingleNode("ERROR");
    EXPECT_EQ(itemTexts(error), (std::vector<std::string>{"0", "Servicio finalizado Correctamente"}));
    EXPECT_EQ(error.selectSingleNode("salida[1]").attribute("dato"), "CN_ERROR");
    EXPECT_EQ(error.selectSingleNode("salida[2]").attribute("dato"), "TE_ERROR");
    EXPECT_EQ(salidas.selectSingleNode("*[2]").attribute("seq"), "EMPLEADO_1");
    EXPECT_EQ(salidas.selectNodes("*").size(), 2u);
}

TEST_F(ImportRunTest, WithTwoSalidasFillsTheNewOne) {
    school.xml =
        R"(<SERVICIO><SALIDAS><listasal seq="A"/></SALIDAS><SALIDAS><listasal seq="B"/></SALIDAS></SERVICIO>)";
    soluc().rows = {{"P1", "1", "1", "T1", "", "", "", "", ""}};
    XmlDocument result = run();
    std::vector<XmlNode> salidas = result.root().childElements("SALIDAS");
    ASSERT_EQ(salidas.size(), 2u);
    EXPECT_EQ(salidas[0].selectNodes("*").size(), 1u);
    EXPECT_EQ(salidas[0].selectSingleNode("listasal").attribute("seq"), "B");
    EXPECT_EQ(salidas[1].selectSingleNode("ERROR").isNull(), false);
    EXPECT_EQ(activitiesByTeacher(result), (std::vector<std::vector<std::string>>{{"ACTIVIDAD_1=M-T1"}}));
}

TEST(ResultFilePath, PrefixesTheFileNameInItsFolder) {
    const std::pair<fs::path, fs::path> cases[] = {
        {"/datos/centro.xml", "/datos/ResultadoHoraxcentro.xml"},
        {"centro.xml", "ResultadoHoraxcentro.xml"},
        {"a b/Centro 2.XML", "a b/ResultadoHoraxCentro 2.XML"},
        {"/datos/ResultadoHoraxcentro.xml", "/datos/ResultadoHoraxResultadoHoraxcentro.xml"},
    };
    for (const auto& [exchange, expected] : cases)
        EXPECT_EQ(resultFilePath(exchange), expected) << exchange;
}

TEST_F(ImportRunTest, AResultFileTakenAsExchangeFileGetsThePrefixTwice) {
    test::writeFile(dir / "ResultadoHoraxcentro.xml", "an earlier result");
    XmlDocument first = run();
    fs::path second = importFromTimetable(dir / "ResultadoHoraxcentro.xml", work);
    EXPECT_EQ(second, dir / "ResultadoHoraxResultadoHoraxcentro.xml");
    XmlDocument result = XmlDocument::load(second);
    EXPECT_EQ(result.root().childElements("SALIDAS").size(), 1u);
    EXPECT_EQ(resultSalidas(result).selectNodes("ERROR").size(), 1u);
    EXPECT_EQ(resultSalidas(result).selectNodes("listasal").size(), 1u);
}

struct FailureCase {
    const char* what;
    std::function<void(School&)> damage;
    std::string message; // the whole message, or with a trailing '*' its beginning
};

void dropField(Table& table, const std::string& name) {
    for (std::size_t i = 0; i < table.fields.size(); ++i) {
        if (table.fields[i].name == name) {
            table.fields.erase(table.fields.begin() + static_cast<long>(i));
            for (auto& row : table.rows)
                row.erase(row.begin() + static_cast<long>(i));
            return;
        }
    }
}

// Turns SOLUC's DIA and HORA into text fields, to hold what a damaged table could.
void textDayAndPeriod(School& school, std::string dia, std::string hora) {
    Table& soluc = school.tables["SOLUC"];
    soluc.fields[1] = text("DIA", 4);
    soluc.fields[2] = text("HORA", 4);
    soluc.rows = {{"P1", dia, hora, "T1", "", "", "", "", ""}};
}

const std::string missingTables[] = {"SOLUC", "GRUPOST", "PROFT", "AULAT", "ASIGNOMT", "DIASHORAST", "ASIGT"};
const std::string components[] = {"wwTableSoluc",  "wwTableGrupos", "wwTableProfesor", "wwTableAulas",
                                  "wwTableNomAsg", "wwTableTramos", "wwTableAsig"};

std::vector<FailureCase> failureCases() {
    std::vector<FailureCase> cases;
    for (std::size_t i = 0; i < std::size(missingTables); ++i)
        cases.push_back({"missing table", [name = missingTables[i]](School& s) { s.tables.erase(name); },
                         "*" + components[i] + ": "});
    auto missingField = [](const char* table, const char* field) {
        return [=](School& s) { dropField(s.tables[table], field); };
    };
    cases.push_back({"SOLUC without NIVEL", missingField("SOLUC", "NIVEL"),
                     "wwTableSoluc: No se encuentra el campo 'NIVEL'"});
    cases.push_back({"PROFT without F_TOMAPOS", missingField("PROFT", "F_TOMAPOS"),
                     "wwTableProfesor: No se encuentra el campo 'F_TOMAPOS'"});
    cases.push_back({"DIASHORAST without CODDIHO", missingField("DIASHORAST", "CODDIHO"),
                     "wwTableTramos: No se encuentra el campo 'CODDIHO'"});
    cases.push_back({"ASIGT without CGRUP", missingField("ASIGT", "CGRUP"),
                     "wwTableAsig: No se encuentra el campo 'CGRUP'"});
    cases.push_back({"DIA not a number", [](School& s) { textDayAndPeriod(s, "x", "1"); },
                     "wwTableSoluc: SOLUC.DBF, registro 1, campo DIA: 'x' no es un valor entero válido"});
    cases.push_back({"HORA not a number", [](School& s) { textDayAndPeriod(s, "1", "1a"); },
                     "wwTableSoluc: SOLUC.DBF, registro 1, campo HORA: '1a' no es un valor entero válido"});
    cases.push_back({"exchange file not well-formed",
                     [](School& s) { s.xml = "<SERVICIO>\n<SALIDAS>\n</SERVICIO>"; }, "*centro.xml"});
    cases.push_back({"root without SALIDAS", [](School& s) { s.xml = "<SERVICIO><salidas/></SERVICIO>"; },
                     "<dir>/centro.xml: No se encuentra el elemento SALIDAS"});
    return cases;
}

TEST_F(ImportRunTest, AFailedRunWritesNothingAndClosesItsTables) {
    for (const auto& c : failureCases()) {
        SCOPED_TRACE(c.what);
        fs::remove_all(work);
        fs::create_directory(work);
        school = School{};
        soluc().rows = {{"P1", "1", "1", "T1", "A1", "G1", "S1", "ESO", "1"}};
        c.damage(school);
        writeSchool();
        fs::path earlier = dir / "ResultadoHoraxcentro.xml";
        test::writeFile(earlier, "an earlier result");

        try {
            importFromTimetable(exchange, work);
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            std::string message = e.what();
            std::string expected = c.message;
            if (auto at = expected.find("<dir>"); at != std::string::npos)
                expected.replace(at, 5, dir.path().string());
            if (expected.starts_with('*'))
                EXPECT_NE(message.find(expected.substr(1)), std::string::npos) << message;
            else
                EXPECT_EQ(message, expected);
        }
        EXPECT_EQ(test::readFile(earlier), "an earlier result");
        EXPECT_EQ(test::listFiles(dir.path()),
                  (std::vector<std::string>{"HTEMP", "ResultadoHoraxcentro.xml", "centro.xml"}));
        for (const auto& name : test::listFiles(work))
            EXPECT_TRUE(openableByAnotherProcess(work, fs::path(name).stem().string()))
                << name << " left locked";
    }
}

TEST_F(ImportRunTest, TheTablesAreClosedAfterACompletedRun) {
    soluc().rows = {{"P1", "1", "1", "T1", "A1", "G1", "S1", "ESO", "1"}};
    run();
    for (const auto& name : test::listFiles(work))
        EXPECT_TRUE(openableByAnotherProcess(work, fs::path(name).stem().string())) << name << " left locked";
}

} // namespace
