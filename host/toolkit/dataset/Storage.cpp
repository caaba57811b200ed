// Rows in memory: the text arena, packets in and out, rows filled by a query.
#include "DataSetInternal.h"
#include "Cbor.h"
#include "PacketReader.h"
#include "Exceptions.h"

#include <QHash>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

using namespace dataset;

namespace dataset {

QString typeText(TFieldType t)
{
    switch (t) {
    case ftFixedChar: return QStringLiteral("texto fixo");
    case ftString: return QStringLiteral("texto");
    case ftFloat: return QStringLiteral("número real");
    case ftBlob: return QStringLiteral("binário");
    }
    return {};
}

bool compatible(TFieldType f, wire::PacketType p)
{
    switch (f) {
    case ftFixedChar:
    case ftString: return p == wire::PacketType::Text || p == wire::PacketType::FixedText;
    case ftFloat: return p == wire::PacketType::Float;
    case ftBlob: return p == wire::PacketType::Blob;
    }
    return false;
}

wire::PacketType packetType(TFieldType t)
{
    switch (t) {
    case ftFixedChar: return wire::PacketType::FixedText;
    case ftString: return wire::PacketType::Text;
    case ftFloat: return wire::PacketType::Float;
    case ftBlob: return wire::PacketType::Blob;
    }
    return wire::PacketType::Text;
}

TFieldType fieldType(wire::PacketType t)
{
    switch (t) {
    case wire::PacketType::FixedText: return ftFixedChar;
    case wire::PacketType::Text: return ftString;
    case wire::PacketType::Float: return ftFloat;
    case wire::PacketType::Blob: return ftBlob;
    }
    return ftString;
}

[[noreturn]] void packetError(const QString &why)
{
    throw Exception(QStringLiteral("Pacote de dados recusado: %1.").arg(why));
}

} // namespace dataset

QByteArray TClientDataSet::textBytes(int row, int slot) const
{
    const QByteArrayView v = textView(row, slot);
    return QByteArray::fromRawData(v.data(), v.size());
}

namespace {
qsizetype entrySize(qsizetype len)
{
    qsizetype n = 1;
    for (quint64 v = quint64(len) >> 7; v; v >>= 7)
        ++n;
    return n + len;
}

// Writes `v` as its LEB128 length and its bytes; returns the bytes written.
qsizetype putEntry(char *out, QByteArrayView v)
{
    qsizetype n = 0;
    quint64 len = quint64(v.size());
    do {
        const auto b = quint8(len & 0x7f);
        len >>= 7;
        out[n++] = char(len ? b | 0x80 : b);
    } while (len);
    if (!v.isEmpty())
        std::memcpy(out + n, v.data(), size_t(v.size()));
    return n + v.size();
}
} // namespace

QByteArrayView TClientDataSet::longTextAt(const char *entry)
{
    quint64 len = 0;
    int n = 0;
    for (int shift = 0; shift < 35; shift += 7) {
        const auto b = quint8(entry[n++]);
        len |= quint64(b & 0x7f) << shift;
        if (!(b & 0x80))
            break;
    }
    return QByteArrayView(entry + n, qsizetype(len));
}

quint32 TClientDataSet::appendText(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return 0;
    const qsizetype live = m_s.text.size() - m_s.garbage;
    if (m_s.garbage > 64 * 1024 && m_s.garbage > live)
        compactText();
    const qsizetype need = entrySize(bytes.size());
    if (m_s.text.size() + need + 1 > kMaxText) {
        compactText();
        if (m_s.text.size() + need + 1 > kMaxText)
            throw Exception(QStringLiteral("%1: textos demais para o conjunto de dados").arg(Name));
    }
    if (m_s.text.size() == 0) { // offset 0 stands for the empty text
        m_s.text.resize(1);
        m_s.text.data()[0] = 0;
    }
    const qsizetype at = m_s.text.size();
    m_s.text.resize(at + need);
    putEntry(m_s.text.data() + at, bytes);
    return quint32(at);
}

void TClientDataSet::resizeRows(Storage &st, int rows) const
{
    st.cells.resize(size_t(m_textCount));
    for (PodBlock<quint32> &column : st.cells)
        column.resize(rows, 0);
    st.floats.resize(qsizetype(rows) * m_floatCount, 0.0);
    st.blobs.resize(size_t(rows) * size_t(m_blobCount));
}

// An unshared value no cell points to counts towards compaction; a shared one may still
// be pointed to, and is left for a compaction to drop.
void TClientDataSet::dropCell(quint32 cell)
{
    if (cell && !(cell & kShared))
        m_s.garbage += entrySize(textAt(m_s.text.data() + cell).size());
}

void TClientDataSet::setCell(int row, int slot, QByteArrayView bytes)
{
    if (textView(row, slot) == bytes)
        return;
    quint32 &c = m_s.cells[size_t(slot)][size_t(row)];
    dropCell(std::exchange(c, 0)); // not kept by a compaction the append may make
    c = appendText(bytes);
}

