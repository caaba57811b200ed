#pragma once
// Framing: every message is a 4-byte big-endian length followed by one CBOR item.
#include <QByteArray>
#include <QString>
#include <QVariant>

namespace wire {

constexpr quint32 kDefaultMaxFrame = 256u * 1024u * 1024u;
inline const char kServerName[] = "Dfe71000.rdmSincronizacaoCTe";

QByteArray frame(const QByteArray &payload);

// Accumulates bytes from a stream and hands out whole frames.
class FrameReader {
public:
    explicit FrameReader(quint32 maxFrame = kDefaultMaxFrame) : m_max(maxFrame) {}
    void feed(const QByteArray &bytes) { m_buf.append(bytes); }
    // True with a frame when one is complete; throws std::runtime_error for an
    // announced length over the limit (the stream cannot be trusted after that).
    bool next(QByteArray &payload);
    qsizetype pending() const { return m_buf.size(); }
    // Bytes still needed for the frame in progress (0 when unknown).
    quint32 maxFrame() const { return m_max; }

private:
    QByteArray m_buf;
    quint32 m_max;
};

struct Request {
    QString server;
    QString method;
    QVariantList args;
};
struct Reply {
    bool ok = true;
    QString error;
    QVariant result;
    QVariantList args;
};

QByteArray encodeRequest(const Request &r);
Request decodeRequest(const QByteArray &payload); // throws DecodeError
QByteArray encodeReply(const Reply &r);
Reply decodeReply(const QByteArray &payload);     // throws DecodeError

} // namespace wire
