#include "Store.h"
#include "Engines.h"

Statement::Statement(Store &store, const char *sql) : m_st(store.engine().prepare(sql)) {}

Statement::~Statement() = default;

Statement &Statement::bind(int i, const QString &v)
{
    m_st->bindText(i, v.toUtf8());
    return *this;
}

Statement &Statement::bind(int i, const QByteArray &blob)
{
    m_st->bindBlob(i, blob);
    return *this;
}

Statement &Statement::bind(int i, double v)
{
    m_st->bindReal(i, v);
    return *this;
}

Statement &Statement::bind(int i, qint64 v)
{
    m_st->bindInteger(i, v);
    return *this;
}

Statement &Statement::bindNull(int i)
{
    m_st->bindNull(i);
    return *this;
}

bool Statement::step() { return m_st->step(); }

void Statement::run()
{
    while (step()) {
    }
    reset();
}

void Statement::reset() { m_st->reset(); }

QString Statement::text(int col) const
{
    int n = 0;
    const char *p = utf8(col, n);
    return QString::fromUtf8(p, n);
}

bool Store::isPostgreSql(const QString &location) { return engines::isPostgreSql(location); }

Store::Store(const QString &location, int busyTimeoutMs) : m_engine(engines::open(location, busyTimeoutMs))
{
    // A current schema needs no write: opening then works while another process holds the write lock.
    if (currentSchema())
        return;
    transaction([&] {
        m_engine->lockSchema();
        m_engine->exec("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
        const int v = schemaVersion();
        if (v > kSchemaVersion)
            throw StoreError("o armazenamento tem o esquema " + std::to_string(v) + ", mais novo que este servidor (" +
                             std::to_string(kSchemaVersion) + ")");
        if (v < kSchemaVersion) {
            m_engine->createSchema(v);
            Statement(*this, "INSERT INTO meta (key, value) VALUES ('schema_version', ?1)"
                             " ON CONFLICT (key) DO UPDATE SET value = ?1")
                .bind(1, QString::number(kSchemaVersion))
                .run();
        }
    });
}

Store::~Store() = default;

bool Store::currentSchema()
{
    try {
        return schemaVersion() == kSchemaVersion;
    } catch (const StoreError &) {
        return false; // no schema yet
    }
}

int Store::schemaVersion()
{
    Statement st(*this, "SELECT value FROM meta WHERE key = 'schema_version'");
    return st.step() ? st.text(0).toInt() : 0;
}

void Store::transaction(const std::function<void()> &work)
{
    m_engine->begin();
    try {
        work();
        m_engine->commit();
    } catch (...) {
        m_engine->rollback();
        throw;
    }
}

Store::RegistrationLock::RegistrationLock(Store &store, QString registration, bool wait)
    : m_store(store), m_registration(std::move(registration))
{
    if (wait)
        m_store.engine().lockRegistration(m_registration);
    else
        m_held = m_store.engine().tryLockRegistration(m_registration);
}

Store::RegistrationLock::~RegistrationLock()
{
    if (m_held)
        m_store.engine().unlockRegistration(m_registration);
}
