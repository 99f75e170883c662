#include <cstdlib>
#include <cstring>

#include <QApplication>

#include "app/Dialogs.h"
#include "app/MainForm.h"

namespace {

// A window handle on the command line is an X11 window id: only the xcb platform can embed our
// window in it (Wayland, say, cannot). A window-less platform chosen on purpose (a test's
// "offscreen") is respected.
void chooseWindowSystem(int argc) {
#if defined(Q_OS_LINUX)
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    const bool windowless =
        chosen && (std::strcmp(chosen, "offscreen") == 0 || std::strcmp(chosen, "minimal") == 0);
    if (argc == 3 && !windowless) qputenv("QT_QPA_PLATFORM", "xcb");
#else
    (void)argc;
#endif
}

} // namespace

int main(int argc, char* argv[]) {
    chooseWindowSystem(argc);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TransHoraxGestalia"));
    QApplication::setApplicationDisplayName(QString());
    // The main window may live inside another program's window; the end of the application is
    // decided by the window's own close, not by Qt's count of top-level windows.
    QApplication::setQuitOnLastWindowClosed(false);

    thg::installSpanishTranslations();

    thg::TMForm form;
    // QCoreApplication::quit() asks every window whether it may close, and a foreign parent window
    // never agrees; exit() ends the event loop unconditionally. Queued, so that a close made while
    // the window is first shown still ends the loop once it runs.
    QObject::connect(
        &form, &thg::TMForm::closed, &application, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    QObject::connect(
        &form, &thg::TMForm::parentDestroyed, &application, [] { QCoreApplication::exit(0); },
        Qt::QueuedConnection);
    form.show();
    return application.exec();
}
