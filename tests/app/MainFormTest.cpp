#include <filesystem>
#include <functional>
#include <stdexcept>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include "app/Dialogs.h"
#include "app/GradientPanel.h"
#include "app/MainForm.h"
#include "platform/Error.h"
#include "support/TestSupport.h"

using thg::TMForm;
using thg::test::TempDir;

namespace {

// Answers the form's questions from a script and remembers what the form showed.
class ScriptedDialogs : public thg::Dialogs {
public:
    QStringList fileAnswers; // one per file dialog; empty text cancels
    QStringList shown;       // "dialog <folder>", "message <text>", "error <text>"
    std::function<void()> whileMessage;

    QString openExchangeFile(QWidget*, const QString& initialDir) override {
        shown << "dialog " + initialDir;
        return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
    }
    void showMessage(QWidget*, const QString& text) override {
        shown << "message " + text;
        if (whileMessage) whileMessage();
    }
    void showError(QWidget*, const QString& text) override { shown << "error " + text; }
};

// A form with scripted dialogs, fake cores and its own status file and working directory.
struct Fixture {
    TempDir dir;
    ScriptedDialogs dialogs;
    int exportCalls = 0;
    int importCalls = 0;
    std::filesystem::path lastExchangeFile;
    bool coreFails = false;
    bool busyDuringRun = false;

    std::filesystem::path statusFile() const { return dir / "Horarix.ini"; }
    QString exchangeFile() const { return QString::fromStdString((dir / "centro.xml").string()); }

    Fixture() {
        qputenv("HTEMP", QByteArray::fromStdString((dir / "htemp").string()));
        thg::test::writeFile(dir / "centro.xml", "<SERVICIO><SALIDAS/></SERVICIO>");
    }

    std::unique_ptr<TMForm> makeForm(const QStringList& arguments) {
        TMForm::Setup setup;
        setup.arguments = arguments;
        setup.dialogs = &dialogs;
        setup.statusFile = statusFile();
        setup.helpFile = dir / "GESTALIA.chm";
        setup.exportRun = [this](const std::filesystem::path& file, const std::filesystem::path&) {
            ++exportCalls;
            run(file);
        };
        setup.importRun = [this](const std::filesystem::path& file, const std::filesystem::path&) {
            ++importCalls;
            run(file);
            return file;
        };
        return std::make_unique<TMForm>(setup);
    }

    void run(const std::filesystem::path& file) {
        lastExchangeFile = file;
        busyDuringRun =
            QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        if (coreFails) throw thg::Error("PROFT.DBF: registro 3, campo ABREV: no existe");
    }

    QString status() const {
        return std::filesystem::exists(statusFile())
                   ? QString::fromStdString(thg::test::readFile(statusFile()))
                   : QString("none");
    }
};

// Calls `answer` with the first visible top-level window of type T once it has been showing for a
// while (so that its modal loop is surely running).
template <typename T> void answerWhenShown(std::function<void(T*)> answer) {
    auto* timer = new QTimer(qApp);
    auto seen = std::make_shared<QPointer<T>>();
    QObject::connect(timer, &QTimer::timeout, [timer, answer, seen] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<T*>(widget); found && found->isVisible()) {
                if (*seen != found) {
                    *seen = found;
                    return;
                }
                timer->stop();
                timer->deleteLater();
                answer(found);
                return;
            }
    });
    timer->start(50);
}

QColor pixel(QWidget* widget, int x, int y) {
    return widget->grab().toImage().pixelColor(x, y);
}

bool near(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) <= 3 && std::abs(a.green() - b.green()) <= 3 &&
           std::abs(a.blue() - b.blue()) <= 3;
}

} // namespace

class MainFormTest : public QObject {
    Q_OBJECT

private slots:
    void windowMatchesTheLayout();
    void fontsAndColours();
    void panelsAreThreeColourGradients();
    void glyphsGreyWhenDisabled();
    void tabOrderRunsThroughTheLowerBandFirst();
    void returnPressesTheDefaultButton();

