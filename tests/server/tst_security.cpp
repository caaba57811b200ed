// The server on a network: TLS, who may call (tokens and client certificates tied to
// registrations), plain text refused off loopback, and the host's messages when the
// connection cannot be trusted. Certificates are made at run time; traffic stays on loopback.
#include "Callers.h"
#include "Engines.h"
#include "Exceptions.h"
#include "Fiscal.h"
#include "Frame.h"
#include "Hello.h"
#include "RemoteModule.h"
#include "NetConnection.h"
#include "Packet.h"
#include "ServerConfig.h"
#include "net/AttemptThrottle.h"
#include "net/ServerTls.h"
#include "authority/simulated/SimulatedAuthority.h"
#include "TestPki.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>

namespace {
const QString kReg = QString::fromLatin1(TestPki::kCompany);
const QString kOther = fiscal::cnpjWithDigits(QStringLiteral("112223330002"));
const QString kCompanyCn = QStringLiteral("EMPRESA TESTE LTDA:%1").arg(kReg);

QVariantList getArgs(const QString &reg)
{
    const QVariant none = QVariant::fromValue(nullptr);
    return {none, none, reg, QStringLiteral("T"), none, none};
}

// A dfe-server process on a loopback port; its log is read when it stops.
class ServerRun {
public:
    quint16 start(const QStringList &args)
    {
        QString out;
        port = startServerProcess(p, QStringLiteral(SERVER_PATH), QStringList{"--port", "0"} + args, 20000, out);
        if (!port)
            qWarning("%s", qPrintable(out));
        return port;
    }
    QString stop()
    {
        if (!port && p.state() == QProcess::NotRunning)
            return QString(); // never started
        p.terminate();
        if (!p.waitForFinished(5000))
            p.kill();
        p.waitForFinished(2000);
        return QString::fromLocal8Bit(p.readAllStandardError());
    }
    ~ServerRun()
    {
        if (p.state() != QProcess::NotRunning)
            stop();
    }
    QProcess p;
    quint16 port = 0;
};

// Sends raw frames on an open socket and reads one reply frame (or nothing, when the
// server closes or stays silent for `ms`).
std::optional<wire::Reply> exchange(QTcpSocket &s, const QByteArray &frames, int ms = 5000)
{
    s.write(frames);
    wire::FrameReader r;
    QByteArray payload;
    try {
        while (!r.next(payload)) {
            if (s.state() != QAbstractSocket::ConnectedState && s.bytesAvailable() == 0)
                return std::nullopt;
            if (!s.waitForReadyRead(ms) && s.bytesAvailable() == 0)
                return std::nullopt;
            r.feed(s.readAll());
        }
        return wire::decodeReply(payload);
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

QByteArray request(const QString &method, const QVariantList &args)
{
    return wire::frame(wire::encodeRequest({QString::fromLatin1(wire::kServerName), method, args}));
}

QString flagOf(const QVariant &reply) { return reply.toList().value(0).toString(); }

// A TLS listener in the test's own process that shows a certificate dfe-server refuses to start with.
class TlsStub : public QTcpServer {
public:
    explicit TlsStub(const QString &pem, const QString &key)
    {
        m_tls = QSslConfiguration::defaultConfiguration();
        m_tls.setLocalCertificateChain(QSslCertificate::fromPath(pem));
        QFile f(key);
        if (f.open(QIODevice::ReadOnly))
            m_tls.setPrivateKey(QSslKey(f.readAll(), QSsl::Rsa));
    }

protected:
    void incomingConnection(qintptr fd) override
    {
        auto *s = new QSslSocket(this);
        if (!s->setSocketDescriptor(fd))
            return;
        s->setSslConfiguration(m_tls);
        s->startServerEncryption();
    }

private:
    QSslConfiguration m_tls;
};
} // namespace

class TestSecurity : public QObject {
    Q_OBJECT
    std::unique_ptr<TestPki> pki;
    QTemporaryDir dir;
    QString store, token, otherToken;

    std::unique_ptr<TNetConnection> client(quint16 port, TNetSecurity security)
    {
        auto net = std::make_unique<TNetConnection>();
        net->ServerName = QString::fromLatin1(wire::kServerName);
        net->Host = QStringLiteral("127.0.0.1");
        net->Port = port;
        // Long enough that a hang would show as a time-out message, not as the cause.
        net->ConnectTimeoutMs = 30000;
        net->TimeoutMs = 60000;
        net->Security = std::move(security);
        return net;
    }
    QStringList tlsArgs() const
    {
        return {"--store", store, "--tls-cert", pki->serverPem(), "--tls-key", pki->serverKey()};
    }
    static QString failureOf(TNetConnection &net, const QString &method, const QVariantList &values)
    {
        std::vector<TArg> args;
        for (const QVariant &v : values)
            args.push_back(ByVal(v));
        try {
            net.AppServer(method, args);
        } catch (const Exception &e) {
            return e.Message;
        }
        return QString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        pki = std::make_unique<TestPki>();
        QVERIFY2(pki->ok(), qPrintable(pki->error()));
        QVERIFY(pki->makeExpiredServer());
        store = dir.filePath(QStringLiteral("store.sqlite"));
        Store s(store);
        SimulatedAuthority sim;
        RemoteModule m(s, sim);
        QVariantList sync{QStringLiteral("01"), QStringLiteral("T"), kReg, QStringLiteral("MANUAL"), QString(), QString()};
        QCOMPARE(flagOf(m.SincronizarCTe(sync)), QStringLiteral("S"));
        token = callers::addToken(s, QStringLiteral("caixa-1"), {kReg});
        otherToken = callers::addToken(s, QStringLiteral("filial-2"), {kOther});
        callers::addCertificate(s, kCompanyCn, {kReg});
    }

    void tlsRoundTripOfAllFourMethods()
    {
        ServerRun server;
        QVERIFY(server.start(tlsArgs()));
        auto net = client(server.port, TNetSecurity{true, pki->caPem(), token, {}, {}});

        QDate from, to, si, sf;
        QString reg = kReg, status = QStringLiteral("T");
        const QVariant list = net->AppServer(QStringLiteral("GetSincronizacaoCTe"),
                                             {ByRef(from), ByRef(to), ByRef(reg), ByRef(status), ByRef(si), ByRef(sf)});
        QCOMPARE(flagOf(list), QStringLiteral("S"));
        const TDataPacket packet = list.toList().value(1).value<TDataPacket>();
        wire::DecodedPacket rows = wire::decodePacket(packet);
        QVERIFY(rows.rows.size() > 2);
        const int check = rows.indexOf(QStringLiteral("IDCHECK")), key = rows.indexOf(QStringLiteral("NRACESSOCTE"));
        const int status_ = rows.indexOf(QStringLiteral("CDSTATUS"));
        QString accessKey;
        for (const QVariantList &row : rows.rows)
            if (row[status_].toString() == QLatin1String("100") && accessKey.isEmpty())
                accessKey = row[key].toString();
        QVERIFY(!accessKey.isEmpty());

        QString state = QStringLiteral("T");
        const QVariant synced = net->AppServer(QStringLiteral("SincronizarCTe"),
                                               {ByVal(QStringLiteral("01")), ByRef(state), ByRef(reg), ByVal(QStringLiteral("MANUAL")),
                                                ByVal(QString()), ByVal(QString())});
        QCOMPARE(synced.toList().size(), 2);

        // The list sent back with its first row ticked.
        wire::PacketWriter w(rows.fields);
        for (size_t i = 0; i < rows.rows.size(); ++i) {
            w.beginRow();
            for (int c = 0; c < int(rows.fields.size()); ++c) {
                const QVariant &v = rows.rows[i][qsizetype(c)];
                if (c == check)
                    w.text(i == 0 ? QStringLiteral("S") : QStringLiteral("N"));
                else if (rows.fields[size_t(c)].type == wire::PacketType::Float)
                    w.real(v.toDouble());
                else
                    w.text(v.toString());
            }
        }
        const QVariant xml = net->AppServer(QStringLiteral("DownloadXML"),
                                            {ByVal(QVariant::fromValue(w.finish())), ByVal(QStringLiteral("01")), ByRef(state), ByRef(reg)});
        QVERIFY(flagOf(xml) != QLatin1String("N"));
        const wire::DecodedPacket files = wire::decodePacket(xml.toList().value(1).value<TDataPacket>());
        QCOMPARE(int(files.rows.size()), 1);
        QVERIFY(files.rows[0][qsizetype(files.indexOf(QStringLiteral("DSTEXTOXML")))].toByteArray().startsWith("<"));

        const QString reason = QStringLiteral("Serviço não contratado pela empresa");
        const QVariant refused = net->AppServer(QStringLiteral("RecusaCTe"),
                                                {ByVal(accessKey), ByVal(reason), ByVal(QStringLiteral("01")), ByRef(reg), ByRef(state)});
        QCOMPARE(refused.toList().size(), 2);
        QCOMPARE(net->CallCount(), 4);

        const QString log = server.stop();
        QVERIFY2(log.contains(QStringLiteral("SincronizarCTe (token caixa-1)")), qPrintable(log));
        QVERIFY2(log.contains(QStringLiteral("RecusaCTe (token caixa-1)")), qPrintable(log));
        QVERIFY2(!log.contains(token), "the log holds the token");
        QVERIFY2(!log.contains(QLatin1String("<?xml")) && !log.contains(QLatin1String("infCte")) && !log.contains(reason),
                 "the log holds XML or the reason");
    }

    void untrustedServerRefused_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("cause");
        QTest::newRow("CA of another company") << "server" << "rogue-ca.pem" << "127.0.0.1" << "não foi emitido por uma autoridade confiável";
        QTest::newRow("system store only") << "server" << "" << "127.0.0.1" << "não foi emitido por uma autoridade confiável";
        QTest::newRow("expired certificate") << "expired-server" << "ca.pem" << "127.0.0.1" << "expirou em 01/02/2020";
        // Issued by the trusted CA, for 127.0.0.1 only: the host asked for by name is not in it.
        QTest::newRow("certificate for another host name") << "server" << "ca.pem" << "localhost"
                                                           << "o certificado do servidor não é para o endereço \"localhost\"";
        QTest::newRow("plain-text server") << "" << "ca.pem" << "127.0.0.1" << "não respondeu em TLS";
        // Its frame limit is above what a TLS record head reads as: the server must see the handshake for what it is.
        QTest::newRow("plain-text server, large frames") << "plain-large" << "ca.pem" << "127.0.0.1" << "não respondeu em TLS";
    }
    void untrustedServerRefused()
    {
        QFETCH(QString, certificate);
        QFETCH(QString, caFile);
        QFETCH(QString, host);
        QFETCH(QString, cause);
        ServerRun server;
        QStringList args{"--store", store};
        if (certificate == QLatin1String("plain-large"))
            args << "--max-frame" << "4294967295";
        else if (!certificate.isEmpty())
            args << "--tls-cert" << pki->path(certificate + ".pem") << "--tls-key" << pki->path(certificate + ".key");
        TlsStub stub(pki->path(certificate + ".pem"), pki->path(certificate + ".key"));
        if (certificate == QLatin1String("expired-server")) // dfe-server does not start with it
            QVERIFY(stub.listen(QHostAddress::LocalHost));
        else
            QVERIFY(server.start(args));
        const quint16 port = stub.isListening() ? stub.serverPort() : server.port;
        auto net = client(port, TNetSecurity{true, caFile.isEmpty() ? QString() : pki->path(caFile), token, {}, {}});
        net->Host = host;
        const QString message = failureOf(*net, QStringLiteral("GetSincronizacaoCTe"), getArgs(kReg));
        QVERIFY2(message.contains(QStringLiteral("servidor de aplicação em %1:%2").arg(host).arg(port)), qPrintable(message));
        QVERIFY2(message.contains(cause), qPrintable(message));
        QVERIFY(!net->Connected());
        const QString log = server.stop();
        QVERIFY2(!log.contains(QLatin1String("GetSincronizacaoCTe")), qPrintable(log));
        QVERIFY2(!log.contains(token), "the log holds the token");
    }

    // Plain text to a TLS server: the host says the server speaks TLS.
    void plainClientToTlsServer()
    {
        ServerRun server;
        QVERIFY(server.start(tlsArgs()));
        auto net = client(server.port, TNetSecurity{});
        const QString message = failureOf(*net, QStringLiteral("GetSincronizacaoCTe"), getArgs(kReg));
        QVERIFY2(message.contains(QStringLiteral("127.0.0.1:%1").arg(server.port)) && message.contains(QLatin1String("usa TLS")),
                 qPrintable(message));
    }

    void clientWithoutTokenRefusedBeforeAnyMethod_data()
    {
        QTest::addColumn<QString>("secret");
        QTest::addColumn<QString>("cause");
        QTest::newRow("no token") << "" << "autenticação exigida antes da primeira chamada";
        QTest::newRow("wrong token") << "x" << "token de acesso desconhecido";
        QTest::newRow("token with a character changed") << "changed" << "token de acesso desconhecido";
    }
    void clientWithoutTokenRefusedBeforeAnyMethod()
    {
        QFETCH(QString, secret);
        QFETCH(QString, cause);
        if (secret == QLatin1String("changed"))
            secret = token.left(token.size() - 1) + (token.endsWith(QLatin1Char('A')) ? QLatin1Char('B') : QLatin1Char('A'));
        ServerRun server;
        QVERIFY(server.start(tlsArgs()));
        auto net = client(server.port, TNetSecurity{true, pki->caPem(), secret, {}, {}});
        const QString message = failureOf(*net, QStringLiteral("SincronizarCTe"),
                                          {QStringLiteral("01"), QStringLiteral("T"), kReg, QStringLiteral("MANUAL"), QString(), QString()});
        QVERIFY2(message.contains(QStringLiteral("servidor de aplicação em 127.0.0.1:%1 recusou o acesso").arg(server.port)),
                 qPrintable(message));
        QVERIFY2(message.contains(cause), qPrintable(message));

        // A raw TLS client that skips the first frame and calls at once.
        QSslSocket raw;
        QSslConfiguration c = raw.sslConfiguration();
        c.setCaCertificates(QSslCertificate::fromPath(pki->caPem()));
        raw.setSslConfiguration(c);
        raw.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port);
        QVERIFY(raw.waitForEncrypted(10000));
        const std::optional<wire::Reply> r = exchange(raw, request(QStringLiteral("SincronizarCTe"),
                                                                   {QStringLiteral("01"), QStringLiteral("T"), kReg, QStringLiteral("MANUAL"), QString(), QString()}));
        QVERIFY(r && !r->ok);
        QVERIFY2(r->error.contains(QStringLiteral("autenticação exigida")), qPrintable(r->error));
        QVERIFY(waitFor([&] { return raw.state() == QAbstractSocket::UnconnectedState; }, 5000));

        const QString log = server.stop();
        QVERIFY2(!log.contains(QLatin1String("SincronizarCTe")), qPrintable(log)); // no method ran
        QVERIFY2(!log.contains(token), "the log holds the token");
    }

