#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>
#include <QtTest>

#include "support/TestSupport.h"

// The window as the timetable program uses it, on a real X server (Xvfb): a parent window of the
// "timetable program", TransHoraxGestalia started with an action and that window's id, the file
// dialog and the boxes answered from the keyboard with xdotool, and the outcome read back from the
// tables and Horarix.ini.

using thg::test::TempDir;

namespace {

const QString windowCaption = QStringLiteral("Exportar e importar datos entre Horarix y Gestalia ");

QString runTool(const QString& program, const QStringList& arguments) {
    QProcess tool;
    tool.start(program, arguments);
    tool.waitForFinished(10000);
    return QString::fromLocal8Bit(tool.readAllStandardOutput());
}

// The id of the first window whose name is exactly `name`, waiting up to ten seconds.
QString waitForWindow(const QString& name) {
    QString id;
    (void)QTest::qWaitFor(
        [&] {
            id = runTool("xdotool",
                         {"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(name) + "$"})
                     .split('\n', Qt::SkipEmptyParts)
                     .value(0);
            return !id.isEmpty();
        },
        10000);
    return id;
}

// Gives the window the keyboard, then sends keys as a person would type them.
void typeInto(const QString& window, const QString& text, const QString& key) {
    runTool("xdotool", {"windowfocus", "--sync", window});
    QTest::qWait(200);
    if (!text.isEmpty()) runTool("xdotool", {"type", "--delay", "15", text});
    runTool("xdotool", {"key", key});
}

int xwininfoValue(const QString& info, const QString& label) {
    const auto match = QRegularExpression(QRegularExpression::escape(label) + R"(:\s*(-?\d+))").match(info);
    return match.hasMatch() ? match.captured(1).toInt() : -1000;
}

// A scratch installation: the program copied into its own folder (Horarix.ini is written beside
// it), a working directory with its "gestalia" folder and an exchange file in it.
struct Installation {
    TempDir dir;
    std::filesystem::path program = dir / "bin" / "TransHoraxGestalia";
    std::filesystem::path htemp = dir / "htemp";
    std::filesystem::path exchangeFile = dir / "htemp" / "Gestalia" / "centro.xml";

    Installation() {
        std::filesystem::create_directories(program.parent_path());
        std::filesystem::create_directories(exchangeFile.parent_path());
        std::filesystem::copy_file(thg::test::binDir() / "TransHoraxGestalia", program);
        thg::test::writeFile(exchangeFile, R"(<?xml version="1.0" encoding="UTF-8"?>
<SERVICIO><SALIDAS>
  <listasal seq="MATERIAS"><listasal><salida>1</salida><salida>MAT</salida><salida>MATEM</salida><salida>Matemáticas</salida></listasal></listasal>
  <listasal seq="PROFESORES"><listasal><salida>7</salida><salida>2001-09-01</salida><salida>PGA</salida><salida>Pilar García</salida></listasal></listasal>
</SALIDAS></SERVICIO>)");
    }

    std::filesystem::path statusFile() const { return program.parent_path() / "Horarix.ini"; }
    QString status() const {
        return std::filesystem::exists(statusFile())
                   ? QString::fromStdString(thg::test::readFile(statusFile()))
                   : QString("none");
    }

    void start(QProcess& process, const QStringList& arguments) const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("QT_QPA_PLATFORM"); // the program must choose xcb itself
        environment.insert("HTEMP", QString::fromStdString(htemp.string()));
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QString::fromStdString(program.string()), arguments);
        QVERIFY(process.waitForStarted());
    }
};

// The "timetable program": a plain window whose id goes on the command line.
struct ParentWindow {
    QWidget widget;
    ParentWindow() {
        widget.setWindowTitle("Horarix");
        widget.setGeometry(20, 20, 800, 500);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
    }
    QString id() const { return QString::number(widget.winId(), 16).toUpper(); }
};

} // namespace

class WindowE2ETest : public QObject {
    Q_OBJECT

private slots:
    void exportRunInsideTheCallersWindow();
    void cancelledDialog_data();
    void cancelledDialog();
    void endsWhenTheCallersWindowGoes();
    void handleOfNoWindowGivesAFramedWindow();
    void screenshot();
};

void WindowE2ETest::exportRunInsideTheCallersWindow() {
    Installation install;
    ParentWindow parent;
    QProcess program;
    install.start(program, {"exportar", parent.id()});

    const QString dialog = waitForWindow("Archivo XML");
    QVERIFY(!dialog.isEmpty());

    // Our window is a child of the caller's window, without a frame, centred in it.
    const QString tree = runTool("xwininfo", {"-children", "-id", "0x" + parent.id()});
    const auto child =
        QRegularExpression(R"((0x[0-9a-f]+) ")" + QRegularExpression::escape(windowCaption) + "\"")
            .match(tree);
    QVERIFY2(child.hasMatch(), qPrintable(tree));
    const QString info = runTool("xwininfo", {"-id", child.captured(1)});
    QCOMPARE(xwininfoValue(info, "Width"), 632);
    QCOMPARE(xwininfoValue(info, "Height"), 266);
    QCOMPARE(xwininfoValue(info, "Relative upper-left X"), (800 - 632) / 2);
    QCOMPARE(xwininfoValue(info, "Relative upper-left Y"), (500 - 266) / 2);
    const QString hints = runTool("xprop", {"-id", child.captured(1), "_MOTIF_WM_HINTS"});
    // flags, functions, decorations...: the decorations are given, and they are none.
    QVERIFY2(QRegularExpression(R"(= 0x2, 0x[0-9a-f]+, 0x0\b)").match(hints).hasMatch(), qPrintable(hints));

    typeInto(dialog, QString::fromStdString(install.exchangeFile.string()), "Return");
    const QString box = waitForWindow("TransHoraxGestalia");
    QVERIFY(!box.isEmpty());
    QVERIFY(!std::filesystem::exists(install.statusFile())); // written only when the window closes
    typeInto(box, {}, "Return");

    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(install.status(), QString("[Transformadores]\r\nTransformado=1\r\n"));
    for (const char* table : {"ASIGNOMT", "PROFT", "AULAT", "GRUPOST", "ASIGT", "DIASHORAST"})
        QVERIFY2(std::filesystem::exists(install.htemp / (std::string(table) + ".DBF")), table);
}