    void endingsOfARun_data();
    void endingsOfARun();
    void cancelledDialogReusesTheLastFile();
    void dialogStartsInTheGestaliaFolderWhateverItsCase();
    void showStartsTheNamedAction_data();
    void showStartsTheNamedAction();
    void windowHandleArgument_data();
    void windowHandleArgument();
    void badHandleLeavesAFramedWindowWithoutAutomation();
    void unwritableStatusKeepsTheWindowOpen();
    void salirWritesTheStatusInAutomationOnly();

    void boxesSpeakSpanish();
    void fileDialogSettings();
    void realExportBuildsTheTables();
};

void MainFormTest::windowMatchesTheLayout() {
    Fixture f;
    auto form = f.makeForm({});
    QCOMPARE(form->windowTitle(), QString("Exportar e importar datos entre Horarix y Gestalia "));
    QCOMPARE(form->size(), QSize(632, 266));
    QCOMPARE(form->minimumSize(), form->maximumSize());
    QVERIFY(!(form->windowFlags() & Qt::FramelessWindowHint));

    struct Place {
        QWidget* widget;
        QWidget* parent;
        QRect geometry;
    };
    const Place places[] = {
        {form->Draw3D2, form.get(), {1, 0, 315, 169}},
        {form->Label3, form->Draw3D2, {24, 24, 265, 57}},
        {form->BExportar, form->Draw3D2, {96, 120, 89, 25}},
        {form->Draw3D3, form.get(), {316, 0, 317, 169}},
        {form->Label4, form->Draw3D3, {8, 24, 305, 57}},
        {form->BImportar, form->Draw3D3, {96, 120, 89, 25}},
        {form->Draw3D1, form.get(), {0, 168, 633, 97}},
        {form->Label1, form->Draw3D1, {8, 72, 230, 13}},
        {form->BClose, form->Draw3D1, {256, 32, 89, 25}},
        {form->Button1, form->Draw3D1, {264, 63, 75, 18}},
    };
    for (const Place& place : places) {
        QCOMPARE(place.widget->parentWidget(), place.parent);
        QCOMPARE(place.widget->geometry(), place.geometry);
    }

    QCOMPARE(form->Label3->text(), QString("Transformar datos desde Gestalia hacia Horarix "));
    QCOMPARE(form->Label4->text(), QString("Transformar datos desde Horarix hacia Gestalia"));
    QCOMPARE(form->Label1->text(), QString("TransHorarixGestalia para RZ24 V-1.0"));
    QVERIFY(form->Label3->wordWrap() && form->Label4->wordWrap());
    QCOMPARE(form->BExportar->text(), QString("Aceptar"));
    QCOMPARE(form->BImportar->text(), QString("Aceptar"));
    QCOMPARE(form->BClose->text(), QString("&Salir"));
    QCOMPARE(form->Button1->text(), QString("F1 AYUDA"));
    QVERIFY(form->BExportar->isEnabled() && form->BImportar->isEnabled());
    QVERIFY(form->BExportar->isDefault() && form->BImportar->isDefault());
    for (QWidget* widget : {static_cast<QWidget*>(form.get()), static_cast<QWidget*>(form->Draw3D1),
                            static_cast<QWidget*>(form->Draw3D2), static_cast<QWidget*>(form->Draw3D3),
                            static_cast<QWidget*>(form->BExportar), static_cast<QWidget*>(form->BImportar),
                            static_cast<QWidget*>(form->BClose)})
        QCOMPARE(widget->property("helpContext").toInt(), 1);

    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    const QRect screen = form->screen()->availableGeometry();
    QVERIFY(std::abs(form->frameGeometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(std::abs(form->frameGeometry().center().y() - screen.center().y()) <= 1);
}

void MainFormTest::fontsAndColours() {
    Fixture f;
    auto form = f.makeForm({});
    for (QLabel* label : {form->Label3, form->Label4}) {
        const QFontInfo info(label->font());
        QVERIFY2(info.family() == "Arial" || info.family() == "Liberation Sans", qPrintable(info.family()));
        QCOMPARE(info.pixelSize(), 16); // 12 point at 96 dots per inch
        QVERIFY(info.bold());
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::black));
    }
    const QFontInfo edition(form->Label1->font());
    QCOMPARE(edition.pixelSize(), 11); // 8 point at 96 dots per inch
    QVERIFY(edition.bold());
    QCOMPARE(form->Label1->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    QCOMPARE(QFontInfo(form->BClose->font()).pixelSize(), 11);
    QVERIFY(!QFontInfo(form->BClose->font()).bold());
    QCOMPARE(form->palette().color(QPalette::Window), form->palette().color(QPalette::Button));

    // The red edition line is drawn, and the bold texts are black over the gradient.
    const QImage band = form->Draw3D1->grab().toImage();
    int red = 0;
    for (int x = 8; x < 238; ++x)
        for (int y = 72; y < 85; ++y)
            if (band.pixelColor(x, y).red() > 200 && band.pixelColor(x, y).green() < 80) ++red;
    QVERIFY(red > 50);
}

void MainFormTest::panelsAreThreeColourGradients() {
    Fixture f;
    auto form = f.makeForm({});
    struct Expected {
        thg::GradientPanel* panel;
        QColor start, middle, end;
    };
    const QColor white(255, 255, 255);
    const Expected panels[] = {
        {form->Draw3D1, QColor(194, 205, 254), QColor(207, 242, 254), QColor(204, 216, 230)},
        {form->Draw3D2, QColor(249, 211, 125), white, QColor(255, 238, 221)},
        {form->Draw3D3, QColor(249, 211, 125), white, QColor(255, 238, 221)},
    };
    for (const Expected& e : panels) {
        QCOMPARE(e.panel->startColor(), e.start);
        QCOMPARE(e.panel->middleColor(), e.middle);
        QCOMPARE(e.panel->endColor(), e.end);
        const int x = 2; // clear of labels and buttons
        const int h = e.panel->height();
        QVERIFY(near(pixel(e.panel, x, 0), e.end));
        QVERIFY(near(pixel(e.panel, x, h / 2), e.middle));
        QVERIFY(near(pixel(e.panel, x, h - 1), e.start));
    }
}

void MainFormTest::glyphsGreyWhenDisabled() {
    Fixture f;
    auto form = f.makeForm({});
    auto colourful = [](const QPixmap& pixmap) {
        const QImage image = pixmap.toImage();
        int green = 0;
        int grey = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.alpha() < 200) continue;
                if (c.green() > c.red() + 60 && c.green() > c.blue() + 60)
                    ++green;
                else if (std::abs(c.red() - c.green()) < 10 && std::abs(c.green() - c.blue()) < 10)
                    ++grey;
            }
        return std::pair{green, grey};
    };
    const QIcon check = form->BExportar->icon();
    const auto normal = colourful(check.pixmap(18, 18, QIcon::Normal));
    const auto disabled = colourful(check.pixmap(18, 18, QIcon::Disabled));
    QVERIFY(normal.first > 10);
    QCOMPARE(disabled.first, 0);
    QVERIFY(disabled.second > 10);
    QVERIFY(!form->BClose->icon().isNull());
    QVERIFY(form->Button1->icon().isNull());
}

