// Changing rows: the edit buffer, post, cancel and delete.
#include "DataSetInternal.h"
#include "Exceptions.h"

#include <cstring>

using namespace dataset;

QVariant TClientDataSet::bufferValue(const TField &f) const
{
    if (!m_haveBuffer)
        return {};
    const size_t i = size_t(f.m_index);
    if (m_dirty[i])
        return m_buffer[i];
    const int row = CurrentRow();
    if (row < 0)
        return {};
    if (f.IsText())
        return f.StringAt(row);
    return f.DataType == ftFloat ? QVariant(f.FloatAt(row)) : QVariant(f.BytesAt(row));
}

void TClientDataSet::setBufferValue(const TField &f, const QVariant &v)
{
    if (f.Calculated)
        throw Exception(QStringLiteral("%1: o campo calculado %2 não pode ser alterado").arg(Name, f.FieldName));
    if (m_state != dsEdit && m_state != dsInsert)
        throw Exception(QStringLiteral("%1: o conjunto de dados não está em edição").arg(Name));
    m_buffer[size_t(f.m_index)] = v;
    if (!m_dirty[size_t(f.m_index)]) {
        m_dirty[size_t(f.m_index)] = 1;
        m_dirtyList.push_back(f.m_index);
    }
    notify(evRecord, m_cursor);
}

void TClientDataSet::Edit()
{
    requireActive();
    if (m_state == dsEdit || m_state == dsInsert)
        return;
    if (BeforeEdit)
        BeforeEdit(*this);
    if (CurrentRow() < 0)
        throw Exception(QStringLiteral("%1: não há registro para alterar").arg(Name));
    // Values are read from the row until a field is set: a tick costs one field, not the row.
    if (m_buffer.size() != m_fields.size()) {
        m_buffer.assign(m_fields.size(), QVariant());
        m_dirty.assign(m_fields.size(), 0);
        m_dirtyList.clear();
    }
    m_haveBuffer = true;
    setState(dsEdit);
}

void TClientDataSet::Insert()
{
    requireActive();
    if (m_state == dsEdit || m_state == dsInsert)
        Post();
    if (BeforeInsert)
        BeforeInsert(*this);
    m_buffer.assign(m_fields.size(), QVariant());
    m_dirty.assign(m_fields.size(), 1);
    m_dirtyList.clear();
    for (int i = 0; i < int(m_fields.size()); ++i)
        m_dirtyList.push_back(i);
    m_haveBuffer = true;
    for (auto &f : m_fields)
        if (!f->Calculated)
            m_buffer[size_t(f->m_index)] = f->IsText() ? QVariant(QString()) : f->DataType == ftFloat ? QVariant(0.0) : QVariant(QByteArray());
    setState(dsInsert);
}

void TClientDataSet::dropBuffer()
{
    for (int i : m_dirtyList) {
        m_buffer[size_t(i)] = QVariant();
        m_dirty[size_t(i)] = 0;
    }
    m_dirtyList.clear();
    m_haveBuffer = false;
}

namespace {
// UTF-8 of a short ASCII text into `out` without allocating; false for anything else.
bool asciiInto(const QString &s, char (&out)[64])
{
    if (s.size() > qsizetype(sizeof out))
        return false;
    const ushort *p = s.utf16();
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (p[i] >= 0x80)
            return false;
        out[i] = char(p[i]);
    }
    return true;
}
} // namespace

