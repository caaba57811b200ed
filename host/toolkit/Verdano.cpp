#include "Verdano.h"

#include <QHash>

namespace {
struct HostValues {
    QString company, branch, host = QStringLiteral("127.0.0.1"), connection;
    int port = 0;
    QHash<QString, QDate> dates;
};
HostValues &values()
{
    static HostValues v;
    return v;
}
} // namespace

namespace Verdano {
QString EmprProc() { return values().company; }
QString FiliProc() { return values().branch; }
QDate DataProc(const QString &branch) { return values().dates.value(branch, QDate::currentDate()); }
QString WebURL() { return values().host; }
int WebPort() { return values().port; }
void SetEmprProc(const QString &company) { values().company = company; }
void SetFiliProc(const QString &branch) { values().branch = branch; }
void SetDataProc(const QString &branch, const QDate &date) { values().dates.insert(branch, date); }
void SetWebURL(const QString &host) { values().host = host; }
void SetWebPort(int port) { values().port = port; }
} // namespace Verdano

namespace dtmDBGeral {
QSqlDatabase Database()
{
    const QString name = values().connection.isEmpty() ? QString::fromLatin1(QSqlDatabase::defaultConnection)
                                                       : values().connection;
    return QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false) : QSqlDatabase();
}
void SetConnectionName(const QString &name) { values().connection = name; }
} // namespace dtmDBGeral
