#pragma once
// The service-in-disagreement event (610110) on one CT-e: whether it may be registered
// (the CT-e is the registration's, not cancelled, without one already, the company
// certificate not expired), its sequence number, sending it to the authority, and keeping the event with the answer.
#include "authority/Authority.h"
#include "store/Store.h"

#include <QDateTime>
#include <QVariantList>
#include <functional>

class DisagreementEvent {
public:
    using Clock = std::function<QDateTime()>;
    DisagreementEvent(Store &store, AuthoritySource &authority, Clock clock);

    // The reason as the authority takes it: folded to plain forms (fiscal::plainReason),
    // one line, trimmed; empty with `error` naming the first character the authority refuses.
    static QString reason(const QString &typed, QString &error);
    // Registers the event for the CT-e `key` (valid) of `registration` (normal form) with
    // `reason` (15 to 255 characters). The reply envelope.
    QVariantList record(const QString &key, const QString &registration, const QString &reason);
    // Cancels (610111) the registration's own disagreement still standing on the CT-e
    // `key`, which then returns to the status its other events give it. The reply envelope.
    QVariantList undo(const QString &key, const QString &registration);

private:
    QString ineligible(const QString &key, const QString &registration);
    qint64 kept(const QString &key);
    QString standing(const QString &key, const QString &registration);
    QVariantList send(const evento::Disagreement &d);
    void store(const evento::Disagreement &d, const QByteArray &sent, const QByteArray &answer, const QHash<QString, QString> &v);
    Store &m_store;
    AuthoritySource &m_authority;
    Clock m_clock;
};
