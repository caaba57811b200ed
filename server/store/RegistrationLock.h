#pragma once
// Serialises the synchronizations of one registration inside the server process: a
// second one waits for the first instead of asking the authority for the same pages.
#include <QString>

class RegistrationLock {
public:
    explicit RegistrationLock(const QString &registration);
    ~RegistrationLock();
    RegistrationLock(const RegistrationLock &) = delete;
    RegistrationLock &operator=(const RegistrationLock &) = delete;

private:
    QString m_registration;
};
