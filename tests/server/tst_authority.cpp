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
#include "authority/sefaz/SefazAuthority.h"
#include "store/SyncState.h"
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
        sim = std::make_unique<SimulatedAuthority>([this] { return now; });
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
            Statement st(*store, "SELECT nrnsu, xml FROM cte WHERE cdstatus = '100' ORDER BY nrnsu LIMIT 3 OFFSET 10");
            while (st.step()) {
                nsus << st.text(0);
                xmls << st.blob(1);
            }
        }
        QCOMPARE(nsus.size(), 3);
        for (const QString &n : nsus)
            Statement(*store, "DELETE FROM cte WHERE nrnsu = ?").bind(1, n).run();
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
            Statement st(*store, "SELECT xml FROM cte WHERE nrnsu = ?");
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
    void killedServerSynchronizesAtOnceOnRestart()
    {
        const QString path = dir.filePath(QStringLiteral("killed.sqlite"));
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
        qInfo("restart after kill -9: %lld of %llu documents kept from the killed run, the rest in %lld ms",
              qlonglong(before), qulonglong(lastNsu()), qlonglong(took.elapsed()));
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

    // Folding may leave an ASCII-only authorizer too short a reason: refused before any call.
    void foldedReasonTooShortIsNotSent()
    {
        auto a = makeAuthority(options());
        const QString key = keyOf(QStringLiteral("51"));
        keep(key);
        const QString reason = QString::fromUcs4(U"\U0001F69A").repeated(10) + QStringLiteral(" avaria!");
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
