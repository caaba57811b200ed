#pragma once
// What an engine of the store provides: its connection and its prepared statements.
// Statements are written once in the SQL both engines accept (see Store.h).
#include <QByteArray>
#include <QString>
#include <memory>
#include <stdexcept>

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One engine's prepared statement.
class StatementEngine {
public:
    virtual ~StatementEngine() = default;
    virtual void bindText(int i, const QByteArray &utf8) = 0;
    virtual void bindBlob(int i, const QByteArray &blob) = 0;
    virtual void bindReal(int i, double v) = 0;
    virtual void bindInteger(int i, qint64 v) = 0;
    virtual void bindNull(int i) = 0;
    virtual bool step() = 0;
    virtual void reset() = 0;
    virtual const char *utf8(int col, int &len) const = 0;
    virtual QByteArray blob(int col) const = 0;
    // A value's bytes as stored, valid until the next step: no copy, no terminator.
    virtual const char *bytes(int col, int &len) const = 0;
    virtual double real(int col) const = 0;
    virtual qint64 integer(int col) const = 0;
    virtual bool isNull(int col) const = 0;
};

// One engine's connection.
class StoreEngine {
public:
    virtual ~StoreEngine() = default;
    virtual QString name() const = 0;
    virtual std::unique_ptr<StatementEngine> prepare(const char *sql) = 0;
    virtual void exec(const char *sql) = 0;
    virtual void begin() = 0; // takes the write lock at once where the engine has one
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;
    // Creates the tables of the schema versions after `fromVersion`.
    virtual void createSchema(int fromVersion) = 0;
    virtual void lockSchema() = 0; // inside the schema transaction: one server at a time
    virtual void lockRegistration(const QString &registration) = 0;
    virtual bool tryLockRegistration(const QString &registration) = 0; // false: held elsewhere
    virtual void unlockRegistration(const QString &registration) noexcept = 0;
};
