// transhorax: the two runs without the window, for scripts and for machines without a display.
//   transhorax exportar FILE   exchange file -> working tables
//   transhorax importar FILE   SOLUC and working tables -> result file beside FILE
// Exit status: 0 done ("Proceso finalizado"), 1 the run failed (its message on stderr), 2 no file at
// FILE ("No existe archivo") or a wrong command line.

#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "platform/Error.h"
#include "platform/WorkDir.h"
#include "to_administration/ImportRun.h"
#include "to_timetable/ExportRun.h"

namespace {

constexpr const char* usage =
    "Uso: transhorax exportar ARCHIVO\n"
    "     transhorax importar ARCHIVO\n"
    "     transhorax --help\n"
    "\n"
    "exportar  lee las listas del archivo de intercambio de Gestalia y rehace las tablas de trabajo de\n"
    "          Horarix (ASIGNOMT, PROFT, AULAT, GRUPOST, ASIGT, DIASHORAST), las seis o ninguna.\n"
    "importar  lee la solución de Horarix (SOLUC) y las tablas de trabajo y escribe el archivo de\n"
    "          resultado ResultadoHorax<nombre> junto al archivo de intercambio.\n"
    "\n"
    "Carpeta de trabajo: la variable HTEMP si está definida; si no, C:\\HTEMP de Windows (con Wine,\n"
    "$WINEPREFIX/drive_c/HTEMP o ~/.wine/drive_c/HTEMP).\n"
    "Salida: 0 \"Proceso finalizado\"; 1 error del proceso; 2 \"No existe archivo\" u orden incorrecta.\n";

// The action as the window's command line takes it: letters A to Z lower-cased, nothing trimmed.
std::string lowerCase(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

// A file the user can pick: something that exists and is not a folder.
bool fileExists(const std::filesystem::path& file)
{
    std::error_code error;
    auto status = std::filesystem::status(file, error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::cout << usage;
        return 0;
    }
    std::string action = argc == 3 ? lowerCase(argv[1]) : std::string();
    if (action != "exportar" && action != "importar") {
        std::cerr << usage;
        return 2;
    }
    std::filesystem::path exchangeFile = argv[2];
    if (!fileExists(exchangeFile)) {
        std::cerr << "No existe archivo\n";
        return 2;
    }
    try {
        if (action == "exportar")
            thg::exportToTimetable(exchangeFile, thg::workingDirectory());
        else
            thg::importFromTimetable(exchangeFile, thg::workingDirectory());
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    std::cout << "Proceso finalizado\n";
    return 0;
}
