#include "Packet.h"
#include "Cbor.h"

#include <QCborStreamReader>

namespace wire {

const char *packetTypeName(PacketType t)
{
    switch (t) {
    case PacketType::Text: return "text";
    case PacketType::FixedText: return "fixedtext";
    case PacketType::Float: return "float";
    case PacketType::Blob: return "blob";
    }
    return "text";
}

bool packetTypeFromName(const QByteArray &name, PacketType &out)
{
    for (PacketType t : {PacketType::Text, PacketType::FixedText, PacketType::Float, PacketType::Blob}) {
        if (name == packetTypeName(t)) {
            out = t;
            return true;
        }
    }
    return false;
}

PacketWriter::PacketWriter(const std::vector<PacketField> &fields) : m_fieldCount(fields.size())
{
    CborWriter w(m_head);
    w.tag(kTagDataPacket);
    w.array(2);
    w.array(fields.size());
    for (const PacketField &f : fields) {
        w.array(3);
        w.text(f.name);
        w.text(packetTypeName(f.type), qsizetype(strlen(packetTypeName(f.type))));
        w.integer(f.size);
    }
}

void PacketWriter::beginRow()
{
    ++m_written;
    CborWriter(m_buf).array(m_fieldCount);
}

void PacketWriter::text(const QString &s) { CborWriter(m_buf).text(s); }
void PacketWriter::textUtf8(const char *utf8, qsizetype len) { CborWriter(m_buf).text(utf8, len); }
void PacketWriter::real(double v) { CborWriter(m_buf).real(v); }
void PacketWriter::blob(const QByteArray &b) { CborWriter(m_buf).bytes(b); }
void PacketWriter::null() { CborWriter(m_buf).null(); }

TDataPacket PacketWriter::finish()
{
    QByteArray out = m_head;
    CborWriter(out).array(m_written);
    out.reserve(out.size() + m_buf.size());
    out.append(m_buf);
    return TDataPacket{out};
}

int DecodedPacket::indexOf(const QString &name) const
{
    for (size_t i = 0; i < fields.size(); ++i)
        if (fields[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return int(i);
    return -1;
}

DecodedPacket decodePacket(const TDataPacket &p)
{
    QCborStreamReader r(p.cbor);
    if (!r.isTag() || quint64(r.toTag()) != kTagDataPacket)
        throw DecodeError("pacote de dados esperado");
    r.next();
    if (!r.isArray() || !r.isLengthKnown() || r.length() != 2)
        throw DecodeError("pacote de dados inválido");
    r.enterContainer();
    DecodedPacket out;
    if (!r.isArray())
        throw DecodeError("modelo de campos inválido");
    r.enterContainer();
    while (r.hasNext()) {
        if (!r.isArray() || !r.isLengthKnown() || r.length() != 3)
            throw DecodeError("campo inválido no pacote");
        r.enterContainer();
        PacketField f;
        f.name = QString::fromUtf8(readTextUtf8(r));
        if (!packetTypeFromName(readTextUtf8(r), f.type))
            throw DecodeError("tipo de campo desconhecido em " + f.name.toStdString());
        if (!r.isInteger())
            throw DecodeError("tamanho de campo inválido");
        f.size = int(r.toInteger());
        r.next();
        r.leaveContainer();
        out.fields.push_back(f);
    }
    r.leaveContainer();
    if (!r.isArray())
        throw DecodeError("linhas do pacote inválidas");
    r.enterContainer();
    while (r.hasNext()) {
        QVariant row = readValue(r, p.cbor);
        if (row.metaType().id() != QMetaType::QVariantList || row.toList().size() != qsizetype(out.fields.size()))
            throw DecodeError("linha do pacote com número de valores errado");
        out.rows.push_back(row.toList());
    }
    r.leaveContainer();
    if (r.lastError() != QCborError::NoError)
        throw DecodeError("pacote de dados truncado");
    return out;
}

} // namespace wire
