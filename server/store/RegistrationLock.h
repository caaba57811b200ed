#pragma once
// Serialises the synchronizations of one registration inside the server process: a
// second one waits for the first instead of asking the authority for the same pages.
#include <QString>

class RegistrationLock {
public:
    // With `wait` false it gives up at once when another one holds it (see held()).
    explicit RegistrationLock(const QString &registration, bool wait = true);
    ~RegistrationLock();
    bool held() const { return m_held; }
    RegistrationLock(const RegistrationLock &) = delete;
    RegistrationLock &operator=(const RegistrationLock &) = delete;

private:
    QString m_registration;
    bool m_held = true;
};
