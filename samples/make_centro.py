#!/usr/bin/python3
"""Writes samples/centro.xml: the exchange file of a small secondary school, as the administration
system Gestalia hands it to the timetable program. UTF-8, deterministic (same bytes every run).

    /usr/bin/python3 samples/make_centro.py [OUTPUT]
"""
import sys
from pathlib import Path
from xml.sax.saxutils import escape

# Subjects: (administration code, timetable code, long code, name). Codes beginning with "G" are
# tasks (duties, meetings), not teaching.
SUBJECTS = [
    ("M0101", "LCL", "LENGUA", "Lengua Castellana y Literatura"),
    ("M0102", "MAT", "MATEMAT", "Matemáticas"),
    ("M0103", "ING", "INGLES", "Primera Lengua Extranjera: Inglés"),
    ("M0104", "FRA", "FRANCES", "Segunda Lengua Extranjera: Francés"),
    ("M0105", "GEH", "GEOHIST", "Geografía e Historia"),
    ("M0106", "BYG", "BIOGEO", "Biología y Geología"),
    ("M0107", "FYQ", "FISQUIM", "Física y Química"),
    ("M0108", "EF", "EDFISICA", "Educación Física"),
    ("M0109", "EPV", "PLASTICA", "Educación Plástica, Visual y Audiovisual"),
    ("M0110", "MUS", "MUSICA", "Música"),
    ("M0111", "TEC", "TECNOLOG", "Tecnología y Digitalización"),
    ("M0112", "REL", "RELIGION", "Religión Católica"),
    ("M0113", "AEV", "ATEDUCVA", "Atención Educativa"),
    ("M0114", "LAT", "LATIN", "Latín"),
    ("M0115", "ECO", "ECONOMIA", "Economía y Emprendimiento"),
    ("M0201", "FIL", "FILOSOF", "Filosofía"),
    ("M0202", "HES", "HISTESP", "Historia de España"),
    ("M0203", "MCS", "MATCCSS", "Matemáticas Aplicadas a las Ciencias Sociales"),
    ("M0204", "DIB", "DIBTECN", "Dibujo Técnico"),
    ("M0205", "QUI", "QUIMICA", "Química"),
    ("M0206", "GRI", "GRIEGO", "Griego"),
    ("M0207", "PSI", "PSICOLOG", "Psicología"),
    ("G001", "GUA", "GUARDIA", "Guardia"),
    ("G002", "GRE", "GUARECREO", "Guardia de recreo"),
    ("G003", "TUT", "TUTORIA", "Tutoría con el grupo"),
    ("G004", "TPA", "TUTPADRES", "Atención a familias"),
    ("G005", "RDP", "REUNDEP", "Reunión de departamento"),
    ("G006", "BIB", "BIBLIOTEC", "Biblioteca"),
    ("G007", "JDP", "JEFDEPART", "Jefatura de departamento"),
    ("G439", "OTR", "OTRAS", "Otras actividades de centro"),
]

# Teachers: (employee code, taking of post, full name, timetable abbreviation).
TEACHERS = [
    ("E00012045", "01/09/2015", "María José Núñez Peña", "MJNP"),
    ("E00012113", "01/09/2018", "José Ángel Muñoz Ibáñez", "JAMI"),
    ("E00013270", "01/09/2012", "Lucía Fernández Orduña", "LFO"),
    ("E00013388", "01/09/2020", "Íñigo Martínez de Aguirre", "IMA"),
    ("E00014002", "01/09/2019", "Begoña Sáez Castaño", "BSC"),
    ("E00014131", "01/09/2010", "Raúl Gómez Cañete", "RGC"),
    ("E00014557", "01/09/2021", "Concepción Jiménez Ruiz", "CJR"),
    ("E00014690", "01/09/2016", "Óscar Pérez Villalón", "OPV"),
    ("E00015003", "01/09/2014", "Ainhoa Etxeberría Zubiri", "AEZ"),
    ("E00015214", "01/09/2022", "Jesús Chacón Aránguez", "JCA"),
    ("E00015399", "01/09/2011", "Mónica Roldán Espínola", "MRE"),
    ("E00015712", "01/09/2017", "Andrés Úbeda Lozano", "AUL"),
    ("E00016008", "01/09/2023", "Nuria Castellví Ferrer", "NCF"),
    ("E00016145", "01/09/2013", "Sebastián Domínguez Olmo", "SDO"),
    ("E00016301", "01/09/2019", "Pilar Quintanilla Báez", "PQB"),
    ("E00016477", "01/09/2009", "Fermín Echávarri Solís", "FES"),
    ("E00016590", "01/09/2020", "Rocío Valverde Carrión", "RVC"),
    ("E00016824", "01/09/2018", "Tomás Gutiérrez Alcázar", "TGA"),
    ("E00017011", "01/09/2015", "Eugenia Bermúdez Llorente", "EBL"),
    ("E00017236", "01/09/2024", "Álvaro Montes Riaño", "AMR"),
    ("E00017350", "01/09/2012", "Inmaculada Robles Ortúzar", "IRO"),
    ("E00017598", "01/09/2021", "Joaquín Peñalver Soto", "JPS"),
    ("E00017702", "01/09/2016", "Sofía Lázaro Montañés", "SLM"),
    ("E00017943", "01/09/2010", "Ramón Ibarra Cuéllar", "RIC"),
    ("E00018106", "01/09/2022", "Elena Marín Zúñiga", "EMZ"),
    ("E00018259", "01/09/2014", "Víctor Salcedo Añón", "VSA"),
    ("E00018403", "01/09/2019", "Ángela Herrán Gálvez", "AHG"),
    ("E00018577", "01/09/2017", "Héctor Navarro Beltrán", "HNB"),
    ("E00018691", "01/09/2023", "Amparo Cortés Villaseñor", "ACV"),
    ("E00018820", "01/09/2011", "Germán Ortega Lafuente", "GOL"),
]

