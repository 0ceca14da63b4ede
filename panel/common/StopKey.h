#pragma once

#include <functional>

class QObject;
class QWidget;

// Esc stops the axis from any of the panel's own windows, whatever control
// has the focus there. Message boxes, file dialogs and popups are not ours:
// Esc keeps cancelling them.
namespace StopKey {

// From now on Esc in `window` stops the axis instead of anything else it
// would do there (a dialog would close).
void cover(QWidget *window);

// Serves covered windows with `stop` for as long as `owner` lives.
void install(QObject *owner, std::function<void()> stop);

}  // namespace StopKey
