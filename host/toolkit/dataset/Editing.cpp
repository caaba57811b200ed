// Changing rows: the edit buffer, post, cancel and delete.
#include "DataSetInternal.h"
#include "Exceptions.h"

#include <utility>

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


void TClientDataSet::setRowFromBuffer(int row)
{
    for (int d : m_dirtyList) {
        const TField *f = m_fields[size_t(d)].get();
        const size_t i = size_t(d);
        if (f->Calculated)
            continue;
        if (f->IsText())
            setCell(row, f->m_slot, m_buffer[i].toString().toUtf8());
        else if (f->DataType == ftFloat)
            m_s.floats[size_t(row) * size_t(m_floatCount) + size_t(f->m_slot)] = m_buffer[i].toDouble();
        else
            m_s.blobs[size_t(row) * size_t(m_blobCount) + size_t(f->m_slot)] = m_buffer[i].toByteArray();
    }
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
        resizeRows(m_s, m_rowCount);
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
    for (PodBlock<quint32> &column : m_s.cells) {
        dropCell(column[row]);
        column.erase(row, row + 1);
    }
    m_s.floats.erase(qsizetype(row) * m_floatCount, qsizetype(row + 1) * m_floatCount);
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
    // Every row points to one copy of the value.
    const quint32 cell = appendText(value.toUtf8()) | (value.isEmpty() ? 0 : kShared);
    quint32 *column = m_s.cells[size_t(f.m_slot)].data();
    for (int row : m_view) {
        quint32 &c = column[row];
        if (c != cell)
            dropCell(std::exchange(c, cell));
    }
    notify(evField, f.Index());
}
