#pragma once
// The server's store: SQLite in WAL mode, every change in one transaction, schema
// versioned. One Store per thread at a time.
#include <QByteArray>
#include <QString>
#include <QVariant>
#include <functional>
#include <stdexcept>

struct sqlite3;
struct sqlite3_stmt;

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Statement {
public:
    Statement(sqlite3 *db, const char *sql);
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
    const char *utf8(int col, int &len) const;
    QByteArray blob(int col) const;
    double real(int col) const;
    qint64 integer(int col) const;
    bool isNull(int col) const;

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_st = nullptr;
};

class Store {
public:
    static constexpr int kSchemaVersion = 1;
    // Creates or upgrades the schema; `busyTimeoutMs` is how long a statement waits for another writer.
    explicit Store(const QString &path, int busyTimeoutMs = 10000);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    sqlite3 *db() const { return m_db; }
    // Runs `work` in one IMMEDIATE transaction; rolls back when it throws.
    void transaction(const std::function<void()> &work);
    int schemaVersion();

private:
    void exec(const char *sql);
    bool currentSchema();
    sqlite3 *m_db = nullptr;
};
