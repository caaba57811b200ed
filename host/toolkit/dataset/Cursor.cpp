// The cursor over the rows: the index's order, the filter's view and moving along it.
#include "DataSetInternal.h"
#include "Exceptions.h"

#include <cmath>
#include <limits>

using namespace dataset;

void TClientDataSet::AddIndex(const QString &name, const QString &fieldName)
{
    TField *f = FindField(fieldName);
    if (!f || !f->IsText() || f->Calculated)
        throw Exception(QStringLiteral("%1: o índice %2 exige um campo texto existente").arg(Name, name));
    m_indexName = name;
    m_indexField = fieldName;
    m_indexSlot = f->m_slot;
    if (Active()) {
        rebuildOrder();
        rebuildView(CurrentRow());
        notify(evChanged);
    }
}

void TClientDataSet::rebuildOrder()
{
    m_order.resize(size_t(m_rowCount));
    for (int i = 0; i < m_rowCount; ++i)
        m_order[size_t(i)] = i;
    if (m_indexSlot < 0)
        return;
    const int slot = m_indexSlot;
    auto less = [this, slot](int a, int b) { return keyLess(a, b, slot); };
    // The server sends its rows in key order: one pass proves it and spares the sort.
    if (!std::is_sorted(m_order.begin(), m_order.end(), less))
        std::stable_sort(m_order.begin(), m_order.end(), less);
    if (!m_sortField.isEmpty())
        sortBySortField();
}

namespace {
// A text cell as it sorts: dd/mm/yyyy as yyyymmdd, anything else without case or accents.
QByteArray sortKey(QByteArrayView utf8)
{
    if (utf8.size() == 10 && utf8[2] == '/' && utf8[5] == '/') {
        QByteArray k;
        k.append(utf8.sliced(6, 4)).append(utf8.sliced(3, 2)).append(utf8.sliced(0, 2));
        return k;
    }
    bool plain = true;
    for (char c : utf8)
        plain = plain && uchar(c) < 0x80;
    if (plain)
        return QByteArray(utf8.data(), utf8.size()).toLower();
    QString t = QString::fromUtf8(utf8).normalized(QString::NormalizationForm_D).toCaseFolded();
    t.removeIf([](QChar c) { return c.category() == QChar::Mark_NonSpacing; });
    return t.toUtf8();
}
} // namespace

void TClientDataSet::sortBySortField()
{
    // The order is sorted once, from keys taken once per row: no proxy re-reads cells.
    const TField &f = FieldByName(m_sortField);
    const bool desc = m_sortDescending;
    if (f.DataType == ftFloat) {
        std::vector<double> keys(static_cast<size_t>(m_rowCount));
        for (int r = 0; r < m_rowCount; ++r) {
            const double v = f.FloatAt(r);
            keys[size_t(r)] = std::isnan(v) ? -std::numeric_limits<double>::infinity() : v;
        }
        std::stable_sort(m_order.begin(), m_order.end(), [&keys, desc](int a, int b) {
            return desc ? keys[size_t(a)] > keys[size_t(b)] : keys[size_t(a)] < keys[size_t(b)];
        });
        return;
    }
    std::vector<QByteArray> keys(static_cast<size_t>(m_rowCount));
    for (int r = 0; r < m_rowCount; ++r)
        keys[size_t(r)] = sortKey(textView(r, f.m_slot));
    std::stable_sort(m_order.begin(), m_order.end(), [&keys, desc](int a, int b) {
        return desc ? keys[size_t(b)] < keys[size_t(a)] : keys[size_t(a)] < keys[size_t(b)];
    });
}

void TClientDataSet::SetSortField(const QString &fieldName, bool descending)
{
    if (!fieldName.isEmpty()) {
        const TField *f = FindField(fieldName);
        if (!f || f->Calculated || f->DataType == ftBlob)
            throw Exception(QStringLiteral("%1: não é possível ordenar pelo campo %2").arg(Name, fieldName));
    }
    m_sortField = fieldName;
    m_sortDescending = descending && !fieldName.isEmpty();
    if (Active()) {
        const int row = CurrentRow();
        rebuildOrder();
        rebuildView(row);
        notify(evChanged);
    }
}

bool TClientDataSet::rowMatchesFilter(int row) const
{
    if (!m_filtered || m_filterSlot < 0)
        return true;
    return textView(row, m_filterSlot) == QByteArrayView(m_filterValue);
}

