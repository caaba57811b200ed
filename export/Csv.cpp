#include "Writers.h"

#include <QDate>
#include <QLocale>
#include <QSaveFile>

namespace listexport {

namespace {

QString cellText(const Column &c, const QVariant &v)
{
    if (v.isNull())
        return {};
    switch (c.type) {
    case Type::Number:
        return QString::number(v.toDouble(), 'f', c.decimals).replace(u'.', u',');
    case Type::Date:
        return v.toDate().toString(QStringLiteral("dd/MM/yyyy"));
    case Type::Text:
        break;
    }
    return v.toString();
}

// Quoted when it holds the separator, a quote or a line break; quotes doubled.
QString quoted(const QString &s)
{
    if (!s.contains(u';') && !s.contains(u'"') && !s.contains(u'\n') && !s.contains(u'\r'))
        return s;
    return u'"' + QString(s).replace(QStringLiteral("\""), QStringLiteral("\"\"")) + u'"';
}

} // namespace

QByteArray csv(const Table &t)
{
    QString out;
    QStringList line;
    for (const Column &c : t.columns)
        line << quoted(c.title);
    out += line.join(u';') + QStringLiteral("\r\n");
    for (const auto &row : t.rows) {
        line.clear();
        for (size_t i = 0; i < t.columns.size(); ++i)
            line << quoted(cellText(t.columns[i], i < row.size() ? row[i] : QVariant()));
        out += line.join(u';') + QStringLiteral("\r\n");
    }
    return QByteArray("\xEF\xBB\xBF") + out.toUtf8();
}

bool writeCsv(const QString &path, const Table &t, QString *error)
{
    QSaveFile f(path);
    if (f.open(QIODevice::WriteOnly) && f.write(csv(t)) >= 0 && f.commit())
        return true;
    if (error)
        *error = f.errorString();
    return false;
}

} // namespace listexport
