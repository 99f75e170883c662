// The administration-to-timetable run on a large school, next to pugixml parsing the same file.
//
//   build/bin/bench_export [ASSIGNMENTS [FOLDER]]
//
// Writes an exchange file with ASSIGNMENTS teaching assignments (default 100,000) and a fifth of that
// each of subjects, teachers, rooms and groups (about 30 MB), and one twice as large. For each it
// reports the best of three runs of: pugixml alone loading the file (its default options), and the
// whole export (load, six tables, put in place), each in a forked child so that its peak memory
// (ru_maxrss) is its own. Files go to FOLDER (default: a fresh folder under /tmp), removed at the end.
// Targets: export within 1.5x of the parse; twice the input within 2.2x of the time.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unistd.h>

#include <pugixml.hpp>

#include "bench/ChildMeasure.h"
#include "to_timetable/ExportRun.h"

namespace {

namespace fs = std::filesystem;

// A fixed sequence of pseudo-random numbers, so that every run writes the same file.
class Random {
public:
    std::uint32_t next(std::uint32_t bound)
    {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return std::uint32_t(state_ >> 33) % bound;
    }

private:
    std::uint64_t state_ = 20260911;
};

constexpr std::string_view givenNames[] = {"María José", "José Ángel", "Lucía",  "Íñigo", "Begoña", "Raúl",
                                           "Concepción", "Óscar",      "Ainhoa", "Jesús", "Mónica", "Andrés"};
constexpr std::string_view surnames[] = {"Núñez",   "Peña",  "Muñoz",   "Ibáñez", "Fernández",
                                         "Orduña",  "Sáez",  "Castaño", "Gómez",  "Cañete",
                                         "Jiménez", "Pérez", "Úbeda",   "Chacón"};
constexpr std::string_view subjectNames[] = {"Lengua Castellana y Literatura",
                                             "Matemáticas",
                                             "Inglés",
                                             "Geografía e Historia",
                                             "Biología y Geología",
                                             "Física y Química",
                                             "Educación Física",
                                             "Música",
                                             "Tecnología y Digitalización"};

void item(std::string& xml, std::string_view value)
{
    xml += "<salida>";
    xml += value;
    xml += "</salida>";
}

void beginList(std::string& xml, std::string_view seq)
{
    xml += "    <listasal seq=\"";
    xml += seq;
    xml += "\">\n";
}

// An exchange file of `assignments` assignments and assignments / 5 of each catalogue.
std::string largeSchool(int assignments)
{
    const int each = assignments / 5;
    Random random;
    std::string xml;
    xml.reserve(std::size_t(assignments) * 420);
    xml += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SERVICIO>\n  <SALIDAS>\n";
    char code[32];

    beginList(xml, "MATERIAS");
    for (int i = 0; i < each; ++i) {
        xml += "      <listasal>";
        std::snprintf(code, sizeof code, i % 10 == 0 ? "G%06d" : "M%06d", i);
        item(xml, code);
        std::snprintf(code, sizeof code, "S%06d", i);
        item(xml, code);
        std::snprintf(code, sizeof code, "L%06d", i);
        item(xml, code);
        item(xml, subjectNames[random.next(std::size(subjectNames))]);
        xml += "</listasal>\n";
    }
    xml += "    </listasal>\n";

    beginList(xml, "PROFESORES");
    for (int i = 0; i < each; ++i) {
        xml += "      <listasal>";
        std::snprintf(code, sizeof code, "E%08d", i);
        item(xml, code);
        item(xml, "01/09/2019");
        std::string name(givenNames[random.next(std::size(givenNames))]);
        name += ' ';
        name += surnames[random.next(std::size(surnames))];
        name += ' ';
        name += surnames[random.next(std::size(surnames))];
        item(xml, name);
        std::snprintf(code, sizeof code, "P%05d", i);
        item(xml, code);
        xml += "</listasal>\n";
    }
    xml += "    </listasal>\n";

    beginList(xml, "AULAS");
    for (int i = 0; i < each; ++i) {
        xml += "      <listasal>";
        std::snprintf(code, sizeof code, "A%06d", i);
        item(xml, code);
        std::snprintf(code, sizeof code, "R%05d", i);
        item(xml, i % 7 == 0 ? std::string_view() : code);
        item(xml, "Aula de Física y Química");
        item(xml, "B");
        xml += "</listasal>\n";
    }
    xml += "    </listasal>\n";

    beginList(xml, "GRUPOS");
    for (int i = 0; i < each; ++i) {
        xml += "      <listasal>";
        std::snprintf(code, sizeof code, "U%06d", i);
        item(xml, code);
        std::snprintf(code, sizeof code, "G%05d", i);
        item(xml, code);
        item(xml, "M");
        item(xml, i % 3 == 0 ? "BACH" : "ESO");
        item(xml, std::to_string(1 + i % 4));
        item(xml, std::string(1, char('A' + i % 5)));
        xml += "</listasal>\n";
    }
    xml += "    </listasal>\n";

    beginList(xml, "ASIGNATURAS");
    for (int i = 0; i < assignments; ++i) {
        xml += "      <listasal>";
        int subject = int(random.next(std::uint32_t(each)));
        std::snprintf(code, sizeof code, "S%06d", subject);
        item(xml, code);
        std::snprintf(code, sizeof code, "G%05d", int(random.next(std::uint32_t(each))));
        item(xml, code);
        std::snprintf(code, sizeof code, "R%05d", int(random.next(std::uint32_t(each))));
        item(xml, code);
        item(xml, "M");
        item(xml, "ESO");
        item(xml, "2");
        item(xml, "B");
        item(xml, std::to_string(55 * (1 + random.next(5))));
        std::snprintf(code, sizeof code, subject % 10 == 0 ? "G%06d" : "M%06d", subject);
        item(xml, code);
        xml += "</listasal>\n";
    }
    xml += "    </listasal>\n";

    beginList(xml, "TRAMOS");
    for (char day : std::string_view("LMXJV")) {
        for (int period = 1; period <= 8; ++period) {
            std::snprintf(code, sizeof code, "%c%d", day, period);
            xml += "      <listasal><salida dato=\"NOMBRE\">";
            xml += code;
            xml += "</salida><salida dato=\"INICIO\">08:15</salida><salida dato=\"FIN\">09:10</salida>"
                   "<salida dato=\"NINUTOS\">55</salida></listasal>\n";
        }
    }
    xml += "    </listasal>\n  </SALIDAS>\n</SERVICIO>\n";
    return xml;
}

// The best times of three runs, with the largest peak memory seen.
Measure bestOfThree(const std::function<void()>& work)
{
    Measure best{.ok = true, .seconds = 1e9, .cpuSeconds = 1e9};
    for (int run = 0; run < 3; ++run) {
        Measure m = inChild(work);
        if (!m.ok) {
            std::fprintf(stderr, "child failed\n");
            std::exit(1);
        }
        best.seconds = std::min(best.seconds, m.seconds);
        best.cpuSeconds = std::min(best.cpuSeconds, m.cpuSeconds);
        best.peakMegabytes = std::max(best.peakMegabytes, m.peakMegabytes);
    }
    return best;
}

struct Result {
    double megabytes;
    Measure parse;
    Measure run;
};

Result measureSize(const fs::path& folder, int assignments)
{
    fs::path file = folder / ("centro-" + std::to_string(assignments) + ".xml");
    {
        std::string xml = largeSchool(assignments);
        FILE* out = std::fopen(file.c_str(), "wb");
        if (!out || std::fwrite(xml.data(), 1, xml.size(), out) != xml.size() || std::fclose(out) != 0) {
            std::fprintf(stderr, "%s: cannot write\n", file.c_str());
            std::exit(1);
        }
    }
    Result result{double(fs::file_size(file)) / 1e6, {}, {}};
    result.parse = bestOfThree([&] {
        pugi::xml_document document;
        if (!document.load_file(file.c_str())) throw std::runtime_error("pugixml: parse failed");
    });
    fs::path workDir = folder / ("HTEMP-" + std::to_string(assignments));
    result.run = bestOfThree([&] { thg::exportToTimetable(file, workDir); });
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    int assignments = argc > 1 ? std::atoi(argv[1]) : 100000;
    if (assignments < 10) {
        std::fprintf(stderr, "usage: bench_export [ASSIGNMENTS (>= 10) [FOLDER]]\n");
        return 2;
    }
    fs::path folder;
    bool ownFolder = argc <= 2;
    if (ownFolder) {
        char pattern[] = "/tmp/bench_export-XXXXXX";
        if (!::mkdtemp(pattern)) return 1;
        folder = pattern;
    } else {
        folder = argv[2];
        fs::create_directories(folder);
    }

    std::printf("%-4s %11s %7s | %-27s | %-27s | %s\n", "", "", "", "pugixml parse", "export",
                "export / parse");
    std::printf("%-4s %11s %7s | %8s %8s %9s | %8s %8s %9s | %5s %5s\n", "size", "assignments", "XML MB",
                "wall ms", "cpu ms", "peak MB", "wall ms", "cpu ms", "peak MB", "wall", "cpu");
    Result results[2];
    for (int scale = 1; scale <= 2; ++scale) {
        Result& r = results[scale - 1] = measureSize(folder, assignments * scale);
        std::printf("%-4s %11d %7.1f | %8.1f %8.1f %9.1f | %8.1f %8.1f %9.1f | %5.2f %5.2f\n",
                    scale == 1 ? "N" : "2N", assignments * scale, r.megabytes, r.parse.seconds * 1e3,
                    r.parse.cpuSeconds * 1e3, r.parse.peakMegabytes, r.run.seconds * 1e3,
                    r.run.cpuSeconds * 1e3, r.run.peakMegabytes, r.run.seconds / r.parse.seconds,
                    r.run.cpuSeconds / r.parse.cpuSeconds);
    }
    double worstRatio = std::max(results[0].run.seconds / results[0].parse.seconds,
                                 results[1].run.seconds / results[1].parse.seconds);
    double growth = results[1].run.seconds / results[0].run.seconds;
    double cpuGrowth = results[1].run.cpuSeconds / results[0].run.cpuSeconds;
    std::printf("export / parse (wall, worst): %.2f   target <= 1.5: %s\n", worstRatio,
                worstRatio <= 1.5 ? "met" : "MISSED");
    std::printf("export 2N / N: wall %.2f, cpu %.2f   target <= 2.2: %s\n", growth, cpuGrowth,
                growth <= 2.2 ? "met" : "MISSED");

    if (ownFolder) fs::remove_all(folder);
    return 0;
}
