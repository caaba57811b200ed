#include "RegistrationLock.h"

#include <QMutex>
#include <QSet>
#include <QWaitCondition>

namespace {
QMutex mutex;
QWaitCondition released;
QSet<QString> held;
} // namespace

RegistrationLock::RegistrationLock(const QString &registration) : m_registration(registration)
{
    QMutexLocker lock(&mutex);
    while (held.contains(m_registration))
        released.wait(&mutex);
    held.insert(m_registration);
}

RegistrationLock::~RegistrationLock()
{
    QMutexLocker lock(&mutex);
    held.remove(m_registration);
    released.wakeAll();
}
