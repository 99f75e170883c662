#!/usr/bin/python3
"""Writes samples/SOLUC.DBF: the timetable the timetable program Horarix could have computed for the
sample school samples/centro.xml. Deterministic (same bytes every run).

    /usr/bin/python3 samples/make_soluc.py [EXCHANGE_FILE [OUTPUT]]

SOLUC holds one record per session of a teaching assignment or task: the teacher (PROF, the PROFT
abbreviation), the day (DIA, 1 = Monday) and period (HORA) it was placed in, and the codes the
assignment has in the working tables: TAREA (ASIGT's task code, "LE" for lessons), AULA, CODGRUPO,
ASIG, NIVEL and CURSO. A session the timetable program could not place has DIA 0.

The sessions are placed greedily: each assignment's sessions go to different days where the group, the
teacher and the room are all free. The last teacher gets nothing (a teacher without activities), and
the break-time duty (G002) and the school's "other activities" (G439) stay unplaced (DIA 0): they
fit no period, and Horarix leaves what it cannot fit with DIA 0.
"""
import math
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import dbf

SOLUC_FIELDS = ("PROF C(10); DIA N(2,0); HORA N(2,0); TAREA C(10); AULA C(10); CODGRUPO C(10); "
                "ASIG C(10); NIVEL C(5); CURSO C(3)")
MAX_LOAD = 21  # weekly sessions a teacher takes before the next teacher is brought in
UNPLACED = ("G002", "G439")  # administration codes of the tasks that take no period
HEADER_DATE = bytes([126, 1, 15])  # 2026-01-15: dBase keeps the date of the last update in the header


def input_list(root, name):
    """The item texts of each record of the input list `name`, trimmed as the exchange reads them."""
    lists = root.find("SALIDAS").findall("listasal")
    for lst in lists:
        if lst.get("seq") == name:
            return [[(item.text or "").strip() for item in record.findall("salida")]
                    for record in lst.findall("listasal")]
    raise SystemExit(f"{name}: no such list")


def slots_of(root):
    """(day number, period) of each time slot, in the order of the TRAMOS list."""
    days = "LMXJVSD"
    slots = []
    for lst in root.find("SALIDAS").findall("listasal"):
        if lst.get("seq") != "TRAMOS":
            continue
        for record in lst.findall("listasal"):
            code = next(((i.text or "").strip() for i in record.findall("salida") if i.get("dato") == "NOMBRE"), "")
            slots.append((days.index(code[0]) + 1, int(code[1:])))
    return slots


def sessions(minutes):
    """The weekly sessions of an assignment: its hours, at least 1, rounded up."""
    hours = max(int(minutes or "0") / 60, 1)
    return math.ceil(round(hours, 4))


def main():
    here = Path(__file__).parent
    exchange = Path(sys.argv[1]) if len(sys.argv) > 1 else here / "centro.xml"
    output = Path(sys.argv[2]) if len(sys.argv) > 2 else here / "SOLUC.DBF"
    root = ET.parse(exchange).getroot()

    cod_of_materia = {}
    for materia, cod, *_ in input_list(root, "MATERIAS"):
        cod_of_materia.setdefault(materia, cod)
    teachers = [record[3] for record in input_list(root, "PROFESORES")]
    slots = slots_of(root)
    days = sorted({day for day, _ in slots})

    # The assignments as ASIGT holds them.
    assignments = []
    for item in input_list(root, "ASIGNATURAS"):
        casig, cgrup, caula, _turno, nivel, curso, _grupo, minutes, materia = item[:9]
        ctarea = cod_of_materia.get(materia, materia)[:10] if materia.startswith("G") else "LE"
        assignments.append(dict(asig=casig, grupo=cgrup, aula=caula, nivel=nivel or "NIV", curso=curso,
                                tarea=ctarea, materia=materia, count=sessions(minutes)))

    # Teachers: the same teacher keeps a subject across groups until full. The last one teaches nothing.
    staff = teachers[:-1]
    load = {t: 0 for t in staff}
    next_free = 0
    teacher_of_subject = {}
    for a in assignments:
        teacher = teacher_of_subject.get(a["asig"])
        if teacher is None or load[teacher] + a["count"] > MAX_LOAD:
            if next_free < len(staff):
                teacher = staff[next_free]
                next_free += 1
            else:
                teacher = min(staff, key=lambda t: (load[t], staff.index(t)))
            teacher_of_subject[a["asig"]] = teacher
        a["prof"] = teacher
        load[teacher] += a["count"]

    busy = set()  # ("g"|"p"|"a", code, day, period)
    records = []
    for index, a in enumerate(assignments):
        used_days = set()
        for session in range(a["count"]):
            placed = None
            if a["materia"] not in UNPLACED:
                start = (index + session) % len(days)
                order = days[start:] + days[:start]
                for spread in (True, False):
                    for day in order:
                        if spread and day in used_days:
                            continue
                        for d, period in slots:
                            keys = [("p", a["prof"], d, period)]
                            if a["grupo"]:
                                keys.append(("g", a["grupo"], d, period))
                            if a["aula"] and a["grupo"]:
                                keys.append(("a", a["aula"], d, period))
                            if d == day and not any(k in busy for k in keys):
                                placed = (d, period)
                                busy.update(keys)
                                break
                        if placed:
                            break
                    if placed:
                        break
            day, period = placed or (0, 0)
            used_days.add(day)
            records.append((a["prof"], day, period, a["tarea"], a["aula"], a["grupo"], a["asig"], a["nivel"],
                            a["curso"]))

    # Horarix writes the solution teacher by teacher, each teacher's sessions by day and period.
    rank = {t: i for i, t in enumerate(teachers)}
    records.sort(key=lambda r: (rank[r[0]], r[1], r[2]))

    output.unlink(missing_ok=True)
    table = dbf.Table(str(output), SOLUC_FIELDS, dbf_type="db3", codepage="cp1252")
    table.open(dbf.READ_WRITE)
    for record in records:
        table.append(record)
    table.close()
    with open(output, "r+b") as f:
        f.seek(1)
        f.write(HEADER_DATE)

    placed = sum(1 for r in records if r[1])
    print(f"{output}: {len(records)} sessions, {placed} placed, {len(records) - placed} with DIA 0, "
          f"{len({r[0] for r in records})} of {len(teachers)} teachers")


if __name__ == "__main__":
    main()
