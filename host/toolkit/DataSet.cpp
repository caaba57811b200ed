#include "DataSet.h"
#include "Cbor.h"
#include "PacketReader.h"
#include "Exceptions.h"

#include <QLocale>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {
enum Event { evChanged, evRecord, evScroll, evState, evRecords };

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

int decimalsOf(const QString &format)
{
    const int dot = format.indexOf(QLatin1Char('.'));
    return dot < 0 ? 0 : int(format.size() - dot - 1);
}
} // namespace

// ---- TField ---------------------------------------------------------------

QString TField::AsString() const
{
    if (Calculated)
        return DisplayText();
    if (m_ds->m_state == dsEdit || m_ds->m_state == dsInsert)
        return DataType == ftFloat ? QString::number(m_ds->bufferValue(*this).toDouble())
                                   : m_ds->bufferValue(*this).toString();
    const int row = m_ds->CurrentRow();
    return row < 0 ? QString() : (DataType == ftFloat ? QString::number(FloatAt(row)) : StringAt(row));
}

double TField::AsFloat() const
{
    if (m_ds->m_state == dsEdit || m_ds->m_state == dsInsert)
        return m_ds->bufferValue(*this).toDouble();
    const int row = m_ds->CurrentRow();
    return row < 0 ? 0.0 : FloatAt(row);
}

QByteArray TField::AsBytes() const
{
    if (m_ds->m_state == dsEdit || m_ds->m_state == dsInsert)
        return m_ds->bufferValue(*this).toByteArray();
    const int row = m_ds->CurrentRow();
    return row < 0 ? QByteArray() : BytesAt(row);
}

void TField::SetAsString(const QString &v)
{
    if (DataType == ftFloat) {
        bool ok = false;
        const double d = QLocale().toDouble(v, &ok);
        if (!ok && !v.isEmpty())
            throw Exception(QStringLiteral("'%1' não é um valor válido para o campo %2").arg(v, FieldName));
        m_ds->setBufferValue(*this, d);
    } else if (DataType == ftBlob) {
        m_ds->setBufferValue(*this, v.toUtf8());
    } else {
        m_ds->setBufferValue(*this, Size > 0 ? v.left(Size) : v);
    }
}

void TField::SetAsFloat(double v) { m_ds->setBufferValue(*this, v); }
void TField::SetAsBytes(const QByteArray &v) { m_ds->setBufferValue(*this, v); }

QString TField::DisplayText() const
{
    if (m_ds->m_state == dsEdit || m_ds->m_state == dsInsert) {
        if (OnGetText) {
            const int row = m_ds->CurrentRow();
            return OnGetText(const_cast<TField &>(*this), row);
        }
        return AsString();
    }
    return DisplayTextAt(m_ds->CurrentRow());
}

void TClientDataSet::requireRow(int row) const
{
    if (!Active() || row >= m_rowCount)
        throw Exception(QStringLiteral("%1: a linha %2 não existe (%3)")
                            .arg(Name)
                            .arg(row + 1)
                            .arg(Active() ? QStringLiteral("%1 linhas").arg(m_rowCount) : QStringLiteral("conjunto fechado")));
}

QString TField::StringAt(int row) const
{
    if (row < 0 || m_slot < 0)
        return {};
    m_ds->requireRow(row);
    if (DataType == ftFloat)
        return QString::number(FloatAt(row));
    if (DataType == ftBlob)
        return QString::fromUtf8(BytesAt(row));
    const QByteArrayView v = m_ds->textView(row, m_slot);
    return QString::fromUtf8(v.data(), v.size());
}

QByteArrayView TField::TextAt(int row) const
{
    if (row < 0 || m_slot < 0)
        return {};
    m_ds->requireRow(row);
    return IsText() ? m_ds->textView(row, m_slot) : QByteArrayView();
}

double TField::FloatAt(int row) const
{
    if (row < 0 || DataType != ftFloat)
        return 0.0;
    m_ds->requireRow(row);
    return m_ds->m_s.floats[size_t(row) * size_t(m_ds->m_floatCount) + size_t(m_slot)];
}

