#include "StopKey.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

namespace StopKey {

namespace {

constexpr const char *kCovered = "zentaStopKey";

class Filter final : public QObject {
public:
    Filter(QObject *owner, std::function<void()> stop) : QObject(owner), stop_(std::move(stop))
    {
        qApp->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_Escape || key->modifiers() != Qt::NoModifier)
            return false;
        const auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget || !widget->window()->property(kCovered).toBool())
            return false;
        if (event->type() == QEvent::ShortcutOverride) {
            // Claimed as a key press, so no shortcut of the focused control takes it.
            event->accept();
            return true;
        }
        // Holding the key stops once; a refusal box then has the focus anyway.
        if (!key->isAutoRepeat())
            stop_();
        return true;
    }

private:
    std::function<void()> stop_;
};

}  // namespace

void cover(QWidget *window)
{
    window->setProperty(kCovered, true);
}

void install(QObject *owner, std::function<void()> stop)
{
    new Filter(owner, std::move(stop));
}

}  // namespace StopKey
