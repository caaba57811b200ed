#include "RegistrationLock.h"

#include <QMutex>
#include <QSet>
#include <QWaitCondition>

namespace {
QMutex mutex;
QWaitCondition released;
QSet<QString> taken;
} // namespace

RegistrationLock::RegistrationLock(const QString &registration, bool wait) : m_registration(registration)
{
    QMutexLocker lock(&mutex);
    while (wait && taken.contains(m_registration))
        released.wait(&mutex);
    m_held = !taken.contains(m_registration);
    if (m_held)
        taken.insert(m_registration);
}

RegistrationLock::~RegistrationLock()
{
    if (!m_held)
        return;
    QMutexLocker lock(&mutex);
    taken.remove(m_registration);
    released.wakeAll();
}
