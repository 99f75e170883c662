// bench_import: the timetable-to-administration run on a large generated school, at size N and 2N, in
// one go. Reports wall time and peak memory of each run and their ratios; the run should be linear
// (2N costs at most 2.2 times N).
//
//   bench_import [TEACHERS [SOLUC_RECORDS [FOLDER]]]     defaults: 20000 1000000, a folder in /tmp
//
// Each table set is generated, and each run measured, in a child process of its own, so that the
// peak resident size the kernel reports for the child (ru_maxrss) is that run's alone.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/DbfTable.h"
#include "bench/ChildMeasure.h"
#include "to_administration/ImportRun.h"

namespace fs = std::filesystem;
using namespace thg;

namespace {

struct Size {
    long teachers;
    long records;
};

std::string code(char prefix, long number) {
    char text[32];
    std::snprintf(text, sizeof text, "%c%06ld", prefix, number);
    return text;
}

DbfFieldSpec text(const char* name, int width) {
    return {name, DbfType::Text, width};
}

// A school of `size.teachers` teachers with SOLUC records spread over them, written as the timetable
// program's tables: a room and a group for every four teachers, a subject for every ten, eight
// assignments per group (one in ten without a subject code, so the later stages of the subject
// lookup run too), forty time slots, and one SOLUC record in twenty left unplaced (DIA 0). SOLUC is
// ordered by slot, not by teacher, as a solution written period by period would be.
void generate(const fs::path& dir, Size size) {
    fs::create_directories(dir / "HTEMP");
    fs::path work = dir / "HTEMP";
    long rooms = std::max(1L, size.teachers / 4);
    long groups = std::max(1L, size.teachers / 4);
    long subjects = std::max(100L, size.teachers / 10);
    const char days[] = "LMXJV";

    DbfWriter proft(work / "PROFT.DBF", {text("ABREV", 10),
                                         text("NOMBRE", 80),
                                         text("DEPART", 40),
                                         {"DNI", DbfType::Integer},
                                         text("X_EMPLEADO", 12),
                                         text("F_TOMAPOS", 10)});
    for (long t = 0; t < size.teachers; ++t) {
        proft.append();
        proft.setText("ABREV", code('P', t));
        proft.setText("NOMBRE", "Profesor " + std::to_string(t));
        proft.setText("X_EMPLEADO", code('E', t));
        proft.setText("F_TOMAPOS", "01/09/2020");
        proft.post();
    }
    proft.finish();

    DbfWriter aulat(work / "AULAT.DBF", {text("ABREV", 10),
                                         text("NOMBRE", 80),
                                         text("EDIFICIO", 1),
                                         {"MAXALUM", DbfType::Integer},
                                         text("DEPCENTRO", 10)});
    for (long r = 0; r < rooms; ++r) {
        aulat.append();
        aulat.setText("ABREV", code('A', r));
        aulat.setText("NOMBRE", "Aula " + std::to_string(r));
        aulat.setText("DEPCENTRO", code('D', r));
        aulat.post();
    }
    aulat.finish();

    DbfWriter grupost(work / "GRUPOST.DBF",
                      {text("ABREV", 10), text("TURNO", 1), text("NIVEL", 5), text("CURSO", 3),
                       text("GRUPO", 2), text("UNIDAD", 12), text("DESCRIP", 80)});
    for (long g = 0; g < groups; ++g) {
        grupost.append();
        grupost.setText("ABREV", code('G', g));
        grupost.setText("NIVEL", "ESO");
        grupost.setText("CURSO", std::to_string(1 + g % 4));
        grupost.setText("UNIDAD", code('U', g));
        grupost.post();
    }
    grupost.finish();

    DbfWriter asignomt(work / "ASIGNOMT.DBF", {text("COD", 10),
                                               text("CODLARGO", 10),
                                               text("NOMBRE", 80),
                                               text("MATERIA", 12),
                                               {"ESTAREA", DbfType::Logical}});
    for (long s = 0; s < subjects; ++s) {
        asignomt.append();
        asignomt.setText("COD", code('S', s));
        asignomt.setText("MATERIA", code('M', s));
        asignomt.setLogical("ESTAREA", false);
        asignomt.post();
    }
    asignomt.finish();

    DbfWriter tramos(work / "DIASHORAST.DBF",
                     {text("DIHO", 10), text("CODDIHO", 10), text("DIA", 20), text("TEXTODIA", 20),
                      text("HORA", 8), text("HORADESDE", 8), text("HORAHASTA", 8), text("MINUTOS", 8)});
    for (int d = 0; d < 5; ++d) {
        for (int h = 1; h <= 8; ++h) {
            tramos.append();
            tramos.setText("DIHO", std::string(1, days[d]) + std::to_string(h));
            tramos.setText("CODDIHO", code('T', d * 8 + h));
            tramos.setText("DIA", std::to_string(d + 1));
            tramos.setText("HORA", std::to_string(h));
            tramos.post();
        }
    }
    tramos.finish();

    auto subjectOf = [&](long group, long k) { return (group * 8 + k) % subjects; };
    DbfWriter asigt(work / "ASIGT.DBF", {text("CASIG", 10),
                                         text("CPROF", 10),
                                         text("CGRUP", 10),
                                         text("CAULA", 10),
                                         text("TURNO", 1),
                                         text("NIVEL", 5),
                                         text("CURSO", 3),
                                         text("GRUPO", 2),
                                         {"HORAS", DbfType::Float},
                                         text("SESIONES", 20),
                                         text("NCONEX", 4),
                                         text("MATERIA", 12),
                                         text("CTAREA", 10)});
    for (long g = 0; g < groups; ++g) {
        for (long k = 0; k < 8; ++k) {
            long s = subjectOf(g, k);
            asigt.append();
            asigt.setText("CASIG", code('S', s));
            asigt.setText("CGRUP", code('G', g));
            asigt.setText("NIVEL", "ESO");
            asigt.setText("CURSO", std::to_string(1 + g % 4));
            asigt.setFloat("HORAS", 3);
            asigt.setText("SESIONES", "111");
            asigt.setText("MATERIA", (g * 8 + k) % 10 == 0 ? std::string() : code('M', s));
            asigt.setText("CTAREA", "LE");
            asigt.post();
        }
    }
    asigt.finish();

    DbfWriter soluc(work / "SOLUC.DBF", {text("PROF", 10),
                                         {"DIA", DbfType::Integer},
                                         {"HORA", DbfType::Integer},
                                         text("TAREA", 10),
                                         text("AULA", 10),
                                         text("CODGRUPO", 10),
                                         text("ASIG", 10),
                                         text("NIVEL", 5),
                                         text("CURSO", 3)});
    std::uint64_t random = 12345;
    for (long r = 0; r < size.records; ++r) {
        long teacher = r % size.teachers;
        long slot = r / size.teachers;
        random = random * 6364136223846793005ULL + 1442695040888963407ULL;
        long group = static_cast<long>((random >> 33) % static_cast<std::uint64_t>(groups));
        soluc.append();
        soluc.setText("PROF", code('P', teacher));
        soluc.setInteger("DIA", r % 20 == 19 ? 0 : 1 + slot % 5);
        soluc.setInteger("HORA", 1 + (slot / 5) % 8);
        soluc.setText("TAREA", "LE");
        soluc.setText("AULA", code('A', teacher % rooms));
        soluc.setText("CODGRUPO", code('G', group));
        soluc.setText("ASIG", code('S', subjectOf(group, slot % 8)));
        soluc.setText("NIVEL", "ESO");
        soluc.setText("CURSO", std::to_string(1 + group % 4));
        soluc.post();
    }
    soluc.finish();

    std::ofstream(dir / "centro.xml")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SERVICIO><CABECERA/><SALIDAS><listasal seq=\"PROFESORES\"/></SALIDAS></SERVICIO>\n";
}

} // namespace

