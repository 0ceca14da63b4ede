#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>

class QEvent;

// The panel's waits, all in the event loop: timers run, windows repaint and
// Esc (the stop key) is served while the panel waits for the device or a
// tool; every other input is held off meanwhile, as a frozen window would.
namespace EventWait {

// Sleeps for `ms` in the event loop.
void sleep(int ms);

// Runs `work` on a thread of its own (a call into the device library that
// may take its time-out) and waits for it in the event loop. `work` must not
// touch the windows or the panel's shared state.
template <class T>
T offThread(const std::function<T()> &work);

// For as long as it lives no click, key, wheel or close reaches the windows
// that were open when it began; a window opened meanwhile (a question)
// takes input as usual. Esc is the exception: it goes to `onEsc` when one is
// given, and otherwise on, to the stop key or to a hold made before this one.
class InputHold : public QObject {
public:
    explicit InputHold(std::function<void()> onEsc = {});
    ~InputHold() override;
    InputHold(const InputHold &) = delete;
    InputHold &operator=(const InputHold &) = delete;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QList<QPointer<QWidget>> held_;
    std::function<void()> onEsc_;
};

// Runs `work` on a thread of its own and waits for it in the event loop.
void runOffThread(const std::function<void()> &work);

template <class T>
T offThread(const std::function<T()> &work)
{
    std::optional<T> result;
    runOffThread([&] { result.emplace(work()); });
    return std::move(*result);
}

}  // namespace EventWait
