// SIGTERM and SIGINT for a Qt program: a session's logout or a script ends
// it as its window's close button would, never in the middle of a handler.
#pragma once

#include <QSocketNotifier>

#include <functional>
#include <memory>

// From now on each SIGTERM or SIGINT calls onSignal from the event loop.
// None when the pipe could not be made (the signals then end the program).
std::unique_ptr<QSocketNotifier> CatchCloseSignals(std::function<void()> onSignal);
