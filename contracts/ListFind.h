#pragma once
// Finding rows of a dataset by the text the user sees in its columns: case and accents
// ignored, and numbers found with or without their punctuation (a CNPJ typed as
// 11.222.333/0001-81 or 11222333000181, a key in groups or whole).
#include "DataSet.h"
#include "ToolkitApi.h"

#include <vector>

class DFE_TOOLKIT_API TListFind {
public:
    TListFind(const TClientDataSet &ds, std::vector<const TField *> fields) : m_ds(ds), m_fields(std::move(fields)) {}

    void SetText(const QString &query);
    QString Text() const { return m_query; }
    // The view position of the first match after `fromView` going forward (before it going
    // back), wrapping around the list; `fromView` itself last. -1 when nothing matches.
    int Next(int fromView, bool forward) const;
    int MatchCount() const;
    bool RowMatches(int row) const;
    // One cell against a query as SetText keeps it.
    bool CellMatches(const QString &cell) const;

    static QString Folded(const QString &s);       // lower case, no accents
    static QString WithoutPunctuation(const QString &s);

private:
    const TClientDataSet &m_ds;
    std::vector<const TField *> m_fields;
    QString m_query, m_folded, m_bare;
};
