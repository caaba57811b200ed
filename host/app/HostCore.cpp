#include "HostCore.h"
#include "NetConnection.h"
#include "Verdano.h"

#include <QCommandLineParser>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPointer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <stdexcept>

namespace {
// A whole number within [low, high]; otherwise `into` stays and the problem is told.
void readNumber(const QString &text, int low, int high, int &into, const QString &what, QStringList &problems)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (ok && v >= low && v <= high)
        into = v;
    else
        problems << QStringLiteral("%1 \"%2\" inválido; mantido %3.").arg(what, text).arg(into);
}
} // namespace

void HostSettings::load(const QString &iniPath)
{
    QFileInfo fi(iniPath);
    if (!fi.exists()) {
        problems << QStringLiteral("Arquivo de configuração \"%1\" não encontrado; usados os valores padrão.").arg(iniPath);
        return;
    }
    if (!fi.isReadable()) {
        problems << QStringLiteral("Arquivo de configuração \"%1\" não pode ser lido; usados os valores padrão.").arg(iniPath);
        return;
    }
    QSettings ini(iniPath, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        problems << QStringLiteral("Arquivo de configuração \"%1\" inválido; usados os valores padrão.").arg(iniPath);
        return;
    }
    company = ini.value(QStringLiteral("host/company"), company).toString();
    branch = ini.value(QStringLiteral("host/branch"), branch).toString();
    const QString date = ini.value(QStringLiteral("host/processing_date")).toString();
    if (!date.isEmpty()) {
        const QDate d = QDate::fromString(date, Qt::ISODate);
        if (d.isValid())
            processingDate = d;
        else
            problems << QStringLiteral("Data de processamento \"%1\" inválida em \"%2\".").arg(date, iniPath);
    }
    serverHost = ini.value(QStringLiteral("server/host"), serverHost).toString();
    if (ini.contains(QStringLiteral("server/port")))
        readNumber(ini.value(QStringLiteral("server/port")).toString(), 1, 65535, serverPort, QStringLiteral("Porta do servidor"), problems);
    if (ini.contains(QStringLiteral("server/timeout")))
        readNumber(ini.value(QStringLiteral("server/timeout")).toString(), 1, 24 * 3600, callTimeoutSeconds,
                   QStringLiteral("Tempo limite"), problems);
    serverTls = ini.value(QStringLiteral("server/tls"), serverTls).toBool();
    // Files named relative to the INI file's folder.
    auto file = [&](const char *key, const QString &current) {
        const QString v = ini.value(QLatin1String(key), current).toString();
        return v.isEmpty() ? v : fi.absoluteDir().absoluteFilePath(v);
    };
    serverCaFile = file("server/ca_file", serverCaFile);
    clientCert = file("server/client_cert", clientCert);
    clientKey = file("server/client_key", clientKey);
    serverToken = ini.value(QStringLiteral("server/token"), serverToken).toString().trimmed();
    dbDriver = ini.value(QStringLiteral("database/driver"), dbDriver).toString();
    dbName = ini.value(QStringLiteral("database/name"), dbName).toString();
    dbHost = ini.value(QStringLiteral("database/host"), dbHost).toString();
    dbPort = ini.value(QStringLiteral("database/port"), dbPort).toInt();
    dbUser = ini.value(QStringLiteral("database/user"), dbUser).toString();
    dbPassword = ini.value(QStringLiteral("database/password"), dbPassword).toString();
    moduleDir = ini.value(QStringLiteral("modules/folder"), moduleDir).toString();
    moduleFile = ini.value(QStringLiteral("modules/file"), moduleFile).toString();
}

