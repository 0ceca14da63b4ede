// Drives a modal window from inside its own exec(): the body runs once the
// window is up, and the window is closed afterwards even when a check in the
// body failed, so a failing test never hangs in the nested event loop.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <functional>

template <typename Window>
Window *openModalWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *window = qobject_cast<Window *>(w); window && window->isVisible())
            return window;
    return nullptr;
}

// `open` starts the modal window (a button click); `body` gets the window.
// Returns whether the body ran at all. The window may come late (`open` may
// run its own event loops first): it is looked for until it shows. One that
// has not shown within `waitMs` does not get the body, and any modal window
// still in the way after that is closed, so `open` always returns.
template <typename Window>
bool runWhileOpen(const std::function<void()> &open, const std::function<void(Window *)> &body, int waitMs = 10000)
{
    bool ran = false;
    bool busy = false;
    QElapsedTimer clock;
    clock.start();
    QTimer look;
    look.setInterval(5);
    auto check = [&] {
        if (busy)
            return;  // the body runs its own event loop
        if (!ran && clock.elapsed() <= waitMs) {
            QPointer<Window> window = openModalWindow<Window>();
            if (!window)
                return;
            ran = busy = true;
            body(window);
            busy = false;
            if (window && window->isVisible())
                window->close();
            return;
        }
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    };
    // The first look comes at the first turn of the event loop, before any
    // timer of the window itself; the later ones catch a late window.
    QTimer::singleShot(0, &look, check);
    QObject::connect(&look, &QTimer::timeout, check);
    look.start();
    open();
    return ran;
}
