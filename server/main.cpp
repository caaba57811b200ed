// dfe-server: the reference application server of Dfe71000.rdmSincronizacaoCTe.
#include "authority/AuthorityOptions.h"
#include "Callers.h"
#include "Frame.h"
#include "RemoteModule.h"
#include "DfeServer.h"
#include "net/ServerTls.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <csignal>
#include <cstdio>

namespace {
// A whole decimal number within [min, max]; anything else stops the server with a clear message.
bool number(const QCommandLineParser &p, const QCommandLineOption &o, qint64 min, qint64 max, qint64 &out)
{
    if (!p.isSet(o))
        return true;
    const QString v = p.value(o);
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    if (ok && !v.startsWith(QLatin1Char('+')) && n >= min && n <= max) {
        out = n;
        return true;
    }
    std::fprintf(stderr, "valor inválido para --%s: \"%s\" (esperado um número inteiro de %lld a %lld)\n",
                 qPrintable(o.names().value(0)), qPrintable(v), qlonglong(min), qlonglong(max));
    return false;
}
// dfe-server token add|remove|list, certificate add|remove: who may call, kept in the store.
int callerCommand(const QStringList &words, const QString &storePath, const QStringList &registrations)
{
    const QString what = words.value(0), verb = words.value(1), name = words.value(2);
    const Caller::Kind kind = what == QLatin1String("token") ? Caller::Kind::Token : Caller::Kind::Certificate;
    const bool needsName = verb != QLatin1String("list");
    if ((what != QLatin1String("token") && what != QLatin1String("certificate")) ||
        (verb != QLatin1String("add") && verb != QLatin1String("remove") && verb != QLatin1String("list")) ||
        (needsName && name.isEmpty()) || words.size() != (needsName ? 3 : 2)) {
        std::fprintf(stderr, "uso: dfe-server [--store ...] token add NOME --registration CNPJ [--registration ...]\n"
                             "     dfe-server [--store ...] certificate add \"NOME COMUM\" --registration CNPJ [...]\n"
                             "     dfe-server [--store ...] token|certificate remove NOME | token|certificate list\n");
        return 2;
    }
    try {
        Store store(storePath);
        if (verb == QLatin1String("add") && kind == Caller::Kind::Token) {
            const QString secret = callers::addToken(store, name, registrations);
            // The only time the secret is shown: it goes into the host's INI file ([server] token).
            std::printf("%s\n", qPrintable(secret));
            std::fprintf(stderr, "token \"%s\" criado para %s; guarde-o em [server] token do arquivo INI do sistema.\n",
                         qPrintable(name), qPrintable(registrations.join(QLatin1Char(' '))));
        } else if (verb == QLatin1String("add")) {
            callers::addCertificate(store, name, registrations);
        } else if (verb == QLatin1String("remove")) {
            if (!callers::remove(store, kind, name)) {
                std::fprintf(stderr, "%s \"%s\" não existe\n", qPrintable(what), qPrintable(name));
                return 1;
            }
        } else {
            for (const callers::Entry &e : callers::list(store))
                if (e.caller.kind == kind)
                    std::printf("%s\t%s\n", qPrintable(e.caller.name), qPrintable(e.registrations.join(QLatin1Char(' '))));
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fflush(stdout);
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dfe-server"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Servidor de aplicação de referência (Dfe71000.rdmSincronizacaoCTe)."));
    p.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"), QStringLiteral("Endereço de escuta (padrão 127.0.0.1)."), QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Porta (padrão 8750; 0 escolhe uma livre)."), QStringLiteral("port"), QStringLiteral("8750"));
    const QCommandLineOption store(QStringLiteral("store"), QStringLiteral("Armazenamento: arquivo SQLite, ou endereço PostgreSQL (postgresql://...)."), QStringLiteral("file-or-address"), QStringLiteral("dfe-server.sqlite"));
    const QCommandLineOption authority(QStringLiteral("authority"), QStringLiteral("Fonte da SEFAZ: simulated (padrão, sem rede) ou sefaz (o serviço nacional)."), QStringLiteral("source"), QStringLiteral("simulated"));
    const QCommandLineOption certificate(QStringLiteral("certificate"), QStringLiteral("sefaz: certificado A1 da empresa (PKCS#12)."), QStringLiteral("file"));
    const QCommandLineOption passwordFile(QStringLiteral("certificate-password-file"),
                                          QStringLiteral("Arquivo cuja primeira linha é a senha do PKCS#12 (senão, a variável %1).").arg(QLatin1String(AuthorityOptions::kPasswordVariable)),
                                          QStringLiteral("file"));
    const QCommandLineOption caFile(QStringLiteral("ca-file"), QStringLiteral("sefaz: raízes (PEM) que assinam o certificado da SEFAZ, ICP-Brasil em produção."), QStringLiteral("file"));
    const QCommandLineOption endpoints(QStringLiteral("endpoints"), QStringLiteral("sefaz: arquivo INI com os endereços dos serviços (padrão: dfe-endpoints.ini ao lado do programa)."),
                                       QStringLiteral("file"), QCoreApplication::applicationDirPath() + QStringLiteral("/dfe-endpoints.ini"));
    const QCommandLineOption environment(QStringLiteral("environment"), QStringLiteral("sefaz: homologacao (padrão, tpAmb 2) ou producao (tpAmb 1)."), QStringLiteral("name"), QStringLiteral("homologacao"));
    const QCommandLineOption connectTimeout(QStringLiteral("connect-timeout"), QStringLiteral("sefaz: segundos para conectar (padrão 15)."), QStringLiteral("seconds"), QStringLiteral("15"));
    const QCommandLineOption answerTimeout(QStringLiteral("answer-timeout"), QStringLiteral("sefaz: segundos para a resposta (padrão 60)."), QStringLiteral("seconds"), QStringLiteral("60"));
    const QCommandLineOption signer(QStringLiteral("simulated-signer"), QStringLiteral("simulated: PKCS#12 com que a SEFAZ simulada assina os CT-e (padrão: chave gerada na partida)."), QStringLiteral("file"));
    const QCommandLineOption uf(QStringLiteral("uf"), QStringLiteral("Código da UF do autor nas consultas (padrão 35)."), QStringLiteral("code"), QStringLiteral("35"));
    const QCommandLineOption sync(QStringLiteral("sync"), QStringLiteral("Sincroniza esta inscrição jurídica antes de atender (repetível)."), QStringLiteral("cnpj-or-cpf"));
    const QCommandLineOption maxFrame(QStringLiteral("max-frame"), QStringLiteral("Maior mensagem aceita, em bytes."), QStringLiteral("bytes"));
    const QCommandLineOption maxConnections(QStringLiteral("max-connections"), QStringLiteral("Máximo de conexões abertas (padrão: conforme o limite de arquivos abertos)."), QStringLiteral("count"));
    const QCommandLineOption idleTimeout(QStringLiteral("idle-timeout"), QStringLiteral("Segundos sem chamada até fechar uma conexão (padrão 300)."), QStringLiteral("seconds"));
    const QCommandLineOption workers(QStringLiteral("workers"), QStringLiteral("Chamadas executadas ao mesmo tempo (padrão 16)."), QStringLiteral("count"));
    const QCommandLineOption maxInFlight(QStringLiteral("max-in-flight"), QStringLiteral("Total de bytes de pedidos em trânsito entre todas as conexões (padrão 1 GiB)."), QStringLiteral("bytes"));
    const QCommandLineOption busyTimeout(QStringLiteral("busy-timeout"), QStringLiteral("Milissegundos de espera por outro processo que grava no armazenamento (padrão 10000)."), QStringLiteral("ms"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Sem registro das chamadas."));
    const QCommandLineOption tlsCert(QStringLiteral("tls-cert"), QStringLiteral("Certificado TLS do servidor (PEM, com a cadeia)."), QStringLiteral("file"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"), QStringLiteral("Chave privada do certificado TLS (PEM, sem senha)."), QStringLiteral("file"));
    const QCommandLineOption clientCa(QStringLiteral("client-ca"), QStringLiteral("AC (PEM) dos certificados de cliente aceitos no lugar de tokens."), QStringLiteral("file"));
    const QCommandLineOption insecure(QStringLiteral("insecure-plaintext"), QStringLiteral("Aceita texto puro num endereço de rede (só numa rede de testes fechada)."));
    const QCommandLineOption registration(QStringLiteral("registration"), QStringLiteral("token/certificate add: inscrição jurídica permitida (repetível)."), QStringLiteral("cnpj-or-cpf"));
    p.addOptions({listen, port, store, authority, certificate, passwordFile, caFile, endpoints, environment, connectTimeout,
                  answerTimeout, signer, uf, sync, maxFrame, maxConnections, idleTimeout, workers, maxInFlight, busyTimeout,
                  quiet, tlsCert, tlsKey, clientCa, insecure, registration});
    p.addPositionalArgument(QStringLiteral("comando"), QStringLiteral("token add|remove|list NOME, certificate add|remove|list NOME (senão, atende)."));
    p.process(app);
    if (!p.positionalArguments().isEmpty())
        return callerCommand(p.positionalArguments(), p.value(store), p.values(registration));

    ServerConfig c;
    if (!c.address.setAddress(p.value(listen))) {
        std::fprintf(stderr, "endereço inválido: %s\n", qPrintable(p.value(listen)));
        return 2;
    }
    qint64 portValue = c.port, frameValue = c.maxFrame, connValue = 0, idleValue = c.idleTimeoutMs / 1000,
           workerValue = c.workers, flightValue = c.maxInFlight, busyValue = c.busyTimeoutMs;
    if (!number(p, port, 0, 65535, portValue) || !number(p, maxFrame, 64, 0xffffffffLL, frameValue) ||
        !number(p, maxConnections, 1, 1 << 24, connValue) || !number(p, idleTimeout, 1, 7 * 24 * 3600, idleValue) ||
        !number(p, workers, 1, 1024, workerValue) || !number(p, maxInFlight, 64, qint64(1) << 48, flightValue) ||
        !number(p, busyTimeout, 0, 3600 * 1000, busyValue))
        return 2;
    c.port = quint16(portValue);
    c.maxFrame = quint32(frameValue);
    c.maxConnections = int(connValue);
    c.idleTimeoutMs = int(idleValue * 1000);
    c.workers = int(workerValue);
    c.maxInFlight = flightValue;
    c.busyTimeoutMs = int(busyValue);
    c.storePath = p.value(store);
    c.uf = p.value(uf);
    DfeServer::quiet = p.isSet(quiet);
    c.tlsCert = p.value(tlsCert);
    c.tlsKey = p.value(tlsKey);
    c.clientCa = p.value(clientCa);
    c.insecurePlaintext = p.isSet(insecure);
    {
        std::optional<QSslConfiguration> tls;
        QString refused;
        if (!serverSecurity(c, tls, refused)) { // before the store, the authority or any socket
            std::fprintf(stderr, "%s\n", qPrintable(refused));
            return 2;
        }
    }
    AuthorityOptions ao;
    ao.source = p.value(authority);
    ao.certificate = p.value(certificate);
    ao.passwordFile = p.value(passwordFile);
    ao.caFile = p.value(caFile);
    ao.endpoints = p.value(endpoints);
    ao.environment = p.value(environment);
    ao.signer = p.value(signer);
    ao.connectTimeoutSeconds = p.value(connectTimeout).toDouble();
    ao.answerTimeoutSeconds = p.value(answerTimeout).toDouble();
    std::shared_ptr<AuthoritySource> source;
    try {
        source = makeAuthority(ao);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }

    for (const QString &reg : p.values(sync)) {
        try {
            Store s(c.storePath, c.busyTimeoutMs);
            RemoteModule m(s, *source, c.uf);
            const wire::Reply r = m.call({QString::fromLatin1(wire::kServerName), QStringLiteral("SincronizarCTe"),
                                          {QString(), QStringLiteral("T"), reg, QStringLiteral("INICIAL"), QString(), QString()}});
            const QVariantList l = r.result.toList();
            ServerLog::write(QStringLiteral("sincronização inicial de %1: %2").arg(reg, r.ok ? l.value(1).toString() : r.error));
        } catch (const std::exception &e) {
            std::fprintf(stderr, "sincronização inicial de %s falhou: %s\n", qPrintable(reg), e.what());
        }
    }

    DfeServer server(c, source);
    QString error;
    if (!server.start(error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("dfe-server escutando em %s:%u (armazenamento %s)\n", qPrintable(server.serverAddress().toString()),
                unsigned(server.serverPort()),
                qPrintable(Store::isPostgreSql(c.storePath) ? QStringLiteral("PostgreSQL") : c.storePath));
    std::fflush(stdout);
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });
    return app.exec();
}
