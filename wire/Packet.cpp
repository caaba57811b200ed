#include "Packet.h"
#include "Cbor.h"
#include "HugePages.h"
#include "PacketReader.h"

#include <algorithm>
#include <cstring>

namespace wire {

PacketWriter::PacketWriter(const std::vector<PacketField> &fields)
    : m_fieldCount(fields.size()), m_valueAt(fields.size()), m_valueLength(fields.size())
{
    CborWriter w(m_head);
    w.array(2);
    w.array(fields.size());
    for (const PacketField &f : fields) {
        w.array(3);
        w.text(f.name);
        w.text(packetTypeName(f.type), qsizetype(strlen(packetTypeName(f.type))));
        w.integer(f.size);
    }
    // The rows are written after room for the packet's own heads and a message's, so that
    // neither the packet nor the frame that carries it copies them (see finish).
    m_headroom = kMessageRoom + m_head.size() + 32;
    m_buf = QByteArray(m_headroom + 64 * 1024, '\0');
    m_used = m_headroom;
}

namespace {
// One item head, straight into the rows' buffer: rows are millions of them. Returns its length.
int writeHead(char *b, int major, quint64 value)
{
    int n;
    const char m = char(major << 5);
    if (value < 24) {
        b[0] = char(m | char(value));
        n = 1;
    } else if (value <= 0xff) {
        b[0] = char(m | 24);
        b[1] = char(value);
        n = 2;
    } else if (value <= 0xffff) {
        b[0] = char(m | 25);
        b[1] = char(value >> 8);
        b[2] = char(value);
        n = 3;
    } else if (value <= 0xffffffffULL) {
        b[0] = char(m | 26);
        for (int i = 0; i < 4; ++i)
            b[1 + i] = char(value >> (24 - 8 * i));
        n = 5;
    } else {
        b[0] = char(m | 27);
        for (int i = 0; i < 8; ++i)
            b[1 + i] = char(value >> (56 - 8 * i));
        n = 9;
    }
    return n;
}
} // namespace

char *PacketWriter::room(qsizetype n)
{
    if (m_used + n > m_buf.size()) {
        m_buf.resize(std::max(m_used + n, m_buf.size() + m_buf.size() / 2));
        adviseHugePages(m_buf.data(), size_t(m_buf.size()));
    }
    char *at = m_buf.data() + m_used;
    m_used += n;
    return at;
}

void PacketWriter::reserve(qsizetype bytes)
{
    if (m_headroom + bytes > m_buf.size()) {
        m_buf.resize(m_headroom + bytes);
        adviseHugePages(m_buf.data(), size_t(m_buf.size()));
    }
}

void PacketWriter::beginRow()
{
    ++m_written;
    m_haveAbove = false; // a row written value by value is not compared against
    char *at = room(9);
    m_used -= 9 - writeHead(at, 4, m_fieldCount);
}

void PacketWriter::text(const QString &s)
{
    const QByteArray u = s.toUtf8();
    textUtf8(u.constData(), u.size());
}
void PacketWriter::textUtf8(const char *utf8, qsizetype len)
{
    char *at = room(9 + len);
    const int h = writeHead(at, 3, quint64(len));
    if (len)
        std::memcpy(at + h, utf8, size_t(len));
    m_used -= 9 - h;
}
void PacketWriter::real(double v)
{
    quint64 bits;
    std::memcpy(&bits, &v, sizeof bits);
    char *b = room(9);
    b[0] = char(0xfb);
    for (int i = 0; i < 8; ++i)
        b[1 + i] = char(bits >> (56 - 8 * i));
}
void PacketWriter::blob(const QByteArray &b)
{
    char *at = room(9 + b.size());
    const int h = writeHead(at, 2, quint64(b.size()));
    if (!b.isEmpty())
        std::memcpy(at + h, b.constData(), size_t(b.size()));
    m_used -= 9 - h;
}
void PacketWriter::null() { *room(1) = char(0xf6); }
namespace {
// The length of the plain value (no array, map or tag) that starts at `p`, or 0; with
// `major` its CBOR major type.
qsizetype plainValue(const quint8 *p, qsizetype avail, int &major)
{
    if (avail <= 0)
        return 0;
    major = p[0] >> 5;
    const int info = p[0] & 0x1f;
    if (major == 4 || major == 5 || major == 6 || info > 27)
        return 0;
    const int head = info < 24 ? 1 : 1 + (1 << (info - 24));
    if (head > avail)
        return 0;
    quint64 arg = quint64(info);
    if (info >= 24) {
        arg = 0;
        for (int k = 1; k < head; ++k)
            arg = (arg << 8) | p[k];
    }
    if (major != 2 && major != 3)
        return head;
    return arg > quint64(avail - head) ? 0 : head + qsizetype(arg);
}

// Values are short: word compares in line cost less than a call per value. Numbers and
// keys differ near their end, so the last word is compared first.
bool sameBytes(const char *a, const char *b, qsizetype n)
{
    auto word = [](const char *p) {
        quint64 w;
        std::memcpy(&w, p, 8);
        return w;
    };
    if (n < 8) {
        for (; n > 0; ++a, ++b, --n)
            if (*a != *b)
                return false;
        return true;
    }
    if (word(a + n - 8) != word(b + n - 8))
        return false;
    for (qsizetype i = 0; i < n - 8; i += 8)
        if (word(a + i) != word(b + i))
            return false;
    return true;
}
} // namespace

void PacketWriter::encodedRow(const char *bytes, qsizetype len)
{
    ++m_written;
    if (m_repeats && againstAbove(bytes, len))
        return;
    std::memcpy(room(len), bytes, size_t(len));
    m_haveAbove = false;
}

// `row` written with each value equal to the one above as the mark (none in a packet's
// first row); each value written whole is where the next row's is compared. False, with
// nothing written, for a row that is not an array of this packet's plain values.
bool PacketWriter::againstAbove(const char *row, qsizetype len)
{
    const auto *b = reinterpret_cast<const quint8 *>(row);
    const qsizetype rowHead = m_fieldCount < 24 ? 1 : 2;
    if (m_fieldCount > 255 || len < rowHead || b[0] != (rowHead == 1 ? 0x80 | m_fieldCount : 0x98)
        || (rowHead == 2 && b[1] != m_fieldCount))
        return false;
    char *out = room(len);
    const char *base = m_buf.constData();
    std::memcpy(out, row, size_t(rowHead));
    char *o = out + rowHead;
    qsizetype pos = rowHead;
    for (size_t i = 0; i < m_fieldCount; ++i) {
        int major = 0;
        const qsizetype n = plainValue(b + pos, len - pos, major);
        if (n == 0) {
            m_used -= len;
            return false;
        }
        if (m_haveAbove && n > 1 && n == m_valueLength[i] && sameBytes(row + pos, base + m_valueAt[i], n)) {
            *o++ = kRepeatMark;
        } else {
            std::memcpy(o, row + pos, size_t(n));
            m_valueAt[i] = qsizetype(o - base);
            m_valueLength[i] = n;
            o += n;
        }
        pos += n;
    }
    if (pos != len) {
        m_used -= len;
        return false;
    }
    m_used -= len - qsizetype(o - out);
    m_haveAbove = true;
    return true;
}

TDataPacket PacketWriter::finish()
{
    QByteArray heads;
    CborWriter rowsHead(heads);
    rowsHead.array(m_written);
    m_buf.truncate(m_used);
    const qsizetype body = m_head.size() + heads.size() + m_buf.size() - m_headroom;
    QByteArray prefix;
    CborWriter w(prefix);
    w.tag(kTagDataPacket);
    w.head(2, quint64(body));
    prefix.append(m_head);
    prefix.append(heads);
    // The heads go just before the rows; the bytes before them stay free for a message's heads.
    const qsizetype start = m_headroom - prefix.size();
    std::memcpy(m_buf.data() + start, prefix.constData(), size_t(prefix.size()));
    m_buf.remove(0, start);
    TDataPacket out{std::move(m_buf)};
    m_buf = QByteArray();
    return out;
}

namespace {
// One CBOR head (major type and argument) at `pos`, advancing past it.
bool readHead(const QByteArray &b, qsizetype &pos, int &major, quint64 &value)
{
    if (pos >= b.size())
        return false;
    const auto first = quint8(b[pos++]);
    major = first >> 5;
    const int info = first & 0x1f;
    if (info < 24) {
        value = quint64(info);
        return true;
    }
    if (info > 27)
        return false; // indefinite lengths are not used for packets
    const int n = 1 << (info - 24);
    if (pos + n > b.size())
        return false;
    value = 0;
    for (int i = 0; i < n; ++i)
        value = (value << 8) | quint8(b[pos++]);
    return true;
}
} // namespace

QByteArray packetBody(const TDataPacket &p)
{
    qsizetype pos = 0;
    int major = 0;
    quint64 value = 0;
    if (!readHead(p.cbor, pos, major, value) || major != 6 || value != kTagDataPacket)
        throw DecodeError("pacote de dados esperado");
    if (!readHead(p.cbor, pos, major, value) || major != 2)
        throw DecodeError("pacote de dados inválido");
    if (value != quint64(p.cbor.size() - pos))
        throw DecodeError("pacote de dados truncado");
    return QByteArray::fromRawData(p.cbor.constData() + pos, p.cbor.size() - pos);
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
    PacketReader in(p);
    DecodedPacket out;
    out.fields = in.fields();
    while (in.nextRow()) {
        QVariantList row;
        row.reserve(qsizetype(out.fields.size()));
        for (size_t c = 0; c < out.fields.size(); ++c) {
            const PacketReader::Cell &v = in.cell();
            switch (v.kind) {
            case PacketReader::Cell::Null: row.append(QVariant::fromValue(nullptr)); break;
            case PacketReader::Cell::Text: row.append(QString::fromUtf8(v.data, v.size)); break;
            case PacketReader::Cell::Float: row.append(v.number); break;
            case PacketReader::Cell::Blob: row.append(QByteArray(v.data, v.size)); break;
            }
        }
        out.rows.push_back(std::move(row));
    }
    return out;
}

} // namespace wire