    // Wrong tokens from one address: after a few, each further try waits its turn, longer
    // each time; the log says so once; a right token from another address is not slowed.
    void wrongTokensSlowedDownPerAddress()
    {
        ServerRun server;
        QVERIFY(server.start({"--store", store}));
        const auto attempt = [&](const QString &from, const QString &secret, qint64 &ms) {
            QTcpSocket s;
            if (!s.bind(QHostAddress(from)))
                return std::optional<wire::Reply>();
            s.connectToHost(QHostAddress::LocalHost, server.port);
            if (!s.waitForConnected(5000))
                return std::optional<wire::Reply>();
            QElapsedTimer t;
            t.start();
            auto r = exchange(s, wire::frame(wire::encodeHello({secret})), 20000);
            ms = t.elapsed();
            return r;
        };
        qint64 ms = 0;
        for (int i = 0; i < AttemptThrottle::kFreeFailures; ++i) {
            const auto r = attempt(QStringLiteral("127.0.0.2"), QStringLiteral("errado"), ms);
            QVERIFY(r && !r->ok);
            QVERIFY2(ms < AttemptThrottle::kFirstDelayMs, qPrintable(QString::number(ms)));
        }
        auto r = attempt(QStringLiteral("127.0.0.2"), QStringLiteral("errado"), ms);
        QVERIFY(r && !r->ok);
        QVERIFY2(ms >= AttemptThrottle::kFirstDelayMs - 100, qPrintable(QString::number(ms)));
        qint64 longer = 0;
        r = attempt(QStringLiteral("127.0.0.2"), token, longer); // even the right token waits there
        QVERIFY(r && r->ok);
        QVERIFY2(longer >= 2 * AttemptThrottle::kFirstDelayMs - 100, qPrintable(QString::number(longer)));
        qint64 other = 0;
        r = attempt(QStringLiteral("127.0.0.1"), token, other);
        QVERIFY(r && r->ok);
        QCOMPARE(r->result.toString(), QStringLiteral("token caixa-1"));
        QVERIFY2(other < AttemptThrottle::kFirstDelayMs, qPrintable(QString::number(other)));
        const QString log = server.stop();
        QCOMPARE(log.count(QStringLiteral("127.0.0.2: 5 acessos recusados no último minuto")), 1);
        QVERIFY2(!log.contains(QStringLiteral("127.0.0.1: ")), qPrintable(log));
    }

