// The authority client against a local HTTPS SOAP 1.2 authority with a test CA:
// mutual TLS, the distribution rules (one-hour hold-off, 656, consNSU gap repair)
// and every way a call can fail leaving the cursor where it was; the signed
// disagreement event, routed to the authorizer of the key's state.
#include "authority/AuthorityOptions.h"
#include "authority/EventMessages.h"
#include "Fiscal.h"
#include "LocalAuthority.h"
#include "Calls.h"
#include "RemoteModule.h"
#include "Synchronization.h"
#include "authority/OfficialSchemas.h"
#include "authority/sefaz/CompanyCertificate.h"
#include "authority/sefaz/SefazAuthority.h"
#include "store/SyncState.h"
#include "Engines.h"
#include "TestPki.h"
#include "authority/XmlSigner.h"
#include "authority/Xml.h"

#include <QRegularExpression>

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

namespace {
const QString kReg = QString::fromLatin1(TestPki::kCompany);
const QDateTime kNow(QDate(2026, 12, 8), QTime(12, 0), Qt::UTC);

qint64 scalar(Store &s, const char *sql)
{
    Statement st(s, sql);
    return st.step() ? st.integer(0) : -1;
}

QString textOf(Store &s, const char *sql)
{
    Statement st(s, sql);
    return st.step() ? st.text(0) : QString();
}

QVariantList syncArgs(const QString &reg)
{
    return {QStringLiteral("01"), QStringLiteral("T"), reg, QStringLiteral("MANUAL"), QString(), QString()};
}

// Answers every distribution query with the same retDistDFeInt, and counts them.
class OneAnswer : public AuthoritySource {
public:
    explicit OneAnswer(dist::Answer a) : m_answer(std::move(a)) {}
    QByteArray distDFeInt(const QByteArray &) override
    {
        ++queries;
        return dist::answer(m_answer);
    }
    QByteArray eventoCTe(const QByteArray &) override { return {}; }
    int queries = 0;

private:
    dist::Answer m_answer;
};
} // namespace

class TestAuthority : public QObject {
    Q_OBJECT
    TestPki pki;
    QTemporaryDir dir;
    QDateTime now = kNow;
    std::unique_ptr<SimulatedAuthority> sim;
    std::unique_ptr<LocalAuthority> local;
    std::unique_ptr<Store> store;
    QString storePath;
    QString endpointsFile;
    QSet<QString> usedKeys;

    AuthorityOptions options() const
    {
        AuthorityOptions o;
        o.source = QStringLiteral("sefaz");
        o.certificate = pki.companyP12();
        o.passwordFile = pki.passwordFile();
        o.caFile = pki.caPem();
        o.endpoints = endpointsFile;
        o.connectTimeoutSeconds = 5;
        o.answerTimeoutSeconds = 1;
        return o;
    }

    QVariantList sync(AuthoritySource &a, const QString &reg = kReg)
    {
        RemoteModule m(*store, a, QStringLiteral("35"), [this] { return now; });
        QVariantList args = syncArgs(reg);
        return run(m, "SincronizarCTe", args);
    }

    qint64 cursor() { return scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"); }
    quint64 lastNsu() { return sim->history(kReg).back().nsu; }

    // A CT-e of the simulated history, authorised `minDays` to `maxDays` before now,
    // that the company pays for (`taker`) or only takes part in.
    QString simKey(bool taker, int minDays, int maxDays)
    {
        for (const auto &it : sim->history(kReg)) {
            if (it.kind != SimulatedAuthority::Item::Cte || !it.cancelProt.isEmpty() || !fiscal::allDigits(it.key))
                continue;
            const qint64 age = it.at.daysTo(now);
            const bool pays = (it.toma == 0 && it.rem.doc == kReg) || (it.toma == 3 && it.dest.doc == kReg) ||
                              (it.toma == 4 && it.toma4.doc == kReg);
            // The simulation remembers the events it accepted across the cases.
            if (pays == taker && age >= minDays && age <= maxDays && !usedKeys.contains(it.key)) {
                usedKeys.insert(it.key);
                return it.key;
            }
        }
        return {};
    }
    // A key issued in the state of IBGE code `uf`.
    static QString keyOf(const QString &uf, const QString &issuerBase = QStringLiteral("045678900001"))
    {
        const QString first43 = uf + QStringLiteral("2611") + fiscal::cnpjWithDigits(issuerBase) +
                                QStringLiteral("570010000012341") + QStringLiteral("12345678");
        return first43 + QChar('0' + fiscal::accessKeyDigit(first43));
    }
    // The CT-e as a synchronization stores it.
    void keep(const QString &key)
    {
        static int nsu = 0;
        Statement(*store, "INSERT INTO cte (nrinsjurpesq, nrnsu, idtpambiente, nracessocte, cdstatus, dsstatus,"
                          " dtsincronizacao, dtsinc_iso) VALUES (?, ?, '2', ?, '100', 'Autorizado o uso do CT-e',"
                          " '08/12/2026', '2026-12-08')")
            .bind(1, kReg).bind(2, RemoteModule::nsuText(quint64(++nsu))).bind(3, key).run();
    }
    QVariantList refuse(AuthoritySource &a, const QString &key, const QString &reason)
    {
        RemoteModule m(*store, a, QStringLiteral("35"), [this] { return now; });
        QVariantList args{key, reason, QStringLiteral("01"), kReg, QStringLiteral("T")};
        return m.RecusaCTe(args).toList();
    }
    QString statusOf(const QString &key)
    {
        Statement st(*store, "SELECT cdstatus FROM cte WHERE nracessocte = ?");
        st.bind(1, key);
        return st.step() ? st.text(0) : QString();
    }
    qint64 events() { return scalar(*store, "SELECT COUNT(*) FROM evento"); }
    QByteArray storedEvent()
    {
        Statement st(*store, "SELECT xml FROM evento ORDER BY rowid DESC");
        return st.step() ? st.blob(0) : QByteArray();
    }
    QList<LocalAuthority::Call> eventCalls()
    {
        QList<LocalAuthority::Call> out;
        for (const auto &c : local->calls())
            if (c.path.endsWith(QLatin1String("/CTeRecepcaoEventoV4.asmx")))
                out << c;
        return out;
    }
    // xmlsec1's verdict on the event's signature over infEvento, chained to the test CA.
    int xmlsecVerify(const QByteArray &xml, const QString &name, QString &output)
    {
        const QString file = dir.filePath(name);
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly) || f.write(xml) != xml.size())
            return -1;
        f.close();
        return ::xmlsecVerify(pki.caPem(), QStringLiteral("http://www.portalfiscal.inf.br/cte:infEvento"), file, output);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(pki.ok(), qPrintable(pki.error()));
        // The simulation signs with a key of the test CA, so that its documents verify against it.
        sim = std::make_unique<SimulatedAuthority>([this] { return now; },
                                                   XmlSigner::fromPkcs12(pki.signerP12(), TestPki::kPassword));
        local = std::make_unique<LocalAuthority>(pki.serverPem(), pki.serverKey(), pki.caPem(), *sim);
        QVERIFY(local->port() != 0);
        // The shipped file, every address turned to the local authority (each authorizer
        // under its own path), its state-to-authorizer map and ASCII list as they are.
        QFile shipped(QStringLiteral(ENDPOINTS_INI));
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        QByteArray ini;
        QString section;
        static const QRegularExpression address(QStringLiteral("^(\\w+)\\.(producao|homologacao)\\s*=\\s*https://\\S+$"));
        for (const QByteArray &raw : shipped.readAll().split('\n')) {
            QString line = QString::fromUtf8(raw);
            if (line.startsWith(QLatin1Char('[')))
                section = line;
            const QRegularExpressionMatch m = address.match(line);
            if (m.hasMatch())
                line = m.captured(1) + QLatin1Char('.') + m.captured(2) + QStringLiteral(" = ") +
                       (section == QLatin1String("[CTeDistribuicaoDFe]") ? local->url() : local->eventUrl(m.captured(1), m.captured(2)));
            ini += line.toUtf8() + '\n';
        }
        QVERIFY(ini.contains("[CTeRecepcaoEventoV4]") && ini.contains("[Autorizadores]") && !ini.contains("fazenda"));
        endpointsFile = dir.filePath(QStringLiteral("endpoints.ini"));
        QFile f(endpointsFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(ini);
    }

    void init()
    {
        static int n = 0;
        now = kNow;
        storePath = dir.filePath(QStringLiteral("s%1.sqlite").arg(++n));
        store = std::make_unique<Store>(storePath);
        local->script({});
        local->clearCalls();
    }