void TClientDataSet::rebuildView(int keepRow)
{
    if (!m_filtered || m_filterSlot < 0) {
        m_view = m_order;
    } else {
        m_view.clear();
        for (int r : m_order)
            if (rowMatchesFilter(r))
                m_view.push_back(r);
    }
    int pos = -1;
    if (keepRow >= 0)
        pos = ViewIndexOf(keepRow);
    if (pos < 0)
        pos = m_view.empty() ? -1 : 0;
    m_cursor = pos;
    m_eof = m_bof = m_view.empty();
}

int TClientDataSet::ViewIndexOf(int row) const
{
    auto it = std::find(m_view.begin(), m_view.end(), row);
    return it == m_view.end() ? -1 : int(it - m_view.begin());
}

int TClientDataSet::CurrentRow() const
{
    if (m_cursor < 0 || m_cursor >= int(m_view.size()))
        return -1;
    return m_view[size_t(m_cursor)];
}
void TClientDataSet::ensureBrowseForMove()
{
    if (m_state == dsEdit || m_state == dsInsert)
        Post();
}

void TClientDataSet::setCursor(int view)
{
    if (view == m_cursor)
        return;
    m_cursor = view;
    notify(evScroll);
}

void TClientDataSet::First()
{
    requireActive();
    ensureBrowseForMove();
    m_bof = true;
    m_eof = m_view.empty();
    setCursor(m_view.empty() ? -1 : 0);
}

void TClientDataSet::Last()
{
    requireActive();
    ensureBrowseForMove();
    m_eof = true;
    m_bof = m_view.empty();
    setCursor(int(m_view.size()) - 1);
}

void TClientDataSet::Next()
{
    requireActive();
    ensureBrowseForMove();
    m_bof = false;
    if (m_cursor + 1 >= int(m_view.size())) {
        m_eof = true;
        return;
    }
    m_eof = false;
    setCursor(m_cursor + 1);
}

void TClientDataSet::Prior()
{
    requireActive();
    ensureBrowseForMove();
    m_eof = false;
    if (m_cursor <= 0) {
        m_bof = true;
        return;
    }
    m_bof = false;
    setCursor(m_cursor - 1);
}

void TClientDataSet::SetRecNo(int recNo)
{
    requireActive();
    if (recNo < 1 || recNo > int(m_view.size()))
        return;
    ensureBrowseForMove();
    m_eof = m_bof = false;
    setCursor(recNo - 1);
}

bool TClientDataSet::Locate(const QString &fieldName, const QString &value)
{
    requireActive();
    const TField &f = FieldByName(fieldName);
    ensureBrowseForMove();
    const QByteArray key = value.toUtf8();
    for (size_t i = 0; i < m_view.size(); ++i) {
        const int row = m_view[i];
        const bool hit = f.IsText() && !f.Calculated ? textView(row, f.m_slot) == QByteArrayView(key) : f.StringAt(row) == value;
        if (hit) {
            m_eof = m_bof = false;
            setCursor(int(i));
            return true;
        }
    }
    return false;
}
void TClientDataSet::SetFilter(const QString &text)
{
    if (text == m_filter)
        return;
    m_filter = text;
    if (m_filtered)
        SetFiltered(true);
}

void TClientDataSet::SetFiltered(bool on)
{
    if (on) {
        // FIELD = 'value', with '' standing for a quote inside the value.
        const QString t = m_filter.trimmed();
        const int eq = t.indexOf(QLatin1Char('='));
        const QString name = eq < 0 ? QString() : t.left(eq).trimmed();
        QString rhs = eq < 0 ? QString() : t.mid(eq + 1).trimmed();
        TField *f = name.isEmpty() ? nullptr : FindField(name);
        if (!f || !f->IsText() || f->Calculated || rhs.size() < 2 || !rhs.startsWith(QLatin1Char('\'')) ||
            !rhs.endsWith(QLatin1Char('\'')))
            throw Exception(QStringLiteral("%1: filtro inválido: %2").arg(Name, m_filter));
        rhs = rhs.mid(1, rhs.size() - 2).replace(QStringLiteral("''"), QStringLiteral("'"));
        m_filterSlot = f->m_slot;
        m_filterValue = rhs.toUtf8();
    }
    m_filtered = on;
    if (!Active())
        return;
    ensureBrowseForMove();
    rebuildView(-1);
    notify(evChanged);
}