    // The throttle's arithmetic on its own clock.
    void attemptThrottle_data()
    {
        QTest::addColumn<QList<qint64>>("failures"); // times of refused first frames
        QTest::addColumn<qint64>("at");              // when the next attempt comes
        QTest::addColumn<qint64>("wait");
        QTest::addColumn<int>("logged");             // how many refusals asked for the log line
        QTest::newRow("four refusals: no wait") << QList<qint64>{0, 1, 2, 3} << qint64(10) << qint64(0) << 0;
        QTest::newRow("five: one second") << QList<qint64>{0, 1, 2, 3, 4} << qint64(10) << qint64(1000) << 1;
        QTest::newRow("seven: four seconds") << QList<qint64>{0, 1, 2, 3, 4, 5, 6} << qint64(10) << qint64(4000) << 1;
        QTest::newRow("twenty: at most thirty") << QList<qint64>(20, 0) << qint64(10) << qint64(30000) << 1;
        QTest::newRow("a minute later: forgotten") << QList<qint64>{0, 1, 2, 3, 4} << qint64(60004) << qint64(0) << 1;
        QTest::newRow("logged again the next minute")
            << QList<qint64>{0, 1, 2, 3, 4, 50000, 50001, 50002, 50003, 60004} << qint64(60005) << qint64(1000) << 2;
    }
    void attemptThrottle()
    {
        QFETCH(QList<qint64>, failures);
        QFETCH(qint64, at);
        QFETCH(qint64, wait);
        QFETCH(int, logged);
        AttemptThrottle t;
        int logLines = 0;
        for (qint64 when : failures)
            logLines += t.failed(QStringLiteral("10.0.0.1"), when) ? 1 : 0;
        QCOMPARE(logLines, logged);
        QCOMPARE(t.admit(QStringLiteral("10.0.0.1"), at), wait);
        QCOMPARE(t.admit(QStringLiteral("10.0.0.2"), at), qint64(0));
        if (wait > 0) // the next one waits for this one's turn too
            QVERIFY(t.admit(QStringLiteral("10.0.0.1"), at) >= 2 * wait);
    }

