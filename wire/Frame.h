#pragma once
// Framing: every message is a 4-byte big-endian length followed by one CBOR item.
#include "DataPacket.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <functional>
#include <utility>

namespace wire {

constexpr quint32 kDefaultMaxFrame = 256u * 1024u * 1024u;
inline const char kServerName[] = "Dfe71000.rdmSincronizacaoCTe";

QByteArray frame(const QByteArray &payload);

// Accumulates bytes from a stream and hands out whole frames. The buffer grows with the
// bytes that arrive, never with what a length announces.
class FrameReader {
public:
    explicit FrameReader(quint32 maxFrame = kDefaultMaxFrame) : m_max(maxFrame) {}
    void feed(const QByteArray &bytes) { feed(bytes.constData(), bytes.size()); }
    void feed(const char *data, qsizetype n);
    // True with a frame when one is complete; throws std::runtime_error for an
    // announced length over the limit (the stream cannot be trusted after that).
    bool next(QByteArray &payload);
    // The length the frame in progress announces, once its 4-byte head is in.
    bool announced(quint32 &n) const;
    // Drops the frame in progress: its bytes are discarded as they arrive.
    void skipFrame();
    qsizetype pending() const { return m_buf.size(); }
    // The bytes read past the frames handed out, leaving none.
    QByteArray takePending() { return std::exchange(m_buf, {}); }
    quint32 maxFrame() const { return m_max; }

private:
    QByteArray m_buf;
    quint64 m_skip = 0;
    quint32 m_max;
};

struct Request {
    QString server;
    QString method;
    QVariantList args;
    bool parts = false; // the caller takes a long list in several frames
    bool repeats = false; // the caller reads a value equal to the one above it as a mark
};
struct Reply {
    bool ok = true;
    QString error;
    QVariant result;
    QVariantList args;
    bool more = false; // parts follow this reply
    bool sent = false; // the whole answer went out ahead, through a FrameSink
};
// One frame after a reply with `more`: the next rows of its list, or why the rest failed.
struct Part {
    quint64 number = 0; // 1, 2, ... after the reply
    bool more = false;  // another part follows
    TDataPacket rows;
    QString error;      // set: no rows, and nothing follows
};
// Where a call's frames go out as soon as they are built, ahead of its reply.
using FrameSink = std::function<void(QByteArray frame)>;

QByteArray encodeRequest(const Request &r);
Request decodeRequest(const QByteArray &payload); // throws DecodeError
QByteArray encodeReply(const Reply &r);
QByteArray encodeReplyFrame(const Reply &r);       // framed, built in place
// Framed; a data packet ending the result is not copied: the reply's other items and the
// frame head are written into the room before it (args first, then the result).
QByteArray encodeReplyFrame(Reply &&r);
Reply decodeReply(const QByteArray &payload);     // throws DecodeError
QByteArray encodePartFrame(const Part &p);        // framed
QByteArray encodePartFrame(Part &&p);             // framed, around the rows' bytes where they lie
Part decodePart(const QByteArray &payload);       // throws DecodeError

} // namespace wire
