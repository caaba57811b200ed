// Rows in memory: the text arena, packets in and out, rows filled by a query.
#include "DataSetInternal.h"
#include "Cbor.h"
#include "PacketReader.h"
#include "Exceptions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>
#include <limits>

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

TClientDataSet::TextArena::~TextArena() { std::free(m_data); }

void TClientDataSet::TextArena::reserve(qsizetype n)
{
    if (n <= m_capacity)
        return;
    const qsizetype room = m_capacity == 0 ? n : std::max(n, m_capacity + m_capacity / 2);
    auto *p = static_cast<char *>(std::realloc(m_data, size_t(room)));
    if (!p)
        throw std::bad_alloc();
    m_data = p;
    m_capacity = room;
}

void TClientDataSet::TextArena::shrink()
{
    if (m_size == m_capacity)
        return;
    if (m_size == 0) {
        std::free(m_data);
        m_data = nullptr;
        m_capacity = 0;
        return;
    }
    // A large block shrinks in place (the pages past the end are simply returned).
    if (auto *p = static_cast<char *>(std::realloc(m_data, size_t(m_size)))) {
        m_data = p;
        m_capacity = m_size;
    }
}

quint32 TClientDataSet::appendRowSpace(qsizetype bytes)
{
    const qsizetype live = m_s.text.size() - m_s.garbage;
    if (m_s.garbage > 64 * 1024 && m_s.garbage > live)
        compactText();
    if (quint64(m_s.text.size()) + quint64(bytes) > std::numeric_limits<quint32>::max()) {
        compactText();
        if (quint64(m_s.text.size()) + quint64(bytes) > std::numeric_limits<quint32>::max())
            throw Exception(QStringLiteral("%1: textos demais para o conjunto de dados").arg(Name));
    }
    const qsizetype at = m_s.text.size();
    m_s.text.resize(at + bytes);
    return quint32(at);
}

void TClientDataSet::compactText()
{
    const size_t stride = size_t(m_textCount) + 1;
    TextArena fresh;
    fresh.reserve(std::max<qsizetype>(m_s.text.size() - m_s.garbage, 1));
    quint32 at = 0;
    for (int r = 0; r < m_rowCount; ++r) {
        quint32 *off = &m_s.offsets[size_t(r) * stride];
        const quint32 start = off[0], len = off[stride - 1] - off[0];
        if (len)
            std::memcpy(fresh.data() + at, m_s.text.data() + start, len);
        for (size_t k = 0; k < stride; ++k)
            off[k] = off[k] - start + at;
        at += len;
    }
    fresh.resize(at);
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
    if (in.tableSize() > qsizetype(std::numeric_limits<quint32>::max()))
        packetError(QStringLiteral("pacote grande demais"));
    return target;
}

namespace {
// The packet's text columns in field order (the usual case) let each cell go straight to
// its place in the arena; otherwise a row's cells are gathered first.
bool textColumnsInOrder(const std::vector<const TField *> &target, const std::function<int(const TField *)> &slot)
{
    int last = -1;
    for (const TField *f : target) {
        if (!f || !f->IsText())
            continue;
        if (slot(f) <= last)
            return false;
        last = slot(f);
    }
    return true;
}
} // namespace

