#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/XmlDocument.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace thg;
using thg::test::TempDir;

namespace {

// Tables as another dBase writer makes them: python3-dbf, numeric DIA and HORA, deleted records in
// front of the records that count, Windows-1252 text, and one file name in lower case.
constexpr const char* writeTables = R"(
import sys, os, dbf
folder = sys.argv[1]

def table(name, fields, rows, deleted=()):
    t = dbf.Table(os.path.join(folder, name), fields, dbf_type='db3', codepage='cp1252')
    t.open(dbf.READ_WRITE)
    for row in rows:
        t.append(row)
    for i in deleted:
        dbf.delete(t[i])
    t.close()

table('soluc.dbf', 'PROF C(10); DIA N(1,0); HORA N(2,0); TAREA C(10); AULA C(10); CODGRUPO C(10); '
                   'ASIG C(10); NIVEL C(5); CURSO C(3); OTRO C(4)', [
    ('P1', 1, 1, 'OLD', 'A1', 'G1', 'S1', 'ESO', '1', ''),
    ("O'N", 2, 10, 'T1', 'A1', 'G1', 'S1', 'ESO', '1', ''),
    ('P1', 0, 3, 'T1', '', '', '', '', '', ''),
    ('P1', 3, 2, 'T1', 'A1', 'G1', 'S1', 'ESO', '1', 'x'),
    ('P1', 5, 1, '', 'A9', 'G9', 'S9', '', '', ''),
], deleted=[0])
table('PROFT.DBF', 'ABREV C(10); NOMBRE C(80); DEPART C(40); DNI N(11,0); X_EMPLEADO C(12); F_TOMAPOS C(10)', [
    ('P0', 'Borrado', '', 0, 'E0', ''),
    ('P1', 'Ana', '', 0, 'E1', '01/09/2020'),
    ("O'N", 'Se\xf1or', '', 0, 'E\xd1E', ''),
], deleted=[0])
table('ASIGNOMT.DBF', 'COD C(10); CODLARGO C(10); NOMBRE C(80); MATERIA C(12); ESTAREA L', [
    ('T1', '', '', 'BORRADA', False),
    ('T1', '', '', 'G100', True),
], deleted=[0])
table('DIASHORAST.DBF', 'DIHO C(10); CODDIHO C(10); DIA C(20); TEXTODIA C(20); HORA C(8); '
                        'HORADESDE C(8); HORAHASTA C(8); MINUTOS C(8)', [
    ('L1', 'T-L1', '1', '', '1', '08:00', '09:00', '60'),
    ('M10', 'T-M10', '2', '', '10', '16:00', '17:00', '60'),
    ('X2', 'T-X2', '3', '', '2', '09:00', '10:00', '60'),
])
table('AULAT.DBF', 'ABREV C(10); NOMBRE C(80); EDIFICIO C(1); MAXALUM N(11,0); DEPCENTRO C(10)', [
    ('A1', 'Aula', '', 0, 'D-A1'),
])
table('GRUPOST.DBF', 'ABREV C(10); TURNO C(1); NIVEL C(5); CURSO C(3); GRUPO C(2); UNIDAD C(12); DESCRIP C(80)', [
    ('G1', 'M', 'ESO', '1', 'A', 'U-1A', 'M ESO 1 A'),
])
table('ASIGT.DBF', 'CASIG C(10); CPROF C(10); CGRUP C(10); CAULA C(10); TURNO C(1); NIVEL C(5); CURSO C(3); '
                   'GRUPO C(2); HORAS N(19,4); SESIONES C(20); NCONEX C(4); MATERIA C(12); CTAREA C(10)', [
    ('S1', '', 'G1', '', '', 'ESO', '1', '', 1, '1', '', 'MAT-BORRADA', 'LE'),
    ('S1', '', 'G1', '', '', 'ESO', '1', '', 1, '1', '', 'MAT-S1', 'LE'),
], deleted=[0])
)";

TEST(ImportCommand, ReadsTablesOfAnotherWriterAndWritesTheResultFile) {
    TempDir dir;
    fs::path work = dir / "HTEMP";
    fs::create_directory(work);
    auto python = test::runPython(writeTables, {work.string()});
    ASSERT_EQ(python.exitCode, 0) << python.err;
    test::writeFile(dir / "centro.xml",
                    R"(<?xml version="1.0" encoding="UTF-8"?><SERVICIO><SALIDAS/><OTRO/></SERVICIO>)");

    auto run = test::runCommand(
        {(test::binDir() / "transhorax").string(), "importar", (dir / "centro.xml").string()},
        {{"HTEMP", work.string()}});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Proceso finalizado"), std::string::npos) << run.out;

    XmlDocument result = XmlDocument::load(dir / "ResultadoHoraxcentro.xml");
    std::vector<std::string> lines;
    for (XmlNode list : result.selectNodes("/SERVICIO/SALIDAS//listasal")) {
        std::string line = list.attribute("seq").value_or("?") + ":";
        for (XmlNode item : list.childElements("salida"))
            line += " " + item.text();
        lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "EMPLEADO_1: E1 01/09/2020",
                         "ACTIVIDAD_1: G100 3 T-X2 D-A1 U-1A MAT-S1",
                         "ACTIVIDAD_2: G439     ",
                         "EMPLEADO_2: EÑE ",
                         "ACTIVIDAD_1: G100 2 T-M10 D-A1 U-1A MAT-S1",
                     }));
    EXPECT_EQ(result.root().selectSingleNode("*[last()]").name(), "SALIDAS");
}

} // namespace
