// Drives a modal window from inside its own exec(): the body runs once the
// window is up, and the window is closed afterwards even when a check in the
// body failed, so a failing test never hangs in the nested event loop.
#pragma once

#include <QApplication>
#include <QDialog>
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
// Returns whether the body ran at all.
template <typename Window>
bool runWhileOpen(const std::function<void()> &open, const std::function<void(Window *)> &body)
{
    bool ran = false;
    QTimer::singleShot(0, [&] {
        QPointer<Window> window = openModalWindow<Window>();
        if (!window) {
            if (QWidget *other = QApplication::activeModalWidget())
                other->close();
            return;
        }
        ran = true;
        body(window);
        if (window && window->isVisible())
            window->close();
    });
    open();
    return ran;
}
