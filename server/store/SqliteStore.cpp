#include "SqliteStore.h"

#include <QFileInfo>
#include <QSet>
#include <condition_variable>
#include <mutex>
#include <sqlite3.h>

namespace {
[[noreturn]] void fail(sqlite3 *db, const char *what)
{
    throw StoreError(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "?"));
}

// Synchronizations in this process, by file and registration. A SQLite store is
// served by one process; several servers share a PostgreSQL store instead.
struct Running {
    std::mutex mutex;
    std::condition_variable released;
    QSet<QString> keys;
};
Running &running()
{
    static Running r;
    return r;
}

class SqliteStatement : public StatementEngine {
public:
    SqliteStatement(sqlite3 *db, const char *sql) : m_db(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_st, nullptr) != SQLITE_OK)
            fail(db, "preparar comando");
    }
    ~SqliteStatement() override { sqlite3_finalize(m_st); }
    void bindText(int i, const QByteArray &u) override
    {
        sqlite3_bind_text(m_st, i, u.constData(), int(u.size()), SQLITE_TRANSIENT);
    }
    void bindBlob(int i, const QByteArray &b) override
    {
        sqlite3_bind_blob(m_st, i, b.constData(), int(b.size()), SQLITE_TRANSIENT);
    }
    void bindReal(int i, double v) override { sqlite3_bind_double(m_st, i, v); }
    void bindInteger(int i, qint64 v) override { sqlite3_bind_int64(m_st, i, v); }
    void bindNull(int i) override { sqlite3_bind_null(m_st, i); }
    bool step() override
    {
        const int rc = sqlite3_step(m_st);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        fail(m_db, "executar comando");
    }
    void reset() override
    {
        sqlite3_reset(m_st);
        sqlite3_clear_bindings(m_st);
    }
    const char *utf8(int col, int &len) const override
    {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(m_st, col));
        len = sqlite3_column_bytes(m_st, col);
        return p ? p : "";
    }
    QByteArray blob(int col) const override
    {
        const void *p = sqlite3_column_blob(m_st, col);
        return QByteArray(static_cast<const char *>(p), sqlite3_column_bytes(m_st, col));
    }
    const char *bytes(int col, int &len) const override
    {
        // A blob is handed as it lies in the page; text would be copied to end it with a NUL.
        const void *p = sqlite3_column_blob(m_st, col);
        len = sqlite3_column_bytes(m_st, col);
        return p ? static_cast<const char *>(p) : "";
    }
    double real(int col) const override { return sqlite3_column_double(m_st, col); }
    qint64 integer(int col) const override { return sqlite3_column_int64(m_st, col); }
    bool isNull(int col) const override { return sqlite3_column_type(m_st, col) == SQLITE_NULL; }

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_st = nullptr;
};
} // namespace

SqliteStore::SqliteStore(const QString &path, int busyTimeoutMs)
{
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string why = m_db ? sqlite3_errmsg(m_db) : "sem memória";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw StoreError("abrir " + path.toStdString() + ": " + why);
    }
    m_lockPrefix = QFileInfo(path).absoluteFilePath() + QLatin1Char('\n');
    try {
        sqlite3_busy_timeout(m_db, busyTimeoutMs);
        // A list walks an index of entries of some 400 bytes: on 64 KiB pages that walk takes half
        // the time it takes on 4 KiB ones. Only a new store takes it (before WAL is set).
        exec("PRAGMA page_size=65536");
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec("PRAGMA foreign_keys=ON");
        // A long list is read from the mapped file, not copied page by page: as much of the
        // file as this SQLite maps (it caps the size at its own limit).
        exec("PRAGMA mmap_size=2147418112");
    } catch (...) {
        sqlite3_close(m_db);
        throw;
    }
}

SqliteStore::~SqliteStore() { sqlite3_close(m_db); }

std::unique_ptr<StatementEngine> SqliteStore::prepare(const char *sql)
{
    return std::make_unique<SqliteStatement>(m_db, sql);
}

void SqliteStore::exec(const char *sql)
{
    char *err = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string why = err ? err : "?";
        sqlite3_free(err);
        throw StoreError(why);
    }
}

void SqliteStore::rollback() noexcept { sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr); }

