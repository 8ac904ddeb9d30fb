#pragma once

#include <QString>
#include <concepts>
#include <functional>
#include <utility>

// The standard error report: an exception that a handler lets escape is shown
// to the user and the program goes on. Exceptions never travel through the Qt
// event loop, so every handler the window connects runs through guarded().
namespace errorreport {

using Reporter = std::function<void(const QString& message)>;

// Replaces the way errors are shown (a modal message box by default) and
// returns the previous reporter. An empty reporter restores the message box.
Reporter setReporter(Reporter reporter);

// Shows one error message through the current reporter.
void report(const QString& message);

// Runs fn; an exception it throws is reported. Returns whether fn completed.
bool runGuarded(const std::function<void()>& fn);

// Wraps a handler for QObject::connect so that its exceptions are reported
// where they arise instead of unwinding into the event loop.
template <typename F> auto guarded(F handler) {
    return [handler =
                std::move(handler)](auto&&... args) requires std::invocable<const F&, decltype(args)...> {
        runGuarded([&] { std::invoke(handler, std::forward<decltype(args)>(args)...); });
    };
}

} // namespace errorreport
