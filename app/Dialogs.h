#pragma once

#include <QString>

class QWidget;

namespace thg {

// What the main window asks of the user: the exchange file and the acknowledgement of its boxes.
// The window talks to the user only through this interface, so that a test can answer in its place.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // Asks for the exchange file, starting in `initialDir` (empty: the current folder). Returns the
    // chosen file's full path, or an empty text when the user cancels.
    virtual QString openExchangeFile(QWidget* parent, const QString& initialDir) = 0;

    // The plain message box: application title, no icon, one button "Aceptar"; waits for the user.
    virtual void showMessage(QWidget* parent, const QString& text) = 0;

    // The error box: application title, error icon, one button "Aceptar"; `text` is shown as given.
    virtual void showError(QWidget* parent, const QString& text) = 0;
};

// The real dialogs, drawn by Qt.
class QtDialogs : public Dialogs {
public:
    QString openExchangeFile(QWidget* parent, const QString& initialDir) override;
    void showMessage(QWidget* parent, const QString& text) override;
    void showError(QWidget* parent, const QString& text) override;
};

// The application title: the caption of every box.
inline const QString applicationTitle = QStringLiteral("TransHoraxGestalia");

// Loads Qt's Spanish translations, so that the framework's own texts (the file dialog's buttons and
// labels) speak Spanish like the system's. Returns whether they were found.
bool installSpanishTranslations();

// An error message as the error box shows it: a full stop is added when the last character's code is
// above that of the full stop (a letter or a digit, say), so "x: no existe" and "fin." read alike.
QString withFullStop(const QString& message);

} // namespace thg