TClientDataSet::Storage TClientDataSet::packetRows(wire::PacketReader &in, const std::vector<const TField *> &target) const
{
    const bool inOrder = textColumnsInOrder(target, [](const TField *f) { return f->m_slot; });
    const size_t stride = size_t(m_textCount) + 1;
    const size_t nrows = size_t(in.rowCount());
    Storage st;
    // No text is longer than the table it comes in: one block, never moved while loading.
    st.text.reserve(std::max<qsizetype>(in.tableSize(), 1));
    st.offsets.resize(nrows * stride);
    st.floats.resize(nrows * size_t(m_floatCount));
    st.blobs.resize(nrows * size_t(m_blobCount));
    char *out = st.text.data();
    quint32 at = 0;
    auto put = [&](const wire::PacketReader::Cell &v) {
        if (v.size)
            std::memcpy(out + at, v.data, size_t(v.size));
        at += quint32(v.size);
    };
    std::vector<wire::PacketReader::Cell> gathered(inOrder ? 0 : size_t(m_textCount));
    size_t row = 0;
    while (in.nextRow()) {
        quint32 *off = &st.offsets[row * stride];
        double *floats = st.floats.data() + row * size_t(m_floatCount);
        for (const TField *f : target) {
            const wire::PacketReader::Cell v = in.cell();
            if (!f)
                continue;
            if (f->IsText() && inOrder) {
                off[f->m_slot] = at;
                put(v);
            } else if (f->IsText()) {
                gathered[size_t(f->m_slot)] = v;
            } else if (f->DataType == ftFloat) {
                floats[f->m_slot] = v.kind == wire::PacketReader::Cell::Null ? std::nan("") : v.number;
            } else if (v.size) {
                st.blobs[row * size_t(m_blobCount) + size_t(f->m_slot)] = QByteArray(v.data, v.size);
            }
        }
        for (size_t k = 0; k < gathered.size(); ++k) {
            off[k] = at;
            put(std::exchange(gathered[k], {}));
        }
        off[m_textCount] = at;
        ++row;
    }
    st.text.resize(at);
    st.text.shrink();
    st.rows = int(row);
    return st;
}

void TClientDataSet::SetData(const TDataPacket &packet)
{
    try {
        wire::PacketReader in(packet);
        const std::vector<const TField *> target = packetTargets(in);
        Storage st = packetRows(in, target);
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
        Storage st = packetRows(in, target);
        if (quint64(m_s.text.size()) + quint64(st.text.size()) > std::numeric_limits<quint32>::max())
            packetError(QStringLiteral("pacote grande demais"));
        const int from = m_rowCount;
        appendStorage(std::move(st));
        if (!appendInOrder(from)) {
            const int keep = CurrentRow();
            rebuildOrder();
            rebuildView(keep);
        }
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

void TClientDataSet::appendStorage(Storage &&more)
{
    const qsizetype base = m_s.text.size();
    m_s.text.resize(base + more.text.size());
    if (more.text.size())
        std::memcpy(m_s.text.data() + base, more.text.data(), size_t(more.text.size()));
    const size_t from = m_s.offsets.size();
    m_s.offsets.insert(m_s.offsets.end(), more.offsets.begin(), more.offsets.end());
    for (size_t i = from; i < m_s.offsets.size(); ++i)
        m_s.offsets[i] += quint32(base);
    m_s.floats.insert(m_s.floats.end(), more.floats.begin(), more.floats.end());
    m_s.blobs.insert(m_s.blobs.end(), std::make_move_iterator(more.blobs.begin()), std::make_move_iterator(more.blobs.end()));
    m_s.rows += more.rows;
    m_rowCount = m_s.rows;
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
    const size_t stride = size_t(m_textCount) + 1;
    std::vector<QByteArray> cells;
    cells.reserve(size_t(m_textCount));
    qsizetype total = 0;
    for (auto &f : m_fields) {
        if (!f->IsText() || f->Calculated) continue;
        cells.push_back(size_t(f->m_index) < values.size() ? values[size_t(f->m_index)].toUtf8() : QByteArray());
        total += cells.back().size();
    }
    const quint32 at = appendRowSpace(total);
    m_s.offsets.resize(size_t(m_rowCount + 1) * stride, 0);
    quint32 *off = &m_s.offsets[size_t(m_rowCount) * stride];
    quint32 pos = at;
    for (size_t k = 0; k < cells.size(); ++k) {
        off[k] = pos;
        if (!cells[k].isEmpty())
            std::memcpy(m_s.text.data() + pos, cells[k].constData(), size_t(cells[k].size()));
        pos += quint32(cells[k].size());
    }
    off[cells.size()] = pos;
    m_s.floats.resize(size_t(m_rowCount + 1) * size_t(m_floatCount), 0.0);
    m_s.blobs.resize(size_t(m_rowCount + 1) * size_t(m_blobCount));
    ++m_rowCount;
    m_s.rows = m_rowCount;
}

void TClientDataSet::endLoad()
{
    rebuildOrder();
    rebuildView(-1);
    setState(dsBrowse);
    notify(evChanged);
}