void SqliteStore::createSchema(int fromVersion)
{
    if (fromVersion < 1) {
        exec("CREATE TABLE cte ("
             " nrinsjurpesq TEXT NOT NULL, nrnsu TEXT NOT NULL, idtpambiente TEXT NOT NULL DEFAULT '',"
             " nracessocte TEXT NOT NULL DEFAULT '',"
             " nrinsjuremit TEXT NOT NULL DEFAULT '', nmrazsocemit TEXT NOT NULL DEFAULT '',"
             " nrinsjurreme TEXT NOT NULL DEFAULT '', nmrazsocreme TEXT NOT NULL DEFAULT '',"
             " nrinsjurexpe TEXT NOT NULL DEFAULT '', nmrazsocexpe TEXT NOT NULL DEFAULT '',"
             " nrinsjurrece TEXT NOT NULL DEFAULT '', nmrazsocrece TEXT NOT NULL DEFAULT '',"
             " nrinsjurdest TEXT NOT NULL DEFAULT '', nmrazsocdest TEXT NOT NULL DEFAULT '',"
             " idtomador TEXT NOT NULL DEFAULT '', nrinsjurtoma TEXT NOT NULL DEFAULT '',"
             " nmrazsoctoma TEXT NOT NULL DEFAULT '',"
             " dtemissao TEXT NOT NULL DEFAULT '', dtemissao_iso TEXT NOT NULL DEFAULT '',"
             " vrtotalprest REAL NOT NULL DEFAULT 0, vrreceber REAL NOT NULL DEFAULT 0,"
             " cdstatus TEXT NOT NULL, dsstatus TEXT NOT NULL DEFAULT '',"
             " dtsincronizacao TEXT NOT NULL, dtsinc_iso TEXT NOT NULL,"
             " schema TEXT NOT NULL DEFAULT '', xml BLOB,"
             " PRIMARY KEY (nrinsjurpesq, nrnsu))");
        exec("CREATE INDEX cte_chave ON cte (nrinsjurpesq, nracessocte)");
        exec("CREATE TABLE cursor_nsu (nrinsjurpesq TEXT PRIMARY KEY, ultnsu TEXT NOT NULL,"
             " maxnsu TEXT NOT NULL DEFAULT '', dtultsinc TEXT NOT NULL DEFAULT '', origem TEXT NOT NULL DEFAULT '')");
        exec("CREATE TABLE evento (nrinsjurpesq TEXT NOT NULL, nrnsu TEXT, nracessocte TEXT NOT NULL,"
             " tpevento TEXT NOT NULL, nprot TEXT NOT NULL DEFAULT '', dhregevento TEXT NOT NULL DEFAULT '',"
             " xml BLOB, UNIQUE (nrinsjurpesq, nrnsu))");
        exec("CREATE TABLE doc_bruto (nrinsjurpesq TEXT NOT NULL, nrnsu TEXT NOT NULL, schema TEXT,"
             " conteudo BLOB, erro TEXT, PRIMARY KEY (nrinsjurpesq, nrnsu))");
    }
    if (fromVersion < 2) {
        // When each registration may query the authority again, and who is synchronizing it now.
        exec("CREATE TABLE consulta_bloqueio (nrinsjurpesq TEXT PRIMARY KEY, liberado_em TEXT NOT NULL,"
             " motivo TEXT NOT NULL DEFAULT '')");
        exec("CREATE TABLE sinc_em_andamento (nrinsjurpesq TEXT PRIMARY KEY, dono TEXT NOT NULL,"
             " expira_em TEXT NOT NULL)");
    }
    if (fromVersion < 3) {
        // Who may call: tokens (hash of the secret only) and certificates, and the registrations of each.
        exec("CREATE TABLE chamador (tipo TEXT NOT NULL, nome TEXT NOT NULL, hash TEXT NOT NULL DEFAULT '',"
             " criado_em TEXT NOT NULL, PRIMARY KEY (tipo, nome))");
        exec("CREATE INDEX chamador_hash ON chamador (hash)");
        exec("CREATE TABLE chamador_inscricao (tipo TEXT NOT NULL, nome TEXT NOT NULL, nrinsjurpesq TEXT NOT NULL,"
             " PRIMARY KEY (tipo, nome, nrinsjurpesq))");
    }
    if (fromVersion < 4) {
        // Locks die with their process now: the run in progress is only described, for the
        // answer to a second one. The capture schedule and the log of every authority call.
        exec("DROP TABLE IF EXISTS sinc_em_andamento");
        exec("CREATE TABLE sinc_andamento (nrinsjurpesq TEXT PRIMARY KEY, origem TEXT NOT NULL, inicio TEXT NOT NULL)");
        exec("CREATE TABLE captura (nrinsjurpesq TEXT PRIMARY KEY, uf TEXT NOT NULL DEFAULT '',"
             " proxima TEXT NOT NULL, falhas INTEGER NOT NULL DEFAULT 0, ultima TEXT NOT NULL DEFAULT '',"
             " resultado TEXT NOT NULL DEFAULT '')");
        exec("CREATE TABLE sinc_log (momento TEXT NOT NULL, nrinsjurpesq TEXT NOT NULL, consulta TEXT NOT NULL,"
             " nsu TEXT NOT NULL, cstat TEXT NOT NULL, xmotivo TEXT NOT NULL, ultnsu TEXT NOT NULL,"
             " maxnsu TEXT NOT NULL, documentos INTEGER NOT NULL, duracao_ms INTEGER NOT NULL, origem TEXT NOT NULL)");
        exec("CREATE INDEX sinc_log_inscricao ON sinc_log (nrinsjurpesq, momento)");
    }
    if (fromVersion < 5) {
        // The documents apart from the list's rows: a list query then walks only the list's
        // bytes, not a page of XML per row.
        exec("CREATE TABLE cte_xml (nrinsjurpesq TEXT NOT NULL, nrnsu TEXT NOT NULL, xml BLOB NOT NULL,"
             " PRIMARY KEY (nrinsjurpesq, nrnsu))");
        exec("INSERT INTO cte_xml (nrinsjurpesq, nrnsu, xml) SELECT nrinsjurpesq, nrnsu, xml FROM cte WHERE xml IS NOT NULL");
        exec("ALTER TABLE cte DROP COLUMN xml");
    }
    if (fromVersion < 6) {
        // Each list row kept as it goes out, so that a long list is copied rather than
        // encoded again. Any change to a row that does not write its encoding drops it (and
        // counts in `linha_versao`, so that an encoding made from the row before the change
        // is not kept); the list encodes a row without one from its columns.
        exec("ALTER TABLE cte ADD COLUMN linha BLOB");
        exec("ALTER TABLE cte ADD COLUMN linha_versao INTEGER NOT NULL DEFAULT 0");
        exec("CREATE INDEX cte_sem_linha ON cte (nrinsjurpesq, nrnsu) WHERE linha IS NULL");
        exec("CREATE TRIGGER cte_linha_velha AFTER UPDATE ON cte WHEN NEW.linha IS OLD.linha BEGIN"
             " UPDATE cte SET linha = NULL, linha_versao = OLD.linha_versao + 1 WHERE rowid = NEW.rowid; END");
    }
    if (fromVersion < 7) {
        // Everything a list query reads, in key order: the list is one walk of this index,
        // without a look-up of each row in the table.
        exec("CREATE INDEX cte_lista ON cte (nrinsjurpesq, nrnsu, dtemissao_iso, dtsinc_iso, cdstatus, linha)");
    }
}

void SqliteStore::lockRegistration(const QString &registration)
{
    const QString key = m_lockPrefix + registration;
    Running &r = running();
    std::unique_lock l(r.mutex);
    r.released.wait(l, [&] { return !r.keys.contains(key); });
    r.keys.insert(key);
}

bool SqliteStore::tryLockRegistration(const QString &registration)
{
    const QString key = m_lockPrefix + registration;
    Running &r = running();
    std::lock_guard l(r.mutex);
    if (r.keys.contains(key))
        return false;
    r.keys.insert(key);
    return true;
}

void SqliteStore::unlockRegistration(const QString &registration) noexcept
{
    Running &r = running();
    {
        std::lock_guard l(r.mutex);
        r.keys.remove(m_lockPrefix + registration);
    }
    r.released.notify_all();
}