    // The server's own certificate and the CA of client certificates, checked at start.
    void certificateExpiryAtStart_data()
    {
        QTest::addColumn<int>("ownDays");    // 0: the one that expired in 2020
        QTest::addColumn<int>("clientCaDays"); // 0: no --client-ca
        QTest::addColumn<QString>("said");    // in the log, or in the refusal
        QTest::addColumn<bool>("starts");
        QTest::addColumn<bool>("quiet");      // --quiet leaves out info lines, never a warning
        QTest::newRow("own for 90 days") << 90 << 0 << "" << true << false;
        QTest::newRow("own for 10 days") << 10 << 0 << "o certificado TLS deste servidor \"127.0.0.1\" expira em {own}" << true << false;
        QTest::newRow("own for 10 days, quiet") << 10 << 0 << "o certificado TLS deste servidor \"127.0.0.1\" expira em {own}"
                                                << true << true;
        QTest::newRow("client CA for 10 days") << 90 << 10 << "o certificado da AC de clientes \"AC ca10\" expira em {ca}" << true << false;
        QTest::newRow("own expired") << 0 << 0 << "expirou em 01/02/2020; renove-o antes de iniciar o servidor" << false << false;
    }
    void certificateExpiryAtStart()
    {
        QFETCH(int, ownDays);
        QFETCH(int, clientCaDays);
        QFETCH(QString, said);
        QFETCH(bool, starts);
        QFETCH(bool, quiet);
        const QString own = ownDays ? QStringLiteral("server%1").arg(ownDays) : QStringLiteral("expired-server");
        QVERIFY(!ownDays || QFile::exists(pki->path(own + ".pem")) || pki->makeServer(own, ownDays));
        QStringList args{"--store", store, "--tls-cert", pki->path(own + ".pem"), "--tls-key", pki->path(own + ".key")};
        if (quiet)
            args << "--quiet";
        if (clientCaDays) {
            const QString ca = QStringLiteral("ca%1").arg(clientCaDays);
            QVERIFY(pki->makeCa(ca, clientCaDays));
            args << "--client-ca" << pki->path(ca + ".pem");
        }
        const QDate utc = QDateTime::currentDateTimeUtc().date();
        said.replace(QLatin1String("{own}"), utc.addDays(ownDays).toString(QStringLiteral("dd/MM/yyyy")));
        said.replace(QLatin1String("{ca}"), utc.addDays(clientCaDays).toString(QStringLiteral("dd/MM/yyyy")));
        ServerRun server;
        if (!starts) {
            QProcess p;
            p.start(QStringLiteral(SERVER_PATH), QStringList{"--port", "0"} + args);
            QVERIFY(p.waitForFinished(20000));
            QCOMPARE(p.exitCode(), 2);
            const QString err = QString::fromLocal8Bit(p.readAllStandardError());
            QVERIFY2(err.contains(said) && err.contains(pki->path(own + ".pem")), qPrintable(err));
            return;
        }
        QVERIFY(server.start(args));
        const QString log = server.stop();
        if (said.isEmpty())
            QVERIFY2(!log.contains(QLatin1String("AVISO")), qPrintable(log));
        else
            QCOMPARE(log.count(said), 1);
    }