void TClientDataSet::compactText()
{
    TextArena fresh;
    fresh.reserve(std::max<qsizetype>(m_s.text.size() - m_s.garbage, 0) + 1);
    fresh.resize(1);
    fresh.data()[0] = 0;
    QHash<quint32, quint32> moved; // a shared value moves once, and stays shared
    auto move = [&](quint32 &c) {
        if (!c)
            return;
        if (c & kShared) {
            const auto it = moved.constFind(c);
            if (it != moved.cend()) {
                c = *it;
                return;
            }
        }
        const QByteArrayView v = textAt(m_s.text.data() + (c & ~kShared));
        const qsizetype at = fresh.size();
        fresh.resize(at + entrySize(v.size()));
        putEntry(fresh.data() + at, v);
        const quint32 now = quint32(at) | (c & kShared);
        if (c & kShared)
            moved.insert(c, now);
        c = now;
    };
    for (PodBlock<quint32> &column : m_s.cells)
        for (quint32 &c : column)
            move(c);
    m_s.text = std::move(fresh);
    m_s.garbage = 0;
}

// Each packet column's field (null for a column no field takes); every stored field must be
// present with a compatible type. An empty field list takes the packet's own.
std::vector<const TField *> TClientDataSet::packetTargets(wire::PacketReader &in)
{
    const std::vector<wire::PacketField> &cols = in.fields();
    if (m_fields.empty()) {
        if (Active())
            Close();
        for (const auto &c : cols)
            AddField({c.name, fieldType(c.type), c.size});
    }
    std::vector<const TField *> target(cols.size(), nullptr);
    for (auto &f : m_fields) {
        if (f->Calculated)
            continue;
        const int found = in.indexOf(f->FieldName);
        if (found < 0)
            packetError(QStringLiteral("falta o campo %1").arg(f->FieldName));
        if (!compatible(f->DataType, cols[size_t(found)].type))
            packetError(QStringLiteral("o campo %1 veio como %2, esperado %3")
                            .arg(f->FieldName, QString::fromLatin1(wire::packetTypeName(cols[size_t(found)].type)),
                                 typeText(f->DataType)));
        target[size_t(found)] = f.get();
        if (f->IsText())
            in.limitText(size_t(found), f->Size);
    }
    if (in.tableSize() >= kMaxText)
        packetError(QStringLiteral("pacote grande demais"));
    return target;
}

// Values repeated down a column are kept once: a cell equal to the one above, or to a
// recent value of its column found through a small hash table, points to it. A column
// whose values hardly repeat (a key, an NSU) stops being looked up.
struct TClientDataSet::ColumnValues {
    static constexpr size_t kSlots = 256;
    quint32 last = 0;
    std::array<quint32, kSlots> recent{};
    quint32 looked = 0, found = 0;
    bool hashing = true;

    static size_t hashOf(QByteArrayView v)
    {
        quint64 a = 0, b = 0;
        const size_t n = size_t(v.size());
        std::memcpy(&a, v.data(), std::min<size_t>(n, 8));
        if (n > 8)
            std::memcpy(&b, v.data() + n - std::min<size_t>(n - 8, 8), std::min<size_t>(n - 8, 8));
        const quint64 h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^ n;
        return size_t((h * 0x9E3779B97F4A7C15ull) >> 56);
    }
    static bool same(const char *base, quint32 cell, QByteArrayView v)
    {
        return cell && textAt(base + (cell & ~kShared)) == v;
    }
    // The cell for `v`: an equal value already written, or `v` written at `end`.
    quint32 place(char *base, qsizetype &end, QByteArrayView v)
    {
        if (v.isEmpty())
            return 0;
        if (same(base, last, v))
            return last;
        size_t h = 0;
        if (hashing) {
            h = hashOf(v);
            ++looked;
            if (same(base, recent[h], v)) {
                ++found;
                return last = recent[h];
            }
            if (looked == 1024 && found < looked / 8)
                hashing = false;
        }
        const quint32 at = quint32(end) | kShared;
        end += putEntry(base + end, v);
        if (hashing)
            recent[h] = at;
        return last = at;
    }
};

// Decodes the packet's rows onto the end of `st`; a packet refused half-way leaves `st` as
// it was. Parts of a long list go straight to their place: no copy once decoded.
void TClientDataSet::packetRows(wire::PacketReader &in, const std::vector<const TField *> &target, Storage &st) const
{
    const size_t width = size_t(m_textCount);
    const size_t first = size_t(st.rows), nrows = size_t(in.rowCount());
    const qsizetype textBefore = st.text.size();
    if (textBefore + in.tableSize() + 1 > kMaxText)
        packetError(QStringLiteral("pacote grande demais"));
    try {
        // A value's length takes no more bytes than its CBOR head, so the table's size (and
        // the leading byte offset 0 stands for) hold every text: the block never moves below.
        st.text.reserve(textBefore + in.tableSize() + 1);
        char *base = st.text.data();
        qsizetype end = textBefore;
        if (end == 0)
            base[end++] = 0;
        resizeRows(st, int(first + nrows));
        std::vector<ColumnValues> columns(width);
        size_t row = first;
        while (in.nextRow()) {
            double *floats = st.floats.data() + row * size_t(m_floatCount);
            for (const TField *f : target) {
                const wire::PacketReader::Cell &v = in.cell();
                if (!f)
                    continue;
                if (f->IsText()) {
                    quint32 *column = st.cells[size_t(f->m_slot)].data();
                    // The reader allows the mark from a packet's second row on.
                    column[row] = v.repeated ? column[row - 1]
                                             : columns[size_t(f->m_slot)].place(base, end, QByteArrayView(v.data, v.size));
                } else if (f->DataType == ftFloat)
                    floats[f->m_slot] = v.kind == wire::PacketReader::Cell::Null ? std::nan("") : v.number;
                else if (v.size)
                    st.blobs[row * size_t(m_blobCount) + size_t(f->m_slot)] = QByteArray(v.data, v.size);
            }
            ++row;
        }
        st.text.resize(end);
        st.rows = int(row);
    } catch (...) {
        st.text.resize(textBefore);
        resizeRows(st, int(first));
        throw;
    }
}

