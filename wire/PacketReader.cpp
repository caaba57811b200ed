#include "PacketReader.h"

namespace wire {

namespace {
QByteArray textOf(CborCursor &cur, const char *what)
{
    const CborCursor::Head h = cur.head();
    if (h.major != 3)
        throw DecodeError(std::string(what) + " deve ser texto");
    const char *s = cur.take(h.value);
    if (!CborCursor::validUtf8(s, qsizetype(h.value)))
        throw DecodeError(std::string(what) + " com UTF-8 inválido");
    return QByteArray(s, qsizetype(h.value));
}
} // namespace

PacketReader::PacketReader(const TDataPacket &p) : m_cur(p.cbor.constData(), p.cbor.constData() + p.cbor.size())
{
    CborCursor::Head h = m_cur.head();
    if (h.major != 6 || h.value != kTagDataPacket)
        throw DecodeError("pacote de dados esperado");
    h = m_cur.head();
    if (h.major != 2)
        throw DecodeError("pacote de dados inválido");
    if (h.value != quint64(m_cur.remaining()))
        throw DecodeError("pacote de dados truncado");
    m_tableSize = m_cur.remaining();
    h = m_cur.head();
    if (h.major != 4 || h.value != 2)
        throw DecodeError("pacote de dados inválido");
    h = m_cur.head();
    if (h.major != 4)
        throw DecodeError("modelo de campos inválido");
    if (h.value > quint64(m_cur.remaining()))
        throw DecodeError("modelo de campos maior que o pacote");
    m_fields.reserve(size_t(h.value));
    for (quint64 i = 0; i < h.value; ++i) {
        const CborCursor::Head f = m_cur.head();
        if (f.major != 4 || f.value != 3)
            throw DecodeError("campo inválido no pacote");
        PacketField field;
        field.name = QString::fromUtf8(textOf(m_cur, "o nome do campo"));
        if (!packetTypeFromName(textOf(m_cur, "o tipo do campo"), field.type))
            throw DecodeError("tipo de campo desconhecido em " + field.name.toStdString());
        const CborCursor::Head size = m_cur.head();
        if (size.major != 0 || size.value > 0x7fffffffULL)
            throw DecodeError("tamanho de campo inválido em " + field.name.toStdString());
        field.size = int(size.value);
        m_fields.push_back(field);
    }
    h = m_cur.head();
    if (h.major != 4)
        throw DecodeError("linhas do pacote inválidas");
    if (h.value > quint64(m_cur.remaining()))
        throw DecodeError("número de linhas maior que o pacote");
    m_rowCount = h.value;
    m_limits.resize(m_fields.size());
    m_above.resize(m_fields.size());
    for (size_t c = 0; c < m_fields.size(); ++c)
        m_limits[c] = m_fields[c].type == PacketType::Text || m_fields[c].type == PacketType::FixedText ? m_fields[c].size : 0;
    m_col = m_fields.size();
}

int PacketReader::indexOf(const QString &name) const
{
    for (size_t i = 0; i < m_fields.size(); ++i)
        if (m_fields[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return int(i);
    return -1;
}

void PacketReader::limitText(size_t column, int chars)
{
    if (column < m_limits.size() && chars > 0 && (m_limits[column] == 0 || chars < m_limits[column]))
        m_limits[column] = chars;
}

std::string PacketReader::where(size_t column) const
{
    const std::string name = column < m_fields.size() ? m_fields[column].name.toStdString() : std::string("?");
    return "campo " + name + " da linha " + std::to_string(m_row);
}

} // namespace wire
