#include "Engines.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>
#include <QFile>
#include <libpq-fe.h>
#include <unistd.h>

namespace {
const char kPgPackages[] = "instale o pacote postgresql (scripts/setup)";
const char kFbPackages[] = "instale os pacotes firebird3.0-server-core, firebird3.0-utils, libfbclient2 e "
                           "libqt6sql6-ibase (scripts/setup)";

QString pgBinDir()
{
    if (const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb")); !initdb.isEmpty())
        return QFileInfo(initdb).absolutePath();
    const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot,
                                                                                        QDir::Name | QDir::Reversed);
    for (const QString &v : versions) {
        const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(v);
        if (QFileInfo(bin + QStringLiteral("/initdb")).isExecutable())
            return bin;
    }
    return {};
}

// PostgreSQL refuses to run as root: under root (CI), the cluster belongs to nobody.
QStringList asClusterUser(const QString &program, const QStringList &args)
{
    if (geteuid() != 0)
        return QStringList{program} + args;
    return QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                       QStringLiteral("--clear-groups"), program} + args;
}

QString run(const QStringList &command, int ms)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(command.first(), command.mid(1));
    if (!p.waitForStarted())
        return QStringLiteral("%1 não pôde ser executado: %2").arg(command.first(), p.errorString());
    if (!p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished();
        return QStringLiteral("%1 não terminou").arg(command.join(QLatin1Char(' ')));
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("%1 falhou: %2").arg(command.join(QLatin1Char(' ')), QString::fromLocal8Bit(p.readAll()));
    return {};
}
} // namespace

PgInstance::PgInstance()
{
    const QString bin = pgBinDir();
    if (bin.isEmpty()) {
        m_error = QStringLiteral("PostgreSQL (initdb, postgres) não encontrado: %1").arg(QLatin1String(kPgPackages));
        return;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("pasta temporária: %1").arg(m_dir.errorString());
        return;
    }
    if (geteuid() == 0) {
        if (const QString e = run({QStringLiteral("chown"), QStringLiteral("nobody:nogroup"), m_dir.path()}, 10000);
            !e.isEmpty()) {
            m_error = e;
            return;
        }
    }
    const QString data = m_dir.filePath(QStringLiteral("data"));
    m_error = run(asClusterUser(bin + QStringLiteral("/initdb"),
                                {QStringLiteral("-D"), data, QStringLiteral("-U"), user(), QStringLiteral("-A"),
                                 QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                                 QStringLiteral("--no-locale"), QStringLiteral("--no-sync")}),
                  120000);
    if (!ok())
        return;
    // The shell waits for its input to close (this object stopping, or this process
    // ending in any way), then stops the server with a fast shutdown.
    const QStringList server = asClusterUser(
        bin + QStringLiteral("/postgres"),
        {QStringLiteral("-D"), data, QStringLiteral("-k"), m_dir.path(), QStringLiteral("-c"),
         QStringLiteral("listen_addresses="), QStringLiteral("-c"), QStringLiteral("fsync=off"), QStringLiteral("-c"),
         QStringLiteral("full_page_writes=off"), QStringLiteral("-c"), QStringLiteral("max_connections=40")});
    m_watchdog.setProcessChannelMode(QProcess::MergedChannels);
    m_watchdog.setStandardOutputFile(m_dir.filePath(QStringLiteral("postgres.log")));
    m_watchdog.start(QStringLiteral("sh"), QStringList{QStringLiteral("-c"),
                                                       QStringLiteral("\"$@\" & pid=$!; read _; kill -INT $pid; wait $pid"),
                                                       QStringLiteral("watchdog")} + server);
    if (!m_watchdog.waitForStarted()) {
        m_error = QStringLiteral("sh: %1").arg(m_watchdog.errorString());
        return;
    }
    const QByteArray conninfo = uri().toUtf8();
    const QDeadlineTimer deadline(60000);
    while (PQping(conninfo.constData()) != PQPING_OK) {
        if (m_watchdog.state() == QProcess::NotRunning || deadline.hasExpired()) {
            QFile log(m_dir.filePath(QStringLiteral("postgres.log")));
            log.open(QIODevice::ReadOnly);
            m_error = QStringLiteral("o servidor PostgreSQL não iniciou: %1").arg(QString::fromLocal8Bit(log.readAll()));
            return;
        }
        QThread::msleep(50);
    }
}

PgInstance::~PgInstance()
{
    if (m_watchdog.state() == QProcess::NotRunning)
        return;
    m_watchdog.closeWriteChannel();
    if (!m_watchdog.waitForFinished(60000)) {
        m_watchdog.kill();
        m_watchdog.waitForFinished();
    }
}

QString PgInstance::uri(const QString &db) const
{
    return QStringLiteral("postgresql://%1@/%2?host=%3").arg(user(), db, QString::fromLatin1(QUrl::toPercentEncoding(socketDir())));
}

QString PgInstance::exec(const QString &db, const QString &sql) const
{
    PGconn *c = PQconnectdb(uri(db).toUtf8().constData());
    QString error;
    if (PQstatus(c) != CONNECTION_OK) {
        error = QString::fromUtf8(PQerrorMessage(c));
    } else {
        PGresult *r = PQexec(c, sql.toUtf8().constData());
        if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
            error = QString::fromUtf8(PQresultErrorMessage(r));
        PQclear(r);
    }
    PQfinish(c);
    return error;
}

QString PgInstance::createDatabase(const QString &name) const
{
    return exec(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE \"%1\"").arg(name));
}

FbDatabase::FbDatabase()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("pasta temporária: %1").arg(m_dir.errorString());
        return;
    }
    // The embedded engine's lock and sort files stay in this folder too.
    QDir(m_dir.path()).mkpath(QStringLiteral("lock"));
    qputenv("FIREBIRD_LOCK", m_dir.filePath(QStringLiteral("lock")).toLocal8Bit());
    qputenv("FIREBIRD_TMP", m_dir.path().toLocal8Bit());
    const QString isql = QStandardPaths::findExecutable(QStringLiteral("isql-fb"));
    if (isql.isEmpty()) {
        m_error = QStringLiteral("isql-fb não encontrado: %1").arg(QLatin1String(kFbPackages));
        return;
    }
    const QString script = m_dir.filePath(QStringLiteral("create.sql"));
    QFile f(script);
    f.open(QIODevice::WriteOnly);
    f.write(QStringLiteral("CREATE DATABASE '%1' USER '%2' PASSWORD 'masterkey' DEFAULT CHARACTER SET UTF8;\n")
                .arg(path(), user())
                .toUtf8());
    f.close();
    m_error = run({isql, QStringLiteral("-q"), QStringLiteral("-i"), script}, 60000);
    if (ok() && !QFileInfo::exists(path()))
        m_error = QStringLiteral("isql-fb não criou %1: %2").arg(path(), QLatin1String(kFbPackages));
    if (!ok())
        m_error = QStringLiteral("banco Firebird: %1 (%2)").arg(m_error, QLatin1String(kFbPackages));
}
