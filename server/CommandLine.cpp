#include "CommandLine.h"

#include <QFileInfo>
#include <QSettings>
#include <cstdio>
#include <cstdlib>

namespace commandline {

namespace {
// A whole decimal number within [min, max]; anything else stops the server with a clear message.
bool number(const QCommandLineParser &p, const char *name, qint64 min, qint64 max, qint64 &out)
{
    const QString option = QString::fromLatin1(name);
    if (!p.isSet(option))
        return true;
    const QString v = p.value(option);
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    if (ok && !v.startsWith(QLatin1Char('+')) && n >= min && n <= max) {
        out = n;
        return true;
    }
    std::fprintf(stderr, "valor inválido para --%s: \"%s\" (esperado um número inteiro de %lld a %lld)\n",
                 name, qPrintable(v), qlonglong(min), qlonglong(max));
    return false;
}

QString value(const QCommandLineParser &p, const char *name) { return p.value(QString::fromLatin1(name)); }

bool numbers(const QCommandLineParser &p, ServerConfig &c)
{
    qint64 portValue = c.port, frameValue = c.maxFrame, connValue = 0, idleValue = c.idleTimeoutMs / 1000,
           workerValue = c.workers, flightValue = c.maxInFlight, busyValue = c.busyTimeoutMs, callerValue = 0,
           connectionValue = 0, stallValue = c.frameStallMs / 1000, logDaysValue = c.logDays;
    if (!number(p, "port", 0, 65535, portValue) || !number(p, "max-frame", 64, 0xffffffffLL, frameValue) ||
        !number(p, "max-connections", 1, 1 << 24, connValue) || !number(p, "idle-timeout", 1, 7 * 24 * 3600, idleValue) ||
        !number(p, "workers", 1, 1024, workerValue) || !number(p, "max-in-flight", 64, qint64(1) << 48, flightValue) ||
        !number(p, "busy-timeout", 0, 3600 * 1000, busyValue) || !number(p, "max-per-caller", 64, qint64(1) << 48, callerValue) ||
        !number(p, "max-per-connection", 64, qint64(1) << 48, connectionValue) || !number(p, "frame-stall", 1, 3600, stallValue) ||
        !number(p, "log-days", 1, 3650, logDaysValue))
        return false;
    c.maxPerCaller = callerValue;
    c.maxPerConnection = connectionValue;
    c.frameStallMs = int(stallValue * 1000);
    c.port = quint16(portValue);
    c.maxFrame = quint32(frameValue);
    c.maxConnections = int(connValue);
    c.idleTimeoutMs = int(idleValue * 1000);
    c.workers = int(workerValue);
    c.maxInFlight = flightValue;
    c.busyTimeoutMs = int(busyValue);
    c.logDays = int(logDaysValue);
    return true;
}
// --config FILE or --config=FILE, wherever it stands.
QString settingsPath(const QStringList &args)
{
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--config") && i + 1 < args.size())
            return args[i + 1];
        if (args[i].startsWith(QLatin1String("--config=")))
            return args[i].mid(9);
    }
    return {};
}

// Options that take no value: "true" or "false" in the file.
bool isFlag(const QString &key)
{
    return key == QLatin1String("quiet") || key == QLatin1String("insecure-plaintext") || key == QLatin1String("no-capture");
}
} // namespace

QStringList withSettingsFile(const QStringList &args, QString &error)
{
    const QString path = settingsPath(args);
    if (path.isEmpty())
        return args;
    if (!QFileInfo(path).isReadable()) {
        error = QStringLiteral("arquivo de configuração ilegível: %1").arg(path);
        return {};
    }
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        error = QStringLiteral("arquivo de configuração inválido: %1").arg(path);
        return {};
    }
    QStringList out{args.value(0)};
    ini.beginGroup(QStringLiteral("server"));
    for (const QString &key : ini.childKeys()) {
        // A value with commas comes back as a list: it is one text here.
        const QVariant v = ini.value(key);
        const QString text = v.metaType().id() == QMetaType::QStringList ? v.toStringList().join(u',') : v.toString();
        if (!isFlag(key)) {
            out << QStringLiteral("--") + key << text;
        } else if (text == QLatin1String("true") || text == QLatin1String("1")) {
            out << QStringLiteral("--") + key;
        } else if (text != QLatin1String("false") && text != QLatin1String("0")) {
            error = QStringLiteral("%1: a chave %2 aceita true ou false").arg(path, key);
            return {};
        }
    }
    return out + args.mid(1);
}

