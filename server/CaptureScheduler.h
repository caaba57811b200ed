#pragma once
// Runs the capture schedule: on the server's event loop it wakes when a registration is
// due (and at least once a minute, to see registrations added meanwhile), hands each
// due one to the worker pool as a scheduled synchronization and keeps the next time
// the answer allows. The clock and the way jobs run are given, so a test can drive a
// whole day without waiting.
#include "authority/Authority.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <functional>

class CaptureScheduler : public QObject {
public:
    using Clock = std::function<QDateTime()>;
    using Post = std::function<void(std::function<void()>)>;

    struct Settings {
        QString storePath;
        int busyTimeoutMs = 10000;
        QString uf = QStringLiteral("35");
        int logDays = 90; // the synchronization log's retention
    };

    CaptureScheduler(Settings settings, AuthoritySource &authority, Clock clock, Post post);
    void start(); // arms the timer
    // Starts every due registration that is not running; returns how many.
    int runDue();
    // When a registration is due next (invalid with none).
    QDateTime nextDue();
    bool busy() const { return !m_running.isEmpty(); }

private:
    void capture(const QString &registration, const QString &uf, int failures);
    void finished(const QString &registration, const QDateTime &notBefore);
    void arm();
    void purgeLog();

    Settings m_settings;
    AuthoritySource &m_authority;
    Clock m_clock;
    Post m_post;
    QTimer m_timer;
    // Touched on this object's thread only.
    QSet<QString> m_running;
    QHash<QString, QDateTime> m_notBefore; // after a run that could not record its next time
    QDateTime m_purgedAt;
};
