// The store on PostgreSQL beside SQLite: the same methods give the same answers, a
// lost connection is reported and restored, reads never wait for a synchronization,
// and two servers on one PostgreSQL store synchronize (or capture) one registration at once.
#include "Engines.h"
#include "Calls.h"
#include "CaptureSchedule.h"
#include "CaptureScheduler.h"
#include "CteList.h"
#include "authority/DistMessages.h"
#include "net/ServerLog.h"
#include "Fiscal.h"
#include "RemoteModule.h"
#include "Packet.h"
#include "authority/simulated/SimulatedAuthority.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <thread>

namespace {
const QString kReg = QStringLiteral("11222333000181");
const QDateTime kNow(QDate(2026, 12, 8), QTime(12, 0), Qt::UTC);
const QVariant kNull = QVariant::fromValue(nullptr);

QVariantList getArgs(const QString &status, QDate from = {}, QDate to = {}, QDate syncedFrom = {}, QDate syncedTo = {})
{
    auto date = [](const QDate &d) { return d.isValid() ? QVariant(d) : kNull; };
    return {date(from), date(to), kReg, status, date(syncedFrom), date(syncedTo)};
}

QVariantList syncArgs(const QString &reg = kReg)
{
    return {QStringLiteral("01"), QStringLiteral("T"), reg, QStringLiteral("MANUAL"), QString(), QString()};
}

QVariantList listArgs(const QString &reg)
{
    return {kNull, kNull, reg, QStringLiteral("T"), kNull, kNull};
}

// The rows of a list, each as "NSU key status".
QStringList rowsOf(const TDataPacket &packet)
{
    const wire::DecodedPacket list = wire::decodePacket(packet);
    const int nsu = list.indexOf(QStringLiteral("NRNSU")), key = list.indexOf(QStringLiteral("NRACESSOCTE")),
              status = list.indexOf(QStringLiteral("CDSTATUS"));
    QStringList out;
    for (const QVariantList &row : list.rows)
        out << QStringLiteral("%1 %2 %3").arg(row[nsu].toString(), row[key].toString(), row[status].toString());
    return out;
}

// A list as a client sends it back: every row ticked, with the columns named.
TDataPacket ticked(const QStringList &rows, const QString &reg, bool withKeys)
{
    std::vector<wire::PacketField> fields{{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
                                          {QStringLiteral("NRINSJURPESQ"), wire::PacketType::Text, 14},
                                          {QStringLiteral("NRNSU"), wire::PacketType::Text, 15}};
    if (withKeys)
        fields.push_back({QStringLiteral("NRACESSOCTE"), wire::PacketType::Text, 50});
    wire::PacketWriter w(fields);
    for (const QString &row : rows) {
        const QStringList parts = row.split(QLatin1Char(' '));
        w.beginRow();
        w.text(QStringLiteral("S"));
        w.text(reg);
        w.text(parts[0]);
        if (withKeys)
            w.text(parts[1]);
    }
    return w.finish();
}

// Counts the authority's queries by kind and its events, passing them on.
class CountingAuthority : public AuthoritySource {
public:
    explicit CountingAuthority(AuthoritySource &a) : inner(a) {}
    QByteArray distDFeInt(const QByteArray &r) override
    {
        const dist::Query q = dist::readRequest(r);
        (q.nsu.isEmpty() ? pages : single) << q.registration + QLatin1Char(' ') + q.nsu;
        return inner.distDFeInt(r);
    }
    QByteArray prepareEvent(const evento::Disagreement &d) override { return inner.prepareEvent(d); }
    QString tpAmb() const override { return inner.tpAmb(); }
    QDateTime certificateExpiry() const override { return inner.certificateExpiry(); }
    QByteArray eventoCTe(const QByteArray &r) override
    {
        ++events;
        return inner.eventoCTe(r);
    }
    AuthoritySource &inner;
    QStringList pages, single;
    int events = 0;
};

qint64 scalar(Store &s, const char *sql)
{
    Statement st(s, sql);
    return st.step() ? st.integer(0) : -1;
}

TDataPacket listOf(RemoteModule &m, QVariantList args)
{
    const QVariantList r = run(m, "GetSincronizacaoCTe", args);
    return r.value(0).toString() == QLatin1String("S") ? r.value(1).value<TDataPacket>() : TDataPacket{};
}

// One request to a server on loopback, on its own connection.
wire::Reply callServer(quint16 port, const QString &method, const QVariantList &args)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return wire::Reply{false, QStringLiteral("sem conexão")};
    s.write(wire::frame(wire::encodeRequest({QString::fromLatin1(wire::kServerName), method, args})));
    wire::FrameReader r;
    QByteArray out;
    while (!r.next(out)) {
        if (!s.waitForReadyRead(60000))
            return wire::Reply{false, QStringLiteral("sem resposta")};
        r.feed(s.readAll());
    }
    return wire::decodeReply(out);
}

// Answers 137 to every query; the first one waits until `release` is set.
class HeldAuthority : public AuthoritySource {
public:
    QByteArray distDFeInt(const QByteArray &request) override
    {
        if (queries++ == 0) {
            entered = true;
            for (int i = 0; i < 6000 && !release; ++i) // at most a minute
                QThread::msleep(10);
        }
        dist::Answer a;
        a.cStat = QStringLiteral("137");
        a.xMotivo = QStringLiteral("Nenhum documento localizado");
        a.ultNSU = a.maxNSU = dist::readRequest(request).ultNSU;
        return dist::answer(a);
    }
    QByteArray eventoCTe(const QByteArray &) override { return {}; }
    std::atomic<int> queries{0};
    std::atomic<bool> entered{false}, release{false};
};

// A dfe-server process, stopped with its object.
class ServerProcess {
public:
    explicit ServerProcess(const QString &store)
    {
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QStringLiteral(SERVER_PATH), {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--store"),
                                              store, QStringLiteral("--quiet")});
    }
    ~ServerProcess()
    {
        p.terminate();
        if (!p.waitForFinished(10000))
            p.kill();
        p.waitForFinished();
    }
    quint16 port()
    {
        static const QRegularExpression listening(QStringLiteral(":(\\d+) \\("));
        while (p.waitForReadyRead(30000) || p.canReadLine()) {
            const QString line = QString::fromUtf8(p.readLine());
            if (const auto m = listening.match(line); m.hasMatch())
                return quint16(m.captured(1).toUInt());
        }
        return 0;
    }
    QProcess p;
};
} // namespace