    void fullSynchronization()
    {
        auto a = makeAuthority(options());
        const QVariantList r = sync(*a);
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        QCOMPARE(quint64(cursor()), lastNsu());
        const auto calls = local->calls();
        QVERIFY(calls.size() > 2);
        for (const auto &c : calls) {
            QVERIFY2(c.contentType.startsWith(QLatin1String("application/soap+xml; charset=utf-8")), qPrintable(c.contentType));
            QVERIFY(c.contentType.contains(QLatin1String("http://www.portalfiscal.inf.br/cte/wsdl/CTeDistribuicaoDFe/cteDistDFeInteresse")));
            const dist::Query q = dist::readRequest(c.message);
            QCOMPARE(q.tpAmb, QStringLiteral("2")); // homologation unless told otherwise
            QCOMPARE(q.registration, kReg);
        }
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM cte") + scalar(*store, "SELECT COUNT(*) FROM evento WHERE nrnsu IS NOT NULL"), cursor());
        QVERIFY(scalar(*store, "SELECT COUNT(*) FROM cte WHERE cdstatus = '100'") > 0);
    }

    void serverProgramSynchronizes()
    {
        QProcess server;
        server.setProcessChannelMode(QProcess::MergedChannels);
        const QString storePath = dir.filePath(QStringLiteral("program.sqlite"));
        server.start(QStringLiteral(SERVER_PATH),
                     {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--store"), storePath,
                      QStringLiteral("--authority"), QStringLiteral("sefaz"), QStringLiteral("--certificate"), pki.companyP12(),
                      QStringLiteral("--certificate-password-file"), pki.passwordFile(), QStringLiteral("--ca-file"), pki.caPem(),
                      QStringLiteral("--endpoints"), endpointsFile, QStringLiteral("--environment"), QStringLiteral("producao"),
                      QStringLiteral("--sync"), kReg});
        QVERIFY(server.waitForStarted());
        QString out;
        QVERIFY2(QTest::qWaitFor([&] {
            out += QString::fromLocal8Bit(server.readAll());
            return out.contains(QLatin1String("escutando"));
        }, 120000), qPrintable(out));
        server.terminate();
        server.waitForFinished(5000);
        QVERIFY2(out.contains(QStringLiteral("sincronização inicial de %1: Sincronização concluída").arg(kReg)), qPrintable(out));
        QVERIFY(!local->calls().isEmpty());
        QCOMPARE(dist::readRequest(local->calls().constFirst().message).tpAmb, QStringLiteral("1"));
        Store s(storePath);
        QCOMPARE(quint64(scalar(s, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu")), lastNsu());
    }

    void refusedBeforeOrDuringTls_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("ca");
        QTest::addColumn<bool>("otherCompany");
        QTest::addColumn<QString>("message");
        QTest::newRow("client certificate from another CA") << pki.rogueCompanyP12() << pki.caPem() << false
                                                           << QStringLiteral("fechou a conexão sem responder");
        QTest::newRow("server certificate not trusted") << pki.companyP12() << pki.rogueCaPem() << false
                                                        << QStringLiteral("certificado do servidor 127.0.0.1:");
        QTest::newRow("registration of another CNPJ base") << pki.companyP12() << pki.caPem() << true
                                                           << QStringLiteral("não consulta a inscrição");
    }

    void refusedBeforeOrDuringTls()
    {
        QFETCH(QString, certificate);
        QFETCH(QString, ca);
        QFETCH(bool, otherCompany);
        QFETCH(QString, message);
        AuthorityOptions o = options();
        o.certificate = certificate;
        o.caFile = ca;
        auto a = makeAuthority(o);
        const QString reg = otherCompany ? fiscal::cnpjWithDigits(QStringLiteral("998887770001")) : kReg;
        const QVariantList r = sync(*a, reg);
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QVERIFY2(r.value(1).toString().startsWith(QStringLiteral("Falha na consulta à SEFAZ: ")), qPrintable(r.value(1).toString()));
        QVERIFY2(r.value(1).toString().contains(message), qPrintable(r.value(1).toString()));
        QCOMPARE(cursor(), -1);
        // No request body ever reaches the authority when TLS or the CNPJ check refuses.
        QVERIFY(local->calls().isEmpty());
    }

    void failuresLeaveTheCursor_data()
    {
        QTest::addColumn<LocalAuthority::Reply>("reply");
        QTest::addColumn<QString>("message");
        using R = LocalAuthority::Reply;
        QTest::newRow("HTTP 500") << R::Http500 << QStringLiteral("Falha na consulta à SEFAZ: HTTP 500 de 127.0.0.1");
        QTest::newRow("SOAP fault") << R::SoapFault << QStringLiteral("Falha na consulta à SEFAZ: falha SOAP de 127.0.0.1 (HTTP 500): soap:Receiver: Servidor indisponível");
        QTest::newRow("garbage") << R::Garbage << QStringLiteral("Falha na consulta à SEFAZ: resposta não é SOAP 1.2");
        QTest::newRow("not a retDistDFeInt") << R::NotRetDist << QStringLiteral("Falha na consulta à SEFAZ: a resposta de 127.0.0.1 não é um retDistDFeInt (<retConsStatServCte>)");
        QTest::newRow("slow answer") << R::Slow << QStringLiteral("Falha na consulta à SEFAZ: tempo esgotado aguardando a resposta de 127.0.0.1:");
        QTest::newRow("dropped connection") << R::Drop << QStringLiteral("Falha na consulta à SEFAZ: 127.0.0.1:");
        QTest::newRow("rejection 215") << R::Cstat215 << QStringLiteral("215 - Rejeição: Falha no schema XML");
        QTest::newRow("SOAP 1.1 envelope") << R::Soap11 << QStringLiteral("Falha na consulta à SEFAZ: resposta não é SOAP 1.2: envelope SOAP 1.1");
        QTest::newRow("SOAP 1.1 fault") << R::Soap11Fault << QStringLiteral("Falha na consulta à SEFAZ: falha SOAP de 127.0.0.1 (HTTP 500): SOAP 1.1: soap:Server: Servidor indisponível");
        QTest::newRow("truncated answer") << R::Truncated << QStringLiteral("Falha na consulta à SEFAZ: resposta não é SOAP 1.2: ");
        QTest::newRow("answer without cStat") << R::NoCstat << QStringLiteral("Falha na consulta à SEFAZ: resposta da SEFAZ incompleta: sem cStat");
    }

    void failuresLeaveTheCursor()
    {
        QFETCH(LocalAuthority::Reply, reply);
        QFETCH(QString, message);
        auto a = makeAuthority(options());
        QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("S"));
        const qint64 before = cursor();
        const QString maxBefore = textOf(*store, "SELECT maxnsu FROM cursor_nsu");
        now = now.addDays(3); // new documents are waiting
        local->script(QList<LocalAuthority::Reply>(6, reply)); // the network layer resends up to three times on a dropped connection
        const QVariantList r = sync(*a);
        local->script({});
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QVERIFY2(r.value(1).toString().startsWith(message), qPrintable(r.value(1).toString()));
        QCOMPARE(cursor(), before);
        QCOMPARE(textOf(*store, "SELECT maxnsu FROM cursor_nsu"), maxBefore);
        // Not a misuse: the next call goes to the authority and gets the new documents.
        QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("S"));
        QVERIFY(cursor() > before);
    }

    void nothingNewHoldsOffForAnHour()
    {
        auto a = makeAuthority(options());
        QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("S"));
        local->clearCalls();
        QVariantList r = sync(*a);
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        QVERIFY2(r.value(1).toString().endsWith(QStringLiteral("Nova consulta à SEFAZ permitida a partir de 08/12/2026 10:00.")),
                 qPrintable(r.value(1).toString()));
        QCOMPARE(local->calls().size(), 1);

        now = now.addSecs(59 * 60);
        r = sync(*a);
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QCOMPARE(r.value(1).toString(), QStringLiteral("Nova consulta à SEFAZ permitida a partir de 08/12/2026 10:00."));
        QCOMPARE(local->calls().size(), 1);

