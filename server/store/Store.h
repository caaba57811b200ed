#pragma once
// The server's store: one interface, SQLite (a file, WAL mode) or PostgreSQL (a
// postgresql:// address) behind it. Every change runs in one transaction, the schema
// is versioned. A Store is one connection: one Store per thread.
//
// Statements are written once in the SQL both engines accept: `?` or `?N`
// placeholders, ON CONFLICT for upserts, no engine-specific functions.
#include "StoreEngine.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

class Store;

class Statement {
public:
    Statement(Store &store, const char *sql);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    Statement &bind(int i, const QString &v);
    Statement &bind(int i, const QByteArray &blob);
    Statement &bind(int i, double v);
    Statement &bind(int i, qint64 v);
    Statement &bindNull(int i);
    bool step(); // true while there is a row
    void run();  // a statement without rows
    void reset();
    QString text(int col) const;
    const char *utf8(int col, int &len) const { return m_st->utf8(col, len); }
    QByteArray blob(int col) const { return m_st->blob(col); }
    const char *bytes(int col, int &len) const { return m_st->bytes(col, len); }
    double real(int col) const { return m_st->real(col); }
    qint64 integer(int col) const { return m_st->integer(col); }
    bool isNull(int col) const { return m_st->isNull(col); }

private:
    std::unique_ptr<StatementEngine> m_st;
};

class Store {
public:
    static constexpr int kSchemaVersion = 7;
    // `location`: a SQLite file, or a PostgreSQL address (postgresql://... or
    // postgres://...). Creates or upgrades the schema.
    // `busyTimeoutMs`: how long a SQLite statement waits for another writer.
    explicit Store(const QString &location, int busyTimeoutMs = 10000);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    static bool isPostgreSql(const QString &location);
    QString engineName() const { return m_engine->name(); }
    StoreEngine &engine() { return *m_engine; }
    // Runs `work` in one transaction; rolls back when it throws.
    void transaction(const std::function<void()> &work);
    int schemaVersion();

    // Held for a whole synchronization of one registration: a second one, from this
    // process or another server on the same store, waits (or, with `wait` false, gives
    // up at once: see held()). Readers never wait. It dies with its process: a session
    // lock of PostgreSQL, the process's own table for SQLite.
    class RegistrationLock {
    public:
        RegistrationLock(Store &store, QString registration, bool wait = true);
        ~RegistrationLock();
        RegistrationLock(const RegistrationLock &) = delete;
        RegistrationLock &operator=(const RegistrationLock &) = delete;
        bool held() const { return m_held; }

    private:
        Store &m_store;
        QString m_registration;
        bool m_held = true;
    };

private:
    bool currentSchema();
    std::unique_ptr<StoreEngine> m_engine;
};