void MainFormTest::tabOrderRunsThroughTheLowerBandFirst() {
    Fixture f;
    auto form = f.makeForm({});
    form->show();
    QApplication::setActiveWindow(form.get());
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    form->BClose->setFocus();
    const QWidget* expected[] = {form->Button1, form->BExportar, form->BImportar, form->BClose};
    for (const QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

void MainFormTest::returnPressesTheDefaultButton() {
    Fixture f;
    auto form = f.makeForm({});
    form->show();
    QApplication::setActiveWindow(form.get());
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    // Return on a focused button presses it; on the window itself, the first "Aceptar".
    form->BImportar->setFocus();
    QTest::keyClick(form->BImportar, Qt::Key_Return);
    QTRY_COMPARE(f.dialogs.shown.size(), 2);
    QCOMPARE(f.dialogs.shown.value(1), QString("message No existe archivo"));
    QCOMPARE(f.importCalls + f.exportCalls, 0);
    f.dialogs.fileAnswers << f.exchangeFile();
    QTest::keyClick(form.get(), Qt::Key_Return);
    QTRY_COMPARE(f.exportCalls, 1);
}

void MainFormTest::endingsOfARun_data() {
    QTest::addColumn<bool>("automation");
    QTest::addColumn<bool>("exporting");
    QTest::addColumn<QString>("ending"); // completed, nofile, error
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("statusFile");
    QTest::addColumn<bool>("buttonsEnabled");
    QTest::addColumn<bool>("closed");

    const QString error = "error PROFT.DBF: registro 3, campo ABREV: no existe.";
    const QString none = "none";
    for (bool exporting : {true, false}) {
        const char* run = exporting ? "export" : "import";
        QTest::addRow("%s completed, interactive", run)
            << false << exporting << "completed" << QStringList{"message Proceso finalizado"} << 1 << none
            << false << false;
        QTest::addRow("%s completed, automation", run)
            << true << exporting << "completed" << QStringList{"message Proceso finalizado"} << 1
            << "[Transformadores]\r\nTransformado=1\r\n"
            << false << true;
        QTest::addRow("%s no file, interactive", run)
            << false << exporting << "nofile" << QStringList{"message No existe archivo"} << 0 << none << true
            << false;
        QTest::addRow("%s no file, automation", run)
            << true << exporting << "nofile" << QStringList{"message No existe archivo"}
            << (exporting ? -1 : 0)
            << (exporting ? "[Transformadores]\r\nTransformado=-1\r\n"
                          : "[Transformadores]\r\nTransformado=0\r\n")
            << true << true;
        QTest::addRow("%s error, interactive", run)
            << false << exporting << "error" << QStringList{error} << 0 << none << true << false;
        QTest::addRow("%s error, automation", run)
            << true << exporting << "error" << QStringList{error} << 0 << none << true << false;
    }
}

void MainFormTest::endingsOfARun() {
    QFETCH(bool, automation);
    QFETCH(bool, exporting);
    QFETCH(QString, ending);
    QFETCH(QStringList, boxes);
    QFETCH(int, status);
    QFETCH(QString, statusFile);
    QFETCH(bool, buttonsEnabled);
    QFETCH(bool, closed);

    Fixture f;
    // An action that names no run keeps FormShow quiet; handle 0 turns automation on without a parent.
    auto form = f.makeForm(automation ? QStringList{"ninguna", "0"} : QStringList{});
    QCOMPARE(form->automationMode(), automation);
    QCOMPARE(bool(form->windowFlags() & Qt::FramelessWindowHint), automation);
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QSignalSpy closedSpy(form.get(), &TMForm::closed);
    f.coreFails = ending == "error";
    if (ending != "nofile") f.dialogs.fileAnswers << f.exchangeFile();
    bool buttonsAtMessage = false;
    f.dialogs.whileMessage = [&] { buttonsAtMessage = form->BExportar->isEnabled(); };

    if (exporting)
        form->BExportarClick();
    else
        form->BImportarClick();

    QCOMPARE(f.dialogs.shown.mid(1), boxes);
    QCOMPARE(form->completionStatus(), status);
    QCOMPARE(f.status(), statusFile);
    QCOMPARE(form->BExportar->isEnabled(), buttonsEnabled);
    QCOMPARE(form->BImportar->isEnabled(), buttonsEnabled);
    QCOMPARE(closedSpy.count(), closed ? 1 : 0);
    QCOMPARE(form->isVisible(), !closed);
    QCOMPARE(exporting ? f.exportCalls : f.importCalls, ending == "nofile" ? 0 : 1);
    QCOMPARE(exporting ? f.importCalls : f.exportCalls, 0);
    if (ending != "nofile") QVERIFY(f.busyDuringRun);
    if (ending == "completed")
        QVERIFY(buttonsAtMessage); // "Proceso finalizado" comes before the buttons are disabled
    QCOMPARE(QApplication::overrideCursor(), nullptr); // the hourglass goes, also after an error

    if (ending == "error" && automation) {
        // The window stayed open; closing it now writes the status the run left: 0.
        form->close();
        QCOMPARE(f.status(), QString("[Transformadores]\r\nTransformado=0\r\n"));
    }
}

void MainFormTest::cancelledDialogReusesTheLastFile() {
    Fixture f;
    auto form = f.makeForm({});
    f.coreFails = true;
    f.dialogs.fileAnswers << f.exchangeFile();
    form->BExportarClick();
    f.coreFails = false;
    form->BImportarClick(); // dialog cancelled: the file chosen for the failed run is used again
    QCOMPARE(f.importCalls, 1);
    QCOMPARE(QString::fromStdString(f.lastExchangeFile.string()), f.exchangeFile());
    QCOMPARE(form->exchangeFilePath(), f.exchangeFile());
}

void MainFormTest::dialogStartsInTheGestaliaFolderWhateverItsCase() {
    Fixture f;
    auto form = f.makeForm({});
    form->BExportarClick(); // no working directory yet: the current folder
    std::filesystem::create_directories(f.dir / "htemp" / "GeStAlIa");
    form->BExportarClick();
    const QString gestalia = QString::fromStdString((f.dir / "htemp" / "GeStAlIa").string());
    QCOMPARE(f.dialogs.shown.value(0), QString("dialog "));
    QCOMPARE(f.dialogs.shown.value(2), "dialog " + gestalia);
}

void MainFormTest::showStartsTheNamedAction_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exports");
    QTest::addColumn<int>("imports");
    QTest::newRow("exportar") << QStringList{"exportar", "0"} << 1 << 0;
    QTest::newRow("EXPORTAR") << QStringList{"EXPORTAR", "0"} << 1 << 0;
    QTest::newRow("Importar") << QStringList{"Importar", "0"} << 0 << 1;
    QTest::newRow("leading blank") << QStringList{" importar", "0"} << 0 << 0;
    QTest::newRow("shortened") << QStringList{"export", "0"} << 0 << 0;
    QTest::newRow("one argument") << QStringList{"exportar"} << 0 << 0;
    QTest::newRow("three arguments") << QStringList{"exportar", "0", "x"} << 0 << 0;
    QTest::newRow("bad handle still runs") << QStringList{"exportar", "0x1"} << 1 << 0;
}

void MainFormTest::showStartsTheNamedAction() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exports);
    QFETCH(int, imports);
    Fixture f;
    f.dialogs.fileAnswers << f.exchangeFile();
    auto form = f.makeForm(arguments);
    form->show(); // FormShow runs once the window is shown
    QTRY_COMPARE(f.exportCalls, exports);
    QTest::qWait(20);
    QCOMPARE(f.exportCalls, exports);
    QCOMPARE(f.importCalls, imports);
    if (exports + imports > 0 && form->automationMode()) {
        QCOMPARE(f.status(), QString("[Transformadores]\r\nTransformado=1\r\n"));
        QVERIFY(!form->isVisible());
    }
}

