#pragma once
// Request bytes the server holds, counted as they arrive: across all connections, per
// caller and per connection. A frame's announced length reserves nothing, so a few
// connections announcing large frames cannot starve the others. Thread-safe: bytes are
// taken on the I/O thread and given back on the workers.
#include <QHash>
#include <QString>
#include <mutex>

class ByteBudget {
public:
    enum class Refusal { None, Total, Caller, Connection };
    ByteBudget(qint64 total, qint64 perCaller, qint64 perConnection);
    // Takes `bytes` for `caller` on a connection that already holds `held`.
    Refusal take(const QString &caller, qint64 held, qint64 bytes);
    void give(const QString &caller, qint64 bytes);
    qint64 inUse() const;
    qint64 heldBy(const QString &caller) const;
    qint64 total() const { return m_total; }
    qint64 perCaller() const { return m_perCaller; }
    qint64 perConnection() const { return m_perConnection; }

private:
    const qint64 m_total, m_perCaller, m_perConnection;
    mutable std::mutex m_mutex;
    qint64 m_used = 0;
    QHash<QString, qint64> m_byCaller;
};
