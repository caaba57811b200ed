// The authority client against a local HTTPS SOAP 1.2 authority with a test CA:
// mutual TLS, the distribution rules (one-hour hold-off, 656, consNSU gap repair)
// and every way a call can fail leaving the cursor where it was.
#include "AuthorityOptions.h"
#include "Fiscal.h"
#include "LocalAuthority.h"
#include "Calls.h"
#include "Methods.h"
#include "SyncState.h"
#include "TestPki.h"

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
} // namespace

class TestAuthority : public QObject {
    Q_OBJECT
    TestPki pki;
    QTemporaryDir dir;
    QDateTime now = kNow;
    std::unique_ptr<SimulatedAuthority> sim;
    std::unique_ptr<LocalAuthority> local;
    std::unique_ptr<Store> store;
    QString endpointsFile;

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

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(pki.ok(), qPrintable(pki.error()));
        sim = std::make_unique<SimulatedAuthority>([this] { return now; });
        local = std::make_unique<LocalAuthority>(pki.serverPem(), pki.serverKey(), pki.caPem(), *sim);
        QVERIFY(local->port() != 0);
        endpointsFile = dir.filePath(QStringLiteral("endpoints.ini"));
        QFile f(endpointsFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[CTeDistribuicaoDFe]\nAN.homologacao = " + local->url().toUtf8() + "\nAN.producao = " + local->url().toUtf8() + "\n");
    }

    void init()
    {
        static int n = 0;
        now = kNow;
        store = std::make_unique<Store>(dir.filePath(QStringLiteral("s%1.sqlite").arg(++n)));
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

    void oneSynchronizationPerRegistration()
    {
        syncstate::Lease first(*store, kReg, now);
        QVERIFY(first.acquired());
        syncstate::Lease second(*store, kReg, now.addSecs(60));
        QVERIFY(!second.acquired());
        QVERIFY(syncstate::Lease(*store, fiscal::cnpjWithDigits(QStringLiteral("998887770001")), now).acquired());
        auto a = makeAuthority(options());
        const QVariantList r = sync(*a);
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QVERIFY(r.value(1).toString().contains(QLatin1String("em andamento")));
        QVERIFY(local->calls().isEmpty());
        // A holder that died: its lease runs out.
        QVERIFY(syncstate::Lease(*store, kReg, now.addSecs(syncstate::Lease::kSeconds + 1)).acquired());
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
