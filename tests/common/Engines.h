#pragma once
// Private database engines for tests: a PostgreSQL cluster on a Unix socket in a
// temporary folder, and a Firebird database file for the embedded engine. Each is
// gone with its object, also when a test fails; the PostgreSQL server also stops when
// the test process dies, since it is stopped when its watchdog's input closes.
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class PgInstance {
public:
    PgInstance(); // starts the cluster; see error()
    ~PgInstance();
    PgInstance(const PgInstance &) = delete;
    PgInstance &operator=(const PgInstance &) = delete;
    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString socketDir() const { return m_dir.path(); }
    static QString user() { return QStringLiteral("dfe"); }
    // A libpq address of database `db` on this cluster.
    QString uri(const QString &db = QStringLiteral("postgres")) const;
    // Creates an empty database; returns the error text, empty on success.
    QString createDatabase(const QString &name) const;
    // Runs one statement as the cluster's superuser; returns the error text.
    QString exec(const QString &db, const QString &sql) const;

private:
    QTemporaryDir m_dir;
    QProcess m_watchdog;
    QString m_error;
};

class FbDatabase {
public:
    FbDatabase(); // creates an empty database file; see error()
    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString path() const { return m_dir.filePath(QStringLiteral("host.fdb")); }
    static QString user() { return QStringLiteral("SYSDBA"); }

private:
    QTemporaryDir m_dir;
    QString m_error;
};
