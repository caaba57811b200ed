// The reference server: its four methods on a temporary store, the synchronization
// loop against the simulated authority, and the connection over loopback.
#include "Exceptions.h"
#include "Fiscal.h"
#include "Methods.h"
#include "NetConnection.h"
#include "Server.h"
#include "SimulatedAuthority.h"
#include "TestSupport.h"
#include "Xml.h"

#include <QTest>
#include <QXmlStreamWriter>
#include <thread>

namespace {
const QString kReg = QStringLiteral("11222333000181");
const QDateTime kNow(QDate(2026, 12, 8), QTime(12, 0), Qt::UTC);

// Counts the distribution answers of the authority it wraps.
class Counting : public AuthoritySource {
public:
    explicit Counting(AuthoritySource &a) : inner(a) {}
    QByteArray distDFeInt(const QByteArray &r) override
    {
        const QByteArray ans = inner.distDFeInt(r);
        pages << ans.count("<docZip");
        cStats << xmlutil::leaves(ans).value(QStringLiteral("retDistDFeInt/cStat"));
        return ans;
    }
    QByteArray eventoCTe(const QByteArray &r) override { return inner.eventoCTe(r); }
    AuthoritySource &inner;
    QList<int> pages;
    QStringList cStats;
};

// Answers with whatever the test puts in `answer`.
class Scripted : public AuthoritySource {
public:
    QByteArray answer;
    QByteArray distDFeInt(const QByteArray &) override { return answer; }
    QByteArray eventoCTe(const QByteArray &) override { return answer; }
};

QByteArray distAnswer(const QString &cStat, const QString &ult, const QString &max, const QList<QStringList> &docs)
{
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.writeStartElement(QStringLiteral("retDistDFeInt"));
    w.writeTextElement(QStringLiteral("cStat"), cStat);
    w.writeTextElement(QStringLiteral("xMotivo"), cStat == QLatin1String("656") ? QStringLiteral("Rejeição: Consumo Indevido") : QStringLiteral("ok"));
    w.writeTextElement(QStringLiteral("ultNSU"), ult);
    w.writeTextElement(QStringLiteral("maxNSU"), max);
    w.writeStartElement(QStringLiteral("loteDistDFeInt"));
    for (const QStringList &d : docs) {
        w.writeStartElement(QStringLiteral("docZip"));
        w.writeAttribute(QStringLiteral("NSU"), d[0]);
        w.writeAttribute(QStringLiteral("schema"), d[1]);
        w.writeCharacters(d[2]);
        w.writeEndElement();
    }
    w.writeEndElement();
    w.writeEndElement();
    return xml;
}

qint64 scalar(Store &s, const char *sql)
{
    Statement st(s, sql);
    return st.step() ? st.integer(0) : -1;
}

QVariantList getArgs(const QString &reg, const QString &status, QDate from = {}, QDate to = {})
{
    return {from.isValid() ? QVariant(from) : QVariant::fromValue(nullptr), to.isValid() ? QVariant(to) : QVariant::fromValue(nullptr),
            reg, status, QVariant::fromValue(nullptr), QVariant::fromValue(nullptr)};
}

QVariantList syncArgs(const QString &reg)
{
    return {QStringLiteral("01"), QStringLiteral("T"), reg, QStringLiteral("MANUAL"), QString(), QString()};
}
} // namespace

class TestServer : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QDateTime now = kNow;
    std::unique_ptr<SimulatedAuthority> sim;
    std::unique_ptr<Store> store;
    QString storePath;

    RemoteModule module(AuthoritySource &a) { return RemoteModule(*store, a, QStringLiteral("35"), [this] { return now; }); }

