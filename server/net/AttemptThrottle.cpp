#include "AttemptThrottle.h"

#include <algorithm>

AttemptThrottle::Entry &AttemptThrottle::entry(const QString &address, qint64 nowMs)
{
    if (nowMs - m_lastSweep >= kWindowMs)
        sweep(nowMs);
    Entry &e = m_entries[address];
    while (!e.failures.isEmpty() && nowMs - e.failures.constFirst() >= kWindowMs)
        e.failures.removeFirst();
    return e;
}

// Addresses that stopped failing are forgotten, so that the table does not grow for good.
void AttemptThrottle::sweep(qint64 nowMs)
{
    m_lastSweep = nowMs;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const bool stale = (it->failures.isEmpty() || nowMs - it->failures.constLast() >= kWindowMs) && it->nextTurn <= nowMs;
        it = stale ? m_entries.erase(it) : std::next(it);
    }
}

qint64 AttemptThrottle::admit(const QString &address, qint64 nowMs)
{
    const auto found = m_entries.constFind(address);
    if (found == m_entries.cend())
        return 0; // the usual case: nothing to remember
    Entry &e = entry(address, nowMs);
    const int over = int(e.failures.size()) - kFreeFailures;
    if (over < 0)
        return 0;
    const qint64 delay = std::min(kMaxDelayMs, kFirstDelayMs << std::min(over, 16));
    const qint64 turn = std::max(nowMs, e.nextTurn) + delay;
    e.nextTurn = turn;
    return turn - nowMs;
}

bool AttemptThrottle::failed(const QString &address, qint64 nowMs)
{
    Entry &e = entry(address, nowMs);
    e.failures.append(nowMs);
    if (e.failures.size() < kFreeFailures || nowMs - e.loggedAt < kWindowMs)
        return false;
    e.loggedAt = nowMs;
    return true;
}

int AttemptThrottle::failures(const QString &address, qint64 nowMs)
{
    if (!m_entries.contains(address))
        return 0;
    return int(entry(address, nowMs).failures.size());
}