void MainFormTest::windowHandleArgument_data() {
    QTest::addColumn<QString>("argument");
    QTest::addColumn<qint64>("handle"); // -1: not a valid value
    QTest::newRow("upper") << "1A2B" << qint64(0x1A2B);
    QTest::newRow("lower") << "1a2b" << qint64(0x1A2B);
    QTest::newRow("leading zeros") << "000000001A2B" << qint64(0x1A2B);
    QTest::newRow("largest") << "FFFFFFFF" << qint64(0xFFFFFFFF);
    QTest::newRow("zero") << "0" << qint64(0);
    QTest::newRow("nine digits") << "100000000" << qint64(-1);
    QTest::newRow("prefix") << "0x1A2B" << qint64(-1);
    QTest::newRow("sign") << "-1A" << qint64(-1);
    QTest::newRow("plus") << "+1A" << qint64(-1);
    QTest::newRow("empty") << "" << qint64(-1);
    QTest::newRow("blank") << " " << qint64(-1);
    QTest::newRow("trailing blank") << "1A " << qint64(-1);
    QTest::newRow("not hex") << "1G" << qint64(-1);
}

void MainFormTest::windowHandleArgument() {
    QFETCH(QString, argument);
    QFETCH(qint64, handle);
    const auto parsed = thg::parseWindowHandle(argument);
    QCOMPARE(parsed ? qint64(*parsed) : qint64(-1), handle);
}

