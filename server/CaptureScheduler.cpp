#include "CaptureScheduler.h"
#include "CaptureSchedule.h"
#include "Synchronization.h"
#include "net/ServerLog.h"
#include "store/SyncLog.h"

namespace {
constexpr qint64 kLookAgainMs = 60 * 1000;

QString answerText(const QVariantList &reply) { return reply.value(0).toString() + QLatin1String(" - ") + reply.value(1).toString(); }
} // namespace

CaptureScheduler::CaptureScheduler(Settings settings, AuthoritySource &authority, Clock clock, Post post)
    : m_settings(std::move(settings)), m_authority(authority), m_clock(std::move(clock)), m_post(std::move(post))
{
    if (!m_clock)
        m_clock = [] { return QDateTime::currentDateTimeUtc(); };
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        runDue();
        arm();
    });
}

void CaptureScheduler::start()
{
    m_timer.start(0); // due registrations at once
}

int CaptureScheduler::runDue()
{
    QList<capture::Entry> due;
    try {
        Store store(m_settings.storePath, m_settings.busyTimeoutMs);
        due = capture::due(store, m_clock());
    } catch (const std::exception &e) {
        ServerLog::error(QStringLiteral("captura: armazenamento indisponível: %1").arg(QString::fromUtf8(e.what())));
        return 0;
    }
    purgeLog();
    int started = 0;
    for (const capture::Entry &e : due) {
        if (m_running.contains(e.registration) || m_notBefore.value(e.registration) > m_clock())
            continue;
        m_running.insert(e.registration);
        ++started;
        m_post([this, e] { capture(e.registration, e.uf, e.failures); });
    }
    return started;
}

QDateTime CaptureScheduler::nextDue()
{
    QList<capture::Entry> all;
    try {
        Store store(m_settings.storePath, m_settings.busyTimeoutMs);
        all = capture::list(store);
    } catch (const std::exception &) {
        return {};
    }
    QDateTime next;
    for (const capture::Entry &e : all) {
        if (m_running.contains(e.registration))
            continue; // its run sets its next time
        const QDateTime at = std::max(e.next, m_notBefore.value(e.registration));
        if (!next.isValid() || at < next)
            next = at;
    }
    return next;
}

// On a worker: one scheduled synchronization, then its next time.
void CaptureScheduler::capture(const QString &registration, const QString &uf, int failures)
{
    const QDateTime started = m_clock();
    QString text;
    bool recorded = false;
    try {
        Store store(m_settings.storePath, m_settings.busyTimeoutMs);
        Synchronization sync(store, m_authority, uf.isEmpty() ? m_settings.uf : uf, m_clock);
        text = answerText(sync.run(registration, Synchronization::kScheduled));
        const capture::Next next = capture::after(sync.lastResult(), m_clock(), failures);
        capture::record(store, registration, started, text, next);
        recorded = true;
        const QString line = QStringLiteral("captura de %1: %2 (próxima em %3)").arg(registration, text, next.at.toUTC().toString(Qt::ISODate));
        ServerLog::write(line, sync.lastResult().ending == Synchronization::Ending::Failed ? ServerLog::Level::Warning : ServerLog::Level::Info);
    } catch (const std::exception &e) {
        ServerLog::error(QStringLiteral("captura de %1 falhou: %2").arg(registration, QString::fromUtf8(e.what())));
    }
    // Without a next time in the store (it failed), a minute's rest.
    const QDateTime notBefore = recorded ? QDateTime() : m_clock().addSecs(capture::kFirstBackoffSeconds);
    QMetaObject::invokeMethod(this, [this, registration, notBefore] { finished(registration, notBefore); });
}

void CaptureScheduler::finished(const QString &registration, const QDateTime &notBefore)
{
    m_running.remove(registration);
    if (notBefore.isValid())
        m_notBefore.insert(registration, notBefore);
    else
        m_notBefore.remove(registration);
    arm();
}

void CaptureScheduler::arm()
{
    const QDateTime next = nextDue();
    qint64 wait = kLookAgainMs;
    if (next.isValid())
        wait = std::clamp(m_clock().msecsTo(next), qint64(0), kLookAgainMs);
    m_timer.start(std::chrono::milliseconds(wait));
}

// Once an hour: the synchronization log keeps `logDays` days.
void CaptureScheduler::purgeLog()
{
    const QDateTime now = m_clock();
    if (m_purgedAt.isValid() && m_purgedAt.secsTo(now) < 3600)
        return;
    m_purgedAt = now;
    try {
        Store store(m_settings.storePath, m_settings.busyTimeoutMs);
        if (const int n = synclog::purge(store, now.addDays(-m_settings.logDays)); n > 0)
            ServerLog::write(QStringLiteral("registro de sincronizações: %1 consulta(s) com mais de %2 dia(s) apagada(s)")
                                 .arg(n).arg(m_settings.logDays));
    } catch (const std::exception &e) {
        ServerLog::warning(QStringLiteral("registro de sincronizações: %1").arg(QString::fromUtf8(e.what())));
    }
}