    // --check-config tells the same warnings, and refuses what a start refuses.
    void certificateExpiryChecked_data() { certificateExpiryAtStart_data(); }
    void certificateExpiryChecked()
    {
        QFETCH(int, ownDays);
        QFETCH(int, clientCaDays);
        QFETCH(QString, said);
        QFETCH(bool, starts);
        const QString own = ownDays ? QStringLiteral("server%1").arg(ownDays) : QStringLiteral("expired-server");
        QVERIFY(QFile::exists(pki->path(own + ".pem")) || (ownDays ? pki->makeServer(own, ownDays) : pki->makeExpiredServer()));
        QStringList args{"--check-config", "--port", "0", "--store", store, "--tls-cert", pki->path(own + ".pem"),
                         "--tls-key", pki->path(own + ".key")};
        if (clientCaDays) {
            const QString ca = QStringLiteral("ca%1").arg(clientCaDays);
            QVERIFY(QFile::exists(pki->path(ca + ".pem")) || pki->makeCa(ca, clientCaDays));
            args << "--client-ca" << pki->path(ca + ".pem");
        }
        const QDate utc = QDateTime::currentDateTimeUtc().date();
        said.replace(QLatin1String("{own}"), utc.addDays(ownDays).toString(QStringLiteral("dd/MM/yyyy")));
        said.replace(QLatin1String("{ca}"), utc.addDays(clientCaDays).toString(QStringLiteral("dd/MM/yyyy")));
        QProcess p;
        p.start(QStringLiteral(SERVER_PATH), args);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), starts ? 0 : 2);
        const QString out = QString::fromLocal8Bit(starts ? p.readAllStandardOutput() : p.readAllStandardError());
        if (starts)
            QVERIFY2(out.contains(QStringLiteral("configuração válida")), qPrintable(out));
        if (said.isEmpty())
            QVERIFY2(!out.contains(QLatin1String("AVISO")), qPrintable(out));
        else
            QVERIFY2(out.count(said) == 1, qPrintable(out));
    }

    // The daily check: what a certificate is told on later days.
    void certificateWarningsLater_data()
    {
        QTest::addColumn<int>("days"); // of the server certificate
        QTest::addColumn<int>("later");
        QTest::addColumn<QString>("said");
        QTest::newRow("90 days, checked 59 days on") << 90 << 59 << "";
        QTest::newRow("90 days, checked 61 days on") << 90 << 61 << "expira em";
        QTest::newRow("90 days, checked 91 days on") << 90 << 91 << "expirou em";
    }
    void certificateWarningsLater()
    {
        QFETCH(int, days);
        QFETCH(int, later);
        QFETCH(QString, said);
        const QString name = QStringLiteral("server%1").arg(days);
        QVERIFY(QFile::exists(pki->path(name + ".pem")) || pki->makeServer(name, days));
        QSslConfiguration c;
        c.setLocalCertificateChain(QSslCertificate::fromPath(pki->path(name + ".pem")));
        const QStringList lines = certificateWarnings(c, QDateTime::currentDateTimeUtc().addDays(later));
        QCOMPARE(lines.size(), said.isEmpty() ? 0 : 1);
        if (!said.isEmpty())
            QVERIFY2(lines[0].contains(said), qPrintable(lines[0]));
    }

    // Every method, for a token and for a client certificate tied to one registration.
    void tokenLimitedToOneRegistration_data()
    {
        QTest::addColumn<QString>("caller");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("args");
        const QString key = QStringLiteral("35261204567890000179570010000010021000000027");
        const QVariant packet = QVariant::fromValue(wire::PacketWriter({}).finish());
        for (const QString &caller : {QStringLiteral("token"), QStringLiteral("certificate")}) {
            const auto row = [&](const QString &name) -> QTestData & {
                return QTest::addRow("%s, %s", qPrintable(caller), qPrintable(name)) << caller;
            };
            row(QStringLiteral("GetSincronizacaoCTe")) << "GetSincronizacaoCTe" << getArgs(kOther);
            row(QStringLiteral("SincronizarCTe")) << "SincronizarCTe" << QVariantList{"01", "T", kOther, "MANUAL", "", ""};
            row(QStringLiteral("DownloadXML")) << "DownloadXML" << QVariantList{packet, "01", "T", kOther};
            row(QStringLiteral("RecusaCTe")) << "RecusaCTe" << QVariantList{key, "Serviço não contratado pela empresa", "01", kOther, "T"};
            row(QStringLiteral("CancelaRecusaCTe")) << "CancelaRecusaCTe" << QVariantList{key, "01", kOther, "T"};
            row(QStringLiteral("GetEstadoSincronizacao")) << "GetEstadoSincronizacao" << QVariantList{"01", "T", kOther};
            // The state registration in the place of the legal one's neighbour says nothing.
            row(QStringLiteral("RecusaCTe, own registration in the state's place")) << "RecusaCTe"
                << QVariantList{key, "Serviço não contratado pela empresa", "01", kOther, kReg};
            row(QStringLiteral("DownloadXML, own registration in the state's place")) << "DownloadXML" << QVariantList{packet, "01", kReg, kOther};
        }
        QTest::newRow("token, registration spelt with punctuation") << "token" << "GetSincronizacaoCTe" << getArgs(QStringLiteral("11.222.333/0002-") + kOther.right(2));
        QTest::newRow("token, registration not text") << "token" << "GetSincronizacaoCTe"
                                               << QVariantList{QVariant::fromValue(nullptr), QVariant::fromValue(nullptr), 11222333000181.0,
                                                               "T", QVariant::fromValue(nullptr), QVariant::fromValue(nullptr)};
        QTest::newRow("token, registration empty") << "token" << "DownloadXML" << QVariantList{QVariant::fromValue(wire::PacketWriter({}).finish()), "01", "T", ""};
        QTest::newRow("certificate, registration null") << "certificate" << "CancelaRecusaCTe"
                                                        << QVariantList{"35261204567890000179570010000010021000000027", "01", QVariant::fromValue(nullptr), "T"};
    }
    void tokenLimitedToOneRegistration()
    {
        QFETCH(QString, caller);
        QFETCH(QString, method);
        QFETCH(QVariantList, args);
        const bool byToken = caller == QLatin1String("token");
        ServerRun server;
        QVERIFY(server.start(tlsArgs() + QStringList{"--client-ca", pki->caPem()}));
        TNetSecurity own{true, pki->caPem(), {}, {}, {}};
        if (byToken)
            own.Token = token;
        else
            own = TNetSecurity{true, pki->caPem(), {}, pki->path("company.pem"), pki->path("company.key")};
        auto net = client(server.port, own);
        // Its own registration is served on the same connection, before and after.
        const auto ownList = [&] {
            std::vector<TArg> a;
            for (const QVariant &v : getArgs(kReg))
                a.push_back(ByVal(v));
            return flagOf(net->AppServer(QStringLiteral("GetSincronizacaoCTe"), a));
        };
        QCOMPARE(ownList(), QStringLiteral("S"));
        const QString message = failureOf(*net, method, args);
        const QString who = byToken ? QStringLiteral("token caixa-1") : QStringLiteral("certificado ") + kCompanyCn;
        QVERIFY2(message.startsWith(QStringLiteral("Acesso negado: ") + who), qPrintable(message));
        QVERIFY(net->Connected());
        QCOMPARE(ownList(), QStringLiteral("S"));

        // The other registration's token is served for its own and refused for this one.
        auto other = client(server.port, TNetSecurity{true, pki->caPem(), otherToken, {}, {}});
        QCOMPARE(flagOf(other->AppServer(QStringLiteral("GetSincronizacaoCTe"), {ByVal(QVariant::fromValue(nullptr)), ByVal(QVariant::fromValue(nullptr)),
                                                                                ByVal(kOther), ByVal(QStringLiteral("T")), ByVal(QVariant::fromValue(nullptr)),
                                                                                ByVal(QVariant::fromValue(nullptr))})),
                 QStringLiteral("S"));
        QVERIFY(failureOf(*other, QStringLiteral("GetSincronizacaoCTe"), getArgs(kReg)).startsWith(QLatin1String("Acesso negado: token filial-2")));
        const QString log = server.stop();
        QVERIFY2(log.contains(QStringLiteral("(%1)").arg(who)) && log.contains(QLatin1String("Acesso negado")), qPrintable(log));
    }

    void clientCertificate_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("registration");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("company certificate, own registration") << "company" << kReg << "S";
        QTest::newRow("no certificate, a token instead") << "" << kReg << "S";
        QTest::newRow("company certificate, other registration") << "company" << kOther << "Acesso negado: certificado " + kCompanyCn;
        QTest::newRow("certificate of another CA") << "rogue-company" << kReg << "recusou o acesso: certificado de cliente \"" + kCompanyCn + "\" recusado: não foi emitido pela autoridade aceita";
        QTest::newRow("no certificate, no token") << "" << kReg << "recusou o acesso: autenticação exigida";
    }
    void clientCertificate()
    {
        QFETCH(QString, certificate);
        QFETCH(QString, registration);
        QFETCH(QString, outcome);
        ServerRun server;
        QVERIFY(server.start(tlsArgs() + QStringList{"--client-ca", pki->caPem()}));
        TNetSecurity sec{true, pki->caPem(), {}, {}, {}};
        if (QByteArray(QTest::currentDataTag()).contains("a token instead"))
            sec.Token = token;
        if (!certificate.isEmpty()) {
            sec.ClientCert = pki->path(certificate + ".pem");
            sec.ClientKey = pki->path(certificate + ".key");
        }
        auto net = client(server.port, sec);
        if (outcome == QLatin1String("S")) {
            std::vector<TArg> args;
            for (const QVariant &v : getArgs(registration))
                args.push_back(ByVal(v));
            QCOMPARE(flagOf(net->AppServer(QStringLiteral("GetSincronizacaoCTe"), args)), outcome);
            const QString log = server.stop();
            const QString who = sec.Token.isEmpty() ? QStringLiteral("certificado ") + kCompanyCn : QStringLiteral("token caixa-1");
            QVERIFY2(log.contains(QStringLiteral("GetSincronizacaoCTe (%1)").arg(who)), qPrintable(log));
            return;
        }
        const QString message = failureOf(*net, QStringLiteral("GetSincronizacaoCTe"), getArgs(registration));
        QVERIFY2(message.contains(outcome), qPrintable(message));
    }

    // A token seen on the wire cannot be replayed without TLS: the server never reads plain frames.
    void replayedTokenOverPlainTextRefused()
    {
        ServerRun server;
        QVERIFY(server.start(tlsArgs()));
        QTcpSocket plain;
        plain.connectToHost(QHostAddress::LocalHost, server.port);
        QVERIFY(plain.waitForConnected(5000));
        const std::optional<wire::Reply> r =
            exchange(plain, wire::frame(wire::encodeHello({token})) + request(QStringLiteral("GetSincronizacaoCTe"), getArgs(kReg)));
        QVERIFY(!r || !r->ok);
        QVERIFY(waitFor([&] { return plain.state() == QAbstractSocket::UnconnectedState; }, 5000));
        const QString log = server.stop();
        QVERIFY2(!log.contains(QLatin1String("autenticado")) && !log.contains(QLatin1String("GetSincronizacaoCTe")), qPrintable(log));
        QVERIFY2(!log.contains(token), "the log holds the token");
    }

    void plainListenerOnNetworkRefusedAtStart_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("0.0.0.0") << QStringList{"--listen", "0.0.0.0"};
        QTest::newRow("::") << QStringList{"--listen", "::"};
        QTest::newRow("client CA without TLS") << QStringList{"--client-ca", "ca.pem"};
        QTest::newRow("certificate without key") << QStringList{"--tls-cert", "server.pem"};
    }
    void plainListenerOnNetworkRefusedAtStart()
    {
        QFETCH(QStringList, args);
        QTemporaryDir here;
        const QString storeFile = here.filePath(QStringLiteral("never.sqlite"));
        for (QString &a : args)
            if (a.endsWith(QLatin1String(".pem")))
                a = pki->path(a);
        QProcess p;
        p.start(QStringLiteral(SERVER_PATH), QStringList{"--port", "0", "--store", storeFile} + args);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(!p.readAllStandardOutput().contains("escutando"));
        QVERIFY2(!p.readAllStandardError().isEmpty(), "no reason given");
        // The store is opened before the socket binds: no store file, no socket.
        QVERIFY(!QFile::exists(storeFile));
    }

    void securityOptions_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("insecure");
        QTest::addColumn<bool>("starts");
        QTest::addColumn<bool>("authRequired");
        QTest::newRow("loopback, plain: open as before") << "127.0.0.1" << false << false << true << false;
        QTest::newRow("::1, plain") << "::1" << false << false << true << false;
        QTest::newRow("network, plain") << "192.0.2.10" << false << false << false << true;
        QTest::newRow("network, plain, insecure") << "192.0.2.10" << false << true << true << true;
        QTest::newRow("network, TLS") << "0.0.0.0" << true << false << true << true;
        QTest::newRow("loopback, TLS") << "127.0.0.1" << true << false << true << true;
    }
    void securityOptions()
    {
        QFETCH(QString, address);
        QFETCH(bool, tls);
        QFETCH(bool, insecure);
        QFETCH(bool, starts);
        QFETCH(bool, authRequired);
        ServerConfig c;
        c.address = QHostAddress(address);
        c.insecurePlaintext = insecure;
        if (tls) {
            c.tlsCert = pki->serverPem();
            c.tlsKey = pki->serverKey();
        }
        std::optional<QSslConfiguration> conf;
        QString error;
        QCOMPARE(serverSecurity(c, conf, error), starts);
        QCOMPARE(conf.has_value(), tls);
        QCOMPARE(authenticationRequired(c), authRequired);
        if (conf)
            QCOMPARE(conf->protocol(), QSsl::TlsV1_2OrLater);
    }

    void keyOfAnotherCertificateRefused()
    {
        ServerConfig c;
        c.tlsCert = pki->serverPem();
        c.tlsKey = pki->path(QStringLiteral("company.key"));
        std::optional<QSslConfiguration> conf;
        QString error;
        QVERIFY(!serverSecurity(c, conf, error));
        QVERIFY2(error.contains(QStringLiteral("não é a do certificado")), qPrintable(error));
    }

    void callersOnBothEngines_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::newRow("SQLite") << "sqlite";
        QTest::newRow("PostgreSQL") << "postgresql";
    }
    void callersOnBothEngines()
    {
        QFETCH(QString, engine);
        QTemporaryDir here;
        std::unique_ptr<PgInstance> pg;
        QString location = here.filePath(QStringLiteral("callers.sqlite"));
        if (engine == QLatin1String("postgresql")) {
            pg = std::make_unique<PgInstance>();
            QVERIFY2(pg->ok(), qPrintable(pg->error()));
            QVERIFY(pg->createDatabase(QStringLiteral("callers")).isEmpty());
            location = pg->uri(QStringLiteral("callers"));
        }
        Store s(location);
        QCOMPARE(s.schemaVersion(), Store::kSchemaVersion);
        const QString secret = callers::addToken(s, QStringLiteral("caixa"), {QStringLiteral("11.222.333/0001-81"), kOther});
        QVERIFY(secret.size() >= 40);
        QCOMPARE(callers::tokenName(s, secret).value_or(QString()), QStringLiteral("caixa"));
        QVERIFY(!callers::tokenName(s, secret.left(secret.size() - 1)));
        QVERIFY(!callers::tokenName(s, QString()));
        const Caller who{Caller::Kind::Token, QStringLiteral("caixa")};
        QCOMPARE(callers::registrations(s, who), (QSet<QString>{kReg, kOther}));
        // Every method, read from this engine: its registrations served, a third one refused.
        const QString third = fiscal::cnpjWithDigits(QStringLiteral("112223330003"));
        const QString key = QStringLiteral("35261204567890000179570010000010021000000027");
        for (const QString &reg : {kReg, kOther, third}) {
            const QList<QPair<QString, QVariantList>> calls{
                {QStringLiteral("GetSincronizacaoCTe"), getArgs(reg)},
                {QStringLiteral("SincronizarCTe"), {"01", "T", reg, "MANUAL", "", ""}},
                {QStringLiteral("DownloadXML"), {QVariant(), "01", "T", reg}},
                {QStringLiteral("RecusaCTe"), {key, "Serviço não contratado pela empresa", "01", reg, "T"}},
                {QStringLiteral("CancelaRecusaCTe"), {key, "01", reg, "T"}},
                {QStringLiteral("GetEstadoSincronizacao"), {"01", "T", reg}}};
            for (const auto &[method, args] : calls)
                QVERIFY2(callers::refusal(s, who, method, args).isEmpty() == (reg != third), qPrintable(method + QLatin1Char(' ') + reg));
        }
        // Only a hash is kept.
        Statement st(s, "SELECT hash FROM chamador WHERE nome = 'caixa'");
        QVERIFY(st.step());
        QVERIFY(!st.text(0).contains(secret) && st.text(0).size() == 64);
        st.reset();
        QVERIFY_THROWS_EXCEPTION(StoreError, callers::addToken(s, QStringLiteral("caixa"), {kReg}));
        QVERIFY_THROWS_EXCEPTION(StoreError, callers::addToken(s, QStringLiteral("sem inscrição"), {}));
        QVERIFY_THROWS_EXCEPTION(StoreError, callers::addToken(s, QStringLiteral("inválida"), {QStringLiteral("11222333000182")}));
        QVERIFY(callers::remove(s, Caller::Kind::Token, QStringLiteral("caixa")));
        QVERIFY(!callers::tokenName(s, secret));
        QVERIFY(callers::registrations(s, who).isEmpty());
    }

    // A removed token stops working on a connection that already authenticated with it.
    void removedTokenRefusedAtOnce()
    {
        QString secret;
        {
            Store s(store);
            secret = callers::addToken(s, QStringLiteral("temporário"), {kReg});
        }
        ServerRun server;
        QVERIFY(server.start(tlsArgs()));
        auto net = client(server.port, TNetSecurity{true, pki->caPem(), secret, {}, {}});
        std::vector<TArg> args;
        for (const QVariant &v : getArgs(kReg))
            args.push_back(ByVal(v));
        QCOMPARE(flagOf(net->AppServer(QStringLiteral("GetSincronizacaoCTe"), args)), QStringLiteral("S"));
        {
            Store s(store);
            QVERIFY(callers::remove(s, Caller::Kind::Token, QStringLiteral("temporário")));
        }
        const QString message = failureOf(*net, QStringLiteral("GetSincronizacaoCTe"), getArgs(kReg));
        QVERIFY2(message.contains(QStringLiteral("não está autorizado")), qPrintable(message));
    }

    // The token command: the secret on standard output once, only its hash in the store.
    void tokenCommand()
    {
        QTemporaryDir here;
        const QString file = here.filePath(QStringLiteral("cmd.sqlite"));
        QProcess p;
        p.start(QStringLiteral(SERVER_PATH), {"--store", file, "token", "add", "caixa", "--registration", kReg});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        const QString secret = QString::fromLatin1(p.readAllStandardOutput()).trimmed();
        QVERIFY(secret.size() >= 40);
        Store s(file);
        QCOMPARE(callers::tokenName(s, secret).value_or(QString()), QStringLiteral("caixa"));
        QFile raw(file);
        QVERIFY(raw.open(QIODevice::ReadOnly));
        QVERIFY(!raw.readAll().contains(secret.toLatin1()));
        p.start(QStringLiteral(SERVER_PATH), {"--store", file, "token", "add", "sem"});
        QVERIFY(p.waitForFinished(10000));
        QVERIFY(p.exitCode() != 0);
    }

    // "token list" names every token, "token list NAME" that one; an unknown name says so.
    void tokenList_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::newRow("all") << QStringList{"token", "list"} << 0 << QStringLiteral("caixa\t%1\ncaixa-2\t%1\n").arg(kReg);
        QTest::newRow("one by name") << QStringList{"token", "list", "caixa-2"} << 0 << QStringLiteral("caixa-2\t%1\n").arg(kReg);
        QTest::newRow("unknown name") << QStringList{"token", "list", "outro"} << 1 << QString();
        QTest::newRow("too many words") << QStringList{"token", "list", "caixa", "mais"} << 2 << QString();
    }
    void tokenList()
    {
        QFETCH(QStringList, words);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QTemporaryDir here;
        const QString file = here.filePath(QStringLiteral("list.sqlite"));
        QProcess p;
        for (const char *name : {"caixa", "caixa-2"}) {
            p.start(QStringLiteral(SERVER_PATH), {"--store", file, "token", "add", name, "--registration", kReg});
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitCode(), 0);
        }
        p.start(QStringLiteral(SERVER_PATH), QStringList{"--store", file} + words);
        QVERIFY(p.waitForFinished(10000));
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QCOMPARE(p.exitCode(), exitCode);
        QCOMPARE(QString::fromLocal8Bit(p.readAllStandardOutput()), out);
        if (exitCode == 1)
            QVERIFY2(err.contains(QStringLiteral("\"outro\" não existe")), qPrintable(err));
    }
};

QTEST_MAIN(TestSecurity)
#include "tst_security.moc"