private Q_SLOTS:
    void init()
    {
        static int n = 0;
        now = kNow;
        storePath = dir.filePath(QStringLiteral("s%1.sqlite").arg(++n));
        store = std::make_unique<Store>(storePath);
        sim = std::make_unique<SimulatedAuthority>([this] { return now; });
    }

    void storeIsVersionedAndInWal()
    {
        QCOMPARE(store->schemaVersion(), Store::kSchemaVersion);
        {
            Statement st(*store, "PRAGMA journal_mode");
            QVERIFY(st.step());
            QCOMPARE(st.text(0), QStringLiteral("wal"));
        } // a statement left open would keep the update below uncommitted
        Statement(*store, "UPDATE meta SET value = '99' WHERE key = 'schema_version'").run();
        QVERIFY_THROWS_EXCEPTION(StoreError, Store s(storePath));
    }

    void synchronizationLoop()
    {
        Counting counting(*sim);
        RemoteModule m = module(counting);
        QVariantList args = syncArgs(kReg);
        QCOMPARE(m.SincronizarCTe(args).toList().value(0).toString(), QStringLiteral("S"));
        QVERIFY(counting.pages.size() > 2);
        for (int p : counting.pages)
            QVERIFY(p <= 50);
        for (const QString &c : counting.cStats)
            QCOMPARE(c, QStringLiteral("138"));
        const qint64 ult = QString::fromLatin1(QByteArray::number(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"))).toLongLong();
        // Every NSU up to the cursor is stored exactly once: a CT-e, an event, or "999".
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM cte") + scalar(*store, "SELECT COUNT(*) FROM evento WHERE nrnsu IS NOT NULL"), ult);
        QVERIFY(scalar(*store, "SELECT COUNT(*) FROM cte WHERE cdstatus = '999'") > 0);
        QVERIFY(scalar(*store, "SELECT COUNT(*) FROM cte WHERE cdstatus = '101'") > 0);
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM (SELECT nrnsu FROM cte GROUP BY nrnsu HAVING COUNT(*) > 1)"), 0);

        // Again with nothing new: one answer, 137, nothing added.
        const qint64 rows = scalar(*store, "SELECT COUNT(*) FROM cte");
        counting.pages.clear();
        counting.cStats.clear();
        args = syncArgs(kReg);
        QCOMPARE(m.SincronizarCTe(args).toList().value(0).toString(), QStringLiteral("S"));
        QCOMPARE(counting.cStats, QStringList{QStringLiteral("137")});
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM cte"), rows);

        // Time passes: the authority has new documents.
        now = now.addDays(3);
        args = syncArgs(kReg);
        m.SincronizarCTe(args);
        QVERIFY(scalar(*store, "SELECT COUNT(*) FROM cte") > rows);
    }

    void errorAnswerKeepsTheCursor()
    {
        RemoteModule good = module(*sim);
        QVariantList args = syncArgs(kReg);
        good.SincronizarCTe(args);
        const qint64 before = scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu");
        Scripted bad;
        bad.answer = distAnswer(QStringLiteral("656"), QStringLiteral("000000000000000"), QStringLiteral("000000000000000"), {});
        RemoteModule m = module(bad);
        args = syncArgs(kReg);
        const QVariantList r = m.SincronizarCTe(args).toList();
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QCOMPARE(r.value(1).toString(), QStringLiteral("656 - Rejeição: Consumo Indevido. Nova consulta à SEFAZ permitida a partir de 08/12/2026 10:00."));
        QCOMPARE(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"), before);
    }

    void corruptDocumentsAreKeptRaw()
    {
        SimulatedAuthority::Item it;
        const auto h = sim->history(kReg);
        for (const auto &i : h)
            if (i.kind == SimulatedAuthority::Item::Cte) {
                it = i;
                break;
            }
        const QString good = QString::fromLatin1(xmlutil::gzip(sim->procCTe(it)).toBase64());
        Scripted a;
        a.answer = distAnswer(QStringLiteral("138"), QStringLiteral("000000000000004"), QStringLiteral("000000000000004"),
                              {{QStringLiteral("000000000000001"), QStringLiteral("procCTe_v4.00.xsd"), QStringLiteral("@@not base64@@")},
                               {QStringLiteral("000000000000002"), QStringLiteral("procCTe_v4.00.xsd"), QString::fromLatin1(QByteArray("not gzip").toBase64())},
                               {QStringLiteral("000000000000003"), QStringLiteral("resNFe_v1.01.xsd"), good},
                               {QStringLiteral("000000000000004"), QStringLiteral("procCTe_v4.00.xsd"), good}});
        RemoteModule m = module(a);
        QVariantList args = syncArgs(kReg);
        QCOMPARE(m.SincronizarCTe(args).toList().value(0).toString(), QStringLiteral("S"));
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM doc_bruto"), 3);
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM cte WHERE cdstatus = '100'"), 1);
        QCOMPARE(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"), 4);
    }

    void listFilters_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("where");
        QTest::newRow("all") << "T" << "1=1";
        QTest::newRow("authorised") << "_100_" << "cdstatus = '100'";
        QTest::newRow("cancelled and missing") << "_999_101_" << "cdstatus IN ('999','101')";
        QTest::newRow("disagreement only") << "_000_" << "cdstatus = '000'";
    }
    void listFilters()
    {
        QFETCH(QString, status);
        QFETCH(QString, where);
        RemoteModule m = module(*sim);
        QVariantList s = syncArgs(kReg);
        m.SincronizarCTe(s);
        QVariantList args = getArgs(kReg, status);
        const QVariantList r = m.GetSincronizacaoCTe(args).toList();
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        const wire::DecodedPacket p = wire::decodePacket(r.value(1).value<TDataPacket>());
        QCOMPARE(int(p.fields.size()), 24);
        QCOMPARE(p.fields[0].name, QStringLiteral("IDCHECK"));
        QCOMPARE(p.fields[19].type, wire::PacketType::Float);
        QCOMPARE(p.fields[23].name, QStringLiteral("DTSINCRONIZACAO"));
        const QByteArray sql = "SELECT COUNT(*) FROM cte WHERE " + where.toLatin1();
        QCOMPARE(qint64(p.rows.size()), scalar(*store, sql.constData()));
        for (const QVariantList &row : p.rows) {
            QCOMPARE(row[0].toString(), QStringLiteral("N"));
            QCOMPARE(row[1].toString(), kReg);
        }
    }

    void listByEmissionDate()
    {
        RemoteModule m = module(*sim);
        QVariantList s = syncArgs(kReg);
        m.SincronizarCTe(s);
        QVariantList args = getArgs(kReg, QStringLiteral("_100_101_"), QDate(2026, 11, 1), QDate(2026, 11, 30));
        const wire::DecodedPacket p = wire::decodePacket(m.GetSincronizacaoCTe(args).toList().value(1).value<TDataPacket>());
        QVERIFY(!p.rows.empty());
        for (const QVariantList &row : p.rows)
            QVERIFY2(row[18].toString().endsWith(QStringLiteral("/11/2026")), qPrintable(row[18].toString()));
        QCOMPARE(qint64(p.rows.size()),
                 scalar(*store, "SELECT COUNT(*) FROM cte WHERE cdstatus IN ('100','101') AND dtemissao_iso BETWEEN '2026-11-01' AND '2026-11-30'"));
    }

    void listWithoutRegistrationIsRefused()
    {
        RemoteModule m = module(*sim);
        QVariantList args = getArgs(QString(), QStringLiteral("T"));
        const QVariantList r = m.GetSincronizacaoCTe(args).toList();
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QVERIFY(!r.value(1).toString().isEmpty());
    }

    void downloadKeepsDocumentsByteForByte()
    {
        RemoteModule m = module(*sim);
        QVariantList s = syncArgs(kReg);
        m.SincronizarCTe(s);
        QVariantList args = getArgs(kReg, QStringLiteral("T"));
        TDataPacket list = m.GetSincronizacaoCTe(args).toList().value(1).value<TDataPacket>();
        wire::DecodedPacket p = wire::decodePacket(list);
        // Tick a CT-e and a "999" row.
        QString cteNsu, gapNsu;
        wire::PacketWriter w(p.fields);
        for (QVariantList row : p.rows) {
            if (cteNsu.isEmpty() && row[21].toString() == QLatin1String("100")) { row[0] = QStringLiteral("S"); cteNsu = row[2].toString(); }
            else if (gapNsu.isEmpty() && row[21].toString() == QLatin1String("999")) { row[0] = QStringLiteral("S"); gapNsu = row[2].toString(); }
            w.beginRow();
            for (int c = 0; c < row.size(); ++c)
                if (c == 19 || c == 20) w.real(row[c].toDouble()); else w.text(row[c].toString());
        }
        QVariantList dl{QVariant::fromValue(w.finish()), QStringLiteral("01"), QStringLiteral("T"), kReg};
        const QVariantList r = m.DownloadXML(dl).toList();
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        const wire::DecodedPacket d = wire::decodePacket(r.value(1).value<TDataPacket>());
        QCOMPARE(int(d.rows.size()), 2);
        Statement st(*store, "SELECT nracessocte, xml FROM cte WHERE nrnsu = ?");
        st.bind(1, cteNsu);
        QVERIFY(st.step());
        for (const QVariantList &row : d.rows) {
            if (row[0].toString() == cteNsu) {
                QCOMPARE(row[1].toString(), st.text(0) + QStringLiteral("-procCTe.xml"));
                QCOMPARE(row[2].toByteArray(), st.blob(1));
                QCOMPARE(row[3].toString(), QStringLiteral("S"));
            } else {
                QCOMPARE(row[0].toString(), gapNsu);
                QCOMPARE(row[3].toString(), QStringLiteral("N"));
                QVERIFY(!row[4].toString().isEmpty());
            }
        }
    }

    void disagreementEvent()
    {
        RemoteModule m = module(*sim);
        QVariantList s = syncArgs(kReg);
        m.SincronizarCTe(s);
        // A recent CT-e that the company pays for, and one it only receives.
        QString mine, notMine;
        for (const auto &it : sim->history(kReg)) {
            if (it.kind != SimulatedAuthority::Item::Cte || !it.cancelProt.isEmpty() || it.at.daysTo(now) > 40)
                continue;
            const bool taker = (it.toma == 0 && it.rem.doc == kReg) || (it.toma == 3 && it.dest.doc == kReg) ||
                               (it.toma == 4 && it.toma4.doc == kReg);
            (taker ? mine : notMine) = it.key;
        }
        QVERIFY(!mine.isEmpty() && !notMine.isEmpty());
        auto call = [&](const QString &key, const QString &reason) {
            QVariantList a{key, reason, QStringLiteral("01"), kReg, QStringLiteral("T")};
            return m.RecusaCTe(a).toList();
        };
        QCOMPARE(call(mine, QStringLiteral("  curto  ")).value(0).toString(), QStringLiteral("N"));
        QCOMPARE(call(mine.left(43) + QChar('0' + (mine.right(1).toInt() + 1) % 10), QStringLiteral("Serviço não contratado pela empresa")).value(0).toString(), QStringLiteral("N"));
        const QVariantList refused = call(notMine, QStringLiteral("Serviço não contratado pela empresa"));
        QCOMPARE(refused.value(0).toString(), QStringLiteral("N"));
        QVERIFY(refused.value(1).toString().startsWith(QStringLiteral("632 - ")));
        const QVariantList ok = call(mine, QStringLiteral("   Serviço não contratado pela empresa   "));
        QCOMPARE(ok.value(0).toString(), QStringLiteral("S"));
        Statement st(*store, "SELECT cdstatus FROM cte WHERE nracessocte = ?");
        st.bind(1, mine);
        QVERIFY(st.step());
        QCOMPARE(st.text(0), QStringLiteral("000"));
        Statement ev(*store, "SELECT xml FROM evento WHERE tpevento = '610110'");
        QVERIFY(ev.step());
        QVERIFY(ev.blob(0).contains("<xObs>Serviço não contratado pela empresa</xObs>"));
        QVERIFY(ev.blob(0).contains("<indDesacordoOper>1</indDesacordoOper>"));
        QCOMPARE(call(mine, QStringLiteral("Serviço não contratado pela empresa")).value(0).toString(), QStringLiteral("N"));
    }

    void badRequestsGetErrorReplies_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("args");
        const QString s = QString::fromLatin1(wire::kServerName);
        QTest::newRow("other server") << "Outro.rdm" << "GetSincronizacaoCTe" << getArgs(kReg, "T");
        QTest::newRow("unknown method") << s << "Apagar" << QVariantList{};
        QTest::newRow("missing arguments") << s << "GetSincronizacaoCTe" << QVariantList{QDate(2026, 1, 1)};
        QTest::newRow("text where a date goes") << s << "GetSincronizacaoCTe"
                                                << QVariantList{"ontem", QDate(), kReg, "T", QDate(), QDate()};
        QTest::newRow("download without packet") << s << "DownloadXML" << QVariantList{"x", "01", "T", kReg};
    }
    void badRequestsGetErrorReplies()
    {
        QFETCH(QString, server);
        QFETCH(QString, method);
        QFETCH(QVariantList, args);
        RemoteModule m = module(*sim);
        const wire::Reply r = m.call({server, method, args});
        QVERIFY(!r.ok);
        QVERIFY(!r.error.isEmpty());
    }

    void clientsOverLoopback()
    {
        {
            RemoteModule m = module(*sim);
            QVariantList s = syncArgs(kReg);
            m.SincronizarCTe(s);
        }
        ServerConfig c;
        c.port = 0;
        c.storePath = storePath;
        c.maxFrame = 1 << 20;
        DfeServer::quiet = true;
        DfeServer server(c, std::make_shared<SimulatedAuthority>());
        QString error;
        QVERIFY2(server.start(error), qPrintable(error));
        const quint16 port = server.serverPort();

        // Raw clients in threads, several at once; one of them sends garbage first.
        std::atomic<int> okCalls{0}, errorReplies{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, port);
                if (!s.waitForConnected(3000))
                    return;
                auto roundTrip = [&](const QByteArray &payload) {
                    s.write(wire::frame(payload));
                    wire::FrameReader r;
                    QByteArray out;
                    while (!r.next(out)) {
                        if (!s.waitForReadyRead(5000))
                            return wire::Reply{false, QStringLiteral("timeout")};
                        r.feed(s.readAll());
                    }
                    return wire::decodeReply(out);
                };
                if (t == 0 && !roundTrip("\xff\x00garbage").ok)
                    ++errorReplies;
                for (int i = 0; i < 5; ++i) {
                    const wire::Reply r = roundTrip(wire::encodeRequest(
                        {QString::fromLatin1(wire::kServerName), QStringLiteral("GetSincronizacaoCTe"), getArgs(kReg, "_100_")}));
                    if (r.ok && r.result.toList().value(0).toString() == QLatin1String("S"))
                        ++okCalls;
                }
            });
        }
        // An oversized frame closes that connection only.
        QTcpSocket big;
        big.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(big.waitForConnected(3000));
        big.write(QByteArray::fromHex("7fffffff"));
        QVERIFY(waitFor([&] { return big.state() == QAbstractSocket::UnconnectedState; }, 5000));

        // The toolkit's connection, with by-reference write-back.
        TNetConnection net;
        net.ServerName = QString::fromLatin1(wire::kServerName);
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = port;
        QDate from(2026, 1, 1), to;
        QString reg = kReg, status = QStringLiteral("T");
        QDate si, sf;
        const QVariant reply = net.AppServer(QStringLiteral("GetSincronizacaoCTe"),
                                             {ByRef(from), ByRef(to), ByRef(reg), ByRef(status), ByRef(si), ByRef(sf)});
        QCOMPARE(reply.toList().value(0).toString(), QStringLiteral("S"));
        QCOMPARE(from, QDate(2026, 1, 1));
        QCOMPARE(reg, kReg);
        QVERIFY_THROWS_EXCEPTION(Exception, net.AppServer(QStringLiteral("Nada"), {}));
        for (auto &t : threads)
            t.join();
        QCOMPARE(okCalls.load(), 20);
        QCOMPARE(errorReplies.load(), 1);
        server.stop();
    }

    void connectionFailuresAreClear()
    {
        // Nothing listens on this port: no error at open, a clear one at the call.
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 dead = probe.serverPort();
        probe.close();
        TNetConnection net;
        net.ServerName = QString::fromLatin1(wire::kServerName);
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = dead;
        net.ThrowException = false;
        net.Open();
        QVERIFY(!net.Connected());
        try {
            net.AppServer(QStringLiteral("GetSincronizacaoCTe"), {});
            QFAIL("the call should fail");
        } catch (const Exception &e) {
            QVERIFY2(e.Message.contains(QStringLiteral("127.0.0.1:%1").arg(dead)), qPrintable(e.Message));
        }

        // A server that never answers: the call times out; the next call reconnects.
        FakeServer fake;
        QTcpServer mute;
        mute.listen(QHostAddress::LocalHost, 0);
        net.Port = mute.serverPort();
        net.TimeoutMs = 300;
        try {
            net.AppServer(QStringLiteral("GetSincronizacaoCTe"), {});
            QFAIL("the call should time out");
        } catch (const Exception &e) {
            QVERIFY2(e.Message.contains(QStringLiteral("sem resposta")), qPrintable(e.Message));
        }
        net.Port = fake.port();
        fake.handler = [](const wire::Request &r) { return okReply(QVariantList{QStringLiteral("S"), 1.0}, r.args); };
        QCOMPARE(net.AppServer(QStringLiteral("X"), {}).toList().value(0).toString(), QStringLiteral("S"));

        // A malformed reply is an error, not a crash.
        QTcpServer liar;
        liar.listen(QHostAddress::LocalHost, 0);
        connect(&liar, &QTcpServer::newConnection, &liar, [&liar] {
            QTcpSocket *s = liar.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [s] {
                s->readAll();
                s->write(wire::frame("\xa1\x65" "error"));
            });
        });
        net.Port = liar.serverPort();
        net.Close();
        QVERIFY_THROWS_EXCEPTION(Exception, net.AppServer(QStringLiteral("X"), {}));
    }
};

QTEST_MAIN(TestServer)
#include "tst_server.moc"
