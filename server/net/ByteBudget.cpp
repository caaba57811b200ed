#include "ByteBudget.h"

ByteBudget::ByteBudget(qint64 total, qint64 perCaller, qint64 perConnection)
    : m_total(total), m_perCaller(perCaller), m_perConnection(perConnection)
{
}

ByteBudget::Refusal ByteBudget::take(const QString &caller, qint64 held, qint64 bytes)
{
    if (held + bytes > m_perConnection)
        return Refusal::Connection;
    std::lock_guard lock(m_mutex);
    if (m_used + bytes > m_total)
        return Refusal::Total;
    qint64 &mine = m_byCaller[caller];
    if (mine + bytes > m_perCaller) {
        if (mine == 0)
            m_byCaller.remove(caller);
        return Refusal::Caller;
    }
    mine += bytes;
    m_used += bytes;
    return Refusal::None;
}

void ByteBudget::give(const QString &caller, qint64 bytes)
{
    if (bytes <= 0)
        return;
    std::lock_guard lock(m_mutex);
    m_used -= bytes;
    auto it = m_byCaller.find(caller);
    if (it == m_byCaller.end())
        return;
    *it -= bytes;
    if (*it <= 0)
        m_byCaller.erase(it); // a table of every address ever seen would only grow
}

qint64 ByteBudget::inUse() const
{
    std::lock_guard lock(m_mutex);
    return m_used;
}

qint64 ByteBudget::heldBy(const QString &caller) const
{
    std::lock_guard lock(m_mutex);
    return m_byCaller.value(caller);
}