void TClientDataSet::setRowFromBuffer(int row)
{
    const size_t stride = size_t(m_textCount) + 1;
    bool resized = false;
    for (int d : m_dirtyList) {
        const TField *f = m_fields[size_t(d)].get();
        const size_t i = size_t(d);
        if (f->Calculated)
            continue;
        if (f->IsText()) {
            // A cell that keeps its length (a tick) is rewritten where it is.
            const QString v = m_buffer[i].toString();
            const quint32 *off = &m_s.offsets[size_t(row) * stride + size_t(f->m_slot)];
            char small[64];
            if (asciiInto(v, small)) {
                if (qsizetype(off[1] - off[0]) == v.size()) {
                    if (!v.isEmpty())
                        std::memcpy(m_s.text.data() + off[0], small, size_t(v.size()));
                    continue;
                }
            } else {
                const QByteArray u = v.toUtf8();
                if (qsizetype(off[1] - off[0]) == u.size()) {
                    std::memcpy(m_s.text.data() + off[0], u.constData(), size_t(u.size()));
                    continue;
                }
            }
            resized = true;
        } else if (f->DataType == ftFloat) {
            m_s.floats[size_t(row) * size_t(m_floatCount) + size_t(f->m_slot)] = m_buffer[i].toDouble();
        } else {
            m_s.blobs[size_t(row) * size_t(m_blobCount) + size_t(f->m_slot)] = m_buffer[i].toByteArray();
        }
    }
    if (!resized)
        return;
    // The row is written anew at the end of the arena; its old bytes are left behind.
    std::vector<QByteArray> fresh(static_cast<size_t>(m_textCount));
    std::vector<char> isFresh(size_t(m_textCount), 0);
    for (auto &f : m_fields) {
        if (f->Calculated || !f->IsText() || !m_dirty[size_t(f->m_index)])
            continue;
        fresh[size_t(f->m_slot)] = m_buffer[size_t(f->m_index)].toString().toUtf8();
        isFresh[size_t(f->m_slot)] = 1;
    }
    qsizetype total = 0;
    for (int k = 0; k < m_textCount; ++k)
        total += isFresh[size_t(k)] ? fresh[size_t(k)].size() : textView(row, k).size();
    const quint32 at = appendRowSpace(total); // may compact: offsets are read after it
    quint32 *off = &m_s.offsets[size_t(row) * stride];
    const quint32 oldLength = off[m_textCount] - off[0];
    char *base = m_s.text.data();
    quint32 pos = at;
    for (int k = 0; k < m_textCount; ++k) {
        const quint32 len = isFresh[size_t(k)] ? quint32(fresh[size_t(k)].size()) : off[k + 1] - off[k];
        if (len)
            std::memcpy(base + pos, isFresh[size_t(k)] ? fresh[size_t(k)].constData() : base + off[k], len);
        off[k] = pos;
        pos += len;
    }
    off[m_textCount] = pos;
    m_s.garbage += oldLength;
}

void TClientDataSet::Post()
{
    if (m_state != dsEdit && m_state != dsInsert)
        return;
    if (BeforePost)
        BeforePost(*this);
    int row;
    const bool inserted = m_state == dsInsert;
    if (inserted) {
        row = m_rowCount++;
        m_s.rows = m_rowCount;
        const quint32 end = quint32(m_s.text.size());
        m_s.offsets.resize(size_t(m_rowCount) * (size_t(m_textCount) + 1), end);
        m_s.floats.resize(size_t(m_rowCount) * size_t(m_floatCount), 0.0);
        m_s.blobs.resize(size_t(m_rowCount) * size_t(m_blobCount));
    } else {
        row = CurrentRow();
    }
    // Only a change of the key's or the filter's field can move the row.
    auto setsSlot = [this](int slot) {
        for (int d : m_dirtyList) {
            const TField &f = *m_fields[size_t(d)];
            if (f.m_slot == slot && f.IsText() && !f.Calculated)
                return true;
        }
        return false;
    };
    const bool keyTouched = m_indexSlot >= 0 && !inserted && setsSlot(m_indexSlot);
    const bool filterTouched = m_filtered && m_filterSlot >= 0 && (inserted || setsSlot(m_filterSlot));
    QByteArray oldKey; // a copy: the row may be rewritten elsewhere below
    if (keyTouched) {
        const QByteArrayView raw = textView(row, m_indexSlot);
        oldKey = QByteArray(raw.data(), raw.size());
    }
    setRowFromBuffer(row);
    dropBuffer();
    const bool keyChanged = inserted || (keyTouched && textView(row, m_indexSlot) != QByteArrayView(oldKey));
    const bool filterChanged = filterTouched && !rowMatchesFilter(row);
    if (keyChanged)
        rebuildOrder();
    if (keyChanged || filterChanged) {
        rebuildView(row);
        setState(dsBrowse);
        notify(evChanged);
    } else {
        setState(dsBrowse);
        notify(evRecord, m_cursor);
    }
}

