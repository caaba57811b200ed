#pragma once
// The registrations the server captures on its own, and when each one's next run is due.
// The next time follows the authority's last answer, so the schedule never queries
// faster than the authority allows:
//  - 137 or 656 (or an hour not yet over): when the hour ends, plus a margin;
//  - the cursor reached maxNSU: one hour later, plus the margin;
//  - 138 with more to fetch: at once;
//  - a failure of the network or the authority: one minute, doubling up to one hour;
//  - another run holding the registration: one minute later.
#include "Synchronization.h"
#include "store/Store.h"

#include <QDateTime>
#include <QList>
#include <optional>

namespace capture {

constexpr int kMarginSeconds = 120;
constexpr int kFirstBackoffSeconds = 60;
constexpr int kMaxBackoffSeconds = 3600;

struct Entry {
    QString registration;
    QString uf; // empty: the server's --uf
    QDateTime next;
    int failures = 0;
    QDateTime last;  // the last run's start, invalid before the first
    QString result;  // its answer
};

struct Next {
    QDateTime at;
    int failures = 0;
};
Next after(const Synchronization::Result &r, const QDateTime &now, int failures);

// Adds (or changes the state of) a registration, due at once; false when it was there.
bool add(Store &store, const QString &registration, const QString &uf, const QDateTime &now);
bool remove(Store &store, const QString &registration);
QList<Entry> list(Store &store);
QList<Entry> due(Store &store, const QDateTime &now);
std::optional<QDateTime> earliest(Store &store);
// What a run that started at `started` ended with, and when the next one is due.
void record(Store &store, const QString &registration, const QDateTime &started, const QString &result, const Next &next);

} // namespace capture