void TClientDataSet::SetData(const TDataPacket &packet)
{
    try {
        wire::PacketReader in(packet);
        const std::vector<const TField *> target = packetTargets(in);
        Storage st;
        packetRows(in, target, st);
        st.text.shrink();
        if (m_state == dsEdit || m_state == dsInsert)
            dropBuffer();
        // New content reopens the list: watchers see it close and open again.
        setState(dsInactive);
        m_rowCount = st.rows;
        m_s = std::move(st);
    } catch (const wire::DecodeError &e) {
        packetError(QString::fromUtf8(e.what()));
    }
    m_sortField.clear();
    m_sortDescending = false;
    rebuildOrder();
    rebuildView(-1);
    setState(dsBrowse);
    notify(evChanged);
}

void TClientDataSet::AppendData(const TDataPacket &packet)
{
    requireActive();
    if (m_state != dsBrowse)
        packetError(QStringLiteral("o conjunto de dados está em edição"));
    try {
        wire::PacketReader in(packet);
        const std::vector<const TField *> target = packetTargets(in);
        const int from = m_rowCount;
        const int shown = int(m_view.size());
        packetRows(in, target, m_s);
        m_rowCount = m_s.rows;
        if (appendInOrder(from)) {
            notify(evAppended, shown);
            return;
        }
        const int keep = CurrentRow();
        rebuildOrder();
        rebuildView(keep);
    } catch (const wire::DecodeError &e) {
        packetError(QString::fromUtf8(e.what()));
    }
    notify(evChanged);
}

// Rows from `from` on that follow the others in the index's order (a server's parts
// do) join the order and the view at their ends, without a pass over the rows before.
bool TClientDataSet::appendInOrder(int from)
{
    if (!m_sortField.isEmpty() || m_order.size() != size_t(from))
        return false;
    const int slot = m_indexSlot;
    auto less = [this, slot](int a, int b) { return keyLess(a, b, slot); };
    for (int r = from; slot >= 0 && r < m_rowCount; ++r)
        if (less(r, r == from ? (m_order.empty() ? r : m_order.back()) : r - 1))
            return false;
    const bool filtering = m_filtered && m_filterSlot >= 0;
    for (int r = from; r < m_rowCount; ++r) {
        m_order.push_back(r);
        if (!filtering || rowMatchesFilter(r))
            m_view.push_back(r);
    }
    if (m_cursor < 0 && !m_view.empty())
        m_cursor = 0;
    m_eof = m_bof = m_view.empty();
    return true;
}

TDataPacket TClientDataSet::Data() const
{
    requireActive();
    std::vector<wire::PacketField> fields;
    std::vector<const TField *> stored;
    for (auto &f : m_fields) {
        if (f->Calculated)
            continue;
        fields.push_back({f->FieldName, packetType(f->DataType), f->Size});
        stored.push_back(f.get());
    }
    wire::PacketWriter w(fields);
    for (int row : m_order) {
        w.beginRow();
        for (const TField *f : stored) {
            if (f->IsText()) {
                const QByteArrayView b = textView(row, f->m_slot);
                w.textUtf8(b.data(), b.size());
            } else if (f->DataType == ftFloat) {
                const double d = f->FloatAt(row);
                if (std::isnan(d)) w.null(); else w.real(d);
            } else {
                w.blob(f->BytesAt(row));
            }
        }
    }
    return w.finish();
}

void TClientDataSet::beginLoad()
{
    if (Active())
        Close();
    m_s = Storage{};
    m_rowCount = 0;
}

void TClientDataSet::appendTextRow(const std::vector<QString> &values)
{
    const int row = m_rowCount;
    resizeRows(m_s, row + 1);
    m_s.rows = m_rowCount = row + 1;
    for (auto &f : m_fields)
        if (f->IsText() && !f->Calculated && size_t(f->m_index) < values.size())
            m_s.cells[size_t(f->m_slot)][row] = appendText(values[size_t(f->m_index)].toUtf8());
}

void TClientDataSet::endLoad()
{
    rebuildOrder();
    rebuildView(-1);
    setState(dsBrowse);
    notify(evChanged);
}
