#pragma once
// The host application's pieces that tests reach: settings, the host database and
// the module loader.
#include <QDate>
#include <QLibrary>
#include <QString>
#include <QStringList>
#include <memory>

struct HostSettings {
    QString company = QStringLiteral("01");
    QString branch = QStringLiteral("01");
    QDate processingDate = QDate::currentDate();
    QString serverHost = QStringLiteral("127.0.0.1");
    int serverPort = 8750;
    int callTimeoutSeconds = 120;
    // The server on a network, from the INI file only ([server] tls, ca_file, token,
    // client_cert, client_key): the token never on the command line.
    bool serverTls = false;
    QString serverCaFile, serverToken, clientCert, clientKey;
    QString dbDriver = QStringLiteral("QSQLITE");
    QString dbName;   // empty: the default file beside the settings
    // Database server connection, from the INI file only (never the command line).
    QString dbHost, dbUser, dbPassword;
    int dbPort = -1;
    QString moduleDir;
    QString moduleFile = QStringLiteral("libPkg_Dfe71000.so");
    bool demo = false; // create and fill the demo database
    bool openModule = false;
    QStringList problems; // what could not be read, for the user

    // Reads an INI file over the current values; a missing or unreadable file is
    // recorded in `problems` and the values stay as they were.
    void load(const QString &iniPath);
    // Command-line options over the current values.
    void parse(const QStringList &arguments);
    void publish() const; // to the toolkit's host values
};

// Opens the host database as the toolkit's general connection (QSQLITE, QPSQL or
// QIBASE). With `demo`, creates the tables and fills them with demo companies when
// they are empty, by the engine's scripts of db/.
bool OpenHostDatabase(const HostSettings &s, QString &error);
// Throws std::runtime_error naming the failed statement.
void CreateDemoData(const QString &connection);

class QMenu;
class QMdiArea;
// The Janelas menu: its fixed entries, then one entry per open window of `area`, the
// active one checked; choosing one brings it to the front. Refilled each time it opens.
void ListWindowsInMenu(QMenu *menu, QMdiArea *area);

// Loads a module library and calls its entries.
class ModuleHandle {
public:
    // Throws std::runtime_error with a message naming the file and the reason.
    static std::unique_ptr<ModuleHandle> load(const QString &path);
    ~ModuleHandle();
    void iniProc();
    void finalize();
    QString path() const { return m_lib.fileName(); }

private:
    QLibrary m_lib;
    void (*m_iniProc)() = nullptr;
    void (*m_finalize)() = nullptr;
    bool m_finalized = false;
};