        now = kNow.addSecs(3600);
        QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(local->calls().size(), 2);
    }

    void misuseKeepsCursorAndMax()
    {
        auto a = makeAuthority(options());
        QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("S"));
        const qint64 before = cursor();
        const QString maxBefore = textOf(*store, "SELECT maxnsu FROM cursor_nsu");
        QCOMPARE(maxBefore.toULongLong(), lastNsu());
        now = now.addDays(3);
        local->script({LocalAuthority::Reply::Cstat656});
        QVariantList r = sync(*a);
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QCOMPARE(r.value(1).toString(), QStringLiteral("656 - Rejeição: Consumo Indevido. Nova consulta à SEFAZ permitida a partir de 11/12/2026 10:00."));
        QCOMPARE(cursor(), before);
        QCOMPARE(textOf(*store, "SELECT maxnsu FROM cursor_nsu"), maxBefore);
        local->clearCalls();
        now = now.addSecs(600);
        QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("N"));
        QVERIFY(local->calls().isEmpty());
    }

    // The rule on its own, without the remote module: after 137 or 656 the registration is
    // not queried again within the hour; another rejection does not hold it off.
    void holdOffByTheSynchronizationRule_data()
    {
        QTest::addColumn<QString>("cStat");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("heldOff");
        const QString next = QStringLiteral("Nova consulta à SEFAZ permitida a partir de 08/12/2026 10:00.");
        QTest::newRow("137 nothing new") << "137" << "S" << QStringLiteral("Sincronização concluída: 0 documento(s) recebido(s). ") + next << true;
        QTest::newRow("656 misuse") << "656" << "N" << QStringLiteral("656 - Motivo. ") + next << true;
        QTest::newRow("other rejection") << "593" << "N" << "593 - Motivo" << false;
    }

    void holdOffByTheSynchronizationRule()
    {
        QFETCH(QString, cStat);
        dist::Answer a;
        a.cStat = cStat;
        a.xMotivo = QStringLiteral("Motivo");
        a.ultNSU = a.maxNSU = dist::nsuText(0);
        OneAnswer source(a);
        Synchronization sync(*store, source, QStringLiteral("35"), [this] { return now; });
        const QVariantList r = sync.run(kReg, QStringLiteral("MANUAL"));
        QTEST(r.value(0).toString(), "flag");
        QTEST(r.value(1).toString(), "message");
        QFETCH(bool, heldOff);
        QCOMPARE(syncstate::blockedUntil(*store, kReg, now).isValid(), heldOff);
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM cursor_nsu"), cStat == QLatin1String("137") ? 1 : 0);

        now = now.addSecs(59 * 60);
        const QVariantList again = sync.run(kReg, QStringLiteral("MANUAL"));
        QCOMPARE(source.queries, heldOff ? 1 : 2);
        if (heldOff)
            QCOMPARE(again.value(1).toString(), QStringLiteral("Nova consulta à SEFAZ permitida a partir de 08/12/2026 10:00."));
        now = kNow.addSecs(3600);
        sync.run(kReg, QStringLiteral("MANUAL"));
        QCOMPARE(source.queries, heldOff ? 2 : 3);
    }

    void gapRepairedWithConsNsu()
    {
        auto a = makeAuthority(options());
        QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("S"));
        // Three documents this store lacks below its cursor.
        QStringList nsus;
        QList<QByteArray> xmls;
        {
            Statement st(*store, "SELECT c.nrnsu, x.xml FROM cte c JOIN cte_xml x USING (nrinsjurpesq, nrnsu)"
                                 " WHERE c.cdstatus = '100' ORDER BY c.nrnsu LIMIT 3 OFFSET 10");
            while (st.step()) {
                nsus << st.text(0);
                xmls << st.blob(1);
            }
        }
        QCOMPARE(nsus.size(), 3);
        for (const QString &n : nsus) {
            Statement(*store, "DELETE FROM cte WHERE nrnsu = ?").bind(1, n).run();
            Statement(*store, "DELETE FROM cte_xml WHERE nrnsu = ?").bind(1, n).run();
        }
        QCOMPARE(syncstate::missingNsus(*store, kReg, quint64(cursor()), 50).size(), size_t(3));
        local->clearCalls();
        const QVariantList r = sync(*a);
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        const auto calls = local->calls();
        QCOMPARE(calls.size(), 4); // three consNSU, then the cursor's query
        for (int i = 0; i < 3; ++i)
            QCOMPARE(dist::readRequest(calls[i].message).nsu, nsus[i]);
        QVERIFY(dist::readRequest(calls[3].message).nsu.isEmpty());
        for (int i = 0; i < 3; ++i) {
            Statement st(*store, "SELECT xml FROM cte_xml WHERE nrnsu = ?");
            st.bind(1, nsus[i]);
            QVERIFY(st.step());
            QCOMPARE(st.blob(0), xmls[i]);
        }
        QVERIFY(syncstate::missingNsus(*store, kReg, quint64(cursor()), 50).empty());
    }

    void corruptDocumentsKeptRaw()
    {
        auto a = makeAuthority(options());
        local->script({LocalAuthority::Reply::CorruptDocs});
        QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM doc_bruto"), 2);
        QCOMPARE(textOf(*store, "SELECT conteudo FROM doc_bruto ORDER BY nrnsu"), QStringLiteral("@@ não é base64 @@"));
        QCOMPARE(quint64(cursor()), lastNsu());
        // Kept raw counts as stored: no consNSU asks for them again.
        QVERIFY(syncstate::missingNsus(*store, kReg, quint64(cursor()), 50).empty());
    }

    // Killed with SIGKILL in the middle of a synchronization (a page stored, the next one
    // on its way) and started again, the server synchronizes that registration at once:
    // nothing of the dead process holds it, and nothing the first run stored is lost.
    void killedServerSynchronizesAtOnceOnRestart_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::newRow("SQLite") << "sqlite";
        // The registration's lock is the session's advisory lock: it ends with the killed process's connection.
        QTest::newRow("PostgreSQL") << "postgresql";
    }
    void killedServerSynchronizesAtOnceOnRestart()
    {
        QFETCH(QString, engine);
        std::unique_ptr<PgInstance> pg;
        QString path = dir.filePath(QStringLiteral("killed.sqlite"));
        if (engine == QLatin1String("postgresql")) {
            pg = std::make_unique<PgInstance>();
            QVERIFY2(pg->ok(), qPrintable(pg->error()));
            const QString e = pg->createDatabase(QStringLiteral("killed"));
            QVERIFY2(e.isEmpty(), qPrintable(e));
            path = pg->uri(QStringLiteral("killed"));
        }
        const QStringList args{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--store"), path,
                               QStringLiteral("--authority"), QStringLiteral("sefaz"), QStringLiteral("--certificate"), pki.companyP12(),
                               QStringLiteral("--certificate-password-file"), pki.passwordFile(), QStringLiteral("--ca-file"), pki.caPem(),
                               QStringLiteral("--endpoints"), endpointsFile, QStringLiteral("--sync"), kReg};
        const int slow = local->slowMs;
        local->slowMs = 10000;
        local->script({LocalAuthority::Reply::Normal, LocalAuthority::Reply::Slow});
        QProcess first;
        first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        first.start(QStringLiteral(SERVER_PATH), args);
        QVERIFY(first.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return local->calls().size() >= 2; }, 60000));
        first.kill();
        QVERIFY(first.waitForFinished(10000));
        local->slowMs = slow;
        qint64 before = 0;
        {
            Store s(path);
            before = scalar(s, "SELECT COUNT(*) FROM cte") + scalar(s, "SELECT COUNT(*) FROM evento WHERE nrnsu IS NOT NULL");
        }
        QVERIFY(before > 0);
        QVERIFY(quint64(before) < lastNsu());

        QElapsedTimer took;
        took.start();
        QProcess second;
        second.setProcessChannelMode(QProcess::MergedChannels);
        second.start(QStringLiteral(SERVER_PATH), args);
        QVERIFY(second.waitForStarted());
        QString out;
        QVERIFY2(QTest::qWaitFor([&] {
            out += QString::fromLocal8Bit(second.readAll());
            return out.contains(QLatin1String("escutando"));
        }, 60000), qPrintable(out));
        second.terminate();
        second.waitForFinished(5000);
        QVERIFY2(out.contains(QStringLiteral("sincronização inicial de %1: Sincronização concluída").arg(kReg)), qPrintable(out));
        Store s(path);
        QCOMPARE(quint64(scalar(s, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu")), lastNsu());
        const qint64 after = scalar(s, "SELECT COUNT(*) FROM cte") + scalar(s, "SELECT COUNT(*) FROM evento WHERE nrnsu IS NOT NULL");
        QCOMPARE(quint64(after), lastNsu());
        qInfo("%s, restart after kill -9: %lld of %llu documents kept from the killed run, the rest in %lld ms",
              qPrintable(engine), qlonglong(before), qulonglong(lastNsu()), qlonglong(took.elapsed()));
    }

    // A scheduled run holds the registration (its lock on another connection of the store):
    // a second run queries nothing and says so at once; once the holder is gone (a crash
    // leaves its description behind, never its lock) the next run goes ahead.
    void oneSynchronizationPerRegistration_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("message");
        QTest::newRow("manual meets scheduled")
            << "MANUAL" << QStringLiteral("A sincronização agendada da inscrição %1 está em andamento desde 08/12/2026 09:00.").arg(kReg);
        QTest::newRow("scheduled meets scheduled")
            << Synchronization::kScheduled << QStringLiteral("Outra sincronização da inscrição %1 está em andamento.").arg(kReg);
    }

    void oneSynchronizationPerRegistration()
    {
        QFETCH(QString, origin);
        QFETCH(QString, message);
        auto a = makeAuthority(options());
        Synchronization sync(*store, *a, QStringLiteral("35"), [this] { return now; });
        {
            Store holderStore(storePath);
            const Store::RegistrationLock held(holderStore, kReg, false);
            QVERIFY(held.held());
            syncstate::markRunning(holderStore, kReg, Synchronization::kScheduled, now);
            QVERIFY(!Store::RegistrationLock(*store, kReg, false).held());
            QVERIFY(Store::RegistrationLock(*store, fiscal::cnpjWithDigits(QStringLiteral("998887770001")), false).held());
            const QVariantList r = sync.run(kReg, origin);
            QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
            QCOMPARE(r.value(1).toString(), message);
            QCOMPARE(int(sync.lastResult().ending), int(Synchronization::Ending::Busy));
            QVERIFY(local->calls().isEmpty());
        }
        QVERIFY(syncstate::running(*store, kReg).has_value()); // what a crash leaves
        QCOMPARE(sync.run(kReg, origin).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(int(sync.lastResult().ending), int(Synchronization::Ending::Done));
        QVERIFY(!local->calls().isEmpty());
        QVERIFY(!syncstate::running(*store, kReg).has_value());
    }

    // document/literal SOAP 1.2: the distribution keeps its operation element, the V4
    // event reception has cteDadosMsg right under the Body.
    void soapBodyAsTheWsdlSays_data()
    {
        QTest::addColumn<bool>("event");
        QTest::addColumn<QString>("body");
        QTest::newRow("CTeDistribuicaoDFe") << false
            << QStringLiteral("<soap12:Body><cteDistDFeInteresse xmlns=\"http://www.portalfiscal.inf.br/cte/wsdl/CTeDistribuicaoDFe\">"
                              "<cteDadosMsg>%1</cteDadosMsg></cteDistDFeInteresse></soap12:Body>");
        QTest::newRow("CTeRecepcaoEventoV4") << true
            << QStringLiteral("<soap12:Body><cteDadosMsg xmlns=\"http://www.portalfiscal.inf.br/cte/wsdl/CTeRecepcaoEventoV4\">"
                              "%1</cteDadosMsg></soap12:Body>");
    }
    void soapBodyAsTheWsdlSays()
    {
        QFETCH(bool, event);
        QFETCH(QString, body);
        auto a = makeAuthority(options());
        if (event) {
            const QString key = keyOf(QStringLiteral("26"));
            keep(key);
            local->script({LocalAuthority::Reply::AcceptEvent});
            const QVariantList r = refuse(*a, key, QStringLiteral("Serviço não contratado pela empresa"));
            QVERIFY2(r.value(0).toString() == QLatin1String("S"), qPrintable(r.value(1).toString()));
        } else {
            local->script({LocalAuthority::Reply::Cstat137});
            QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("S"));
        }
        const auto calls = local->calls();
        QCOMPARE(calls.size(), 1);
        // The recorded event keeps its bytes; the distribution request is rebuilt from what was read.
        const QByteArray message = event ? calls[0].message
                                         : xmlutil::withoutDeclaration(dist::request(dist::readRequest(calls[0].message)));
        const QString expected = QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?><soap12:Envelope"
                                                " xmlns:soap12=\"http://www.w3.org/2003/05/soap-envelope\">") +
                                 body.arg(QString::fromUtf8(message)) + QStringLiteral("</soap12:Envelope>");
        QCOMPARE(QString::fromUtf8(calls[0].body), expected);
    }

    void eventSignedSentAndStored_data()
    {
        QTest::addColumn<LocalAuthority::Reply>("reply");
        QTest::addColumn<QString>("cStat");
        QTest::newRow("135 from the authorizer") << LocalAuthority::Reply::Normal << QStringLiteral("135");
        QTest::newRow("134, linked with a warning") << LocalAuthority::Reply::Event134 << QStringLiteral("134");
    }
    void eventSignedSentAndStored()
    {
        QFETCH(LocalAuthority::Reply, reply);
        QFETCH(QString, cStat);
        auto a = makeAuthority(options());
        const QString key = simKey(true, 0, 40);
        QVERIFY(!key.isEmpty());
        keep(key);
        local->script({reply});
        const QVariantList r = refuse(*a, key, QStringLiteral("  Serviço não contratado pela empresa\r\n"));
        QVERIFY2(r.value(0).toString() == QLatin1String("S"), qPrintable(r.value(1).toString()));
        QCOMPARE(statusOf(key), QStringLiteral("000"));
        QCOMPARE(events(), 1);

        const auto calls = eventCalls();
        QCOMPARE(calls.size(), 1);
        QVERIFY2(calls[0].contentType.contains(QLatin1String("action=\"http://www.portalfiscal.inf.br/cte/wsdl/CTeRecepcaoEventoV4/cteRecepcaoEvento\"")),
                 qPrintable(calls[0].contentType));
        const QByteArray sent = calls[0].message;
        const evento::Fields f = evento::read(sent);
        QCOMPARE(f.root, QStringLiteral("eventoCTe"));
        QCOMPARE(f.version, QStringLiteral("4.00"));
        QVERIFY(f.signature);
        QVERIFY2(QRegularExpression(QStringLiteral("^ID[0-9]{53}$")).match(f.id).hasMatch(), qPrintable(f.id));
        QCOMPARE(f.id, QStringLiteral("ID610110") + key + QStringLiteral("001"));
        QCOMPARE(f.cOrgao, key.left(2));
        QCOMPARE(f.tpAmb, QStringLiteral("2"));
        QCOMPARE(f.authorTag, QStringLiteral("CNPJ"));
        QCOMPARE(f.author, kReg);
        QCOMPARE(f.key, key);
        QCOMPARE(f.dhEvento, QStringLiteral("2026-12-08T09:00:00-03:00"));
        QCOMPARE(f.tpEvento, QStringLiteral("610110"));
        QCOMPARE(f.nSeqEvento, QStringLiteral("1"));
        QCOMPARE(f.detVersion, QStringLiteral("4.00"));
        QCOMPARE(f.descEvento, QStringLiteral("Prestação do Serviço em Desacordo"));
        QCOMPARE(f.indDesacordoOper, QStringLiteral("1"));
        QCOMPARE(f.xObs, QStringLiteral("Serviço não contratado pela empresa"));

        // Kept as sent and as received, inside procEventoCTe.
        const QByteArray stored = storedEvent();
        QVERIFY(stored.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<procEventoCTe xmlns=\"http://www.portalfiscal.inf.br/cte\" versao=\"4.00\">" +
                                  sent + "<retEventoCTe"));
        QVERIFY(stored.endsWith(calls[0].answer + "</procEventoCTe>\n"));
        QVERIFY(calls[0].answer.startsWith("<retEventoCTe"));
        const auto v = xmlutil::leaves(stored);
        QCOMPARE(v.value(QStringLiteral("procEventoCTe/retEventoCTe/infEvento/cStat")), cStat);
        QCOMPARE(v.value(QStringLiteral("procEventoCTe/retEventoCTe/infEvento/nSeqEvento")), QStringLiteral("1"));

        // A second event on the same CT-e is the next of its sequence.
        Statement(*store, "UPDATE cte SET cdstatus = '100'").run();
        local->clearCalls();
        QCOMPARE(refuse(*a, key, QStringLiteral("Serviço não contratado, de novo")).value(0).toString(), QStringLiteral("S"));
        const evento::Fields second = evento::read(eventCalls().value(0).message);
        QCOMPARE(second.id, QStringLiteral("ID610110") + key + QStringLiteral("002"));
        QCOMPARE(second.nSeqEvento, QStringLiteral("2"));
        QCOMPARE(events(), 2);
    }

    void storedEventVerifiesWithXmlsec()
    {
        auto a = makeAuthority(options());
        const QString key = simKey(true, 0, 40);
        keep(key);
        QCOMPARE(refuse(*a, key, QStringLiteral("Serviço não contratado & <cobrado> \"indevidamente\"")).value(0).toString(), QStringLiteral("S"));
        const QByteArray sent = eventCalls().value(0).message;
        QVERIFY(sent.contains("<xObs>Serviço não contratado &amp; &lt;cobrado&gt; \"indevidamente\"</xObs>"));
        const QList<std::pair<QString, QByteArray>> documents = {{QStringLiteral("proc.xml"), storedEvent()},
                                                                 {QStringLiteral("evento.xml"), sent}};
        for (const auto &[name, xml] : documents) {
            QString out;
            QCOMPARE(xmlsecVerify(xml, name, out), 0);
            QVERIFY2(out.contains(QLatin1String("OK")), qPrintable(out));
            QByteArray tampered = xml;
            const qsizetype at = tampered.indexOf("<xObs>") + 7;
            QVERIFY(at > 7);
            tampered[at] = tampered[at] == 'x' ? 'y' : 'x';
            QVERIFY2(xmlsecVerify(tampered, QStringLiteral("tampered-") + name, out) != 0, qPrintable(name));
        }
    }

    void eventRoutedToTheStatesAuthorizer_data()
    {
        QTest::addColumn<QString>("uf");
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QString>("authorizer");
        QTest::addColumn<bool>("ascii");
        QTest::addColumn<QString>("offset");
        QTest::newRow("SP, homologation") << "35" << "homologacao" << "SP" << false << "-03:00";
        QTest::newRow("MT, production") << "51" << "producao" << "MT" << true << "-04:00";
        QTest::newRow("RS, homologation") << "43" << "homologacao" << "SVRS" << false << "-03:00";
        QTest::newRow("BA, production") << "29" << "producao" << "SVRS" << false << "-03:00";
        QTest::newRow("PE, homologation") << "26" << "homologacao" << "SVSP" << false << "-03:00";
        QTest::newRow("RR, production") << "14" << "producao" << "SVSP" << false << "-04:00";
    }
    void eventRoutedToTheStatesAuthorizer()
    {
        QFETCH(QString, uf);
        QFETCH(QString, environment);
        QFETCH(QString, authorizer);
        QFETCH(bool, ascii);
        QFETCH(QString, offset);
        AuthorityOptions o = options();
        o.environment = environment;
        auto a = makeAuthority(o);
        const QString key = keyOf(uf);
        keep(key);
        local->script({LocalAuthority::Reply::AcceptEvent});
        const QString reason = QStringLiteral("Avaria na ação de descarga: 1ª entrega");
        QCOMPARE(refuse(*a, key, reason).value(0).toString(), QStringLiteral("S"));
        const auto calls = local->calls();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].path, QStringLiteral("/%1/%2/CTeRecepcaoEventoV4.asmx").arg(authorizer, environment));
        const evento::Fields f = evento::read(calls[0].message);
        QCOMPARE(f.cOrgao, uf);
        QCOMPARE(f.tpAmb, environment == QLatin1String("producao") ? QStringLiteral("1") : QStringLiteral("2"));
        QVERIFY2(f.dhEvento.endsWith(offset), qPrintable(f.dhEvento));
        QCOMPARE(QDateTime::fromString(f.dhEvento, Qt::ISODate), now);
        QCOMPARE(f.descEvento, ascii ? QStringLiteral("Prestacao do Servico em Desacordo") : QStringLiteral("Prestação do Serviço em Desacordo"));
        QCOMPARE(f.xObs, ascii ? QStringLiteral("Avaria na acao de descarga: 1a entrega") : reason);
        QCOMPARE(QString::fromUtf8(calls[0].message).contains(QRegularExpression(QStringLiteral("[^\\x{0}-\\x{7f}]"))), !ascii);
        QVERIFY(storedEvent().contains(calls[0].message)); // kept as it was sent
    }

    // The shipped file, state by state: who authorizes its events and where.
    void everyStateHasItsAuthorizer_data()
    {
        QTest::addColumn<QString>("uf");
        QTest::addColumn<QString>("authorizer");
        QTest::addColumn<QString>("production");
        QTest::addColumn<QString>("homologation");
        QTest::addColumn<QString>("offset"); // of dhEvento: the state's own time, no summer time
        const QString svrsP = QStringLiteral("https://cte.svrs.rs.gov.br/ws/CTeRecepcaoEventoV4/CTeRecepcaoEventoV4.asmx");
        const QString svrsH = QStringLiteral("https://cte-homologacao.svrs.rs.gov.br/ws/CTeRecepcaoEventoV4/CTeRecepcaoEventoV4.asmx");
        const QString spP = QStringLiteral("https://nfe.fazenda.sp.gov.br/CTeWS/WS/CTeRecepcaoEventoV4.asmx");
        const QString spH = QStringLiteral("https://homologacao.nfe.fazenda.sp.gov.br/CTeWS/WS/CTeRecepcaoEventoV4.asmx");
        const struct {
            const char *code, *name, *authorizer, *offset;
            QString production, homologation;
        } states[] = {
            {"11", "RO", "SVRS", "-04:00", svrsP, svrsH}, {"12", "AC", "SVRS", "-05:00", svrsP, svrsH}, {"13", "AM", "SVRS", "-04:00", svrsP, svrsH},
            {"14", "RR", "SVSP", "-04:00", spP, spH},     {"15", "PA", "SVRS", "-03:00", svrsP, svrsH}, {"16", "AP", "SVSP", "-03:00", spP, spH},
            {"17", "TO", "SVRS", "-03:00", svrsP, svrsH}, {"21", "MA", "SVRS", "-03:00", svrsP, svrsH}, {"22", "PI", "SVRS", "-03:00", svrsP, svrsH},
            {"23", "CE", "SVRS", "-03:00", svrsP, svrsH}, {"24", "RN", "SVRS", "-03:00", svrsP, svrsH}, {"25", "PB", "SVRS", "-03:00", svrsP, svrsH},
            {"26", "PE", "SVSP", "-03:00", spP, spH},     {"27", "AL", "SVRS", "-03:00", svrsP, svrsH}, {"28", "SE", "SVRS", "-03:00", svrsP, svrsH},
            {"29", "BA", "SVRS", "-03:00", svrsP, svrsH}, {"32", "ES", "SVRS", "-03:00", svrsP, svrsH}, {"33", "RJ", "SVRS", "-03:00", svrsP, svrsH},
            {"35", "SP", "SP", "-03:00", spP, spH},       {"42", "SC", "SVRS", "-03:00", svrsP, svrsH}, {"43", "RS", "SVRS", "-03:00", svrsP, svrsH},
            {"52", "GO", "SVRS", "-03:00", svrsP, svrsH}, {"53", "DF", "SVRS", "-03:00", svrsP, svrsH},
            {"31", "MG", "MG", "-03:00", QStringLiteral("https://cte.fazenda.mg.gov.br/cte/services/CTeRecepcaoEventoV4"),
             QStringLiteral("https://hcte.fazenda.mg.gov.br/cte/services/CTeRecepcaoEventoV4")},
            {"41", "PR", "PR", "-03:00", QStringLiteral("https://cte.fazenda.pr.gov.br/cte4/CTeRecepcaoEventoV4"),
             QStringLiteral("https://homologacao.cte.fazenda.pr.gov.br/cte4/CTeRecepcaoEventoV4")},
            {"50", "MS", "MS", "-04:00", QStringLiteral("https://producao.cte.ms.gov.br/ws/CTeRecepcaoEventoV4"),
             QStringLiteral("https://homologacao.cte.ms.gov.br/ws/CTeRecepcaoEventoV4")},
            {"51", "MT", "MT", "-04:00", QStringLiteral("https://cte.sefaz.mt.gov.br/ctews2/services/CTeRecepcaoEventoV4"),
             QStringLiteral("https://homologacao.sefaz.mt.gov.br/ctews2/services/CTeRecepcaoEventoV4")},
        };
        for (const auto &s : states)
            QTest::addRow("%s", s.name) << QString::fromLatin1(s.code) << QString::fromLatin1(s.authorizer)
                                        << s.production << s.homologation << QString::fromLatin1(s.offset);
        QCOMPARE(std::size(states), size_t(27));
    }
    void everyStateHasItsAuthorizer()
    {
        QFETCH(QString, uf);
        QFETCH(QString, authorizer);
        QFETCH(QString, production);
        QFETCH(QString, homologation);
        const Endpoints e = Endpoints::load(QStringLiteral(ENDPOINTS_INI));
        const QString service = QString::fromLatin1(SefazAuthority::kEventService);
        QCOMPARE(e.authorizer(uf), authorizer);
        QCOMPARE(e.authorizerUrl(service, uf, Endpoints::Environment::Producao).toString(), production);
        QCOMPARE(e.authorizerUrl(service, uf, Endpoints::Environment::Homologacao).toString(), homologation);
        QCOMPARE(e.asciiOnly(authorizer), authorizer == QLatin1String("MT"));
        QFETCH(QString, offset);
        evento::Disagreement d;
        d.key = keyOf(uf);
        d.author = kReg;
        d.tpAmb = QStringLiteral("1");
        d.reason = QStringLiteral("Mercadoria não recebida");
        for (const QDateTime &at : {kNow, QDateTime(QDate(2026, 1, 15), QTime(2, 30), Qt::UTC)}) {
            d.at = at;
            const QString dh = evento::read(evento::build(d, false)).dhEvento;
            QVERIFY2(dh.endsWith(offset), qPrintable(dh));
            QCOMPARE(QDateTime::fromString(dh, Qt::ISODate), at);
        }
    }

    // The ASCII-only authorizer (MT) gets the reason folded and trimmed; its length is
    // counted after both, before any call.
    void asciiFoldingAtItsEdges_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("outcome"); // the xObs sent, or the refusal
        QTest::newRow("folds to exactly 15") << QStringLiteral("Avária na carga") << QStringLiteral("Avaria na carga");
        QTest::newRow("15 once the blanks folding leaves at both ends go")
            << QStringLiteral("¶ Avaria na carga ¤") << QStringLiteral("Avaria na carga");
        QTest::newRow("14 once the blank folding leaves at the end goes")
            << QStringLiteral("Avaria na carg ¶") << QStringLiteral("o motivo fica com 14 caracteres");
        QTest::newRow("14 after dropping signs without an ASCII form")
            << QStringLiteral("Avaria §na carg") << QStringLiteral("o motivo fica com 14 caracteres");
        QTest::newRow("255 after folding") << QString(QStringLiteral("x").repeated(250) + QStringLiteral("ãçéíõ"))
                                           << QString(QStringLiteral("x").repeated(250) + QStringLiteral("aceio"));
    }
    void asciiFoldingAtItsEdges()
    {
        QFETCH(QString, reason);
        QFETCH(QString, outcome);
        static int issuer = 0;
        auto a = makeAuthority(options());
        const QString key = keyOf(QStringLiteral("51"), QStringLiteral("0456789%1").arg(++issuer, 5, 10, QLatin1Char('0')));
        keep(key);
        local->script({LocalAuthority::Reply::AcceptEvent});
        const QVariantList r = refuse(*a, key, reason);
        if (outcome.startsWith(QLatin1String("o motivo"))) {
            QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
            QVERIFY2(r.value(1).toString().contains(outcome), qPrintable(r.value(1).toString()));
            QVERIFY(eventCalls().isEmpty());
            return;
        }
        QVERIFY2(r.value(0).toString() == QLatin1String("S"), qPrintable(r.value(1).toString()));
        QCOMPARE(evento::read(eventCalls().value(0).message).xObs, outcome);
    }

    // Folding may leave an ASCII-only authorizer too short a reason: refused before any call.
    void foldedReasonTooShortIsNotSent()
    {
        auto a = makeAuthority(options());
        const QString key = keyOf(QStringLiteral("51"));
        keep(key);
        // Latin-1 signs with no ASCII form: admitted by the authority, dropped by the folding.
        const QString reason = QStringLiteral("§¶×÷¤").repeated(2) + QStringLiteral(" avaria!");
        const QVariantList r = refuse(*a, key, reason);
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QVERIFY2(r.value(1).toString().contains(QLatin1String("o motivo fica com 7 caracteres")), qPrintable(r.value(1).toString()));
        QVERIFY(eventCalls().isEmpty());
        QCOMPARE(statusOf(key), QStringLiteral("100"));
        QCOMPARE(events(), 0);
        // The same reason goes as it is to an authorizer that takes accents.
        const QString sp = keyOf(QStringLiteral("35"));
        keep(sp);
        local->script({LocalAuthority::Reply::AcceptEvent});
        QCOMPARE(refuse(*a, sp, reason).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(evento::read(eventCalls().value(0).message).xObs, reason);
    }

    void eventRefusedChangesNothing_data()
    {
        QTest::addColumn<LocalAuthority::Reply>("reply");
        QTest::addColumn<bool>("taker");
        QTest::addColumn<int>("age");
        QTest::addColumn<QString>("message");
        using R = LocalAuthority::Reply;
        QTest::newRow("631, after 45 days") << R::Normal << true << 46
                                            << QStringLiteral("631 - Rejeição: Evento registrado após 45 dias da autorização do CT-e");
        QTest::newRow("297, signature broken on the way") << R::TamperEvent << true << 0
                                                          << QStringLiteral("297 - Rejeição: Assinatura difere do calculado");
        QTest::newRow("632, not the service taker") << R::Normal << false << 0
                                                    << QStringLiteral("632 - Rejeição: O autor do evento deve ser o tomador do serviço do CT-e");
        QTest::newRow("dropped connection") << R::Drop << true << 0 << QStringLiteral("Falha no envio do evento à SEFAZ: 127.0.0.1:");
        QTest::newRow("HTTP 500") << R::Http500 << true << 0 << QStringLiteral("Falha no envio do evento à SEFAZ: HTTP 500 de 127.0.0.1");
        QTest::newRow("not SOAP") << R::Garbage << true << 0 << QStringLiteral("Falha no envio do evento à SEFAZ: resposta não é SOAP 1.2");
        QTest::newRow("SOAP fault") << R::SoapFault << true << 0
                                    << QStringLiteral("Falha no envio do evento à SEFAZ: falha SOAP de 127.0.0.1 (HTTP 500): soap:Receiver: Servidor indisponível");
        QTest::newRow("SOAP 1.1 envelope") << R::Soap11 << true << 0
                                           << QStringLiteral("Falha no envio do evento à SEFAZ: resposta não é SOAP 1.2: envelope SOAP 1.1");
        QTest::newRow("SOAP 1.1 fault") << R::Soap11Fault << true << 0
                                        << QStringLiteral("Falha no envio do evento à SEFAZ: falha SOAP de 127.0.0.1 (HTTP 500): SOAP 1.1: soap:Server: Servidor indisponível");
        QTest::newRow("truncated answer") << R::Truncated << true << 0 << QStringLiteral("Falha no envio do evento à SEFAZ: resposta não é SOAP 1.2: ");
        QTest::newRow("answer without cStat") << R::NoCstat << true << 0
                                              << QStringLiteral("Falha no envio do evento à SEFAZ: a resposta não é um retEventoCTe");
    }
    void eventRefusedChangesNothing()
    {
        QFETCH(LocalAuthority::Reply, reply);
        QFETCH(bool, taker);
        QFETCH(int, age);
        QFETCH(QString, message);
        auto a = makeAuthority(options());
        const QString key = simKey(taker, age, age == 0 ? 40 : 400);
        QVERIFY(!key.isEmpty());
        keep(key);
        local->script(QList<LocalAuthority::Reply>(6, reply)); // the network layer resends on a dropped connection
        const QVariantList r = refuse(*a, key, QStringLiteral("Serviço não contratado pela empresa"));
        local->script({});
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QVERIFY2(r.value(1).toString().startsWith(message), qPrintable(r.value(1).toString()));
        QVERIFY(!eventCalls().isEmpty());
        QCOMPARE(statusOf(key), QStringLiteral("100"));
        QCOMPARE(events(), 0);
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM cte WHERE dsstatus <> 'Autorizado o uso do CT-e'"), 0);
    }

    // What the local authorizer refuses, sent by hand past the client's own rules.
    void authorizerChecksTheEvent_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("cStat");
        QTest::newRow("as the client builds it") << "" << "135";
        QTest::newRow("unsigned") << "unsigned" << "297";
        QTest::newRow("signed with another key") << "other key" << "297";
        QTest::newRow("Id with a 2-digit sequence") << "short id" << "225";
        QTest::newRow("xObs ending in a blank") << "blank" << "225";
        QTest::newRow("xObs of 14 characters") << "14" << "225";
        QTest::newRow("xObs of 256 characters") << "256" << "225";
        QTest::newRow("xObs of 255 characters") << "255" << "135";
        QTest::newRow("key with an alphanumeric CNPJ") << "alphanumeric" << "135";
    }
    void authorizerChecksTheEvent()
    {
        QFETCH(QString, change);
        QFETCH(QString, cStat);
        auto a = makeAuthority(options());
        evento::Disagreement d;
        d.key = change == QLatin1String("alphanumeric") ? keyOf(QStringLiteral("35"), QStringLiteral("04AB67890001"))
                                                        : keyOf(QStringLiteral("35"));
        d.tpAmb = QStringLiteral("2");
        d.author = kReg;
        d.at = now;
        d.reason = QStringLiteral("Serviço não contratado pela empresa");
        if (change == QLatin1String("blank")) d.reason += QLatin1Char(' ');
        else if (change == QLatin1String("14")) d.reason = QStringLiteral("ç").repeated(14);
        else if (change == QLatin1String("256")) d.reason = QStringLiteral("ç").repeated(256);
        else if (change == QLatin1String("255")) d.reason = QStringLiteral("ç").repeated(255);
        QByteArray xml = evento::build(d, false);
        QString id = evento::id(d);
        if (change == QLatin1String("short id")) {
            xml.replace(("Id=\"" + id).toUtf8(), ("Id=\"" + id.chopped(1)).toUtf8());
            id.chop(1);
        }
        const auto signer = XmlSigner::fromPkcs12(change == QLatin1String("other key") ? pki.signerP12() : pki.companyP12(),
                                                  TestPki::kPassword);
        const QByteArray sent = change == QLatin1String("unsigned") ? evento::withoutDeclaration(xml)
                                                                    : evento::withoutDeclaration(signer->sign(xml, id));
        local->script({LocalAuthority::Reply::AcceptEvent});
        QByteArray answer;
        try {
            answer = a->eventoCTe(sent);
        } catch (const std::exception &e) {
            QFAIL(e.what());
        }
        QCOMPARE(xmlutil::leaves(answer).value(QStringLiteral("retEventoCTe/infEvento/cStat")), cStat);
    }

    // Every message the server builds or simulates, against the authority's own schema;
    // an event's payload also on its own (the event schema skips it).
    void messagesMatchTheOfficialSchemas_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("schema");
        QTest::addColumn<QString>("payloadSchema");
        QTest::newRow("distDFeInt, distNSU") << "distNSU" << "distDFeInt_v1.00.xsd" << "";
        QTest::newRow("distDFeInt, consNSU") << "consNSU" << "distDFeInt_v1.00.xsd" << "";
        QTest::newRow("distDFeInt, CPF") << "cpf" << "distDFeInt_v1.00.xsd" << "";
        QTest::newRow("retDistDFeInt, 138") << "138" << "retDistDFeInt_v1.00.xsd" << "";
        QTest::newRow("retDistDFeInt, 137") << "137" << "retDistDFeInt_v1.00.xsd" << "";
        QTest::newRow("eventoCTe 610110, signed") << "evento" << "eventoCTe_v4.00.xsd" << "evPrestDesacordo_v4.00.xsd";
        QTest::newRow("eventoCTe 610110, folded for MT") << "eventoMT" << "eventoCTe_v4.00.xsd" << "evPrestDesacordo_v4.00.xsd";
        QTest::newRow("eventoCTe 610111, signed") << "eventoUndo" << "eventoCTe_v4.00.xsd" << "evCancPrestDesacordo_v4.00.xsd";
        QTest::newRow("eventoCTe 610111, folded for MT") << "eventoUndoMT" << "eventoCTe_v4.00.xsd" << "evCancPrestDesacordo_v4.00.xsd";
        QTest::newRow("retEventoCTe, 135") << "ret135" << "retEventoCTe_v4.00.xsd" << "";
        QTest::newRow("retEventoCTe, refusal") << "retRefused" << "retEventoCTe_v4.00.xsd" << "";
        QTest::newRow("procEventoCTe 610110, as kept") << "procEvento" << "procEventoCTe_v4.00.xsd" << "evPrestDesacordo_v4.00.xsd";
        QTest::newRow("procEventoCTe 110111, simulated") << "procCancel" << "procEventoCTe_v4.00.xsd" << "evCancCTe_v4.00.xsd";
        QTest::newRow("procEventoCTe 610110, simulated") << "procDisagreement" << "procEventoCTe_v4.00.xsd" << "evPrestDesacordo_v4.00.xsd";
        QTest::newRow("procEventoCTe 610111, simulated") << "procUndo" << "procEventoCTe_v4.00.xsd" << "evCancPrestDesacordo_v4.00.xsd";
        QTest::newRow("procCTe, simulated") << "procCTe" << "procCTe_v4.00.xsd" << "";
        QTest::newRow("procCTeOS, simulated") << "procCTeOS" << "procCTeOS_v4.00.xsd" << "";
        QTest::newRow("procGTVe, simulated") << "procGTVe" << "procGTVe_v4.00.xsd" << "";
        QTest::newRow("procCTeSimp, simulated") << "procCTeSimp" << "procCTeSimp_v4.00.xsd" << "";
    }
    void messagesMatchTheOfficialSchemas()
    {
        QFETCH(QString, message);
        QFETCH(QString, schema);
        QFETCH(QString, payloadSchema);
        const auto h = sim->history(kReg);
        dist::Query q;
        q.tpAmb = QStringLiteral("2");
        q.registration = kReg;
        q.ultNSU = RemoteModule::nsuText(message == QLatin1String("137") ? h.back().nsu : 0);
        if (message == QLatin1String("consNSU")) q.nsu = RemoteModule::nsuText(7);
        if (message == QLatin1String("cpf")) q.registration = QStringLiteral("52998224725");
        evento::Disagreement d;
        d.key = message.endsWith(QLatin1String("MT")) ? keyOf(QStringLiteral("51")) : simKey(true, 0, 40);
        if (message.startsWith(QLatin1String("eventoUndo"))) {
            d.type = QString::fromLatin1(evento::kUndoType);
            d.disagreementProtocol = QStringLiteral("135260000000888");
        }
        d.tpAmb = QStringLiteral("2");
        d.author = kReg;
        d.at = now;
        d.reason = QStringLiteral("Serviço não contratado: ação \"indevida\" & cobrança <errada>");
        auto a = makeAuthority(options());
        QByteArray xml;
        if (message == QLatin1String("distNSU") || message == QLatin1String("consNSU") || message == QLatin1String("cpf")) {
            xml = dist::request(q);
        } else if (message == QLatin1String("138") || message == QLatin1String("137")) {
            xml = sim->distDFeInt(dist::request(q));
            QCOMPARE(xmlutil::leaves(xml).value(QStringLiteral("retDistDFeInt/cStat")), message);
        } else if (message.startsWith(QLatin1String("evento"))) {
            xml = a->prepareEvent(d);
        } else if (message == QLatin1String("ret135") || message == QLatin1String("retRefused")) {
            if (message == QLatin1String("retRefused"))
                d.key = keyOf(QStringLiteral("35")); // not in the authority's base
            xml = sim->eventoCTe(a->prepareEvent(d));
            QCOMPARE(xmlutil::leaves(xml).value(QStringLiteral("retEventoCTe/infEvento/cStat")),
                     message == QLatin1String("ret135") ? QStringLiteral("135") : QStringLiteral("217"));
        } else if (message == QLatin1String("procEvento")) {
            keep(d.key);
            local->script({LocalAuthority::Reply::Normal});
            const QVariantList r = refuse(*a, d.key, d.reason);
            QVERIFY2(r.value(0).toString() == QLatin1String("S"), qPrintable(r.value(1).toString()));
            xml = storedEvent();
        } else {
            for (const auto &it : h) {
                if (it.kind == SimulatedAuthority::Item::Cte && SimulatedAuthority::procSchema(it) == schema)
                    xml = sim->procCTe(it);
                else if (message == QLatin1String("procDisagreement") && it.kind == SimulatedAuthority::Item::Cte)
                    xml = sim->procEventoDisagreement(it, 1, it.at.addDays(1), QStringLiteral("135260000000888"));
                else if (message == QLatin1String("procUndo") && it.kind == SimulatedAuthority::Item::Cte)
                    xml = sim->procEventoUndo(it, 1, it.at.addDays(2), QStringLiteral("135260000000999"), QStringLiteral("135260000000888"));
                else if (message == QLatin1String("procCancel") && it.kind == SimulatedAuthority::Item::Cancel)
                    xml = sim->procEventoCancel(it, h[size_t(it.target)]);
                if (!xml.isEmpty())
                    break;
            }
        }
        QVERIFY(!xml.isEmpty());
        QString problem = schemas::problem(xml, schema);
        QVERIFY2(problem.isEmpty(), qPrintable(problem + QLatin1Char('\n') + QString::fromUtf8(xml.left(3000))));
        if (payloadSchema.isEmpty())
            return;
        const QByteArray payload = schemas::firstChildOf(xml, QStringLiteral("detEvento"));
        QVERIFY(!payload.isEmpty());
        problem = schemas::problem(payload, payloadSchema);
        QVERIFY2(problem.isEmpty(), qPrintable(problem + QLatin1Char('\n') + QString::fromUtf8(payload)));
    }

    // The simulated authorizer on its own: the authority's codes, in the order it checks.
    void simulatedEventReception_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("answer"); // cStat - xMotivo, the start of it
        QTest::newRow("signed as the product sends it") << "" << "135 - Evento registrado e vinculado a CT-e";
        QTest::newRow("unsigned") << "unsigned" << "215 - Rejeição: Falha no schema XML";
        QTest::newRow("reason of 14 characters") << "14" << "215 - Rejeição: Falha no schema XML";
        QTest::newRow("reason with a euro sign") << "euro" << "215 - Rejeição: Falha no schema XML";
        QTest::newRow("signature broken") << "tampered" << "297 - Rejeição: Assinatura difere do calculado";
        QTest::newRow("not in the authority's base") << "unknown" << "217 - Rejeição: CT-e não consta na base de dados da SEFAZ";
        QTest::newRow("cancelled CT-e") << "cancelled" << "218 - Rejeição: CT-e já está cancelado na base de dados da SEFAZ";
        QTest::newRow("author is not the service taker") << "not taker"
                                                         << "632 - Rejeição: O autor do evento deve ser o tomador do serviço do CT-e";
        QTest::newRow("after 45 days") << "old" << "631 - Rejeição: Evento registrado após 45 dias da autorização do CT-e";
        QTest::newRow("duplicate") << "duplicate" << "631 - Rejeição: Duplicidade de evento [nProt:1";
    }
    void simulatedEventReception()
    {
        QFETCH(QString, change);
        QFETCH(QString, answer);
        evento::Disagreement d;
        d.tpAmb = QStringLiteral("2");
        d.author = kReg;
        d.at = now;
        d.reason = QStringLiteral("Serviço não contratado pela empresa");
        if (change == QLatin1String("not taker")) d.key = simKey(false, 0, 40);
        else if (change == QLatin1String("old")) d.key = simKey(true, 46, 400);
        else if (change == QLatin1String("unknown")) d.key = keyOf(QStringLiteral("35"));
        else d.key = simKey(true, 0, 40);
        if (change == QLatin1String("cancelled"))
            for (const auto &it : sim->history(kReg))
                if (it.kind == SimulatedAuthority::Item::Cte && !it.cancelProt.isEmpty())
                    d.key = it.key;
        if (change == QLatin1String("14")) d.reason = d.reason.left(14);
        else if (change == QLatin1String("euro")) d.reason += QStringLiteral(" de 10 €");
        QVERIFY(!d.key.isEmpty());
        QByteArray sent = change == QLatin1String("unsigned") ? evento::build(d, false) : sim->prepareEvent(d);
        if (change == QLatin1String("tampered"))
            sent.replace("contratado", "contratada");
        if (change == QLatin1String("duplicate"))
            QCOMPARE(xmlutil::leaves(sim->eventoCTe(sent)).value(QStringLiteral("retEventoCTe/infEvento/cStat")), QStringLiteral("135"));
        const QByteArray ret = sim->eventoCTe(sent);
        QCOMPARE(schemas::problem(ret, QStringLiteral("retEventoCTe_v4.00.xsd")), QString());
        const auto v = xmlutil::leaves(ret);
        const QString got = v.value(QStringLiteral("retEventoCTe/infEvento/cStat")) + QStringLiteral(" - ") +
                            v.value(QStringLiteral("retEventoCTe/infEvento/xMotivo"));
        QVERIFY2(got.startsWith(answer), qPrintable(got));
    }

    // Synchronized through the authority client over mutual TLS, every document downloaded:
    // each kind is there, valid by its official schema, and its signature verifies.
    void everyKindDownloadedIsValidAndSigned()
    {
        auto a = makeAuthority(options());
        QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("S"));
        wire::PacketWriter ticks({{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
                                  {QStringLiteral("NRNSU"), wire::PacketType::Text, 15}});
        Statement rows(*store, "SELECT nrnsu FROM cte_xml ORDER BY nrnsu");
        while (rows.step()) {
            ticks.beginRow();
            ticks.text(QStringLiteral("S"));
            ticks.text(rows.text(0));
        }
        RemoteModule m(*store, *a, QStringLiteral("35"), [this] { return now; });
        const wire::DecodedPacket files =
            packetOf(run(m, "DownloadXML", {QVariant::fromValue(ticks.finish()), QStringLiteral("01"), QStringLiteral("T"), kReg}));
        static const QHash<QString, QString> schemaOf = {
            {QStringLiteral("cteProc"), QStringLiteral("procCTe_v4.00.xsd")}, {QStringLiteral("cteOSProc"), QStringLiteral("procCTeOS_v4.00.xsd")},
            {QStringLiteral("GTVeProc"), QStringLiteral("procGTVe_v4.00.xsd")}, {QStringLiteral("cteSimpProc"), QStringLiteral("procCTeSimp_v4.00.xsd")}};
        QSet<QString> kinds;
        bool alphanumericIssuer = false;
        for (const QVariantList &row : files.rows) {
            QCOMPARE(row[3].toString(), QStringLiteral("S"));
            const QByteArray xml = row[2].toByteArray();
            const QString root = xmlutil::rootName(xml);
            kinds << root;
            alphanumericIssuer = alphanumericIssuer || !fiscal::allDigits(row[1].toString().left(44));
            const QString problem = schemas::problem(xml, schemaOf.value(root));
            QVERIFY2(problem.isEmpty(), qPrintable(row[1].toString() + QStringLiteral(": ") + problem));
            QString out;
            const QString file = dir.filePath(row[1].toString());
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(xml);
            f.close();
            QVERIFY2(::xmlsecVerify(pki.caPem(), QStringLiteral("http://www.portalfiscal.inf.br/cte:infCte"), file, out) == 0, qPrintable(out));
        }
        QCOMPARE(kinds, (QSet<QString>{QStringLiteral("cteProc"), QStringLiteral("cteOSProc"), QStringLiteral("GTVeProc"),
                                       QStringLiteral("cteSimpProc")}));
        QVERIFY(alphanumericIssuer);
        // The cancellations the distribution delivered: the event and its payload, signed.
        Statement ev(*store, "SELECT xml FROM evento WHERE tpevento = '110111'");
        int cancellations = 0;
        while (ev.step()) {
            const QByteArray xml = ev.blob(0);
            QCOMPARE(schemas::problem(xml, QStringLiteral("procEventoCTe_v4.00.xsd")), QString());
            QCOMPARE(schemas::problem(schemas::firstChildOf(xml, QStringLiteral("detEvento")), QStringLiteral("evCancCTe_v4.00.xsd")), QString());
            QString out;
            QCOMPARE(xmlsecVerify(xml, QStringLiteral("cancel%1.xml").arg(++cancellations), out), 0);
        }
        QVERIFY(cancellations > 0);
    }

    // The company certificate's end, seen from the server's clock.
    void certificateValidity_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<int>("daysAfterExpiry"); // negative: before it
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("message"); // %1: the expiry as the answer writes it
        const QString expired = QStringLiteral("O certificado digital da empresa venceu em %1: nenhuma chamada à SEFAZ foi feita.");
        const QString ending = QStringLiteral("Atenção: o certificado digital da empresa vence em %1.");
        QTest::newRow("synchronization, expired") << "SincronizarCTe" << 1 << "N" << expired;
        QTest::newRow("event, expired") << "RecusaCTe" << 1 << "N" << expired;
        QTest::newRow("synchronization, 10 days left") << "SincronizarCTe" << -10 << "S" << ending;
        QTest::newRow("synchronization, 30 days left") << "SincronizarCTe" << -30 << "S" << ending;
        QTest::newRow("synchronization, 31 days left") << "SincronizarCTe" << -31 << "S" << QString();
    }
    void certificateValidity()
    {
        QFETCH(QString, method);
        QFETCH(int, daysAfterExpiry);
        QFETCH(QString, flag);
        QFETCH(QString, message);
        const QDateTime expiry = CompanyCertificate::load(pki.companyP12(), TestPki::kPassword).certificate().expiryDate();
        QVERIFY(expiry.isValid());
        now = expiry.addDays(daysAfterExpiry).addSecs(daysAfterExpiry > 0 ? 0 : 60);
        const QString when = expiry.toOffsetFromUtc(-3 * 3600).toString(QStringLiteral("dd/MM/yyyy HH:mm"));
        auto a = makeAuthority(options());
        local->script({LocalAuthority::Reply::Cstat137});
        if (!message.isEmpty() && flag == QLatin1String("S"))
            QTest::ignoreMessage(QtWarningMsg, qPrintable(message.arg(when)));
        QVariantList r;
        if (method == QLatin1String("RecusaCTe")) {
            const QString key = keyOf(QStringLiteral("35"));
            keep(key);
            r = refuse(*a, key, QStringLiteral("Serviço não contratado pela empresa"));
        } else {
            r = sync(*a);
        }
        QCOMPARE(r.value(0).toString(), flag);
        if (flag == QLatin1String("N")) {
            QCOMPARE(r.value(1).toString(), message.arg(when));
            QVERIFY(local->calls().isEmpty()); // stopped before the call
        } else if (message.isEmpty()) {
            QVERIFY2(!r.value(1).toString().contains(QLatin1String("certificado")), qPrintable(r.value(1).toString()));
        } else {
            QVERIFY2(r.value(1).toString().endsWith(message.arg(when)), qPrintable(r.value(1).toString()));
        }
    }

    void optionsAreChecked_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("message");
        QTest::newRow("no certificate") << "certificate" << "--authority sefaz exige --certificate";
        QTest::newRow("no CA file") << "ca" << "--authority sefaz exige --ca-file";
        QTest::newRow("unknown environment") << "environment" << "ambiente inválido: teste";
        QTest::newRow("wrong password") << "password" << "não é um PKCS#12 legível com a senha informada";
        QTest::newRow("plain http address") << "http" << "não é https";
        QTest::newRow("unknown source") << "source" << "fonte da SEFAZ desconhecida: outra";
    }

    void optionsAreChecked()
    {
        QFETCH(QString, what);
        QFETCH(QString, message);
        AuthorityOptions o = options();
        const QString wrongPassword = dir.filePath(QStringLiteral("wrong.txt"));
        if (what == QLatin1String("certificate")) o.certificate.clear();
        else if (what == QLatin1String("ca")) o.caFile.clear();
        else if (what == QLatin1String("environment")) o.environment = QStringLiteral("teste");
        else if (what == QLatin1String("source")) o.source = QStringLiteral("outra");
        else if (what == QLatin1String("password")) {
            QFile f(wrongPassword);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("segredo-errado\n");
            o.passwordFile = wrongPassword;
        } else if (what == QLatin1String("http")) {
            o.endpoints = dir.filePath(QStringLiteral("http.ini"));
            QFile f(o.endpoints);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("[CTeDistribuicaoDFe]\nAN.homologacao = http://127.0.0.1:1/x\n");
        }
        try {
            makeAuthority(o);
            QFAIL("accepted");
        } catch (const std::runtime_error &e) {
            const QString text = QString::fromUtf8(e.what());
            QVERIFY2(text.contains(message), qPrintable(text));
            QVERIFY(!text.contains(QLatin1String("segredo-errado")));
        }
    }

    void passwordFromTheEnvironment()
    {
        AuthorityOptions o = options();
        o.passwordFile.clear();
        qputenv(AuthorityOptions::kPasswordVariable, TestPki::kPassword);
        auto a = makeAuthority(o);
        qunsetenv(AuthorityOptions::kPasswordVariable);
        QCOMPARE(sync(*a).value(0).toString(), QStringLiteral("S"));
    }
};

QTEST_MAIN(TestAuthority)
#include "tst_authority.moc"
