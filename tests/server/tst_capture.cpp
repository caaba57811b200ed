// The capture schedule: the next time after each kind of answer, a simulated day against
// scripted authority answers on an injected clock (no real waiting), the schedule kept in
// the store across a restart, and the capture command of dfe-server.
#include "CaptureSchedule.h"
#include "CaptureScheduler.h"
#include "Calls.h"
#include "authority/DistMessages.h"
#include "net/ServerLog.h"
#include "store/SyncLog.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString kReg = QStringLiteral("11222333000181");
const QDateTime kMidnight(QDate(2026, 12, 8), QTime(0, 0), Qt::UTC);

// Answers each distribution query with the next scripted kind (137 when the script is
// over) and keeps when each came and what it got.
class DayAuthority : public AuthoritySource {
public:
    enum Kind { More, End, Nothing, Misuse, Fail };
    struct Query {
        QDateTime at;
        Kind kind;
    };
    explicit DayAuthority(std::function<QDateTime()> clock) : m_clock(std::move(clock)) {}
    QList<Kind> script;
    QList<Query> queries;

    QByteArray distDFeInt(const QByteArray &request) override
    {
        const Kind k = script.isEmpty() ? Nothing : script.takeFirst();
        queries.append({m_clock(), k});
        if (k == Fail)
            throw std::runtime_error("conexão recusada");
        const quint64 cursor = dist::readRequest(request).ultNSU.toULongLong();
        dist::Answer a;
        a.cStat = k == Misuse ? QStringLiteral("656") : k == Nothing ? QStringLiteral("137") : QStringLiteral("138");
        a.xMotivo = QStringLiteral("Motivo");
        const quint64 ult = k == More || k == End ? cursor + 50 : k == Nothing ? cursor : 0;
        a.ultNSU = dist::nsuText(ult);
        a.maxNSU = dist::nsuText(k == More ? ult + 100 : ult);
        return dist::answer(a);
    }
    QByteArray eventoCTe(const QByteArray &) override { return {}; }
    QDateTime certificateExpiry() const override { return expiry; }
    QDateTime expiry;

private:
    std::function<QDateTime()> m_clock;
};

int minutesFrom(const QDateTime &from, const QDateTime &t) { return int(from.secsTo(t) / 60); }
} // namespace

class TestCapture : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString storePath;
    QDateTime now;

    CaptureScheduler::Settings settings() const { return {storePath, 10000, QStringLiteral("35"), 90}; }
    static CaptureScheduler::Post inline_() { return [](std::function<void()> job) { job(); }; }

