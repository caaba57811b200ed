#pragma once
// Read-only query on the host database: its rows are held in memory, so a lookup
// can leave it on a chosen row.
#include "DataSet.h"
#include <QStringList>
#include <map>

class DFE_TOOLKIT_API TParam {
public:
    QString Name;
    QString AsString;
};

class DFE_TOOLKIT_API TADOIBQuery : public TClientDataSet {
public:
    QStringList SQL;
    QStringList SQL_IB; // used instead of SQL on a Firebird/InterBase connection
    // Throws when the statement has no parameter of that name.
    TParam &ParamByName(const QString &name);
    void Open();
    // Fields declared before Open keep their labels, widths, visibility and
    // display handlers; columns not declared become visible text fields.
    QString StatementText() const; // the statement that Open runs on this connection

private:
    std::map<QString, TParam> m_params;
    QStringList paramNames(const QString &sql) const;
};
