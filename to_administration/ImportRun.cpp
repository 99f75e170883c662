#include "to_administration/ImportRun.h"

#include <string>
#include <string_view>

#include "platform/DbfTable.h"
#include "platform/Error.h"
#include "platform/XmlDocument.h"
#include "to_administration/ActivityRecords.h"

namespace thg {

namespace {

// The administration system reads this block first: the timetable side always reports success.
void appendErrorBlock(XmlDocument& document, XmlNode salidas) {
    XmlNode error = document.createElement("ERROR");
    salidas.appendChild(error);
    appendItem(document, error, "CN_ERROR", "0");
    appendItem(document, error, "TE_ERROR", "Servicio finalizado Correctamente");
}

} // namespace

std::filesystem::path resultFilePath(const std::filesystem::path& exchangeFile) {
    std::filesystem::path name = "ResultadoHorax";
    name += exchangeFile.filename();
    return exchangeFile.parent_path() / name;
}

// BImportarClick without its window: the document is built whole in memory and written once at the
// end, so a run that fails anywhere writes nothing. Every table lives in this scope and is closed when
// it ends, by the explicit closes below or, on an Error, by the tables' destructors.
std::filesystem::path importFromTimetable(const std::filesystem::path& exchangeFile,
                                          const std::filesystem::path& workDir) {
    XmlDocument document = XmlDocument::load(exchangeFile);
    XmlNode root = document.root();
    XmlNode oldSalidas = root.selectSingleNode("SALIDAS");
    if (!oldSalidas) throw Error(exchangeFile.string() + ": No se encuentra el elemento SALIDAS");
    root.removeChild(oldSalidas);
    // The lists go into the element created here, also when the file held a second SALIDAS.
    XmlNode salidas = document.createElement("SALIDAS");
    root.appendChild(salidas);
    appendErrorBlock(document, salidas);

    DbfTable soluc = openWorkingTable(workDir, "SOLUC", "wwTableSoluc");
    DbfTable grupos = openWorkingTable(workDir, "GRUPOST", "wwTableGrupos");
    DbfTable profesor = openWorkingTable(workDir, "PROFT", "wwTableProfesor");
    DbfTable aulas = openWorkingTable(workDir, "AULAT", "wwTableAulas");
    DbfTable nomAsg = openWorkingTable(workDir, "ASIGNOMT", "wwTableNomAsg");
    DbfTable tramos = openWorkingTable(workDir, "DIASHORAST", "wwTableTramos");

    int xEmpleado = profesor.fieldIndex("X_EMPLEADO");
    int fTomaPos = profesor.fieldIndex("F_TOMAPOS");
    int abrev = profesor.fieldIndex("ABREV");
    ActivityRecords activities(document, soluc, nomAsg, tramos, aulas, grupos, workDir);

    int n = 1;
    for (profesor.first(); !profesor.eof(); profesor.next()) {
        XmlNode teacherList = document.createElement("listasal");
        teacherList.setAttribute("seq", "EMPLEADO_" + std::to_string(n++));
        salidas.appendChild(teacherList);
        appendItem(document, teacherList, "X_EMPLEADO", profesor.text(xEmpleado));
        appendItem(document, teacherList, "F_TOMAPOS", profesor.text(fTomaPos));
        activities.TransformarActividades(teacherList, profesor.text(abrev));
    }

    soluc.close();
    grupos.close();
    profesor.close();
    aulas.close();
    nomAsg.close();
    tramos.close();
    activities.close();

    std::filesystem::path resultFile = resultFilePath(exchangeFile);
    document.save(resultFile);
    return resultFile;
}

} // namespace thg
