#include "EventWait.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QTimer>

#include <thread>

namespace EventWait {

void sleep(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(std::max(ms, 0), &loop, &QEventLoop::quit);
    loop.exec();
}

void runOffThread(const std::function<void()> &work)
{
    QEventLoop loop;
    std::thread thread([&] {
        work();
        // Taken up inside exec() below, however deeply a message box opened
        // from a timer meanwhile nests its own loop in it.
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    thread.join();
}

InputHold::InputHold(std::function<void()> onEsc) : onEsc_(std::move(onEsc))
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible())
            held_ << w;
    qApp->installEventFilter(this);
}

InputHold::~InputHold()
{
    qApp->removeEventFilter(this);
}

bool InputHold::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::Close:
        break;
    default:
        return false;
    }
    const auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget)
        return false;
    const QWidget *window = widget->window();
    bool held = false;
    for (const QPointer<QWidget> &w : std::as_const(held_))
        held = held || w == window;
    if (!held)
        return false;
    if (event->type() == QEvent::Close)
        return event->spontaneous();  // the window manager's close waits; the program's own goes on
    const bool key = event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease ||
                     event->type() == QEvent::ShortcutOverride;
    if (key) {
        const auto *k = static_cast<QKeyEvent *>(event);
        if (k->key() == Qt::Key_Escape && k->modifiers() == Qt::NoModifier) {
            if (!onEsc_)
                return false;
            if (event->type() == QEvent::ShortcutOverride)
                event->accept();
            else if (event->type() == QEvent::KeyPress && !k->isAutoRepeat())
                onEsc_();
            return true;
        }
    }
    if (event->type() == QEvent::ShortcutOverride)
        event->accept();  // taken as a key press, which is held: no shortcut fires
    return true;
}

}  // namespace EventWait
