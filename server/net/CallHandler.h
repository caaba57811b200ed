#pragma once
// What the network side asks of the application. It knows frames and callers; the
// handler knows what a call means. Every method may run on several workers at once.
#include "Caller.h"
#include "Frame.h"

#include <QString>
#include <optional>

class CallHandler {
public:
    virtual ~CallHandler() = default;
    // Before anything binds: false, with `error` for the operator, stops the start.
    virtual bool open(QString &error) = 0;
    // The reply to one decoded call. May throw: the call is then answered as invalid.
    // Frames given to `early` go out at once, in order, before the reply (a reply
    // marked sent has gone out that way whole).
    virtual wire::Reply handle(const wire::Request &request, const Caller &caller, const wire::FrameSink &early) = 0;
    // The name tied to a token's secret, or nothing; `failure` says why when the
    // secret could not be looked up at all.
    virtual std::optional<QString> tokenName(const QString &secret, QString &failure) = 0;
    // The reply in a few words, for the call's log line.
    virtual QString outcome(const wire::Reply &reply) const
    {
        return reply.ok ? QStringLiteral("ok") : QStringLiteral("erro: ") + reply.error;
    }
};