void MainFormTest::badHandleLeavesAFramedWindowWithoutAutomation() {
    Fixture f;
    auto form = f.makeForm({"ninguna", "0x1A2B"});
    QCOMPARE(f.dialogs.shown, QStringList{"error '$0x1A2B' no es un valor entero válido."});
    QVERIFY(!form->automationMode());
    QVERIFY(!(form->windowFlags() & Qt::FramelessWindowHint));
    QCOMPARE(form->completionStatus(), 0);
    form->close();
    QCOMPARE(f.status(), QString("none"));
}

void MainFormTest::unwritableStatusKeepsTheWindowOpen() {
    Fixture f;
    // A status file in a folder that does not exist cannot be written.
    const std::filesystem::path nowhere = f.dir / "no" / "Horarix.ini";
    TMForm::Setup broken;
    broken.arguments = QStringList{"ninguna", "0"};
    broken.dialogs = &f.dialogs;
    broken.statusFile = nowhere;
    TMForm unwritable(broken);
    unwritable.show();
    QVERIFY(QTest::qWaitForWindowExposed(&unwritable));
    QSignalSpy closedSpy(&unwritable, &TMForm::closed);
    QVERIFY(!unwritable.close());
    QVERIFY(unwritable.isVisible());
    QCOMPARE(closedSpy.count(), 0);
    QCOMPARE(f.dialogs.shown.last(),
             "error Unable to write to " + QString::fromStdString(nowhere.string()) + ".");
}