class TestPgStore : public QObject {
    Q_OBJECT
    std::unique_ptr<PgInstance> pg;
    QTemporaryDir dir;
    int databases = 0;

    QString freshPg()
    {
        const QString name = QStringLiteral("store%1").arg(++databases);
        const QString e = pg->createDatabase(name);
        return e.isEmpty() ? pg->uri(name) : QString();
    }
    QString location(const QString &engine)
    {
        return engine == QLatin1String("postgresql") ? freshPg()
                                                     : dir.filePath(QStringLiteral("s%1.sqlite").arg(++databases));
    }

private Q_SLOTS:
    void initTestCase()
    {
        pg = std::make_unique<PgInstance>();
        QVERIFY2(pg->ok(), qPrintable(pg->error()));
    }
    void cleanupTestCase() { pg.reset(); }

    void engineChosenByLocation()
    {
        QCOMPARE(Store(location(QStringLiteral("sqlite"))).engineName(), QStringLiteral("SQLite"));
        Store s(location(QStringLiteral("postgresql")));
        QCOMPARE(s.engineName(), QStringLiteral("PostgreSQL"));
        QCOMPARE(s.schemaVersion(), Store::kSchemaVersion);
        Statement(s, "UPDATE meta SET value = '99' WHERE key = 'schema_version'").run();
        QVERIFY_THROWS_EXCEPTION(StoreError, Store(pg->uri(QStringLiteral("store%1").arg(databases))));
        QVERIFY_THROWS_EXCEPTION(StoreError, Store(pg->uri(QStringLiteral("nao_existe"))));
    }