void process(QCommandLineParser &p, const QCoreApplication &app)
{
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
    const QCommandLineOption maxPerCaller(QStringLiteral("max-per-caller"), QStringLiteral("Desses bytes, quantos um mesmo cliente (token, certificado ou endereço) pode ocupar (padrão: metade de --max-in-flight)."), QStringLiteral("bytes"));
    const QCommandLineOption maxPerConnection(QStringLiteral("max-per-connection"), QStringLiteral("Desses bytes, quantos uma conexão pode ocupar (padrão: --max-frame)."), QStringLiteral("bytes"));
    const QCommandLineOption frameStall(QStringLiteral("frame-stall"), QStringLiteral("Segundos sem bytes novos até descartar uma mensagem incompleta e fechar a conexão (padrão 30)."), QStringLiteral("seconds"));
    const QCommandLineOption busyTimeout(QStringLiteral("busy-timeout"), QStringLiteral("Milissegundos de espera por outro processo que grava no armazenamento (padrão 10000)."), QStringLiteral("ms"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Sem registro das chamadas."));
    const QCommandLineOption tlsCert(QStringLiteral("tls-cert"), QStringLiteral("Certificado TLS do servidor (PEM, com a cadeia)."), QStringLiteral("file"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"), QStringLiteral("Chave privada do certificado TLS (PEM, sem senha)."), QStringLiteral("file"));
    const QCommandLineOption clientCa(QStringLiteral("client-ca"), QStringLiteral("AC (PEM) dos certificados de cliente aceitos no lugar de tokens."), QStringLiteral("file"));
    const QCommandLineOption insecure(QStringLiteral("insecure-plaintext"), QStringLiteral("Aceita texto puro num endereço de rede (só numa rede de testes fechada)."));
    const QCommandLineOption noCapture(QStringLiteral("no-capture"), QStringLiteral("Sem a captura agendada (capture add|list|remove)."));
    const QCommandLineOption logDays(QStringLiteral("log-days"), QStringLiteral("Dias que o registro de sincronizações guarda cada consulta (padrão 90)."), QStringLiteral("days"));
    const QCommandLineOption registration(QStringLiteral("registration"), QStringLiteral("token/certificate add: inscrição jurídica permitida (repetível)."), QStringLiteral("cnpj-or-cpf"));
    const QCommandLineOption config(QStringLiteral("config"), QStringLiteral("Arquivo INI com as opções na seção [server], pelo nome longo; a linha de comando prevalece."), QStringLiteral("file"));
    const QCommandLineOption checkConfig(QStringLiteral("check-config"), QStringLiteral("Verifica a configuração (opções, arquivos, armazenamento, SEFAZ) e sai."));
    p.addOptions({config, checkConfig, listen, port, store, authority, certificate, passwordFile, caFile, endpoints, environment, connectTimeout,
                  answerTimeout, signer, uf, sync, maxFrame, maxConnections, idleTimeout, workers, maxInFlight, maxPerCaller,
                  maxPerConnection, frameStall, busyTimeout, quiet, tlsCert, tlsKey, clientCa, insecure, noCapture, logDays,
                  registration});
    p.addPositionalArgument(QStringLiteral("comando"), QStringLiteral("token add|remove|list NOME, certificate add|remove|list NOME, capture add|remove|list CNPJ (senão, atende)."));
    QString error;
    const QStringList args = withSettingsFile(app.arguments(), error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        std::exit(2);
    }
    p.process(args);
}

bool serverConfig(const QCommandLineParser &p, ServerConfig &c)
{
    if (!c.address.setAddress(value(p, "listen"))) {
        std::fprintf(stderr, "endereço inválido: %s\n", qPrintable(value(p, "listen")));
        return false;
    }
    if (!numbers(p, c))
        return false;
    c.storePath = value(p, "store");
    c.uf = value(p, "uf");
    c.tlsCert = value(p, "tls-cert");
    c.tlsKey = value(p, "tls-key");
    c.clientCa = value(p, "client-ca");
    c.insecurePlaintext = p.isSet(QStringLiteral("insecure-plaintext"));
    c.capture = !p.isSet(QStringLiteral("no-capture"));
    return true;
}

AuthorityOptions authorityOptions(const QCommandLineParser &p)
{
    AuthorityOptions ao;
    ao.source = value(p, "authority");
    ao.certificate = value(p, "certificate");
    ao.passwordFile = value(p, "certificate-password-file");
    ao.caFile = value(p, "ca-file");
    ao.endpoints = value(p, "endpoints");
    ao.environment = value(p, "environment");
    ao.signer = value(p, "simulated-signer");
    ao.connectTimeoutSeconds = value(p, "connect-timeout").toDouble();
    ao.answerTimeoutSeconds = value(p, "answer-timeout").toDouble();
    return ao;
}

} // namespace commandline
