// dfe-server: the reference application server of Dfe71000.rdmSincronizacaoCTe.
#include "AuthorityOptions.h"
#include "Frame.h"
#include "Methods.h"
#include "Server.h"

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
    p.addOptions({listen, port, store, authority, certificate, passwordFile, caFile, endpoints, environment, connectTimeout,
                  answerTimeout, signer, uf, sync, maxFrame, maxConnections, idleTimeout, workers, maxInFlight, busyTimeout,
                  quiet});
    p.process(app);

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
            DfeServer::log(QStringLiteral("sincronização inicial de %1: %2").arg(reg, r.ok ? l.value(1).toString() : r.error));
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
