#pragma once
// The log of every call to the authority's distribution service, kept for a number of
// days: what was asked, what came back and how long it took.
#include "Store.h"

#include <QDateTime>

namespace synclog {

struct Entry {
    QDateTime at;
    QString registration;
    QString query; // "distNSU" (from the cursor) or "consNSU" (one NSU)
    QString nsu;   // the cursor sent, or the NSU asked for
    QString cStat, xMotivo, ultNSU, maxNSU;
    int documents = 0;
    qint64 durationMs = 0;
    QString origin; // "MANUAL", "AGENDADA", ...
};

// Best effort: a log that cannot be written never ends a synchronization.
void record(Store &store, const Entry &e) noexcept;
// Drops the entries older than `before`; returns how many.
int purge(Store &store, const QDateTime &before);
// The entries of a registration since `from`, oldest first.
QList<Entry> since(Store &store, const QString &registration, const QDateTime &from);

} // namespace synclog