# Rooms: (administration code, abbreviation, name, building). Two rooms have no abbreviation of
# their own: the timetable program then knows them by their administration code.
ROOMS = [
    ("A101", "1A", "Aula 1.º ESO A", "A"),
    ("A102", "1B", "Aula 1.º ESO B", "A"),
    ("A103", "2A", "Aula 2.º ESO A", "A"),
    ("A104", "2B", "Aula 2.º ESO B", "A"),
    ("A201", "3A", "Aula 3.º ESO A", "A"),
    ("A202", "3B", "Aula 3.º ESO B", "A"),
    ("A203", "4A", "Aula 4.º ESO A", "A"),
    ("A204", "4B", "Aula 4.º ESO B", "A"),
    ("B101", "B1A", "Aula 1.º Bachillerato A", "B"),
    ("B102", "B1B", "Aula 1.º Bachillerato B", "B"),
    ("B103", "B2A", "Aula 2.º Bachillerato A", "B"),
    ("B104", "B2B", "Aula 2.º Bachillerato B", "B"),
    ("B201", "LABFQ", "Laboratorio de Física y Química", "B"),
    ("B202", "LABBG", "Laboratorio de Biología y Geología", "B"),
    ("A005", "TALLER", "Taller de Tecnología", "A"),
    ("A006", "MUSICA", "Aula de Música", "A"),
    ("A007", "PLASTI", "Aula de Plástica y Dibujo", "A"),
    ("A008", "INFO1", "Aula de Informática", "A"),
    ("C001", "GIMNA", "Gimnasio y pistas", "C"),
    ("B001", "", "Biblioteca «Miguel Delibes»", "B"),
    ("B002", "", "Sala de profesores", "B"),
    ("A009", "DEPTOS", "Departamentos didácticos", "A"),
]

# Groups: (administration unit, abbreviation, shift, level, course, group).
GROUPS = [
    ("U1ESOA", "1ESOA", "M", "ESO", "1", "A"),
    ("U1ESOB", "1ESOB", "M", "ESO", "1", "B"),
    ("U2ESOA", "2ESOA", "M", "ESO", "2", "A"),
    ("U2ESOB", "2ESOB", "M", "ESO", "2", "B"),
    ("U3ESOA", "3ESOA", "M", "ESO", "3", "A"),
    ("U3ESOB", "3ESOB", "M", "ESO", "3", "B"),
    ("U4ESOA", "4ESOA", "M", "ESO", "4", "A"),
    ("U4ESOB", "4ESOB", "M", "ESO", "4", "B"),
    ("U1BCHA", "1BACA", "M", "BACH", "1", "A"),
    ("U1BCHB", "1BACB", "M", "BACH", "1", "B"),
    ("U2BCHA", "2BACA", "M", "BACH", "2", "A"),
    ("U2BCHB", "2BACB", "M", "BACH", "2", "B"),
    ("UAPOYO", "APOYO", "M", "", "", ""),  # support group: no level, the timetable program says "NIV"
]

