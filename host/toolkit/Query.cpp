#include "Query.h"
#include "Exceptions.h"
#include "Verdano.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

QStringList TADOIBQuery::paramNames(const QString &sql) const
{
    QStringList names;
    bool quoted = false;
    for (qsizetype i = 0; i < sql.size(); ++i) {
        const QChar c = sql[i];
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        } else if (!quoted && c == QLatin1Char(':') && i + 1 < sql.size() &&
                   (sql[i + 1].isLetter() || sql[i + 1] == QLatin1Char('_'))) {
            qsizetype j = i + 1;
            while (j < sql.size() && (sql[j].isLetterOrNumber() || sql[j] == QLatin1Char('_')))
                ++j;
            const QString n = sql.mid(i + 1, j - i - 1);
            if (!names.contains(n, Qt::CaseInsensitive))
                names << n;
            i = j - 1;
        }
    }
    return names;
}

QString TADOIBQuery::StatementText() const
{
    const QSqlDatabase db = dtmDBGeral::Database();
    const bool ib = db.isValid() && db.driverName() == QLatin1String("QIBASE");
    return ((ib && !SQL_IB.isEmpty()) ? SQL_IB : SQL).join(QLatin1Char('\n'));
}

TParam &TADOIBQuery::ParamByName(const QString &name)
{
    const QStringList known = paramNames(SQL.join(QLatin1Char('\n'))) + paramNames(SQL_IB.join(QLatin1Char('\n')));
    bool found = false;
    for (const QString &k : known)
        found = found || k.compare(name, Qt::CaseInsensitive) == 0;
    if (!found)
        throw Exception(QStringLiteral("%1: parâmetro '%2' não existe").arg(Name, name));
    TParam &p = m_params[name.toUpper()];
    p.Name = name;
    return p;
}

void TADOIBQuery::Open()
{
    if (Active())
        return;
    QSqlDatabase db = dtmDBGeral::Database();
    if (!db.isValid())
        throw Exception(QStringLiteral("%1: o banco de dados do sistema não está aberto").arg(Name));
    // A connection dropped by a failed statement is made again here.
    if (!db.isOpen() && !db.open())
        throw Exception(QStringLiteral("%1: não foi possível reconectar ao banco de dados do sistema: %2")
                            .arg(Name, db.lastError().text()));
    const QString sql = StatementText();
    QSqlQuery q(db);
    q.setForwardOnly(true);
    // After a failure the connection may be gone (server restarted, network): it is
    // closed so that the next query opens it again.
    auto fail = [&] {
        const QString why = q.lastError().text();
        q.finish();
        db.close();
        throw Exception(QStringLiteral("%1: %2").arg(Name, why));
    };
    if (!q.prepare(sql))
        fail();
    // Every parameter must have been given a value: an unbound one would silently be NULL.
    for (const QString &n : paramNames(sql)) {
        auto it = m_params.find(n.toUpper());
        if (it == m_params.end())
            throw Exception(QStringLiteral("%1: parâmetro '%2' sem valor").arg(Name, n));
        q.bindValue(QLatin1Char(':') + n, it->second.AsString);
    }
    if (!q.exec()) {
        // Firebird refuses a parameter longer than its column; such a value equals no
        // row, as on the other engines.
        if (db.driverName() == QLatin1String("QIBASE") &&
            q.lastError().databaseText().contains(QLatin1String("string right truncation"))) {
            beginLoad();
            endLoad();
            return;
        }
        fail();
    }
    const QSqlRecord rec = q.record();
    // PostgreSQL reports the columns in lower case; the host's names are upper case.
    for (int i = 0; i < rec.count(); ++i)
        if (!FindField(rec.fieldName(i)))
            AddField({rec.fieldName(i).toUpper(), ftString, 255});
    std::vector<int> fieldOfColumn(size_t(rec.count()));
    for (int i = 0; i < rec.count(); ++i)
        fieldOfColumn[size_t(i)] = FieldByName(rec.fieldName(i)).Index();
    beginLoad();
    std::vector<QString> values(static_cast<size_t>(FieldCount()));
    while (q.next()) {
        for (int i = 0; i < rec.count(); ++i)
            values[size_t(fieldOfColumn[size_t(i)])] = q.value(i).toString();
        appendTextRow(values);
    }
    if (q.lastError().isValid())
        fail();
    endLoad();
}