void MainFormTest::salirWritesTheStatusInAutomationOnly() {
    for (bool automation : {false, true}) {
        Fixture f;
        auto form = f.makeForm(automation ? QStringList{"ninguna", "0"} : QStringList{});
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QSignalSpy closedSpy(form.get(), &TMForm::closed);
        QTest::mouseClick(form->BClose, Qt::LeftButton);
        QCOMPARE(closedSpy.count(), 1);
        QVERIFY(!form->isVisible());
        QCOMPARE(f.status(),
                 automation ? QString("[Transformadores]\r\nTransformado=0\r\n") : QString("none"));
    }
}

void MainFormTest::boxesSpeakSpanish() {
    thg::installSpanishTranslations();
    struct Seen {
        QString title, text, button;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int buttons = 0;
    } seen;
    auto inspect = [&seen](QMessageBox* box) {
        seen = {box->windowTitle(), box->text(), box->buttons().value(0)->text(), box->icon(),
                int(box->buttons().size())};
        box->buttons().value(0)->click();
    };
    thg::QtDialogs dialogs;
    answerWhenShown<QMessageBox>(inspect);
    dialogs.showMessage(nullptr, "Proceso finalizado");
    QCOMPARE(seen.title, QString("TransHoraxGestalia"));
    QCOMPARE(seen.text, QString("Proceso finalizado"));
    QCOMPARE(seen.icon, QMessageBox::NoIcon);
    QCOMPARE(seen.buttons, 1);
    QCOMPARE(seen.button, QString("Aceptar"));

    answerWhenShown<QMessageBox>(inspect);
    dialogs.showError(nullptr, thg::withFullStop("ASIGT.DBF: no existe"));
    QCOMPARE(seen.title, QString("TransHoraxGestalia"));
    QCOMPARE(seen.text, QString("ASIGT.DBF: no existe."));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QCOMPARE(seen.buttons, 1);

    // The full-stop rule: only after a character whose code is above the full stop's.
    const std::pair<QString, QString> fullStops[] = {
        {"fin", "fin."}, {"fin.", "fin."},      {"fin!", "fin!"}, {"valor 7", "valor 7."},
        {"(x)", "(x)"},  {"camión", "camión."}, {"", ""},         {"x/", "x/."},
        {"x-", "x-"},
    };
    for (const auto& [message, shown] : fullStops)
        QCOMPARE(thg::withFullStop(message), shown);
}

