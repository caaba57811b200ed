#pragma once
// The one way handlers are bound: no exception ever crosses a Qt frame. The silent
// abort ends a handler quietly; every other error reaches the host's error display
// after the handler's own clean-up has run.
#include "ToolkitApi.h"
#include <QObject>
#include <functional>

DFE_TOOLKIT_API void Guard(const std::function<void()> &handler) noexcept;
// The host's top-level error display.
DFE_TOOLKIT_API void ShowException(const std::exception &e) noexcept;

template <class Sender, class Signal, class F>
QMetaObject::Connection Bind(Sender *sender, Signal signal, QObject *context, F handler)
{
    return QObject::connect(sender, signal, context, [handler](auto &&...args) {
        Guard([&] { handler(args...); });
    });
}