void TClientDataSet::Cancel()
{
    if (m_state != dsEdit && m_state != dsInsert)
        return;
    dropBuffer();
    setState(dsBrowse);
    notify(evRecord, m_cursor);
}

void TClientDataSet::Delete() { Delete(nullptr); }

void TClientDataSet::Delete(const std::function<bool()> &confirm)
{
    requireActive();
    if (m_state == dsInsert) {
        Cancel();
        return;
    }
    if (BeforeDelete)
        BeforeDelete(*this);
    if (confirm && !confirm())
        return;
    const int row = CurrentRow();
    if (row < 0)
        throw Exception(QStringLiteral("%1: não há registro para excluir").arg(Name));
    if (m_state == dsEdit)
        Cancel();
    const size_t stride = size_t(m_textCount) + 1;
    m_s.garbage += m_s.offsets[size_t(row) * stride + size_t(m_textCount)] - m_s.offsets[size_t(row) * stride];
    m_s.offsets.erase(m_s.offsets.begin() + qsizetype(size_t(row) * stride),
                      m_s.offsets.begin() + qsizetype(size_t(row + 1) * stride));
    m_s.floats.erase(m_s.floats.begin() + qsizetype(size_t(row) * size_t(m_floatCount)),
                     m_s.floats.begin() + qsizetype(size_t(row + 1) * size_t(m_floatCount)));
    m_s.blobs.erase(m_s.blobs.begin() + qsizetype(size_t(row) * size_t(m_blobCount)),
                    m_s.blobs.begin() + qsizetype(size_t(row + 1) * size_t(m_blobCount)));
    --m_rowCount;
    m_s.rows = m_rowCount;
    const int oldCursor = m_cursor;
    rebuildOrder();
    rebuildView(-1);
    if (!m_view.empty())
        m_cursor = std::min(oldCursor, int(m_view.size()) - 1);
    notify(evChanged);
}

void TClientDataSet::SetTextOfAllRows(const QString &fieldName, const QString &value)
{
    requireActive();
    if (m_state != dsBrowse)
        throw Exception(QStringLiteral("%1: conjunto de dados em edição").arg(Name));
    const TField &f = FieldByName(fieldName);
    if (!f.IsText() || f.Calculated || f.m_slot == m_indexSlot || (m_filtered && f.m_slot == m_filterSlot))
        throw Exception(QStringLiteral("%1: o campo %2 não pode ser escrito em todas as linhas").arg(Name, fieldName));
    const QByteArray bytes = value.toUtf8();
    const size_t stride = size_t(m_textCount) + 1;
    for (int row : m_view) {
        const quint32 *off = &m_s.offsets[size_t(row) * stride + size_t(f.m_slot)];
        if (qsizetype(off[1] - off[0]) == bytes.size())
            std::memcpy(m_s.text.data() + off[0], bytes.constData(), size_t(bytes.size()));
        else
            rewriteTextCell(row, f.m_slot, bytes);
    }
    notify(evField, f.Index());
}

// The row is written anew at the end of the arena with the one cell changed.
void TClientDataSet::rewriteTextCell(int row, int slot, QByteArrayView bytes)
{
    const size_t stride = size_t(m_textCount) + 1;
    std::vector<QByteArray> cells(static_cast<size_t>(m_textCount));
    qsizetype total = 0;
    for (int k = 0; k < m_textCount; ++k) {
        const QByteArrayView cell = k == slot ? bytes : textView(row, k);
        cells[size_t(k)] = QByteArray(cell.data(), cell.size()); // copies: the arena may move below
        total += cells[size_t(k)].size();
    }
    const quint32 *before = &m_s.offsets[size_t(row) * stride];
    const qsizetype old = qsizetype(before[m_textCount] - before[0]);
    quint32 pos = appendRowSpace(total);
    quint32 *off = &m_s.offsets[size_t(row) * stride]; // after a compaction too
    for (int k = 0; k < m_textCount; ++k) {
        off[k] = pos;
        if (!cells[size_t(k)].isEmpty())
            std::memcpy(m_s.text.data() + pos, cells[size_t(k)].constData(), size_t(cells[size_t(k)].size()));
        pos += quint32(cells[size_t(k)].size());
    }
    off[m_textCount] = pos;
    m_s.garbage += old;
}
