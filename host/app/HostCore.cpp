#include "HostCore.h"
#include "Fiscal.h"
#include "NetConnection.h"
#include "Verdano.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <stdexcept>

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
    serverPort = ini.value(QStringLiteral("server/port"), serverPort).toInt();
    callTimeoutSeconds = ini.value(QStringLiteral("server/timeout"), callTimeoutSeconds).toInt();
    dbDriver = ini.value(QStringLiteral("database/driver"), dbDriver).toString();
    dbName = ini.value(QStringLiteral("database/name"), dbName).toString();
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
    const QCommandLineOption db(QStringLiteral("db"), QStringLiteral("Banco do sistema (arquivo SQLite)."), QStringLiteral("name"));
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
    if (p.isSet(port)) serverPort = p.value(port).toInt();
    if (p.isSet(timeout)) callTimeoutSeconds = p.value(timeout).toInt();
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
    if (s.demo)
        CreateDemoData(conn);
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

void CreateDemoData(const QString &connection)
{
    QSqlDatabase db = QSqlDatabase::database(connection);
    QSqlQuery q(db);
    q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS EMPRESA (CDEMPRESA VARCHAR(2) PRIMARY KEY, "
                          "NMEMPRESA VARCHAR(40), NMRAZSOCEMPR VARCHAR(80))"));
    q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS INSCRESTAD (CDEMPRESA VARCHAR(2), NRINSJURIEST VARCHAR(20), "
                          "IDTPIJURIEST VARCHAR(1), CDINSCESTA VARCHAR(16), "
                          "PRIMARY KEY (CDEMPRESA, NRINSJURIEST, CDINSCESTA))"));
    q.exec(QStringLiteral("SELECT COUNT(*) FROM EMPRESA"));
    if (q.next() && q.value(0).toInt() > 0)
        return;
    struct Company { const char *code, *name, *legal; };
    const Company companies[] = {
        {"01", "Horizonte Transportes", "Transportadora Horizonte Ltda"},
        {"02", "Serra Azul Comercial", "Comercial Serra Azul de Alimentos S.A."},
        {"03", "Maria A. dos Santos", "Maria Aparecida dos Santos - Produtora Rural"},
    };
    struct Registration { const char *company; QString number; const char *type; const char *ie; };
    const Registration regs[] = {
        {"01", fiscal::cnpjWithDigits(QStringLiteral("112223330001")), "J", "110042490114"},
        {"01", fiscal::cnpjWithDigits(QStringLiteral("112223330001")), "J", "110042490122"},
        {"01", fiscal::cnpjWithDigits(QStringLiteral("112223330002")), "J", "243568790118"},
        {"02", fiscal::cnpjWithDigits(QStringLiteral("045678900001")), "J", "0623079040081"},
        {"02", fiscal::cnpjWithDigits(QStringLiteral("045678900002")), "J", "0623079040162"},
        {"03", fiscal::cpfWithDigits(QStringLiteral("529982247")), "F", "7900123450019"},
    };
    db.transaction();
    q.prepare(QStringLiteral("INSERT INTO EMPRESA (CDEMPRESA, NMEMPRESA, NMRAZSOCEMPR) VALUES (?, ?, ?)"));
    for (const auto &c : companies) {
        q.addBindValue(QString::fromUtf8(c.code));
        q.addBindValue(QString::fromUtf8(c.name));
        q.addBindValue(QString::fromUtf8(c.legal));
        q.exec();
    }
    q.prepare(QStringLiteral("INSERT INTO INSCRESTAD (CDEMPRESA, NRINSJURIEST, IDTPIJURIEST, CDINSCESTA) VALUES (?, ?, ?, ?)"));
    for (const auto &r : regs) {
        q.addBindValue(QString::fromUtf8(r.company));
        q.addBindValue(r.number);
        q.addBindValue(QString::fromUtf8(r.type));
        q.addBindValue(QString::fromUtf8(r.ie));
        q.exec();
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
