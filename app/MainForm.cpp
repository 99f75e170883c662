#include "app/MainForm.h"

#include <algorithm>
#include <string>

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QWindow>

#include "app/Dialogs.h"
#include "app/ForeignWindow.h"
#include "app/GradientPanel.h"
#include "app/Glyphs.h"
#include "app/HelpViewer.h"
#include "app/IniFile.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/WorkDir.h"
#include "to_administration/ImportRun.h"
#include "to_timetable/ExportRun.h"

namespace thg {

TMForm* MForm = nullptr;

namespace {

const char* const helpContextProperty = "helpContext";
constexpr int mainHelpContext = 1;
constexpr int parentWatchMilliseconds = 500;

// The window was laid out in pixels at 96 dots per inch; fonts are sized in pixels to match, so
// that the texts fit their places whatever the screen's resolution: Arial 12 point is 16 pixels,
// MS Sans Serif 8 point 11 pixels.
QFont arialBold12() {
    QFont font;
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
    font.setPixelSize(16);
    font.setBold(true);
    return font;
}

QFont msSansSerif8() {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans")});
    font.setPixelSize(11);
    return font;
}

QLabel* makeLabel(QWidget* parent, const QString& text, const QRect& geometry, const QFont& font) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(geometry);
    label->setFont(font);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setAttribute(Qt::WA_TranslucentBackground);
    return label;
}

QPushButton* makeButton(QWidget* parent, const QString& text, const QRect& geometry, const QIcon& glyph) {
    auto* button = new QPushButton(glyph, text, parent);
    button->setGeometry(geometry);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setAutoDefault(true); // Return presses the focused button, as on Windows
    return button;
}

// The hourglass while a run works; the previous cursor comes back however the run ends.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

std::filesystem::path besideExecutable(const char* name) {
    return std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / name;
}

// The folder `name` in `dir`, its name matched without regard to letter case: the timetable
// program's folders were made on Windows, where "Gestalia" and "GESTALIA" are the same.
std::optional<std::filesystem::path> findFolderIgnoringCase(const std::filesystem::path& dir,
                                                            const QString& name) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error))
        if (entry.is_directory(error) && QString::fromStdU16String(entry.path().filename().u16string())
                                                 .compare(name, Qt::CaseInsensitive) == 0)
            return entry.path();
    return std::nullopt;
}

std::filesystem::path toPath(const QString& text) {
    return std::filesystem::path(text.toStdU16String());
}

} // namespace