void MainFormTest::fileDialogSettings() {
    TempDir dir;
    struct Seen {
        QString title, directory, suffix, cancel;
        QStringList filters;
        QFileDialog::FileMode mode = QFileDialog::ExistingFile;
    } seen;
    const QString wanted = QString::fromStdString((dir / "elegido.xml").string());
    answerWhenShown<QFileDialog>([&](QFileDialog* dialog) {
        seen = {dialog->windowTitle(),   dialog->directory().absolutePath(),
                dialog->defaultSuffix(), {},
                dialog->nameFilters(),   dialog->fileMode()};
        for (auto* button : dialog->findChildren<QPushButton*>())
            seen.cancel += button->text() + "|";
        // Typed as a person would, then Return.
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->clear();
        QTest::keyClicks(name, wanted);
        QTest::keyClick(name, Qt::Key_Return);
        if (dialog->isVisible()) dialog->reject();
    });
    thg::installSpanishTranslations();
    thg::QtDialogs dialogs;
    const QString chosen = dialogs.openExchangeFile(nullptr, QString::fromStdString(dir.path().string()));
    QCOMPARE(seen.title, QString("Archivo XML"));
    QCOMPARE(seen.directory, QString::fromStdString(dir.path().string()));
    QCOMPARE(seen.filters, QStringList{"*.xml"});
    QCOMPARE(seen.suffix, QString("xml"));
    QCOMPARE(seen.mode, QFileDialog::AnyFile); // a file that does not exist is the run's to report
    QVERIFY2(seen.cancel.contains("Cancelar"), qPrintable(seen.cancel));
    QCOMPARE(chosen, wanted);
}

void MainFormTest::realExportBuildsTheTables() {
    Fixture f;
    thg::test::writeFile(f.dir / "centro.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<SERVICIO><SALIDAS>
  <listasal seq="MATERIAS"><listasal><salida>1</salida><salida>MAT</salida><salida>MATEM</salida><salida>Matemáticas</salida></listasal></listasal>
</SALIDAS></SERVICIO>)");
    TMForm::Setup setup;
    setup.arguments = QStringList{};
    setup.dialogs = &f.dialogs;
    setup.statusFile = f.statusFile();
    TMForm form(setup);
    f.dialogs.fileAnswers << f.exchangeFile();
    form.BExportarClick();
    QCOMPARE(f.dialogs.shown.value(1), QString("message Proceso finalizado"));
    for (const char* table : {"ASIGNOMT", "PROFT", "AULAT", "GRUPOST", "ASIGT", "DIASHORAST"})
        QVERIFY2(std::filesystem::exists(f.dir / "htemp" / (std::string(table) + ".DBF")), table);
}

QTEST_MAIN(MainFormTest)
#include "MainFormTest.moc"
