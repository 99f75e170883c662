#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include <QStringList>
#include <QWidget>

class QLabel;
class QPushButton;
class QTimer;

namespace thg {

class Dialogs;
class GradientPanel;
class HelpViewer;

// The one window: the two directions side by side, each a bold text above its "Aceptar" button, and
// below them "Salir", "F1 AYUDA" and the edition line. Started by the timetable program with an
// action and its window handle, it shows itself inside that window, runs the action at once, closes
// itself when the run is over and leaves the completion status in Horarix.ini.
class TMForm : public QWidget {
    Q_OBJECT
public:
    using ExportRun =
        std::function<void(const std::filesystem::path& exchangeFile, const std::filesystem::path& workDir)>;
    using ImportRun = std::function<std::filesystem::path(const std::filesystem::path& exchangeFile,
                                                          const std::filesystem::path& workDir)>;

    // What the window works with. Left empty, each part takes its real value: the command line of
    // the process, Qt's dialogs, Horarix.ini and GESTALIA.chm beside the executable, and the cores.
    struct Setup {
        std::optional<QStringList> arguments; // the arguments after the program name
        Dialogs* dialogs = nullptr;           // not owned
        std::filesystem::path statusFile;
        std::filesystem::path helpFile;
        ExportRun exportRun;
        ImportRun importRun;
    };

    // Builds the window and runs FormCreate.
    TMForm();
    explicit TMForm(Setup setup);
    ~TMForm() override;

    // Status 0; with exactly two arguments, the window embedded in the caller's window (argument 2,
    // hexadecimal) without a frame, and automation mode on.
    void FormCreate();
    // With exactly two arguments, runs the action of argument 1 ("importar", "exportar", any case).
    void FormShow();
    // In automation mode writes the completion status; false (and an error box) when it cannot,
    // in which case the window must stay open.
    bool FormClose();
    // The administration-to-timetable run: asks for the exchange file and rebuilds the working tables.
    void BExportarClick();
    // The timetable-to-administration run: asks for the exchange file and writes its result file.
    void BImportarClick();
    // Opens the help file at its table of contents.
    void Button1Click();

    int completionStatus() const { return completionStatus_; }
    bool automationMode() const { return automationMode_ == 2; }
    QString exchangeFilePath() const { return exchangeFilePath_; }
    HelpViewer* helpViewer() const { return help_; }

    // The window's parts, named as the timetable program's users and its help know them.
    GradientPanel* Draw3D1 = nullptr;
    GradientPanel* Draw3D2 = nullptr;
    GradientPanel* Draw3D3 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* BExportar = nullptr;
    QPushButton* BImportar = nullptr;
    QPushButton* BClose = nullptr;
    QPushButton* Button1 = nullptr;

signals:
    // The window has closed (its status written): the application should end.
    void closed();
    // The caller's window that held ours is gone: the application should end without more ado.
    void parentDestroyed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildWindow();
    void embedIn(WId parent);
    void followParent();
    void showHelpForFocus();
    QString askForExchangeFile();
    void tell(const QString& text);
    void complain(const QString& text);
    bool exchangeFileExists() const;
    void runTransformation(const ExportRun& run, int noFileStatus);
    void finishRun();

    Setup setup_;
    std::unique_ptr<Dialogs> ownDialogs_;
    Dialogs* dialogs_ = nullptr;
    HelpViewer* help_ = nullptr;
    QStringList arguments_;
    QString exchangeFilePath_;
    int completionStatus_ = 0;
    int automationMode_ = 0;
    WId parentHandle_ = 0;
    QTimer* parentWatch_ = nullptr;
    bool shownOnce_ = false;
    bool ending_ = false;
};

// The one form of the process, set while it exists.
extern TMForm* MForm;

// Argument 2 of an automation start read as "$" followed by it: one or more hexadecimal digits,
// leading zeros allowed, at most FFFFFFFF. Nothing for anything else (empty, blanks, a sign, "0x").
std::optional<quint32> parseWindowHandle(const QString& argument);

} // namespace thg
