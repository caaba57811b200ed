#pragma once
// Data packet: a table (field model + rows) carried as one tagged CBOR item whose
// byte string holds the encoded table:
//   65000(<< [ [[name, type, size], ...], [[v1, v2, ...], ...] ] >>)
// type is "text", "fixedtext", "float" or "blob". The packet travels as its encoded
// bytes so that it is decoded once, by whoever finally needs the rows; being a byte
// string, a message that carries it is read past it without walking its rows.
#include "DataPacket.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <vector>

namespace wire {

// Builds a packet row by row; values are written in field order.
class PacketWriter {
public:
    explicit PacketWriter(const std::vector<PacketField> &fields);
    void beginRow();
    void text(const QString &s);
    void textUtf8(const char *utf8, qsizetype len);
    void real(double v);
    void blob(const QByteArray &b);
    void null();
    // Room for `bytes` of rows in all, so that a large packet is not copied as it grows.
    void reserve(qsizetype bytes);
    // A row already encoded (a whole row of this packet's fields, as `rows` gives it).
    void encodedRow(const char *bytes, qsizetype len);
    // From now on a value of an encoded row equal to the one above it (the row before,
    // also given encoded) goes out as a one-byte mark, for a reader that asked for it.
    void setRepeats(bool on) { m_repeats = on; }
    // The rows written so far, encoded: kept, they go out again through `encodedRow`.
    QByteArrayView rows() const { return QByteArrayView(m_buf.constData() + m_headroom, size()); }
    // The packet; free room before its first byte lets a message be written around it in place.
    TDataPacket finish();
    qsizetype size() const { return m_used - m_headroom; } // the rows' bytes so far
    static constexpr qsizetype kMessageRoom = 4096;

private:
    char *room(qsizetype n); // `n` bytes more at the end of the rows
    bool againstAbove(const char *row, qsizetype len);
    QByteArray m_head, m_buf; // m_buf: headroom, then the rows up to m_used, then spare room
    qsizetype m_headroom = 0, m_used = 0;
    quint64 m_written = 0;
    size_t m_fieldCount;
    bool m_repeats = false, m_haveAbove = false;
    // Per field, where the row above's value was last written whole in m_buf, and its
    // length: a value is compared there, and the row given is never copied aside.
    std::vector<qsizetype> m_valueAt, m_valueLength;
};

// Slow but simple decoding into variants, for small packets and tests.
struct DecodedPacket {
    std::vector<PacketField> fields;
    std::vector<QVariantList> rows;
    int indexOf(const QString &name) const;
};
DecodedPacket decodePacket(const TDataPacket &p); // throws DecodeError
// The encoded table inside a packet (no copy: valid while `p` lives); throws DecodeError.
QByteArray packetBody(const TDataPacket &p);

} // namespace wire