# Weekly minutes of each subject by level and course (55-minute periods).
ESO_PLAN = {
    "1": [("LCL", 220), ("MAT", 220), ("ING", 220), ("GEH", 165), ("BYG", 165), ("EF", 110),
          ("EPV", 110), ("MUS", 110), ("REL", 55), ("G003", 55)],
    "2": [("LCL", 220), ("MAT", 220), ("ING", 165), ("GEH", 165), ("FYQ", 165), ("EF", 110),
          ("TEC", 110), ("FRA", 110), ("REL", 55), ("G003", 55)],
    "3": [("LCL", 220), ("MAT", 220), ("ING", 165), ("GEH", 165), ("BYG", 110), ("FYQ", 110),
          ("EF", 110), ("TEC", 110), ("AEV", 55), ("G003", 55)],
    "4": [("LCL", 220), ("MAT", 220), ("ING", 165), ("GEH", 165), ("LAT", 165), ("ECO", 165),
          ("EF", 110), ("G003", 55)],
}
BACH_PLAN = {
    "1": [("LCL", 165), ("FIL", 165), ("ING", 165), ("MCS", 220), ("ECO", 220), ("EF", 110),
          ("GRI", 220)],
    "2": [("LCL", 165), ("HES", 165), ("ING", 165), ("MCS", 220), ("DIB", 220), ("QUI", 220),
          ("PSI", 110)],
}
ROOM_OF = {"EF": "GIMNA", "MUS": "MUSICA", "EPV": "PLASTI", "TEC": "TALLER", "FYQ": "LABFQ",
           "QUI": "LABFQ", "BYG": "LABBG", "DIB": "PLASTI"}
HOME_ROOM = {"1ESOA": "1A", "1ESOB": "1B", "2ESOA": "2A", "2ESOB": "2B", "3ESOA": "3A", "3ESOB": "3B",
             "4ESOA": "4A", "4ESOB": "4B", "1BACA": "B1A", "1BACB": "B1B", "2BACA": "B2A",
             "2BACB": "B2B", "APOYO": "DEPTOS"}

# School-wide tasks, without group: (subject code, room, minutes).
TASKS = [("G001", "", 165), ("G002", "", 30), ("G004", "B002", 55), ("G005", "DEPTOS", 55),
         ("G006", "B001", 90), ("G007", "DEPTOS", 110), ("G439", "", 55)]

PERIODS = [("08:15", "09:10"), ("09:10", "10:05"), ("10:05", "11:00"), ("11:30", "12:25"),
           ("12:25", "13:20"), ("13:20", "14:15")]
DAYS = "LMXJV"


def records(seq, rows):
    """One input list: a listasal named `seq` holding one listasal per row of items."""
    out = [f'    <listasal seq="{seq}">']
    for row in rows:
        out.append("      <listasal>")
        for item in row:
            if isinstance(item, tuple):
                dato, value = item
                out.append(f'        <salida dato="{dato}">{escape(value)}</salida>')
            else:
                out.append(f"        <salida>{escape(item)}</salida>")
        out.append("      </listasal>")
    out.append("    </listasal>")
    return out


def main():
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("centro.xml")
    code_of = {cod: materia for materia, cod, _, _ in SUBJECTS}
    materia_of = lambda subject: code_of.get(subject, subject)  # plans name tasks by their own code
    cod_of = {materia: cod for materia, cod, _, _ in SUBJECTS}

    assignments = []
    for unit, abrev, turno, nivel, curso, grupo in GROUPS:
        plan = (ESO_PLAN if nivel == "ESO" else BACH_PLAN if nivel == "BACH" else {}).get(curso, [])
        for subject, minutes in plan:
            materia = materia_of(subject)
            room = ROOM_OF.get(subject, HOME_ROOM[abrev])
            assignments.append((cod_of[materia], abrev, room, turno, nivel, curso, grupo, str(minutes),
                                materia))
    assignments.append(("LCL", "APOYO", "DEPTOS", "M", "", "", "", "110", "M0101"))
    assignments.append(("MAT", "APOYO", "DEPTOS", "M", "", "", "", "110", "M0102"))
    for materia, room, minutes in TASKS:
        assignments.append((cod_of[materia], "", room, "M", "", "", "", str(minutes), materia))

    slots = []
    number = 1
    for day in DAYS:
        for period, (start, end) in enumerate(PERIODS, start=1):
            slots.append([("CODIGO_GESTALIA", f"T{number:04d}"), ("NOMBRE", f"{day}{period}"),
                          ("INICIO", start), ("FIN", end), ("NINUTOS", "55")])
            number += 1

    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             "<!-- Centro de ejemplo: IES Ribera del Duero (Aranda de Duero). Escrito por"
             " samples/make_centro.py. -->",
             "<SERVICIO>",
             "  <SALIDAS>"]
    lines += records("MATERIAS", SUBJECTS)
    lines += records("PROFESORES", TEACHERS)
    lines += records("AULAS", ROOMS)
    lines += records("GRUPOS", GROUPS)
    lines += records("ASIGNATURAS", assignments)
    lines += records("TRAMOS", slots)
    lines += ["  </SALIDAS>", "</SERVICIO>", ""]
    output.write_text("\n".join(lines), encoding="utf-8", newline="\n")


if __name__ == "__main__":
    main()
