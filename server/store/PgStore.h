#pragma once
// The PostgreSQL engine of the store, on libpq: one connection per Store, values
// sent and read in binary, rows read in place like SQLite's. A lost connection is
// reported once and re-established by the next statement.
#include "StoreEngine.h"

struct pg_conn;

class PgStore : public StoreEngine {
public:
    explicit PgStore(const QString &address);
    ~PgStore() override;
    QString name() const override { return QStringLiteral("PostgreSQL"); }
    std::unique_ptr<StatementEngine> prepare(const char *sql) override;
    void exec(const char *sql) override;
    void begin() override { exec("BEGIN"); }
    void commit() override { exec("COMMIT"); }
    void rollback() noexcept override;
    void createSchema(int fromVersion) override;
    void lockSchema() override;
    void lockRegistration(const QString &registration) override;
    bool tryLockRegistration(const QString &registration) override;
    void unlockRegistration(const QString &registration) noexcept override;

    pg_conn *connection(); // reconnects a lost connection

private:
    pg_conn *m_conn = nullptr;
};
