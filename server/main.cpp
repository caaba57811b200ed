// dfe-server: the reference application server of Dfe71000.rdmSincronizacaoCTe.
#include "CallerCommand.h"
#include "CaptureCommand.h"
#include "CaptureScheduler.h"
#include "CommandLine.h"
#include "CteList.h"
#include "DfeServer.h"
#include "Frame.h"
#include "RemoteModule.h"
#include "net/ServerLog.h"
#include "net/ServerTls.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>

namespace {
// --sync: each registration synchronized once before the server answers anyone.
void initialSync(const ServerConfig &c, AuthoritySource &source, const QStringList &registrations)
{
    for (const QString &reg : registrations) {
        try {
            Store s(c.storePath, c.busyTimeoutMs);
            RemoteModule m(s, source, c.uf);
            const wire::Reply r = m.call({QString::fromLatin1(wire::kServerName), QStringLiteral("SincronizarCTe"),
                                          {QString(), QStringLiteral("T"), reg, QStringLiteral("INICIAL"), QString(), QString()}});
            const QVariantList l = r.result.toList();
            ServerLog::write(QStringLiteral("sincronização inicial de %1: %2").arg(reg, r.ok ? l.value(1).toString() : r.error));
        } catch (const std::exception &e) {
            ServerLog::error(QStringLiteral("sincronização inicial de %1 falhou: %2").arg(reg, QString::fromUtf8(e.what())));
        }
    }
}

// Rows without their list encoding (all of them after an upgrade) get it in the background:
// the list is right without, only slower.
void encodeListRows(const ServerConfig &c, DfeServer &server)
{
    server.post([path = c.storePath, timeout = c.busyTimeoutMs] {
        try {
            Store s(path, timeout);
            qsizetype n = 0, batch;
            do {
                s.transaction([&] { batch = ctelist::encodeRows(s, QString(), 4096); });
                n += batch;
            } while (batch == 4096);
            if (n > 0)
                ServerLog::write(QStringLiteral("%1 linha(s) da lista codificada(s)").arg(n));
        } catch (const std::exception &e) {
            ServerLog::error(QStringLiteral("linhas da lista não codificadas: %1").arg(QString::fromUtf8(e.what())));
        }
    });
}

// Refused before the store, the authority or any socket is touched.
bool secure(const ServerConfig &c, std::optional<QSslConfiguration> &tls)
{
    QString refused;
    if (serverSecurity(c, tls, refused))
        return true;
    std::fprintf(stderr, "%s\n", qPrintable(refused));
    return false;
}
// --check-config: the options, the files they name and the authority were checked on the
// way here; the store is opened (and its schema brought up to date) last. The certificate
// warnings of a start are told here too, so a renewal is not first noticed in the log.
bool checkStore(const ServerConfig &c, const std::optional<QSslConfiguration> &tls)
{
    if (tls)
        for (const QString &line : certificateWarnings(*tls, QDateTime::currentDateTimeUtc()))
            std::printf("%s\n", qPrintable(line));
    try {
        Store s(c.storePath, c.busyTimeoutMs);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "armazenamento %s: %s\n", qPrintable(c.storePath), e.what());
        return false;
    }
    std::printf("configuração válida (escuta %s:%u, armazenamento %s)\n", qPrintable(c.address.toString()), unsigned(c.port),
                qPrintable(c.storePath));
    return true;
}

// The capture schedule on this event loop, its jobs on the server's workers.
std::unique_ptr<CaptureScheduler> startCapture(const ServerConfig &c, AuthoritySource &source, DfeServer &server)
{
    if (!c.capture)
        return nullptr;
    CaptureScheduler::Settings s{c.storePath, c.busyTimeoutMs, c.uf, c.logDays};
    auto scheduler = std::make_unique<CaptureScheduler>(s, source, CaptureScheduler::Clock(),
                                                        [&server](std::function<void()> job) { server.post(std::move(job)); });
    scheduler->start();
    return scheduler;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dfe-server"));
    QCommandLineParser p;
    commandline::process(p, app);
    const QStringList words = p.positionalArguments();
    if (words.value(0) == QLatin1String("capture"))
        return captureCommand(words, p.value(QStringLiteral("store")), p.isSet(QStringLiteral("uf")) ? p.value(QStringLiteral("uf")) : QString());
    if (!words.isEmpty())
        return callerCommand(words, p.value(QStringLiteral("store")), p.values(QStringLiteral("registration")));

    ServerConfig c;
    if (!commandline::serverConfig(p, c))
        return 2;
    ServerLog::quiet = p.isSet(QStringLiteral("quiet"));
    std::optional<QSslConfiguration> tls;
    if (!secure(c, tls))
        return 2;
    std::shared_ptr<AuthoritySource> source;
    try {
        source = makeAuthority(commandline::authorityOptions(p));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    if (p.isSet(QStringLiteral("check-config")))
        return checkStore(c, tls) ? 0 : 2;
    initialSync(c, *source, p.values(QStringLiteral("sync")));

    DfeServer server(c, source);
    QString error;
    if (!server.start(error)) {
        ServerLog::error(error);
        return 1;
    }
    std::printf("dfe-server escutando em %s:%u (armazenamento %s)\n", qPrintable(server.serverAddress().toString()),
                unsigned(server.serverPort()),
                qPrintable(Store::isPostgreSql(c.storePath) ? QStringLiteral("PostgreSQL") : c.storePath));
    std::fflush(stdout);
    encodeListRows(c, server);
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });
    const std::unique_ptr<CaptureScheduler> scheduler = startCapture(c, *source, server);
    const int status = app.exec();
    server.stop(); // the scheduled jobs finish before the scheduler goes
    return status;
}
