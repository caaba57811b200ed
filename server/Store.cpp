#include "Store.h"

#include <sqlite3.h>

namespace {
[[noreturn]] void fail(sqlite3 *db, const char *what)
{
    throw StoreError(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "?"));
}
} // namespace

Statement::Statement(sqlite3 *db, const char *sql) : m_db(db)
{
    if (sqlite3_prepare_v2(db, sql, -1, &m_st, nullptr) != SQLITE_OK)
        fail(db, "preparar comando");
}

Statement::~Statement() { sqlite3_finalize(m_st); }

Statement &Statement::bind(int i, const QString &v)
{
    const QByteArray u = v.toUtf8();
    sqlite3_bind_text(m_st, i, u.constData(), int(u.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement &Statement::bind(int i, const QByteArray &blob)
{
    sqlite3_bind_blob(m_st, i, blob.constData(), int(blob.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement &Statement::bind(int i, double v)
{
    sqlite3_bind_double(m_st, i, v);
    return *this;
}

Statement &Statement::bind(int i, qint64 v)
{
    sqlite3_bind_int64(m_st, i, v);
    return *this;
}

Statement &Statement::bindNull(int i)
{
    sqlite3_bind_null(m_st, i);
    return *this;
}

bool Statement::step()
{
    const int rc = sqlite3_step(m_st);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    fail(m_db, "executar comando");
}

void Statement::run()
{
    while (step()) {
    }
    reset();
}

void Statement::reset()
{
    sqlite3_reset(m_st);
    sqlite3_clear_bindings(m_st);
}

QString Statement::text(int col) const
{
    int n = 0;
    const char *p = utf8(col, n);
    return QString::fromUtf8(p, n);
}

const char *Statement::utf8(int col, int &len) const
{
    const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(m_st, col));
    len = sqlite3_column_bytes(m_st, col);
    return p ? p : "";
}

QByteArray Statement::blob(int col) const
{
    const void *p = sqlite3_column_blob(m_st, col);
    return QByteArray(static_cast<const char *>(p), sqlite3_column_bytes(m_st, col));
}

double Statement::real(int col) const { return sqlite3_column_double(m_st, col); }
qint64 Statement::integer(int col) const { return sqlite3_column_int64(m_st, col); }
bool Statement::isNull(int col) const { return sqlite3_column_type(m_st, col) == SQLITE_NULL; }

Store::Store(const QString &path, int busyTimeoutMs)
{
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string why = m_db ? sqlite3_errmsg(m_db) : "sem memória";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw StoreError("abrir " + path.toStdString() + ": " + why);
    }
    sqlite3_busy_timeout(m_db, busyTimeoutMs);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    exec("PRAGMA foreign_keys=ON");
    // A current schema needs no write: opening then works while another process holds the write lock.
    if (currentSchema())
        return;
    transaction([&] {
        exec("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
        const int v = schemaVersion();
        if (v > kSchemaVersion)
            throw StoreError("o arquivo tem o esquema " + std::to_string(v) + ", mais novo que este servidor (" +
                             std::to_string(kSchemaVersion) + ")");
        if (v < 1) {
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
            exec("INSERT OR REPLACE INTO meta (key, value) VALUES ('schema_version', '1')");
        }
    });
}

Store::~Store() { sqlite3_close(m_db); }

void Store::exec(const char *sql)
{
    char *err = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string why = err ? err : "?";
        sqlite3_free(err);
        throw StoreError(why);
    }
}

bool Store::currentSchema()
{
    Statement t(m_db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'meta'");
    return t.step() && schemaVersion() == kSchemaVersion;
}

int Store::schemaVersion()
{
    Statement st(m_db, "SELECT value FROM meta WHERE key = 'schema_version'");
    return st.step() ? st.text(0).toInt() : 0;
}

void Store::transaction(const std::function<void()> &work)
{
    exec("BEGIN IMMEDIATE");
    try {
        work();
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}
