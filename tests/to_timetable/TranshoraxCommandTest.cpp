#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace thg {
namespace {

using test::CommandResult;
using test::TempDir;

std::string transhorax()
{
    return (test::binDir() / "transhorax").string();
}

// The sample school through the built command, read back by an independent dBase reader.
TEST(TranshoraxCommand, exportsTheSampleSchool)
{
    TempDir work;
    CommandResult run =
        test::runCommand({transhorax(), "EXPORTAR", (test::sourceDir() / "samples" / "centro.xml").string()},
                         {{"HTEMP", work.path().string()}});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Proceso finalizado\n");
    EXPECT_EQ(run.err, "");

    CommandResult read = test::runPython(R"(
import sys
from dbfread import DBF
for name in ["ASIGNOMT", "PROFT", "AULAT", "GRUPOST", "ASIGT", "DIASHORAST"]:
    table = DBF(sys.argv[1] + "/" + name + ".DBF", encoding="cp1252", char_decode_errors="strict")
    records = list(table)
    print(name, len(records), " ".join("%s:%s%d.%d" % (f.name, f.type, f.length, f.decimal_count)
                                       for f in table.fields))
    print(" ", "|".join(str(v) for v in records[0].values()))
)",
                                         {work.path().string()});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_EQ(
        read.out,
        "ASIGNOMT 30 COD:C10.0 CODLARGO:C10.0 NOMBRE:C80.0 MATERIA:C12.0 ESTAREA:L1.0\n"
        "  LCL|LENGUA|Lengua Castellana y Literatura|M0101|False\n"
        "PROFT 30 ABREV:C10.0 NOMBRE:C80.0 DEPART:C40.0 DNI:N11.0 X_EMPLEADO:C12.0 F_TOMAPOS:C10.0\n"
        "  MJNP|María José Núñez Peña||None|E00012045|01/09/2015\n"
        "AULAT 22 ABREV:C10.0 NOMBRE:C80.0 EDIFICIO:C1.0 MAXALUM:N11.0 DEPCENTRO:C10.0\n"
        "  1A|Aula 1.º ESO A|A|None|A101\n"
        "GRUPOST 13 ABREV:C10.0 TURNO:C1.0 NIVEL:C5.0 CURSO:C3.0 GRUPO:C2.0 UNIDAD:C12.0 DESCRIP:C80.0\n"
        "  1ESOA|M|ESO|1|A|U1ESOA|M ESO 1 A\n"
        "ASIGT 113 CASIG:C10.0 CPROF:C10.0 CGRUP:C10.0 CAULA:C10.0 TURNO:C1.0 NIVEL:C5.0 CURSO:C3.0 "
        "GRUPO:C2.0 HORAS:N20.4 SESIONES:C20.0 NCONEX:C4.0 MATERIA:C12.0 CTAREA:C10.0\n"
        "  LCL||1ESOA|1A|M|ESO|1|A|3.6667|1111||M0101|LE\n"
        "DIASHORAST 30 DIHO:C10.0 CODDIHO:C10.0 DIA:C20.0 TEXTODIA:C20.0 HORA:C8.0 HORADESDE:C8.0 "
        "HORAHASTA:C8.0 MINUTOS:C8.0\n"
        "  L1|T0001|1||1|08:15|09:10|55\n");
}

// The committed sample is exactly what its generator writes, so that a change to either shows.
TEST(TranshoraxCommand, sampleSchoolMatchesItsGenerator)
{
    TempDir out;
    CommandResult made =
        test::runCommand({"/usr/bin/python3", (test::sourceDir() / "samples" / "make_centro.py").string(),
                          (out / "centro.xml").string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_TRUE(test::readFile(out / "centro.xml") ==
                test::readFile(test::sourceDir() / "samples" / "centro.xml"));
}

TEST(TranshoraxCommand, exitCodesAndMessages)
{
    TempDir work;
    test::writeFile(work / "malo.xml", "<SERVICIO><SALIDAS></SERVICIO>");
    const std::string usageStart = "Uso: transhorax";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out; // exact, or the start of the usage text
        std::string err;
    };
    const Case cases[] = {
        {{"exportar", (work / "no-existe.xml").string()}, 2, "", "No existe archivo\n"},
        {{"importar", (work / "no-existe.xml").string()}, 2, "", "No existe archivo\n"},
        {{"exportar", work.path().string()}, 2, "", "No existe archivo\n"},
        {{"exportar", (work / "malo.xml").string()}, 1, "", "malo.xml"},
        {{}, 2, "", usageStart},
        {{"exportar"}, 2, "", usageStart},
        {{"export", (work / "malo.xml").string()}, 2, "", usageStart},
        {{" exportar", (work / "malo.xml").string()}, 2, "", usageStart},
        {{"exportar", (work / "malo.xml").string(), "1A2B"}, 2, "", usageStart},
        {{"--help"}, 0, usageStart, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{transhorax()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        CommandResult run = test::runCommand(argv, {{"HTEMP", (work / "HTEMP").string()}});
        std::string what = c.args.empty() ? "(no arguments)" : c.args[0];
        EXPECT_EQ(run.exitCode, c.exitCode) << what;
        if (c.out == usageStart)
            EXPECT_EQ(run.out.rfind(usageStart, 0), 0u) << what;
        else
            EXPECT_EQ(run.out, c.out) << what;
        if (c.err == usageStart || c.err == "malo.xml")
            EXPECT_NE(run.err.find(c.err), std::string::npos) << what << ": " << run.err;
        else
            EXPECT_EQ(run.err, c.err) << what;
    }
    // The failed run touched nothing: no working folder was even made.
    EXPECT_FALSE(std::filesystem::exists(work / "HTEMP"));
}

} // namespace
} // namespace thg