void HostSettings::parse(const QStringList &arguments)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Aplicação hospedeira dos módulos de tela DF-e"));
    p.addHelpOption();
    const QCommandLineOption config(QStringLiteral("config"), QStringLiteral("Arquivo INI de configuração."), QStringLiteral("file"));
    const QCommandLineOption comp(QStringLiteral("company"), QStringLiteral("Empresa corrente."), QStringLiteral("code"));
    const QCommandLineOption br(QStringLiteral("branch"), QStringLiteral("Filial corrente."), QStringLiteral("code"));
    const QCommandLineOption date(QStringLiteral("date"), QStringLiteral("Data de processamento (AAAA-MM-DD)."), QStringLiteral("date"));
    const QCommandLineOption host(QStringLiteral("server-host"), QStringLiteral("Endereço do servidor de aplicação."), QStringLiteral("host"));
    const QCommandLineOption port(QStringLiteral("server-port"), QStringLiteral("Porta do servidor de aplicação."), QStringLiteral("port"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Tempo limite de uma chamada, em segundos."), QStringLiteral("s"));
    const QCommandLineOption driver(QStringLiteral("db-driver"), QStringLiteral("Driver Qt SQL do banco do sistema."), QStringLiteral("driver"));
    const QCommandLineOption db(QStringLiteral("db"), QStringLiteral("Banco do sistema (arquivo SQLite, nome do banco PostgreSQL, [HOST:]arquivo Firebird)."), QStringLiteral("name"));
    const QCommandLineOption mods(QStringLiteral("module-dir"), QStringLiteral("Pasta dos módulos."), QStringLiteral("dir"));
    const QCommandLineOption demoOpt(QStringLiteral("demo"), QStringLiteral("Cria o banco de demonstração."));
    const QCommandLineOption open(QStringLiteral("open"), QStringLiteral("Abre a tela de sincronização ao iniciar."));
    p.addOptions({config, comp, br, date, host, port, timeout, driver, db, mods, demoOpt, open});
    if (!p.parse(arguments)) {
        problems << p.errorText();
        return;
    }
    if (p.isSet(QStringLiteral("help"))) {
        p.showHelp(0);
    }
    if (p.isSet(config))
        load(p.value(config));
    if (p.isSet(comp)) company = p.value(comp);
    if (p.isSet(br)) branch = p.value(br);
    if (p.isSet(date)) {
        const QDate d = QDate::fromString(p.value(date), Qt::ISODate);
        if (d.isValid()) processingDate = d;
        else problems << QStringLiteral("Data de processamento \"%1\" inválida.").arg(p.value(date));
    }
    if (p.isSet(host)) serverHost = p.value(host);
    if (p.isSet(port)) readNumber(p.value(port), 1, 65535, serverPort, QStringLiteral("Porta do servidor"), problems);
    if (p.isSet(timeout)) readNumber(p.value(timeout), 1, 24 * 3600, callTimeoutSeconds, QStringLiteral("Tempo limite"), problems);
    if (p.isSet(driver)) dbDriver = p.value(driver);
    if (p.isSet(db)) dbName = p.value(db);
    if (p.isSet(mods)) moduleDir = p.value(mods);
    demo = demo || p.isSet(demoOpt);
    openModule = openModule || p.isSet(open);
}

void HostSettings::publish() const
{
    Verdano::SetEmprProc(company);
    Verdano::SetFiliProc(branch);
    Verdano::SetDataProc(branch, processingDate);
    Verdano::SetWebURL(serverHost);
    Verdano::SetWebPort(serverPort);
    if (callTimeoutSeconds > 0)
        TNetConnection::DefaultTimeoutMs = callTimeoutSeconds * 1000;
    TNetConnection::DefaultSecurity = TNetSecurity{serverTls, serverCaFile, serverToken, clientCert, clientKey};
}

bool OpenHostDatabase(const HostSettings &s, QString &error)
{
    const QString conn = QStringLiteral("dtmDBGeral");
    if (QSqlDatabase::contains(conn))
        QSqlDatabase::removeDatabase(conn);
    if (!QSqlDatabase::isDriverAvailable(s.dbDriver)) {
        error = QStringLiteral("Driver de banco de dados \"%1\" não disponível.").arg(s.dbDriver);
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(s.dbDriver, conn);
    db.setDatabaseName(s.dbName);
    if (!s.dbHost.isEmpty())
        db.setHostName(s.dbHost);
    if (s.dbPort > 0)
        db.setPort(s.dbPort);
    db.setUserName(s.dbUser);
    db.setPassword(s.dbPassword);
    if (s.dbDriver == QLatin1String("QIBASE"))
        db.setConnectOptions(QStringLiteral("ISC_DPB_LC_CTYPE=UTF8"));
    if (s.dbDriver == QLatin1String("QSQLITE") && !s.demo && !QFileInfo::exists(s.dbName)) {
        error = QStringLiteral("Banco de dados \"%1\" não encontrado (use --demo para criar um de demonstração).").arg(s.dbName);
        return false;
    }
    if (s.dbDriver == QLatin1String("QSQLITE"))
        QDir().mkpath(QFileInfo(s.dbName).absolutePath());
    if (!db.open()) {
        error = QStringLiteral("Não foi possível abrir o banco de dados \"%1\": %2").arg(s.dbName, db.lastError().text());
        return false;
    }
    if (s.demo) {
        try {
            CreateDemoData(conn);
        } catch (const std::runtime_error &e) {
            error = QStringLiteral("Banco de demonstração \"%1\": %2").arg(s.dbName, QString::fromUtf8(e.what()));
            db.close();
            return false;
        }
    }
    // A file that is not a database, or one of another system, opens without complaint:
    // the screens need these two tables.
    QStringList tables = db.tables();
    for (QString &t : tables)
        t = t.toUpper();
    for (const char *needed : {"EMPRESA", "INSCRESTAD"}) {
        if (!tables.contains(QLatin1String(needed))) {
            error = QStringLiteral("O banco de dados \"%1\" não tem a tabela %2%3")
                        .arg(s.dbName, QLatin1String(needed),
                             db.lastError().isValid() ? QStringLiteral(": ") + db.lastError().text() : QStringLiteral("."));
            db.close();
            return false;
        }
    }
    dtmDBGeral::SetConnectionName(conn);
    return true;
}

namespace {
QString scriptFolder(const QString &driver)
{
    if (driver == QLatin1String("QIBASE"))
        return QStringLiteral(":/db/firebird/");
    if (driver == QLatin1String("QPSQL"))
        return QStringLiteral(":/db/postgresql/");
    return QStringLiteral(":/db/sqlite/");
}

// Statements end with a semicolon at the end of a line; comment lines are skipped.
QStringList statements(const QString &resource)
{
    QFile f(resource);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error(QStringLiteral("script %1 não encontrado").arg(resource).toStdString());
    QStringList out;
    QString current;
    for (const QString &line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        const QString t = line.trimmed();
        if (t.isEmpty() || t.startsWith(QLatin1String("--")))
            continue;
        current += line + QLatin1Char('\n');
        if (t.endsWith(QLatin1Char(';'))) {
            current.chop(current.size() - current.lastIndexOf(QLatin1Char(';')));
            out << current.trimmed();
            current.clear();
        }
    }
    return out;
}

void runScript(QSqlDatabase &db, const QString &resource)
{
    QSqlQuery q(db);
    for (const QString &st : statements(resource))
        if (!q.exec(st))
            throw std::runtime_error(QStringLiteral("%1: %2").arg(st.left(60), q.lastError().text()).toStdString());
}
} // namespace

void CreateDemoData(const QString &connection)
{
    QSqlDatabase db = QSqlDatabase::database(connection);
    const QString folder = scriptFolder(db.driverName());
    QStringList tables = db.tables();
    for (QString &t : tables)
        t = t.toUpper();
    // Firebird commits its tables before rows can go in: the schema runs on its own.
    if (!tables.contains(QLatin1String("EMPRESA")))
        runScript(db, folder + QStringLiteral("schema.sql"));
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM EMPRESA")) || !q.next())
        throw std::runtime_error(q.lastError().text().toStdString());
    if (q.value(0).toInt() > 0)
        return;
    q.finish();
    db.transaction();
    try {
        runScript(db, folder + QStringLiteral("demo.sql"));
    } catch (...) {
        db.rollback();
        throw;
    }
    db.commit();
}

std::unique_ptr<ModuleHandle> ModuleHandle::load(const QString &path)
{
    auto h = std::unique_ptr<ModuleHandle>(new ModuleHandle);
    if (!QFileInfo::exists(path))
        throw std::runtime_error(QStringLiteral("Módulo \"%1\" não encontrado.").arg(path).toStdString());
    h->m_lib.setFileName(path);
    h->m_lib.setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!h->m_lib.load())
        throw std::runtime_error(QStringLiteral("Módulo \"%1\" não pôde ser carregado: %2")
                                     .arg(path, h->m_lib.errorString()).toStdString());
    using Entry = void (*)();
    auto resolve = [&](const char *name) {
        auto f = reinterpret_cast<Entry>(h->m_lib.resolve(name));
        if (!f)
            throw std::runtime_error(QStringLiteral("Módulo \"%1\" não tem a entrada %2.")
                                         .arg(path, QString::fromLatin1(name)).toStdString());
        return f;
    };
    Entry init = resolve("Initialize");
    h->m_iniProc = resolve("IniProc");
    h->m_finalize = resolve("Finalize");
    init();
    return h;
}

ModuleHandle::~ModuleHandle() { finalize(); }

void ModuleHandle::iniProc()
{
    if (m_iniProc)
        m_iniProc();
}

void ModuleHandle::finalize()
{
    if (m_finalized || !m_finalize)
        return;
    m_finalized = true;
    m_finalize();
}

void ListWindowsInMenu(QMenu *menu, QMdiArea *area)
{
    const QList<QAction *> fixed = menu->actions();
    QObject::connect(menu, &QMenu::aboutToShow, menu, [menu, area, fixed] {
        for (QAction *a : menu->actions())
            if (!fixed.contains(a))
                a->deleteLater();
        for (QAction *a : menu->actions())
            if (!fixed.contains(a))
                menu->removeAction(a);
        const QList<QMdiSubWindow *> windows = area->subWindowList();
        if (!windows.isEmpty())
            menu->addSeparator();
        int n = 0;
        for (QMdiSubWindow *w : windows) {
            QAction *a = menu->addAction(QStringLiteral("&%1 %2").arg(++n).arg(w->windowTitle()));
            a->setCheckable(true);
            a->setChecked(w == area->activeSubWindow());
            QObject::connect(a, &QAction::triggered, area, [area, w = QPointer<QMdiSubWindow>(w)] {
                if (w)
                    area->setActiveSubWindow(w);
            });
        }
    });
}