private Q_SLOTS:
    void initTestCase() { ServerLog::quiet = true; }

    void init()
    {
        static int n = 0;
        storePath = dir.filePath(QStringLiteral("c%1.sqlite").arg(++n));
        Store s(storePath);
        now = kMidnight;
    }

    // The next time after each way a run ends; failures double from one minute to one hour.
    void nextTimeAfterEachEnding_data()
    {
        using E = Synchronization::Ending;
        QTest::addColumn<int>("ending");
        QTest::addColumn<int>("heldMinutes"); // the hold-off's end, from now
        QTest::addColumn<int>("failures");
        QTest::addColumn<int>("seconds");      // the next run, from now
        QTest::addColumn<int>("failuresAfter");
        const int margin = capture::kMarginSeconds;
        QTest::newRow("137 or 656 now") << int(E::HeldOff) << 60 << 3 << 3600 + margin << 0;
        QTest::newRow("an earlier hold-off") << int(E::HeldOff) << 17 << 0 << 17 * 60 + margin << 0;
        QTest::newRow("cursor at maxNSU") << int(E::Done) << 0 << 2 << 3600 + margin << 0;
        QTest::newRow("138 with more") << int(E::More) << 0 << 1 << 0 << 0;
        QTest::newRow("another run holds it") << int(E::Busy) << 0 << 2 << 60 << 2;
        QTest::newRow("first failure") << int(E::Failed) << 0 << 0 << 60 << 1;
        QTest::newRow("second failure") << int(E::Failed) << 0 << 1 << 120 << 2;
        QTest::newRow("fourth failure") << int(E::Failed) << 0 << 3 << 480 << 4;
        QTest::newRow("sixth failure") << int(E::Failed) << 0 << 5 << 1920 << 6;
        QTest::newRow("seventh failure: the hour") << int(E::Failed) << 0 << 6 << 3600 << 7;
        QTest::newRow("many failures: still the hour") << int(E::Failed) << 0 << 40 << 3600 << 41;
    }
    void nextTimeAfterEachEnding()
    {
        QFETCH(int, ending);
        QFETCH(int, heldMinutes);
        QFETCH(int, failures);
        QFETCH(int, seconds);
        QFETCH(int, failuresAfter);
        Synchronization::Result r{Synchronization::Ending(ending), now.addSecs(heldMinutes * 60)};
        const capture::Next n = capture::after(r, now, failures);
        QCOMPARE(now.secsTo(n.at), qint64(seconds));
        QCOMPARE(n.failures, failuresAfter);
    }

    // A day of captures on the injected clock: pages at once, 137, three network failures,
    // 656, then 137 all day long. No query ever comes within the hour of a 137 or a 656.
    void simulatedDay()
    {
        DayAuthority authority([this] { return now; });
        using K = DayAuthority;
        authority.script = {K::More, K::More, K::End, K::Nothing, K::Fail, K::Fail, K::Fail, K::More, K::End, K::Misuse};
        {
            Store s(storePath);
            QVERIFY(capture::add(s, kReg, QString(), now));
        }
        CaptureScheduler scheduler(settings(), authority, [this] { return now; }, inline_());
        const QDateTime end = kMidnight.addDays(1);
        int runs = 0;
        for (int guard = 0; guard < 1000 && now < end; ++guard) {
            runs += scheduler.runDue();
            const QDateTime next = scheduler.nextDue();
            QVERIFY(next.isValid());
            now = std::max(now, next);
        }
        QVERIFY(now >= end);

        QList<int> at;
        for (const auto &q : authority.queries)
            if (q.at < end)
                at << minutesFrom(kMidnight, q.at);
        // 00:00 three pages; 01:02 137; 02:04, 02:05, 02:07 failures (1, 2, 4 minutes);
        // 02:11 two pages; 03:13 656; from 04:15 a 137 every 62 minutes.
        const QList<int> expectedStart{0, 0, 0, 62, 124, 125, 127, 131, 131, 193, 255, 317};
        QCOMPARE(at.mid(0, expectedStart.size()), expectedStart);
        for (qsizetype i = expectedStart.size(); i < at.size(); ++i)
            QCOMPARE(at[i] - at[i - 1], 62);
        QCOMPARE(at.size(), 30);
        for (qsizetype i = 1; i < authority.queries.size(); ++i) {
            const auto &before = authority.queries[i - 1];
            if (before.kind == K::Nothing || before.kind == K::Misuse)
                QVERIFY2(before.at.secsTo(authority.queries[i].at) >= 3600, qPrintable(authority.queries[i].at.toString(Qt::ISODate)));
        }
        Store s(storePath);
        const QList<synclog::Entry> log = synclog::since(s, kReg, kMidnight);
        QCOMPARE(log.size(), authority.queries.size()); // every query logged, failures too
        QCOMPARE(log.value(4).xMotivo, QStringLiteral("conexão recusada"));
        QCOMPARE(log.value(0).origin, Synchronization::kScheduled);
        const capture::Entry e = capture::list(s).value(0);
        QCOMPARE(e.failures, 0);
        QVERIFY2(e.result.startsWith(QStringLiteral("S - Sincronização concluída")), qPrintable(e.result));
        qInfo("simulated day: %d runs, %d queries (3 failed), none within the hour of a 137 or 656", runs, int(at.size()));
    }

    // The next time lives in the store: a restarted server runs what is due, and only that.
    void scheduleKeptAcrossRestart()
    {
        DayAuthority authority([this] { return now; });
        authority.script = {DayAuthority::Nothing};
        {
            Store s(storePath);
            capture::add(s, kReg, QString(), now);
        }
        {
            CaptureScheduler first(settings(), authority, [this] { return now; }, inline_());
            QCOMPARE(first.runDue(), 1);
        }
        now = now.addSecs(30 * 60);
        CaptureScheduler second(settings(), authority, [this] { return now; }, inline_());
        QCOMPARE(second.runDue(), 0);
        QCOMPARE(second.nextDue(), kMidnight.addSecs(3600 + capture::kMarginSeconds));
        now = second.nextDue();
        QCOMPARE(second.runDue(), 1);
        QCOMPARE(authority.queries.size(), 2);
    }

    // A run still going is not started again, whatever the clock says.
    void runningRegistrationNotStartedTwice()
    {
        DayAuthority authority([this] { return now; });
        {
            Store s(storePath);
            capture::add(s, kReg, QString(), now);
        }
        QList<std::function<void()>> held;
        CaptureScheduler scheduler(settings(), authority, [this] { return now; },
                                   [&held](std::function<void()> job) { held << std::move(job); });
        QCOMPARE(scheduler.runDue(), 1);
        QCOMPARE(scheduler.runDue(), 0);
        QVERIFY(!scheduler.nextDue().isValid()); // nothing else is due while it runs
        QVERIFY(scheduler.busy());
        held.takeFirst()();
        QVERIFY(!scheduler.busy());
        QCOMPARE(authority.queries.size(), 1);
    }

    // The state the module's method returns, after scheduled runs: the last query and its
    // answer, the next query allowed (now, or when the hold-off ends), the next capture.
    void stateOfARegistration_data()
    {
        QTest::addColumn<QList<int>>("script"); // DayAuthority kinds
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("nextQuery");
        QTest::addColumn<QString>("nextCapture");
        QTest::addColumn<QDateTime>("certificate"); // the company certificate's end
        QTest::addColumn<QString>("certificateShown");
        QTest::newRow("cursor at maxNSU") << QList<int>{DayAuthority::More, DayAuthority::End} << "138 - Motivo"
                                          << "07/12/2026 21:10" << "07/12/2026 22:02" << QDateTime() << "";
        // Its last day in Brasília, not in UTC.
        QTest::newRow("137") << QList<int>{DayAuthority::Nothing} << "137 - Motivo" << "07/12/2026 22:00" << "07/12/2026 22:02"
                             << QDateTime(QDate(2027, 4, 1), QTime(1, 0), Qt::UTC) << "31/03/2027";
        QTest::newRow("network failure") << QList<int>{DayAuthority::Fail} << "conexão recusada" << "07/12/2026 21:10"
                                         << "07/12/2026 21:01" << QDateTime() << "";
    }
    void stateOfARegistration()
    {
        QFETCH(QList<int>, script);
        QFETCH(QString, result);
        QFETCH(QString, nextQuery);
        QFETCH(QString, nextCapture);
        QFETCH(QDateTime, certificate);
        QFETCH(QString, certificateShown);
        DayAuthority authority([this] { return now; });
        authority.expiry = certificate;
        for (int k : script)
            authority.script << DayAuthority::Kind(k);
        Store s(storePath);
        capture::add(s, kReg, QString(), now);
        for (const auto &[hoursAgo, documents] : {std::pair{2, 7}, std::pair{25, 5}}) // only the first within the day
            synclog::record(s, {now.addSecs(-3600 * hoursAgo), kReg, QStringLiteral("distNSU"), dist::nsuText(0), QStringLiteral("138"),
                                QStringLiteral("Motivo"), dist::nsuText(0), dist::nsuText(0), documents, 5, QStringLiteral("MANUAL")});
        CaptureScheduler(settings(), authority, [this] { return now; }, inline_()).runDue();
        now = now.addSecs(10 * 60);
        RemoteModule m(s, authority, QStringLiteral("35"), [this] { return now; });
        const QVariantList r = run(m, "GetEstadoSincronizacao", {QStringLiteral("01"), QStringLiteral("T"), kReg});
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        QMap<QString, QVariant> state;
        for (const QVariant &p : r.value(1).toList())
            state.insert(p.toList().value(0).toString(), p.toList().value(1));
        QCOMPARE(state.value(QStringLiteral("ultima_sincronizacao")).toString(), QStringLiteral("07/12/2026 21:00"));
        QCOMPARE(state.value(QStringLiteral("resultado")).toString(), result);
        QCOMPARE(state.value(QStringLiteral("proxima_consulta")).toString(), nextQuery);
        QCOMPARE(state.value(QStringLiteral("proxima_captura")).toString(), nextCapture);
        QCOMPARE(state.value(QStringLiteral("documentos_24h")).toLongLong(), 7);
        QCOMPARE(state.value(QStringLiteral("lacunas_nsu")).toLongLong(), 0);
        QCOMPARE(state.value(QStringLiteral("validade_certificado")).toString(), certificateShown);
        const QVariantList bad = run(m, "GetEstadoSincronizacao", {QStringLiteral("01"), QStringLiteral("T"), QStringLiteral("123")});
        QCOMPARE(bad.value(0).toString(), QStringLiteral("N"));
    }

    // The synchronization log keeps the configured number of days.
    void logRetention()
    {
        Store s(storePath);
        for (int days : {100, 91, 89, 1})
            synclog::record(s, {now.addDays(-days), kReg, QStringLiteral("distNSU"), dist::nsuText(0), QStringLiteral("137"),
                                QStringLiteral("Motivo"), dist::nsuText(0), dist::nsuText(0), 0, 5, QStringLiteral("MANUAL")});
        QCOMPARE(synclog::purge(s, now.addDays(-90)), 2);
        QCOMPARE(synclog::since(s, kReg, now.addDays(-365)).size(), 2);
    }

    void captureCommand_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("listed"); // what capture list prints after it
        QTest::newRow("add") << QStringList{"capture", "add", "11.222.333/0001-81"} << 0 << "11222333000181\t-\t";
        QTest::newRow("add with a state") << QStringList{"capture", "add", "52998224725", "--uf", "41"} << 0 << "52998224725\t41\t";
        QTest::newRow("invalid registration") << QStringList{"capture", "add", "11222333000182"} << 2 << "";
        QTest::newRow("remove what is not there") << QStringList{"capture", "remove", "11222333000181"} << 1 << "";
        QTest::newRow("unknown verb") << QStringList{"capture", "start", "11222333000181"} << 2 << "";
    }
    void captureCommand()
    {
        QFETCH(QStringList, words);
        QFETCH(int, exitCode);
        QFETCH(QString, listed);
        QProcess p;
        p.start(QStringLiteral(SERVER_PATH), QStringList{"--store", storePath} + words);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), exitCode);
        p.start(QStringLiteral(SERVER_PATH), {"--store", storePath, "capture", "list"});
        QVERIFY(p.waitForFinished(20000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QCOMPARE(out.isEmpty(), listed.isEmpty());
        QVERIFY2(listed.isEmpty() || out.startsWith(listed), qPrintable(out + QString::fromUtf8(p.readAllStandardError())));
        if (exitCode != 0)
            return;
        const QString reg = out.section(QLatin1Char('\t'), 0, 0);
        p.start(QStringLiteral(SERVER_PATH), {"--store", storePath, "capture", "remove", reg});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 0);
        Store s(storePath);
        QVERIFY(capture::list(s).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCapture)
#include "tst_capture.moc"
