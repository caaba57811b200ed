#include "ListFind.h"

QString TListFind::Folded(const QString &s)
{
    // Most of a list is plain ASCII: no decomposition needed.
    if (std::all_of(s.cbegin(), s.cend(), [](QChar c) { return c.unicode() < 0x80; }))
        return s.toLower();
    const QString d = s.normalized(QString::NormalizationForm_D);
    QString out;
    out.reserve(d.size());
    for (QChar c : d)
        if (c.category() != QChar::Mark_NonSpacing)
            out += c.toLower();
    return out;
}

QString TListFind::WithoutPunctuation(const QString &s)
{
    QString out;
    out.reserve(s.size());
    for (QChar c : s)
        if (c != u'.' && c != u'-' && c != u'/' && c != u' ')
            out += c;
    return out;
}

void TListFind::SetText(const QString &query)
{
    m_query = query;
    m_folded = Folded(query.trimmed());
    // Punctuation is dropped on both sides only when the query holds digits: "a-b" still
    // finds a dash between words.
    const bool digits = std::any_of(m_folded.cbegin(), m_folded.cend(), [](QChar c) { return c.isDigit(); });
    m_bare = digits ? WithoutPunctuation(m_folded) : QString();
}

bool TListFind::CellMatches(const QString &cell) const
{
    if (m_folded.isEmpty())
        return false;
    const QString folded = Folded(cell);
    if (folded.contains(m_folded))
        return true;
    return !m_bare.isEmpty() && WithoutPunctuation(folded).contains(m_bare);
}

bool TListFind::RowMatches(int row) const
{
    for (const TField *f : m_fields)
        if (CellMatches(f->DisplayTextAt(row)))
            return true;
    return false;
}

int TListFind::Next(int fromView, bool forward) const
{
    const int n = m_ds.RecordCount();
    if (n == 0 || m_folded.isEmpty())
        return -1;
    const int start = fromView < 0 ? (forward ? -1 : n) : fromView;
    for (int step = 1; step <= n; ++step) {
        const int v = ((forward ? start + step : start - step) % n + n) % n;
        if (RowMatches(m_ds.RowAt(v)))
            return v;
    }
    return -1;
}

int TListFind::MatchCount() const
{
    if (m_folded.isEmpty())
        return 0;
    int count = 0;
    for (int v = 0; v < m_ds.RecordCount(); ++v)
        count += RowMatches(m_ds.RowAt(v));
    return count;
}