int main(int argc, char** argv) {
    Size n{argc > 1 ? std::atol(argv[1]) : 20000, argc > 2 ? std::atol(argv[2]) : 1000000};
    if (n.teachers < 1 || n.records < 0) {
        std::fprintf(stderr, "Uso: bench_import [PROFESORES [REGISTROS_SOLUC [CARPETA]]]\n");
        return 2;
    }
    fs::path base = argc > 3 ? fs::path(argv[3])
                             : fs::temp_directory_path() / ("bench_import-" + std::to_string(::getpid()));
    bool keep = argc > 3;

    Measure results[2];
    const char* labels[] = {"N ", "2N"};
    for (int i = 0; i < 2; ++i) {
        Size size{n.teachers * (i + 1), n.records * (i + 1)};
        fs::path dir = base / (i == 0 ? "N" : "2N");
        fs::remove_all(dir);
        Measure made = inChild([&] { generate(dir, size); });
        if (!made.ok) return 1;
        results[i] = inChild([&] { importFromTimetable(dir / "centro.xml", dir / "HTEMP"); });
        if (!results[i].ok) return 1;
        auto resultBytes = fs::file_size(dir / "ResultadoHoraxcentro.xml");
        std::printf("%s: %ld teachers, %ld SOLUC records: %.2f s (CPU %.2f s), peak %.0f MB (tables "
                    "generated in %.1f s, "
                    "result %.0f MB)\n",
                    labels[i], size.teachers, size.records, results[i].seconds, results[i].cpuSeconds,
                    results[i].peakMegabytes, made.seconds, static_cast<double>(resultBytes) / 1048576.0);
        if (!keep) fs::remove_all(dir);
    }
    if (!keep) fs::remove_all(base);
    double timeRatio = results[1].seconds / results[0].seconds;
    double cpuRatio = results[1].cpuSeconds / results[0].cpuSeconds;
    double memoryRatio = results[1].peakMegabytes / results[0].peakMegabytes;
    std::printf("2N/N: wall time %.2fx, CPU time %.2fx, peak memory %.2fx (target: at most 2.2x)\n",
                timeRatio, cpuRatio, memoryRatio);
    return 0;
}