QByteArray TField::BytesAt(int row) const
{
    if (row < 0)
        return {};
    m_ds->requireRow(row);
    if (DataType == ftBlob)
        return m_ds->m_s.blobs[size_t(row) * size_t(m_ds->m_blobCount) + size_t(m_slot)];
    return StringAt(row).toUtf8();
}

QString TField::FormattedAt(int row) const
{
    if (row < 0)
        return {};
    if (DataType == ftFloat) {
        const double v = FloatAt(row);
        if (std::isnan(v))
            return {};
        if (DisplayFormat.isEmpty())
            return QString::number(v);
        QLocale loc;
        loc.setNumberOptions(QLocale::OmitGroupSeparator);
        return loc.toString(v, 'f', decimalsOf(DisplayFormat));
    }
    return StringAt(row);
}

QString TField::DisplayTextAt(int row) const
{
    if (OnGetText)
        return OnGetText(const_cast<TField &>(*this), row);
    if (Calculated)
        return {};
    return FormattedAt(row);
}

// ---- data links and sources --------------------------------------------------

TDataLink::~TDataLink()
{
    // No notification from here: the derived part is already gone.
    if (m_source) {
        auto &v = m_source->m_links;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
}

void TDataLink::SetDataSource(TDataSource *ds)
{
    if (m_source == ds)
        return;
    if (m_source) {
        auto &v = m_source->m_links;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
    m_source = ds;
    if (m_source)
        m_source->m_links.push_back(this);
    DataSetChanged();
}

TClientDataSet *TDataLink::DataSet() const { return m_source ? m_source->DataSet() : nullptr; }

TDataSource::~TDataSource()
{
    SetDataSet(nullptr);
    for (TDataLink *l : std::vector<TDataLink *>(m_links))
        l->SetDataSource(nullptr);
}

void TDataSource::SetDataSet(TClientDataSet *ds)
{
    if (m_ds == ds)
        return;
    if (m_ds) {
        auto &v = m_ds->m_sources;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
    m_ds = ds;
    if (m_ds)
        m_ds->m_sources.push_back(this);
    for (TDataLink *l : std::vector<TDataLink *>(m_links))
        l->DataSetChanged();
}

TDataSetState TDataSource::State() const { return m_ds ? m_ds->State() : dsInactive; }

// ---- TClientDataSet ------------------------------------------------------------

TClientDataSet::TClientDataSet() = default;

TClientDataSet::~TClientDataSet()
{
    for (TDataSource *s : std::vector<TDataSource *>(m_sources))
        s->SetDataSet(nullptr);
}

TField &TClientDataSet::AddField(const TFieldDef &def)
{
    if (Active())
        throw Exception(QStringLiteral("%1: campos só podem ser definidos com o conjunto fechado").arg(Name));
    auto f = std::make_unique<TField>();
    f->FieldName = def.Name;
    f->DataType = def.Type;
    f->Size = def.Size;
    f->DisplayLabel = def.DisplayLabel.isEmpty() ? def.Name : def.DisplayLabel;
    f->DisplayFormat = def.DisplayFormat;
    f->Visible = def.Visible;
    f->Calculated = def.Calculated;
    f->DisplayWidth = def.DisplayWidth > 0 ? def.DisplayWidth : (def.Type == ftFloat ? 10 : std::max(def.Size, 1));
    f->m_ds = this;
    f->m_index = int(m_fields.size());
    m_fields.push_back(std::move(f));
    assignSlots();
    return *m_fields.back();
}

void TClientDataSet::ClearFields()
{
    if (Active())
        Close();
    m_fields.clear();
    m_indexSlot = -1;
    assignSlots();
}

void TClientDataSet::assignSlots()
{
    m_textCount = m_floatCount = m_blobCount = 0;
    for (auto &f : m_fields) {
        if (f->Calculated)
            f->m_slot = -1;
        else if (f->IsText())
            f->m_slot = m_textCount++;
        else if (f->DataType == ftFloat)
            f->m_slot = m_floatCount++;
        else
            f->m_slot = m_blobCount++;
    }
    m_indexSlot = -1;
    if (!m_indexField.isEmpty())
        if (TField *f = FindField(m_indexField); f && f->IsText())
            m_indexSlot = f->m_slot;
}

TField *TClientDataSet::FindField(const QString &name) const
{
    for (auto &f : m_fields)
        if (f->FieldName.compare(name, Qt::CaseInsensitive) == 0)
            return f.get();
    return nullptr;
}

TField &TClientDataSet::FieldByName(const QString &name) const
{
    if (TField *f = FindField(name))
        return *f;
    throw Exception(QStringLiteral("%1: campo '%2' não encontrado").arg(Name, name));
}

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

void TClientDataSet::requireActive() const
{
    if (!Active())
        throw Exception(QStringLiteral("%1: operação não permitida com o conjunto de dados fechado").arg(Name));
}

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

void TClientDataSet::CreateDataSet()
{
    if (m_fields.empty())
        throw Exception(QStringLiteral("%1: não há campos definidos").arg(Name));
    m_s = Storage{};
    m_rowCount = 0;
    m_order.clear();
    m_view.clear();
    m_cursor = -1;
    m_eof = m_bof = true;
    setState(dsBrowse);
    notify(evChanged);
}

void TClientDataSet::Close()
{
    if (!Active())
        return;
    m_s = Storage{};
    m_rowCount = 0;
    m_order.clear();
    m_view.clear();
    dropBuffer();
    m_cursor = -1;
    m_eof = m_bof = true;
    setState(dsInactive);
    notify(evChanged);
}

void TClientDataSet::EmptyDataSet()
{
    requireActive();
    if (m_state != dsBrowse)
        Cancel();
    m_s = Storage{};
    m_rowCount = 0;
    m_order.clear();
    m_view.clear();
    m_cursor = -1;
    m_eof = m_bof = true;
    notify(evChanged);
}

void TClientDataSet::rebuildOrder()
{
    m_order.resize(size_t(m_rowCount));
    for (int i = 0; i < m_rowCount; ++i)
        m_order[size_t(i)] = i;
    if (m_indexSlot < 0)
        return;
    const int slot = m_indexSlot;
    auto less = [this, slot](int a, int b) {
        const QByteArrayView ka = textView(a, slot), kb = textView(b, slot);
        const qsizetype n = std::min(ka.size(), kb.size());
        const int c = n > 0 ? std::memcmp(ka.data(), kb.data(), size_t(n)) : 0;
        return c != 0 ? c < 0 : ka.size() < kb.size();
    };
    // The server sends its rows in key order: one pass proves it and spares the sort.
    if (!std::is_sorted(m_order.begin(), m_order.end(), less))
        std::stable_sort(m_order.begin(), m_order.end(), less);
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

void TClientDataSet::SetData(const TDataPacket &packet)
{
    auto fail = [](const QString &why) { packetError(why); };
    try {
        wire::PacketReader in(packet);
        const std::vector<wire::PacketField> &cols = in.fields();
        if (m_fields.empty()) {
            if (Active())
                Close();
            for (const auto &c : cols)
                AddField({c.name, fieldType(c.type), c.size});
        }

        // Map each packet column to its field; every stored field must be present.
        std::vector<const TField *> target(cols.size(), nullptr);
        for (auto &f : m_fields) {
            if (f->Calculated)
                continue;
            const int found = in.indexOf(f->FieldName);
            if (found < 0)
                fail(QStringLiteral("falta o campo %1").arg(f->FieldName));
            if (!compatible(f->DataType, cols[size_t(found)].type))
                fail(QStringLiteral("o campo %1 veio como %2, esperado %3")
                         .arg(f->FieldName, QString::fromLatin1(wire::packetTypeName(cols[size_t(found)].type)),
                              typeText(f->DataType)));
            target[size_t(found)] = f.get();
            if (f->IsText())
                in.limitText(size_t(found), f->Size);
        }
        if (in.tableSize() > qsizetype(std::numeric_limits<quint32>::max()))
            fail(QStringLiteral("pacote grande demais"));
        // The packet's columns in field order (the usual case) let each text cell go
        // straight to its place in the arena; otherwise a row's cells are gathered first.
        bool inOrder = true;
        int lastSlot = -1;
        for (const TField *f : target) {
            if (!f || !f->IsText())
                continue;
            inOrder = inOrder && f->m_slot > lastSlot;
            lastSlot = f->m_slot;
        }

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
        std::vector<wire::PacketReader::Cell> gathered(inOrder ? 0 : size_t(m_textCount));
        size_t row = 0;
        while (in.nextRow()) {
            quint32 *off = &st.offsets[row * stride];
            double *floats = st.floats.data() + row * size_t(m_floatCount);
            for (size_t c = 0; c < cols.size(); ++c) {
                const wire::PacketReader::Cell v = in.cell();
                const TField *f = target[c];
                if (!f)
                    continue;
                if (f->IsText()) {
                    if (!inOrder) {
                        gathered[size_t(f->m_slot)] = v;
                        continue;
                    }
                    off[f->m_slot] = at;
                    if (v.size) {
                        std::memcpy(out + at, v.data, size_t(v.size));
                        at += quint32(v.size);
                    }
                } else if (f->DataType == ftFloat) {
                    floats[f->m_slot] = v.kind == wire::PacketReader::Cell::Null ? std::nan("") : v.number;
                } else if (v.size) {
                    st.blobs[row * size_t(m_blobCount) + size_t(f->m_slot)] = QByteArray(v.data, v.size);
                }
            }
            if (!inOrder) {
                for (size_t k = 0; k < gathered.size(); ++k) {
                    off[k] = at;
                    if (gathered[k].size)
                        std::memcpy(out + at, gathered[k].data, size_t(gathered[k].size));
                    at += quint32(gathered[k].size);
                    gathered[k] = {};
                }
            }
            off[m_textCount] = at;
            ++row;
        }
        st.text.resize(at);
        st.text.shrink();
        st.rows = int(row);

        if (m_state == dsEdit || m_state == dsInsert)
            dropBuffer();
        // New content reopens the list: watchers see it close and open again.
        setState(dsInactive);
        m_s = std::move(st);
        m_rowCount = int(row);
    } catch (const wire::DecodeError &e) {
        fail(QString::fromUtf8(e.what()));
    }
    rebuildOrder();
    rebuildView(-1);
    setState(dsBrowse);
    notify(evChanged);
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

void TClientDataSet::setState(TDataSetState s)
{
    if (s == m_state)
        return;
    m_state = s;
    notify(evState);
}

void TClientDataSet::DisableControls()
{
    if (m_disableCount++ == 0) {
        m_pendingChange = m_pendingRecords = m_pendingScroll = false;
        m_stateAtDisable = m_state;
        suspendLinks(true);
    }
}

void TClientDataSet::suspendLinks(bool on)
{
    for (TDataSource *src : std::vector<TDataSource *>(m_sources))
        for (TDataLink *l : std::vector<TDataLink *>(src->m_links))
            l->ControlsSuspended(on);
}

void TClientDataSet::EnableControls()
{
    if (m_disableCount == 0)
        return;
    if (--m_disableCount > 0)
        return;
    suspendLinks(false);
    const bool changed = m_pendingChange, records = m_pendingRecords, scrolled = m_pendingScroll;
    m_pendingChange = m_pendingRecords = m_pendingScroll = false;
    // Values alone changed (a tick-all): the controls redraw what they show, no more.
    if (changed) {
        notify(evChanged);
    } else {
        if (records)
            notify(evRecords);
        if (scrolled)
            notify(evScroll);
    }
    if (m_state != m_stateAtDisable)
        notify(evState);
}

void TClientDataSet::notify(int event, int arg)
{
    if (m_disableCount > 0) {
        if (event == evChanged)
            m_pendingChange = true;
        else if (event == evRecord || event == evRecords)
            m_pendingRecords = true;
        else if (event == evScroll)
            m_pendingScroll = true;
        return;
    }
    for (TDataSource *src : std::vector<TDataSource *>(m_sources)) {
        for (TDataLink *l : std::vector<TDataLink *>(src->m_links)) {
            switch (event) {
            case evChanged: l->DataSetChanged(); break;
            case evRecord: l->RecordChanged(arg); break;
            case evScroll: l->Scrolled(); break;
            case evState: l->StateChanged(); break;
            case evRecords: l->RecordsChanged(); break;
            }
        }
        if (event == evState && src->OnStateChange) {
            auto handler = src->OnStateChange; // the handler may detach itself
            handler(src);
        }
    }
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