    // Both engines synchronize the same history, then answer every list alike.
    void sameAnswersOnBothEngines_data()
    {
        QTest::addColumn<QVariantList>("args");
        QTest::addColumn<QStringList>("statuses"); // the only statuses allowed in the answer
        QTest::addColumn<bool>("some");            // rows in the answer
        const QStringList any{"100", "101", "000", "999"};
        const QDate day = kNow.date(), november(2026, 11, 1), end(2026, 11, 30);
        QTest::newRow("all") << getArgs(QStringLiteral("T")) << any << true;
        QTest::newRow("authorised") << getArgs(QStringLiteral("_100_")) << QStringList{"100"} << true;
        QTest::newRow("cancelled or no document") << getArgs(QStringLiteral("_999_101_")) << QStringList{"999", "101"} << true;
        QTest::newRow("status text with quotes") << getArgs(QStringLiteral("_100_' OR '1'='1")) << QStringList{"100"} << true;
        QTest::newRow("issued in November") << getArgs(QStringLiteral("T"), november, end) << any << true;
        QTest::newRow("synchronized that day") << getArgs(QStringLiteral("T"), {}, {}, day, day) << any << true;
        QTest::newRow("synchronized before") << getArgs(QStringLiteral("T"), {}, {}, {}, day.addDays(-1)) << any << false;
        QTest::newRow("synchronized after") << getArgs(QStringLiteral("T"), {}, {}, day.addDays(1)) << any << false;
        QTest::newRow("every filter at once")
            << getArgs(QStringLiteral("_100_"), november, end, day.addDays(-3), day) << QStringList{"100"} << true;
    }
    void sameAnswersOnBothEngines()
    {
        QFETCH(QVariantList, args);
        QFETCH(QStringList, statuses);
        QFETCH(bool, some);
        SimulatedAuthority sim([] { return kNow; });
        Store lite(location(QStringLiteral("sqlite"))), post(location(QStringLiteral("postgresql")));
        RemoteModule a(lite, sim, QStringLiteral("35"), [] { return kNow; });
        RemoteModule b(post, sim, QStringLiteral("35"), [] { return kNow; });
        QVariantList s1 = syncArgs(), s2 = syncArgs();
        QCOMPARE(run(a, "SincronizarCTe", s1).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(run(b, "SincronizarCTe", s2).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(scalar(post, "SELECT COUNT(*) FROM cte"), scalar(lite, "SELECT COUNT(*) FROM cte"));
        QCOMPARE(scalar(post, "SELECT COUNT(*) FROM evento"), scalar(lite, "SELECT COUNT(*) FROM evento"));

        const TDataPacket fromLite = listOf(a, args), fromPost = listOf(b, args);
        QVERIFY(!fromPost.isEmpty());
        QCOMPARE(fromPost, fromLite);
        const wire::DecodedPacket list = wire::decodePacket(fromPost);
        const int status = list.indexOf(QStringLiteral("CDSTATUS")), nsu = list.indexOf(QStringLiteral("NRNSU"));
        QCOMPARE(list.rows.size() > 0, some);
        QString last;
        for (const QVariantList &row : list.rows) {
            QVERIFY2(statuses.contains(row[status].toString()), qPrintable(row[status].toString()));
            QVERIFY(row[nsu].toString() > last);
            last = row[nsu].toString();
        }
    }

    // Downloads and the disagreement event change and read the same rows on both engines.
    void downloadAndEventOnBothEngines_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::newRow("sqlite") << QStringLiteral("sqlite");
        QTest::newRow("postgresql") << QStringLiteral("postgresql");
    }
    void downloadAndEventOnBothEngines()
    {
        QFETCH(QString, engine);
        SimulatedAuthority sim([] { return kNow; });
        Store store(location(engine));
        RemoteModule m(store, sim, QStringLiteral("35"), [] { return kNow; });
        QVariantList s = syncArgs();
        run(m, "SincronizarCTe", s);
        const wire::DecodedPacket list = wire::decodePacket(listOf(m, getArgs(QStringLiteral("_100_"))));
        QVERIFY(!list.rows.empty());
        const QVariantList &first = list.rows.back(); // the newest: within the event's time limit
        const QString key = first[list.indexOf(QStringLiteral("NRACESSOCTE"))].toString();

        wire::PacketWriter w({{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
                              {QStringLiteral("NRNSU"), wire::PacketType::Text, 15}});
        w.beginRow();
        w.text(QStringLiteral("S"));
        w.text(first[list.indexOf(QStringLiteral("NRNSU"))].toString());
        QVariantList d{QVariant::fromValue(w.finish()), QStringLiteral("01"), QStringLiteral("T"), kReg};
        const wire::DecodedPacket xml = packetOf(run(m, "DownloadXML", d));
        QCOMPARE(xml.rows.size(), size_t(1));
        QCOMPARE(xml.rows[0][3].toString(), QStringLiteral("S"));
        const QByteArray doc = xml.rows[0][2].toByteArray();
        QVERIFY(doc.contains(key.toLatin1()));
        QVERIFY(doc.startsWith("<?xml") || doc.startsWith("<procCTe") || doc.startsWith("<cteProc"));

        QVariantList r{key, QStringLiteral("Mercadoria não recebida no destino"), QStringLiteral("01"), kReg,
                       QStringLiteral("01")};
        const QVariantList refusal = run(m, "RecusaCTe", r);
        QVERIFY2(refusal.value(0).toString() == QLatin1String("S"), qPrintable(refusal.value(1).toString()));
        const wire::DecodedPacket refused = wire::decodePacket(listOf(m, getArgs(QStringLiteral("_000_"))));
        QCOMPARE(refused.rows.size(), size_t(1));
        QCOMPARE(refused.rows[0][list.indexOf(QStringLiteral("NRACESSOCTE"))].toString(), key);
        QVariantList again = r;
        QCOMPARE(run(m, "RecusaCTe", again).value(0).toString(), QStringLiteral("N"));
    }

    // Two registrations whose histories hold the same NSUs, in one store: each list,
    // download, event and gap repair reads and changes its own rows only, whatever the
    // list sent back says.
    void twoRegistrationsWithTheSameNsus_data() { downloadAndEventOnBothEngines_data(); }
    void twoRegistrationsWithTheSameNsus()
    {
        QFETCH(QString, engine);
        const QString other = fiscal::cnpjWithDigits(QStringLiteral("112223330002"));
        SimulatedAuthority sim([] { return kNow; });
        CountingAuthority counted(sim);
        QStringList alone[2];
        for (int i = 0; i < 2; ++i) {
            Store solo(location(engine));
            RemoteModule m(solo, sim, QStringLiteral("35"), [] { return kNow; });
            QCOMPARE(run(m, "SincronizarCTe", syncArgs(i ? other : kReg)).value(0).toString(), QStringLiteral("S"));
            alone[i] = rowsOf(listOf(m, listArgs(i ? other : kReg)));
        }
        Store store(location(engine));
        RemoteModule m(store, counted, QStringLiteral("35"), [] { return kNow; });
        for (const QString &reg : {kReg, other})
            QCOMPARE(run(m, "SincronizarCTe", syncArgs(reg)).value(0).toString(), QStringLiteral("S"));
        QStringList mine = rowsOf(listOf(m, listArgs(kReg))), theirs = rowsOf(listOf(m, listArgs(other)));
        QVERIFY(mine.size() > 10 && theirs.size() > 10);
        QCOMPARE(mine, alone[0]);
        QCOMPARE(theirs, alone[1]);
        QCOMPARE(mine.first().left(15), theirs.first().left(15)); // both start at NSU 1
        QVERIFY(counted.single.isEmpty());

        // Their rows sent back under this registration: none of their documents comes out.
        QStringList shared = theirs.mid(0, 20);
        const QVariantList byKey = run(m, "DownloadXML", {QVariant::fromValue(ticked(shared, other, true)), "01", "T", kReg});
        for (const QVariantList &row : packetOf(byKey).rows)
            QVERIFY2(row[3].toString() == QLatin1String("N") && row[2].toByteArray().isEmpty(), qPrintable(row[0].toString()));
        // Without the keys, each NSU answers this registration's own document.
        const QVariantList byNsu = run(m, "DownloadXML", {QVariant::fromValue(ticked(shared, other, false)), "01", "T", kReg});
        int documents = 0;
        for (const QVariantList &row : packetOf(byNsu).rows) {
            const QString own = mine.filter(QRegularExpression(QLatin1Char('^') + row[0].toString())).value(0).section(QLatin1Char(' '), 1, 1);
            if (row[3].toString() != QLatin1String("S"))
                continue;
            ++documents;
            QCOMPARE(row[1].toString(), own + QStringLiteral("-procCTe.xml"));
            QVERIFY(row[2].toByteArray().contains(own.toLatin1()));
        }
        QVERIFY(documents > 0);

        // Their CT-e is not found under this registration, and the authority never hears of it.
        const QString theirKey = theirs.filter(QStringLiteral(" 100")).last().section(QLatin1Char(' '), 1, 1);
        QVERIFY(!mine.join(QLatin1Char(' ')).contains(theirKey));
        const QVariantList refused = run(m, "RecusaCTe", {theirKey, QStringLiteral("Mercadoria não recebida no destino"), "01", kReg, "T"});
        QCOMPARE(refused.value(0).toString(), QStringLiteral("N"));
        QVERIFY2(refused.value(1).toString().startsWith(QStringLiteral("CT-e %1 não encontrado").arg(theirKey)), qPrintable(refused.value(1).toString()));
        QCOMPARE(run(m, "CancelaRecusaCTe", {theirKey, "01", kReg, "T"}).value(0).toString(), QStringLiteral("N"));
        QCOMPARE(counted.events, 0);
        // This registration's own event changes its row only.
        const QString myKey = mine.filter(QStringLiteral(" 100")).last().section(QLatin1Char(' '), 1, 1);
        const QVariantList own = run(m, "RecusaCTe", {myKey, QStringLiteral("Mercadoria não recebida no destino"), "01", kReg, "T"});
        QVERIFY2(own.value(0).toString() == QLatin1String("S"), qPrintable(own.value(1).toString()));
        QCOMPARE(rowsOf(listOf(m, listArgs(other))), alone[1]);
        QCOMPARE(rowsOf(listOf(m, listArgs(kReg))).filter(QStringLiteral(" 000")).size(), mine.filter(QStringLiteral(" 000")).size() + 1);

        // A row lost from one registration is a gap for it alone, though the other holds that NSU.
        QString lost;
        for (const QString &row : theirs.mid(3))
            if (lost.isEmpty() && !mine.filter(QRegularExpression(QLatin1Char('^') + row.left(15))).isEmpty())
                lost = row.left(15);
        QVERIFY(!lost.isEmpty());
        Statement(store, "DELETE FROM cte WHERE nrinsjurpesq = ? AND nrnsu = ?").bind(1, other).bind(2, lost).run();
        QCOMPARE(rowsOf(listOf(m, listArgs(other))).size(), theirs.size() - 1);
        counted.single.clear();
        QStringList after[2];
        for (int i = 0; i < 2; ++i) {
            const QDateTime later = kNow.addSecs(2 * 3600); // past the hold-off of the first runs
            RemoteModule again(store, counted, QStringLiteral("35"), [later] { return later; });
            QCOMPARE(run(again, "SincronizarCTe", syncArgs(i ? other : kReg)).value(0).toString(), QStringLiteral("S"));
            after[i] = rowsOf(listOf(again, listArgs(i ? other : kReg)));
        }
        QCOMPARE(counted.single, QStringList{other + QLatin1Char(' ') + lost});
        QCOMPARE(after[1], alone[1]);
    }

    // A caller that takes parts gets the list it would get in one frame, in parts that
    // start small and grow; a caller that does not gets one frame, as always.
    void listInPartsOnBothEngines_data() { downloadAndEventOnBothEngines_data(); }
    void listInPartsOnBothEngines()
    {
        QFETCH(QString, engine);
        Store store(location(engine));
        const int rows = 1900;
        store.transaction([&] {
            Statement st(store, "INSERT INTO cte (nrinsjurpesq, nrnsu, nracessocte, cdstatus, dsstatus, dtsincronizacao, dtsinc_iso)"
                                " VALUES (?, ?, '', '100', 'Autorizado o uso do CT-e', '08/12/2026', '2026-12-08')");
            for (int i = rows; i >= 1; --i) // stored out of order: the list comes in NSU order all the same
                st.bind(1, kReg).bind(2, RemoteModule::nsuText(quint64(i))).run();
        });
        SimulatedAuthority sim([] { return kNow; });
        RemoteModule m(store, sim, QStringLiteral("35"), [] { return kNow; });
        const wire::Request one{QString::fromLatin1(wire::kServerName), QStringLiteral("GetSincronizacaoCTe"), getArgs(QStringLiteral("T"))};
        std::vector<QByteArray> frames;
        const wire::FrameSink sink = [&](QByteArray f) { frames.push_back(std::move(f)); };
        const wire::Reply whole = m.call(one, sink);
        QVERIFY(frames.empty());
        QVERIFY(!whole.sent && !whole.more);
        const TDataPacket expected = whole.result.toList().value(1).value<TDataPacket>();

        // Then with the rows' kept encodings, for a caller that also reads repeat marks.
        wire::Request inParts = one;
        inParts.parts = true;
        qsizetype plainBytes = 0;
        for (bool repeats : {false, true}) {
            if (repeats)
                while (ctelist::encodeRows(store, kReg, 500) > 0) {
                }
            inParts.repeats = repeats;
            frames.clear();
            const wire::Reply last = m.call(inParts, sink);
            QVERIFY(last.sent);
            QCOMPARE(frames.size(), size_t(4)); // 256, 512, 1024, then the last 108
            const wire::Reply head = wire::decodeReply(frames[0].mid(4));
            QVERIFY(head.more);
            QCOMPARE(head.args, one.args);
            wire::DecodedPacket got = wire::decodePacket(head.result.toList().value(1).value<TDataPacket>());
            QCOMPARE(got.rows.size(), size_t(256));
            qsizetype bytes = frames[0].size();
            for (size_t i = 1; i < frames.size(); ++i) {
                const wire::Part p = wire::decodePart(frames[i].mid(4));
                QCOMPARE(p.number, quint64(i));
                QCOMPARE(p.more, i + 1 < frames.size());
                wire::DecodedPacket part = wire::decodePacket(p.rows);
                std::move(part.rows.begin(), part.rows.end(), std::back_inserter(got.rows));
                bytes += frames[i].size();
            }
            QCOMPARE(got.rows, wire::decodePacket(expected).rows);
            if (repeats) // status, its text and the dates repeat down the list
                QVERIFY2(bytes < plainBytes * 3 / 4, qPrintable(QStringLiteral("%1 / %2").arg(bytes).arg(plainBytes)));
            plainBytes = bytes;
        }

        // A short list is one reply even for a caller that takes parts.
        frames.clear();
        inParts.args[3] = QStringLiteral("_101_");
        const wire::Reply none = m.call(inParts, sink);
        QVERIFY(frames.empty());
        QVERIFY(!none.sent && !none.more);
        QCOMPARE(none.result.toList().value(0).toString(), QStringLiteral("S"));
    }

    // Each list row goes out as it was kept encoded; a row changed any other way (by hand,
    // by a status that follows an event) and a row whose encoding is not one goes out from
    // its columns, never as it was before.
    void listRowsKeptEncoded_data() { downloadAndEventOnBothEngines_data(); }
    void listRowsKeptEncoded()
    {
        QFETCH(QString, engine);
        SimulatedAuthority sim([] { return kNow; });
        Store store(location(engine));
        RemoteModule m(store, sim, QStringLiteral("35"), [] { return kNow; });
        QVariantList s = syncArgs();
        run(m, "SincronizarCTe", s);
        QVERIFY(scalar(store, "SELECT COUNT(*) FROM cte") > 10);
        QCOMPARE(scalar(store, "SELECT COUNT(*) FROM cte WHERE linha IS NULL"), 0); // kept with the page
        const TDataPacket encoded = listOf(m, getArgs(QStringLiteral("T")));
        store.transaction([&] { store.engine().exec("UPDATE cte SET linha = NULL"); });
        QCOMPARE(listOf(m, getArgs(QStringLiteral("T"))), encoded); // the same bytes from the columns

        store.transaction([&] { ctelist::encodeRows(store, kReg, 100000); });
        const wire::DecodedPacket rows = wire::decodePacket(encoded);
        const int nsuAt = rows.indexOf(QStringLiteral("NRNSU")), textAt = rows.indexOf(QStringLiteral("DSSTATUS"));
        const QString nsu = rows.rows.at(1)[nsuAt].toString(), text = rows.rows.at(1)[textAt].toString();
        const auto version = [&] {
            Statement st(store, "SELECT linha_versao FROM cte WHERE nrnsu = ?");
            st.bind(1, nsu);
            return st.step() ? st.integer(0) : -1;
        };
        const auto setText = [&](const QString &t) {
            store.transaction([&] { Statement(store, "UPDATE cte SET dsstatus = ? WHERE nrnsu = ?").bind(1, t).bind(2, nsu).run(); });
        };
        const qint64 before = version();
        setText(QStringLiteral("Alterado à mão"));
        QCOMPARE(version(), before + 1);
        const wire::DecodedPacket changed = wire::decodePacket(listOf(m, getArgs(QStringLiteral("T"))));
        QCOMPARE(changed.rows.at(1)[nsuAt].toString(), nsu);
        QCOMPARE(changed.rows.at(1)[textAt].toString(), QStringLiteral("Alterado à mão"));

        // Encodings that are not a row of the list: each row from its columns.
        for (const QByteArray &bad : {QByteArray("\x98\x18", 2), QByteArray("\x98\x17garbage"), QByteArray("xml")}) {
            setText(text);
            store.transaction([&] { Statement(store, "UPDATE cte SET linha = ?").bind(1, bad).run(); });
            QCOMPARE(listOf(m, getArgs(QStringLiteral("T"))), encoded);
        }
    }

    // A store of the step before keeps every document when the documents move apart from
    // the list's rows, and the list and the download read them from there.
    void documentsKeptThroughTheUpgrade_data() { downloadAndEventOnBothEngines_data(); }
    void documentsKeptThroughTheUpgrade()
    {
        QFETCH(QString, engine);
        const QString where = location(engine);
        const char *blob = engine == QLatin1String("postgresql") ? "BYTEA" : "BLOB";
        QList<QPair<QString, QByteArray>> documents;
        QString nsu;
        {
            SimulatedAuthority sim([] { return kNow; });
            Store store(where);
            RemoteModule m(store, sim, QStringLiteral("35"), [] { return kNow; });
            QVariantList s = syncArgs();
            run(m, "SincronizarCTe", s);
            Statement st(store, "SELECT nrnsu, xml FROM cte_xml ORDER BY nrnsu");
            while (st.step())
                documents.append({st.text(0), st.blob(1)});
            QVERIFY(documents.size() > 10);
            nsu = documents[5].first;
            // Back to the step before: the documents in the list's own table.
            store.transaction([&] {
                store.engine().exec((QByteArray("ALTER TABLE cte ADD COLUMN xml ") + blob).constData());
                store.engine().exec("UPDATE cte SET xml = (SELECT x.xml FROM cte_xml x"
                                    " WHERE x.nrinsjurpesq = cte.nrinsjurpesq AND x.nrnsu = cte.nrnsu)");
                store.engine().exec("DROP TABLE cte_xml");
                store.engine().exec(engine == QLatin1String("postgresql") ? "DROP TRIGGER cte_linha_velha ON cte" : "DROP TRIGGER cte_linha_velha");
                if (engine == QLatin1String("postgresql"))
                    store.engine().exec("DROP FUNCTION cte_linha_velha()");
                store.engine().exec("DROP INDEX cte_sem_linha");
                if (engine == QLatin1String("sqlite"))
                    store.engine().exec("DROP INDEX cte_lista");
                store.engine().exec("ALTER TABLE cte DROP COLUMN linha");
                store.engine().exec("ALTER TABLE cte DROP COLUMN linha_versao");
                store.engine().exec("UPDATE meta SET value = '4' WHERE key = 'schema_version'");
            });
            QCOMPARE(store.schemaVersion(), 4);
        }
        Store store(where);
        QCOMPARE(store.schemaVersion(), Store::kSchemaVersion);
        QList<QPair<QString, QByteArray>> after;
        {
            Statement st(store, "SELECT nrnsu, xml FROM cte_xml ORDER BY nrnsu");
            while (st.step())
                after.append({st.text(0), st.blob(1)});
        }
        QCOMPARE(after, documents);
        QVERIFY_THROWS_EXCEPTION(StoreError, Statement(store, "SELECT xml FROM cte").step());

        SimulatedAuthority sim([] { return kNow; });
        RemoteModule m(store, sim, QStringLiteral("35"), [] { return kNow; });
        QVERIFY(!wire::decodePacket(listOf(m, getArgs(QStringLiteral("T")))).rows.empty());
        wire::PacketWriter w({{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
                              {QStringLiteral("NRNSU"), wire::PacketType::Text, 15}});
        w.beginRow();
        w.text(QStringLiteral("S"));
        w.text(nsu);
        QVariantList d{QVariant::fromValue(w.finish()), QStringLiteral("01"), QStringLiteral("T"), kReg};
        const wire::DecodedPacket xml = packetOf(run(m, "DownloadXML", d));
        QCOMPARE(xml.rows.size(), size_t(1));
        QCOMPARE(xml.rows[0][2].toByteArray(), documents[5].second);
    }

    void lostConnectionIsReportedThenRestored()
    {
        const QString where = freshPg();
        Store store(where);
        SimulatedAuthority sim([] { return kNow; });
        RemoteModule m(store, sim, QStringLiteral("35"), [] { return kNow; });
        const qint64 backend = scalar(store, "SELECT pg_backend_pid()");
        QVERIFY(backend > 0);
        QCOMPARE(pg->exec(QStringLiteral("postgres"), QStringLiteral("SELECT pg_terminate_backend(%1)").arg(backend)),
                 QString());
        const auto args = getArgs(QStringLiteral("T"));
        const wire::Reply lost = m.call({QString::fromLatin1(wire::kServerName), QStringLiteral("GetSincronizacaoCTe"), args});
        QVERIFY(!lost.ok);
        QVERIFY2(lost.error.contains(QStringLiteral("conexão com o PostgreSQL perdida")), qPrintable(lost.error));
        const wire::Reply back = m.call({QString::fromLatin1(wire::kServerName), QStringLiteral("GetSincronizacaoCTe"), args});
        QVERIFY2(back.ok, qPrintable(back.error));
        QCOMPARE(back.result.toList().value(0).toString(), QStringLiteral("S"));
        QVERIFY(scalar(store, "SELECT pg_backend_pid()") != backend);
    }

    // While one connection holds the registration and writes uncommitted rows, another
    // one lists the committed rows at once.
    void readsDoNotWaitForASynchronization_data() { downloadAndEventOnBothEngines_data(); }
    void readsDoNotWaitForASynchronization()
    {
        QFETCH(QString, engine);
        const QString where = location(engine);
        Store writer(where), reader(where);
        SimulatedAuthority sim([] { return kNow; });
        RemoteModule w(writer, sim, QStringLiteral("35"), [] { return kNow; });
        RemoteModule r(reader, sim, QStringLiteral("35"), [] { return kNow; });
        QVariantList s = syncArgs();
        run(w, "SincronizarCTe", s);
        const size_t before = wire::decodePacket(listOf(r, getArgs(QStringLiteral("T")))).rows.size();
        size_t during = 0;
        {
            const Store::RegistrationLock lock(writer, kReg);
            writer.transaction([&] {
                Statement(writer, "INSERT INTO cte (nrinsjurpesq, nrnsu, cdstatus, dtsincronizacao, dtsinc_iso)"
                                  " VALUES (?, '999999999999999', '999', '08/12/2026', '2026-12-08')")
                    .bind(1, kReg)
                    .run();
                during = wire::decodePacket(listOf(r, getArgs(QStringLiteral("T")))).rows.size();
            });
        }
        QVERIFY(before > 0);
        QCOMPARE(during, before);
        QCOMPARE(wire::decodePacket(listOf(r, getArgs(QStringLiteral("T")))).rows.size(), before + 1);
    }

    // The capture schedules of two servers on one store, both due for one registration:
    // the server that comes second finds it held (a session lock) and queries nothing.
    void twoSchedulesCaptureOneAtATime()
    {
        ServerLog::quiet = true;
        const QString where = freshPg();
        QVERIFY(!where.isEmpty());
        {
            Store s(where);
            QVERIFY(capture::add(s, kReg, QString(), kNow));
        }
        HeldAuthority authority;
        QList<std::function<void()>> jobs;
        const CaptureScheduler::Settings settings{where, 10000, QStringLiteral("35"), 90};
        CaptureScheduler here(settings, authority, [] { return kNow; }, [&](std::function<void()> j) { jobs << j; });
        QCOMPARE(here.runDue(), 1);
        std::jthread first(jobs.takeFirst());
        QVERIFY(QTest::qWaitFor([&] { return authority.entered.load(); }, 30000));
        Store s(where);
        {
            ServerProcess other(where); // its schedule starts with the registration due
            QVERIFY(other.port());
            QVERIFY(QTest::qWaitFor([&] { return capture::list(s).value(0).result.contains(QLatin1String("em andamento")); }, 30000));
        }
        authority.release = true;
        first.join();
        QTRY_VERIFY(!here.busy());
        QCOMPARE(authority.queries.load(), 1);
        QCOMPARE(scalar(s, "SELECT COUNT(*) FROM sinc_log"), 1); // the other server's queries would be there too
        const capture::Entry e = capture::list(s).value(0);
        QVERIFY2(e.result.startsWith(QLatin1String("S - ")), qPrintable(e.result));
        QCOMPARE(e.next, kNow.addSecs(3600 + capture::kMarginSeconds));
    }

    // Two servers on one store, both asked to synchronize one registration at the same
    // moment: every NSU is fetched by one of them and stored once, with no gap.
    void twoServersOneStore()
    {
        const QString where = freshPg();
        QVERIFY(!where.isEmpty());
        ServerProcess one(where), two(where); // both create the schema at once
        const quint16 p1 = one.port(), p2 = two.port();
        QVERIFY(p1 && p2);

        Store holder(where);
        wire::Reply r1, r2;
        std::vector<std::jthread> calls; // joined on every way out of the test
        {
            // Both calls wait behind this lock, then race for it as it goes.
            const Store::RegistrationLock lock(holder, kReg);
            calls.emplace_back([&] { r1 = callServer(p1, QStringLiteral("SincronizarCTe"), syncArgs()); });
            calls.emplace_back([&] { r2 = callServer(p2, QStringLiteral("SincronizarCTe"), syncArgs()); });
            QVERIFY(QTest::qWaitFor([&] {
                return scalar(holder, "SELECT COUNT(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted") == 2;
            }, 30000));
        }
        calls.clear();
        QVERIFY2(r1.ok && r2.ok, qPrintable(r1.error + r2.error));
        QCOMPARE(r1.result.toList().value(0).toString(), QStringLiteral("S"));
        QCOMPARE(r2.result.toList().value(0).toString(), QStringLiteral("S"));

        // An NSU holds a CT-e, an event or a kept raw document, or marks one the authority skipped.
        const char *everyNsu = "(SELECT nrnsu FROM cte UNION ALL SELECT nrnsu FROM evento WHERE nrnsu IS NOT NULL"
                               " UNION ALL SELECT nrnsu FROM doc_bruto) AS n";
        const auto count = [&](const char *what) { return scalar(holder, (QByteArray("SELECT ") + what + " FROM " + everyNsu).constData()); };
        const qint64 stored = count("COUNT(*)");
        QVERIFY(stored > SimulatedAuthority::kPageSize);
        QCOMPARE(count("COUNT(DISTINCT nrnsu)"), stored);
        QCOMPARE(count("MIN(nrnsu)"), 1);
        QCOMPARE(count("MAX(nrnsu)"), stored);
        QCOMPARE(scalar(holder, "SELECT ultnsu FROM cursor_nsu"), stored);
        QCOMPARE(scalar(holder, "SELECT COUNT(*) FROM cursor_nsu"), 1);

        // Each document was received by one server only.
        static const QRegularExpression documents(QStringLiteral("(\\d+) documento"));
        const qint64 received = documents.match(r1.result.toList().value(1).toString()).captured(1).toLongLong() +
                                documents.match(r2.result.toList().value(1).toString()).captured(1).toLongLong();
        QCOMPARE(received, scalar(holder, "SELECT (SELECT COUNT(*) FROM cte WHERE cdstatus <> '999')"
                                          " + (SELECT COUNT(*) FROM evento WHERE nrnsu IS NOT NULL)"
                                          " + (SELECT COUNT(*) FROM doc_bruto)"));
    }

    // Two servers on one store asked for the disagreement event on one CT-e at the same
    // moment: one sends it, the other waits and then finds it registered.
    void twoServersOneEvent()
    {
        const QString where = freshPg();
        QVERIFY(!where.isEmpty());
        SimulatedAuthority sim; // the servers' clock: now
        QString key;
        for (const SimulatedAuthority::Item &it : sim.history(kReg)) {
            const qint64 age = it.at.daysTo(QDateTime::currentDateTimeUtc());
            if (it.kind == SimulatedAuthority::Item::Cte && it.cancelProt.isEmpty() && age <= 30 &&
                SimulatedAuthority::taker(it).doc == kReg)
                key = it.key;
        }
        QVERIFY(!key.isEmpty());
        ServerProcess one(where), two(where);
        const quint16 p1 = one.port(), p2 = two.port();
        QVERIFY(p1 && p2);
        const wire::Reply synced = callServer(p1, QStringLiteral("SincronizarCTe"), syncArgs());
        QCOMPARE(synced.result.toList().value(0).toString(), QStringLiteral("S"));

        Store holder(where);
        const QVariantList args{key, QStringLiteral("Mercadoria não recebida no destino"), QStringLiteral("01"), kReg, QStringLiteral("T")};
        wire::Reply r1, r2;
        std::vector<std::jthread> calls;
        {
            const Store::RegistrationLock lock(holder, QStringLiteral("evento ") + key);
            calls.emplace_back([&] { r1 = callServer(p1, QStringLiteral("RecusaCTe"), args); });
            calls.emplace_back([&] { r2 = callServer(p2, QStringLiteral("RecusaCTe"), args); });
            QVERIFY(QTest::qWaitFor([&] {
                return scalar(holder, "SELECT COUNT(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted") == 2;
            }, 20000));
        }
        calls.clear();
        QVERIFY2(r1.ok && r2.ok, qPrintable(r1.error + r2.error));
        QStringList flags{r1.result.toList().value(0).toString(), r2.result.toList().value(0).toString()};
        flags.sort();
        QCOMPARE(flags, (QStringList{"N", "S"}));
        QCOMPARE(scalar(holder, "SELECT COUNT(*) FROM evento WHERE tpevento = '610110'"), 1);
    }
};

QTEST_GUILESS_MAIN(TestPgStore)
#include "tst_pgstore.moc"
