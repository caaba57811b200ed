#pragma once
// CBOR (RFC 8949) pieces of the wire protocol: a small writer that appends straight
// to a byte array (so pre-encoded items can be spliced in) and the value mapping
// between QVariant and CBOR used for arguments and results.
#include <QByteArray>
#include <QCborStreamReader>
#include <QDate>
#include <QString>
#include <QVariant>

namespace wire {

constexpr quint64 kTagFullDate = 1004;    // RFC 8943
constexpr quint64 kTagDataPacket = 65000; // this protocol's data packet
// simple(16), one byte: in a packet's row after the first, the value of the same field in
// the row above (sent only to a reader that asked for it).
constexpr int kSimpleRepeat = 16;
constexpr char kRepeatMark = char(0xe0 | kSimpleRepeat);

class CborWriter {
public:
    explicit CborWriter(QByteArray &out) : m_out(out) {}
    void head(int major, quint64 value);
    void text(QStringView s);
    void text(const char *utf8, qsizetype len);
    void textUtf8(const QByteArray &utf8) { text(utf8.constData(), utf8.size()); }
    void bytes(const char *data, qsizetype len);
    void bytes(const QByteArray &b) { bytes(b.constData(), b.size()); }
    void integer(qint64 v);
    void real(double v);
    void boolean(bool v) { m_out.append(char(v ? 0xf5 : 0xf4)); }
    void null() { m_out.append(char(0xf6)); }
    void array(quint64 n) { head(4, n); }
    void map(quint64 n) { head(5, n); }
    void tag(quint64 t) { head(6, t); }
    void raw(const QByteArray &encoded) { m_out.append(encoded); }
    void date(const QDate &d);
    // Any value the protocol knows; throws std::runtime_error for other types.
    void value(const QVariant &v);

private:
    QByteArray &m_out;
};

// Thrown for any malformed or unexpected CBOR; carries a readable reason.
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads one value at the reader's position (advancing past it). Data packets are
// kept as their raw encoded bytes (see Packet.h) so they are decoded only once,
// straight into their destination. `source` is the buffer the reader reads.
QVariant readValue(QCborStreamReader &r, const QByteArray &source, int depth = 0);
// Reads a whole text string (any chunking) as UTF-8 bytes. `limit` is how many bytes
// are left in the source: an announced length beyond it is refused before any allocation.
QByteArray readTextUtf8(QCborStreamReader &r, qsizetype limit = -1);
QByteArray readByteString(QCborStreamReader &r);

} // namespace wire
