#pragma once
// Slows down guessing of tokens: after a few refused first frames from one address
// within a minute, each further attempt from it waits, longer each time, one after the
// other (parallel connections do not multiply the rate). Other addresses are not
// touched. Used on the I/O thread only; times are milliseconds of a steady clock.
#include <QHash>
#include <QList>
#include <QString>

class AttemptThrottle {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr qint64 kWindowMs = 60 * 1000;
    static constexpr qint64 kFirstDelayMs = 1000;
    static constexpr qint64 kMaxDelayMs = 30 * 1000;

    // How long the first frame of a connection from `address` waits before it is looked at.
    qint64 admit(const QString &address, qint64 nowMs);
    // A refused first frame from `address`; true when the log should say the address is
    // slowed down (once a minute per address).
    bool failed(const QString &address, qint64 nowMs);
    // Refusals from `address` in the last minute.
    int failures(const QString &address, qint64 nowMs);

private:
    struct Entry {
        QList<qint64> failures; // times within the window, oldest first
        qint64 nextTurn = 0;    // when the next attempt may be looked at
        qint64 loggedAt = -kWindowMs;
    };
    Entry &entry(const QString &address, qint64 nowMs);
    void sweep(qint64 nowMs);
    QHash<QString, Entry> m_entries;
    qint64 m_lastSweep = 0;
};
