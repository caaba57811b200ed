#pragma once
// One synchronization of a registration with the authority's distribution service.
// The authority's rules that keep the CNPJ from being blocked live here:
//  - after "137 - nothing new" or "656 - misuse" no query for that registration within
//    the hour (the hold-off, kept in the store);
//  - NSUs below the cursor that the store lacks are asked one by one (consNSU), at most
//    kGapRepairPerRun per synchronization;
//  - then pages from the cursor (distNSU) while ultNSU < maxNSU; each page, its
//    documents, its empty NSUs and the new cursor are written in one transaction;
//  - one synchronization per registration at a time, across threads and servers, with
//    locks that die with their process; a run that finds a scheduled one holding the
//    registration is answered at once with its start time;
//  - every query is logged (store/SyncLog).
#include "DocumentIntake.h"
#include "authority/Authority.h"
#include "authority/DistMessages.h"
#include "store/Store.h"
#include "store/SyncState.h"

#include <QDateTime>
#include <QVariantList>
#include <functional>
#include <optional>

class Synchronization {
public:
    using Clock = std::function<QDateTime()>;
    // consNSU calls per synchronization: each counts against the authority's limits.
    static constexpr int kGapRepairPerRun = 20;
    // The origin of the capture schedule's runs.
    static inline const QString kScheduled = QStringLiteral("AGENDADA");

    // How a run ended, for the capture schedule.
    enum class Ending {
        Done,    // the cursor reached maxNSU
        More,    // stopped with more to fetch
        HeldOff, // 137 or 656 now, or an earlier one's hour not over: see heldUntil
        Failed,  // the network, the authority or its answer failed
        Busy,    // another run holds the registration
    };
    struct Result {
        Ending ending = Ending::Failed;
        QDateTime heldUntil;
    };

    Synchronization(Store &store, AuthoritySource &authority, QString ufAutor, Clock clock);
    // Synchronizes `registration` (a valid CNPJ or CPF, normal form); `origin` is kept
    // with the cursor ("MANUAL", "INICIAL"). The reply envelope: "S" with what was
    // received, or "N" with why not.
    QVariantList run(const QString &registration, const QString &origin);
    Result lastResult() const { return m_result; }

private:
    using Outcome = std::optional<QVariantList>; // set: the synchronization ends with it
    QVariantList runLocked();
    std::optional<QVariantList> busy();
    QVariantList runHeld();
    Outcome repairGaps();
    Outcome pageFromCursor(QString &ending);
    void storePage(const dist::Answer &a, quint64 from, quint64 to);
    dist::Answer ask(dist::Query q);
    Outcome refusal(const dist::Answer &a);
    QString holdOff(const dist::Answer &a);
    QString cursor();

    Store &m_store;
    AuthoritySource &m_authority;
    QString m_uf;
    Clock m_clock;
    // The run in progress.
    QString m_reg, m_origin, m_ult;
    QDateTime m_now;
    intake::SyncDay m_day;
    Result m_result;
    int m_added = 0;
};
