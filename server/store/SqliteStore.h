#pragma once
// The SQLite engine of the store: the sqlite3 C API directly, WAL mode. Its rows are
// read in place, without a copy per value, which keeps large lists fast.
#include "StoreEngine.h"

struct sqlite3;

class SqliteStore : public StoreEngine {
public:
    explicit SqliteStore(const QString &path, int busyTimeoutMs);
    ~SqliteStore() override;
    QString name() const override { return QStringLiteral("SQLite"); }
    std::unique_ptr<StatementEngine> prepare(const char *sql) override;
    void exec(const char *sql) override;
    void begin() override { exec("BEGIN IMMEDIATE"); }
    void commit() override { exec("COMMIT"); }
    void rollback() noexcept override;
    void createSchema(int fromVersion) override;
    void lockSchema() override {} // BEGIN IMMEDIATE already holds the only write lock
    void lockRegistration(const QString &registration) override;
    bool tryLockRegistration(const QString &registration) override;
    void unlockRegistration(const QString &registration) noexcept override;

private:
    sqlite3 *m_db = nullptr;
    QString m_lockPrefix; // the file, so that two files never share a lock
};