std::optional<quint32> parseWindowHandle(const QString& argument) {
    if (argument.isEmpty()) return std::nullopt;
    quint64 value = 0;
    for (const QChar c : argument) {
        const int digit = c >= u'0' && c <= u'9'   ? c.unicode() - u'0'
                          : c >= u'A' && c <= u'F' ? c.unicode() - u'A' + 10
                          : c >= u'a' && c <= u'f' ? c.unicode() - u'a' + 10
                                                   : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + quint64(digit);
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return quint32(value);
}

TMForm::TMForm() : TMForm(Setup{}) {}

TMForm::TMForm(Setup setup) : setup_(std::move(setup)) {
    MForm = this;
    dialogs_ = setup_.dialogs;
    if (!dialogs_) {
        ownDialogs_ = std::make_unique<QtDialogs>();
        dialogs_ = ownDialogs_.get();
    }
    if (setup_.statusFile.empty()) setup_.statusFile = besideExecutable("Horarix.ini");
    if (setup_.helpFile.empty()) {
        const auto dir = besideExecutable("");
        setup_.helpFile = findFileIgnoringCase(dir, "GESTALIA.chm").value_or(dir / "GESTALIA.chm");
    }
    if (!setup_.exportRun) setup_.exportRun = exportToTimetable;
    if (!setup_.importRun) setup_.importRun = importFromTimetable;
    if (setup_.arguments)
        arguments_ = *setup_.arguments;
    else
        arguments_ = QCoreApplication::arguments().mid(1);

    help_ = new HelpViewer(setup_.helpFile, this);
    buildWindow();
    FormCreate();
}

TMForm::~TMForm() {
    if (MForm == this) MForm = nullptr;
}

void TMForm::buildWindow() {
    setWindowTitle(QStringLiteral("Exportar e importar datos entre Horarix y Gestalia "));
    setFixedSize(632, 266);
    setFont(msSansSerif8());
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);
    setProperty(helpContextProperty, mainHelpContext);

    const QColor white(255, 255, 255);
    Draw3D1 = new GradientPanel(QColor(194, 205, 254), QColor(207, 242, 254), QColor(204, 216, 230), this);
    Draw3D1->setGeometry(0, 168, 633, 97);
    Draw3D2 = new GradientPanel(QColor(249, 211, 125), white, QColor(255, 238, 221), this);
    Draw3D2->setGeometry(1, 0, 315, 169);
    Draw3D3 = new GradientPanel(QColor(249, 211, 125), white, QColor(255, 238, 221), this);
    Draw3D3->setGeometry(316, 0, 317, 169);
    for (QWidget* panel :
         {static_cast<QWidget*>(Draw3D1), static_cast<QWidget*>(Draw3D2), static_cast<QWidget*>(Draw3D3)})
        panel->setProperty(helpContextProperty, mainHelpContext);

    Label3 = makeLabel(Draw3D2, QStringLiteral("Transformar datos desde Gestalia hacia Horarix "),
                       QRect(24, 24, 265, 57), arialBold12());
    Label3->setWordWrap(true);
    Label4 = makeLabel(Draw3D3, QStringLiteral("Transformar datos desde Horarix hacia Gestalia"),
                       QRect(8, 24, 305, 57), arialBold12());
    Label4->setWordWrap(true);
    QFont edition = msSansSerif8();
    edition.setBold(true);
    Label1 = makeLabel(Draw3D1, QStringLiteral("TransHorarixGestalia para RZ24 V-1.0"), QRect(8, 72, 230, 13),
                       edition);
    QPalette red = Label1->palette();
    red.setColor(QPalette::WindowText, QColor(255, 0, 0));
    Label1->setPalette(red);

    BExportar = makeButton(Draw3D2, QStringLiteral("Aceptar"), QRect(96, 120, 89, 25), checkGlyph());
    BImportar = makeButton(Draw3D3, QStringLiteral("Aceptar"), QRect(96, 120, 89, 25), checkGlyph());
    BClose = makeButton(Draw3D1, QStringLiteral("&Salir"), QRect(256, 32, 89, 25), doorGlyph());
    Button1 = makeButton(Draw3D1, QStringLiteral("F1 AYUDA"), QRect(264, 63, 75, 18), QIcon());
    BExportar->setDefault(true);
    BImportar->setDefault(true);
    for (QPushButton* button : {BExportar, BImportar, BClose})
        button->setProperty(helpContextProperty, mainHelpContext);

    setTabOrder(BClose, Button1);
    setTabOrder(Button1, BExportar);
    setTabOrder(BExportar, BImportar);

    connect(BExportar, &QPushButton::clicked, this, &TMForm::BExportarClick);
    connect(BImportar, &QPushButton::clicked, this, &TMForm::BImportarClick);
    connect(BClose, &QPushButton::clicked, this, &QWidget::close);
    connect(Button1, &QPushButton::clicked, this, &TMForm::Button1Click);
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    f1->setContext(Qt::WindowShortcut);
    connect(f1, &QShortcut::activated, this, &TMForm::showHelpForFocus);
}

void TMForm::FormCreate() {
    completionStatus_ = 0;
    if (arguments_.size() != 2) return;
    const QString handleText = QStringLiteral("$") + arguments_.at(1);
    const auto handle = parseWindowHandle(arguments_.at(1));
    if (!handle) {
        complain(withFullStop(QStringLiteral("'%1' no es un valor entero válido").arg(handleText)));
        return;
    }
    if (*handle != 0 && !foreignWindow::exists(WId(*handle))) {
        complain(withFullStop(QStringLiteral("Ventana %1: no existe").arg(handleText)));
        return;
    }
    // The frame goes and the parent is set before the window is first shown; otherwise it would
    // flash as a top-level window before moving into the caller's window.
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    if (*handle != 0) embedIn(WId(*handle));
    automationMode_ = int(arguments_.size());
}

void TMForm::embedIn(WId parent) {
    QWindow* host = QWindow::fromWinId(parent);
    if (!host) {
        complain(withFullStop(
            QStringLiteral("Ventana $%1: no existe").arg(QString::number(parent, 16).toUpper())));
        setWindowFlags(Qt::Window);
        return;
    }
    parentHandle_ = parent;
    setAttribute(Qt::WA_NativeWindow);
    winId();
    windowHandle()->setParent(host);
    parentWatch_ = new QTimer(this);
    parentWatch_->setInterval(parentWatchMilliseconds);
    connect(parentWatch_, &QTimer::timeout, this, &TMForm::followParent);
    parentWatch_->start();
}

// The caller's window reports neither its size nor its resizing to Qt: ask the window system, keep
// ours centred in it, and end when it is gone (ours went with it).
void TMForm::followParent() {
    const auto size = foreignWindow::size(parentHandle_);
    if (!size) {
        ending_ = true;
        parentWatch_->stop();
        emit parentDestroyed();
        return;
    }
    const QPoint place(std::max(0, (size->width() - width()) / 2),
                       std::max(0, (size->height() - height()) / 2));
    if (pos() != place) move(place);
}

void TMForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    if (parentHandle_ != 0) {
        followParent();
    } else if (QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    // The run starts once the window is on its way to the screen, so that its dialogs have a window
    // to stand over.
    QTimer::singleShot(0, this, &TMForm::FormShow);
}

void TMForm::FormShow() {
    if (arguments_.size() != 2) return;
    const QString action = arguments_.at(0);
    QString lower = action;
    for (QChar& c : lower)
        if (c >= u'A' && c <= u'Z') c = QChar(c.unicode() - u'A' + u'a');
    if (lower == QLatin1String("importar")) BImportarClick();
    if (lower == QLatin1String("exportar")) BExportarClick();
}

bool TMForm::FormClose() {
    if (!automationMode() || ending_) return true;
    try {
        ini::writeValue(setup_.statusFile, "Transformadores", "Transformado",
                        std::to_string(completionStatus_));
    } catch (const std::exception& error) {
        complain(withFullStop(QString::fromUtf8(error.what())));
        return false;
    }
    return true;
}

void TMForm::closeEvent(QCloseEvent* event) {
    if (!FormClose()) {
        event->ignore();
        return;
    }
    event->accept();
    if (help_) help_->close();
    emit closed();
}

void TMForm::keyPressEvent(QKeyEvent* event) {
    // The two "Aceptar" buttons are the window's default buttons: Return that no control took
    // presses the first one still enabled.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        for (QPushButton* button : {BExportar, BImportar})
            if (button->isEnabled()) {
                button->animateClick();
                return;
            }
    }
    QWidget::keyPressEvent(event);
}

QString TMForm::askForExchangeFile() {
    if (ending_) return {};
    QString initialDir;
    const std::filesystem::path workDir = workingDirectory();
    std::error_code error;
    if (const auto gestalia = findFolderIgnoringCase(workDir, QStringLiteral("gestalia")))
        initialDir = QString::fromStdU16String(gestalia->u16string());
    else if (std::filesystem::is_directory(workDir, error))
        initialDir = QString::fromStdU16String(workDir.u16string());
    return dialogs_->openExchangeFile(this, initialDir);
}

void TMForm::tell(const QString& text) {
    if (!ending_) dialogs_->showMessage(isVisible() ? this : nullptr, text);
}

void TMForm::complain(const QString& text) {
    if (!ending_) dialogs_->showError(isVisible() ? this : nullptr, text);
}

bool TMForm::exchangeFileExists() const {
    std::error_code error;
    return !exchangeFilePath_.isEmpty() && std::filesystem::is_regular_file(toPath(exchangeFilePath_), error);
}

void TMForm::finishRun() {
    completionStatus_ = 1;
    tell(QStringLiteral("Proceso finalizado"));
    BExportar->setEnabled(false);
    BImportar->setEnabled(false);
    if (automationMode()) close();
}

void TMForm::BExportarClick() {
    // The exchange file is loaded inside the run, so the hourglass covers the loading too.
    runTransformation([this](const auto& file, const auto& workDir) { setup_.exportRun(file, workDir); }, -1);
}

void TMForm::BImportarClick() {
    runTransformation([this](const auto& file, const auto& workDir) { setup_.importRun(file, workDir); }, 0);
}

// What both transformation buttons do: pick the exchange file, run one direction under the hourglass,
// tell the outcome. Without a file, automation reports `noFileStatus` to the timetable program: -1
// for an export, 0 for an import.
void TMForm::runTransformation(const ExportRun& run, int noFileStatus) {
    if (const QString chosen = askForExchangeFile(); !chosen.isEmpty()) exchangeFilePath_ = chosen;
    if (!exchangeFileExists()) {
        tell(QStringLiteral("No existe archivo"));
        if (automationMode()) {
            completionStatus_ = noFileStatus;
            close();
        }
        return;
    }
    try {
        BusyCursor busy;
        run(toPath(exchangeFilePath_), workingDirectory());
    } catch (const std::exception& error) {
        complain(withFullStop(QString::fromUtf8(error.what())));
        return;
    }
    finishRun();
}

void TMForm::Button1Click() {
    help_->showContents();
}

void TMForm::showHelpForFocus() {
    // The focused control's help context, or that of the nearest enclosing control that has one.
    for (QWidget* widget = focusWidget() ? focusWidget() : this; widget; widget = widget->parentWidget()) {
        const QVariant context = widget->property(helpContextProperty);
        if (context.isValid()) {
            help_->showContext(context.toUInt());
            return;
        }
        if (widget == this) break;
    }
}

} // namespace thg