void WindowE2ETest::cancelledDialog_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("status");
    QTest::newRow("exportar") << "exportar"
                              << "-1";
    QTest::newRow("importar") << "importar"
                              << "0";
}

void WindowE2ETest::cancelledDialog() {
    QFETCH(QString, action);
    QFETCH(QString, status);
    Installation install;
    thg::test::writeFile(install.statusFile(),
                         "[Horarix]\r\nVersion=24\r\n[Transformadores]\r\nTransformado=1\r\n");
    ParentWindow parent;
    QProcess program;
    install.start(program, {action, parent.id()});
    const QString dialog = waitForWindow("Archivo XML");
    QVERIFY(!dialog.isEmpty());
    typeInto(dialog, {}, "Escape");
    const QString box = waitForWindow("TransHoraxGestalia");
    QVERIFY(!box.isEmpty());
    typeInto(box, {}, "Return");
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(install.status(),
             "[Horarix]\r\nVersion=24\r\n[Transformadores]\r\nTransformado=" + status + "\r\n");
    QVERIFY(!std::filesystem::exists(install.htemp / "ASIGNOMT.DBF"));
}

void WindowE2ETest::endsWhenTheCallersWindowGoes() {
    Installation install;
    auto parent = std::make_unique<ParentWindow>();
    QProcess program;
    install.start(program, {"ninguna", parent->id()});
    QVERIFY(QTest::qWaitFor(
        [&] {
            return runTool("xwininfo", {"-children", "-id", "0x" + parent->id()}).contains(windowCaption);
        },
        10000));
    parent.reset();
    QVERIFY(program.waitForFinished(5000));
    QCOMPARE(install.status(), QString("none")); // nobody closed the window: nothing to report
}

void WindowE2ETest::handleOfNoWindowGivesAFramedWindow() {
    Installation install;
    QProcess program;
    install.start(program, {"exportar", "7FFFFFF0"});
    const QString error = waitForWindow("TransHoraxGestalia");
    QVERIFY(!error.isEmpty());
    typeInto(error, {}, "Return");
    // The action still runs, but without automation mode the window stays and nothing is written.
    const QString dialog = waitForWindow("Archivo XML");
    QVERIFY(!dialog.isEmpty());
    typeInto(dialog, {}, "Escape");
    const QString box = waitForWindow("TransHoraxGestalia");
    QVERIFY(!box.isEmpty());
    typeInto(box, {}, "Return");
    QVERIFY(!waitForWindow(windowCaption).isEmpty());
    QVERIFY(!program.waitForFinished(1000));
    // "&Salir" from the keyboard closes it.
    typeInto(waitForWindow(windowCaption), {}, "alt+s");
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(install.status(), QString("none"));
}

void WindowE2ETest::screenshot() {
    Installation install;
    QProcess program;
    install.start(program, {});
    const QString window = waitForWindow(windowCaption);
    QVERIFY(!window.isEmpty());
    QTest::qWait(500);
    const QString info = runTool("xwininfo", {"-id", window});
    const QRect place(xwininfoValue(info, "Absolute upper-left X"),
                      xwininfoValue(info, "Absolute upper-left Y"), xwininfoValue(info, "Width"),
                      xwininfoValue(info, "Height"));
    QCOMPARE(place.size(), QSize(632, 266));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QVERIFY(std::abs(place.center().x() - screen.center().x()) <= 1); // centred on the screen
    const QPixmap shot =
        QGuiApplication::primaryScreen()->grabWindow(0, place.x(), place.y(), place.width(), place.height());
    QVERIFY(shot.save(QString::fromStdString((thg::test::binDir() / "window.png").string())));
    if (qEnvironmentVariableIsSet("THG_UPDATE_SCREENSHOT"))
        QVERIFY(shot.save(QString::fromStdString((thg::test::sourceDir() / "docs" / "window.png").string())));
    typeInto(window, {}, "alt+s");
    QVERIFY(program.waitForFinished(10000));
}

namespace {

// Starts Xvfb on the first free display from :93 and returns its process id.
pid_t startXServer(int& display) {
    for (display = 93; display < 120; ++display)
        if (!std::filesystem::exists("/tmp/.X" + std::to_string(display) + "-lock") &&
            !std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display)))
            break;
    const std::string name = ":" + std::to_string(display);
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("Xvfb", "Xvfb", name.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp", nullptr);
        _exit(127);
    }
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
    for (int i = 0; i < 100 && !std::filesystem::exists(socket); ++i)
        usleep(100 * 1000);
    usleep(200 * 1000);
    return pid;
}

} // namespace

int main(int argc, char** argv) {
    int display = 0;
    const pid_t server = startXServer(display);
    if (server <= 0) return 1;
    const std::string name = ":" + std::to_string(display);
    setenv("DISPLAY", name.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    int result = 1;
    {
        QApplication application(argc, argv);
        WindowE2ETest test;
        result = QTest::qExec(&test, argc, argv);
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return result;
}

#include "WindowE2ETest.moc"
