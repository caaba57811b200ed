#include "Frame.h"
#include "HugePages.h"
#include "Cbor.h"
#include "Packet.h"

#include <QCborStreamReader>
#include <algorithm>
#include <stdexcept>

namespace wire {

namespace {
// Writes the length of what follows the first four bytes of `out` into them.
void setFrameLength(QByteArray &out)
{
    const quint32 n = quint32(out.size() - 4);
    char *p = out.data();
    p[0] = char(n >> 24);
    p[1] = char(n >> 16);
    p[2] = char(n >> 8);
    p[3] = char(n);
}
} // namespace

QByteArray frame(const QByteArray &payload)
{
    QByteArray out;
    out.reserve(payload.size() + 4);
    const quint32 n = quint32(payload.size());
    out.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
    out.append(payload);
    return out;
}

void FrameReader::feed(const char *data, qsizetype n)
{
    const qsizetype dropped = qsizetype(std::min<quint64>(m_skip, quint64(n)));
    m_skip -= quint64(dropped);
    data += dropped;
    n -= dropped;
    if (n == 0)
        return;
    m_buf.append(data, n);
    // A long frame gets its room at once (up to a bound, whatever it announces), rather
    // than being copied as it grows.
    quint32 length = 0;
    constexpr qsizetype kAtOnce = 64 * 1024 * 1024;
    if (announced(length) && length <= m_max && m_buf.capacity() < qsizetype(length) + 4) {
        m_buf.reserve(std::min(qsizetype(length) + 4, kAtOnce));
        adviseHugePages(m_buf.data(), size_t(m_buf.capacity()));
    }
}

bool FrameReader::announced(quint32 &n) const
{
    if (m_buf.size() < 4)
        return false;
    const auto *p = reinterpret_cast<const uchar *>(m_buf.constData());
    n = (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
    return true;
}

void FrameReader::skipFrame()
{
    quint32 n = 0;
    if (!announced(n))
        return;
    const quint64 whole = quint64(n) + 4;
    const qsizetype here = qsizetype(std::min<quint64>(whole, quint64(m_buf.size())));
    m_skip = whole - quint64(here);
    m_buf.remove(0, here);
}

bool FrameReader::next(QByteArray &payload)
{
    quint32 n = 0;
    if (!announced(n))
        return false;
    if (n > m_max)
        throw std::runtime_error("mensagem de " + std::to_string(n) + " bytes excede o limite de " +
                                 std::to_string(m_max) + " bytes");
    if (quint64(m_buf.size()) < quint64(n) + 4)
        return false;
    if (quint64(m_buf.size()) == quint64(n) + 4) {
        // The usual case, one frame in the buffer: handed over without a copy.
        payload = std::move(m_buf);
        payload.remove(0, 4);
        m_buf = QByteArray();
        return true;
    }
    payload = m_buf.mid(4, n);
    m_buf.remove(0, qsizetype(n) + 4);
    return true;
}

static void writeArgs(CborWriter &w, const QVariantList &args)
{
    w.array(quint64(args.size()));
    for (const QVariant &a : args)
        w.value(a);
}

QByteArray encodeRequest(const Request &r)
{
    QByteArray out;
    CborWriter w(out);
    w.map(3 + (r.parts ? 1 : 0) + (r.repeats ? 1 : 0));
    w.text(u"server");
    w.text(r.server);
    w.text(u"method");
    w.text(r.method);
    w.text(u"args");
    writeArgs(w, r.args);
    if (r.parts) {
        w.text(u"parts");
        w.value(true);
    }
    if (r.repeats) {
        w.text(u"repeats");
        w.value(true);
    }
    return out;
}

static void writeReply(QByteArray &out, const Reply &r)
{
    CborWriter w(out);
    if (!r.ok) {
        w.map(1);
        w.text(u"error");
        w.text(r.error);
        return;
    }
    w.map(r.more ? 3 : 2);
    w.text(u"result");
    w.value(r.result);
    w.text(u"args");
    writeArgs(w, r.args);
    if (r.more) {
        w.text(u"more");
        w.value(true);
    }
}

QByteArray encodeReply(const Reply &r)
{
    QByteArray out = encodeReplyFrame(r);
    out.remove(0, 4);
    return out;
}

QByteArray encodeReplyFrame(const Reply &r)
{
    QByteArray out(4, '\0');
    writeReply(out, r);
    setFrameLength(out);
    return out;
}

QByteArray encodeReplyFrame(Reply &&r)
{
    QVariantList result = r.ok && r.result.metaType().id() == QMetaType::QVariantList ? r.result.toList() : QVariantList();
    if (result.isEmpty() || result.constLast().metaType() != QMetaType::fromType<TDataPacket>())
        return encodeReplyFrame(std::as_const(r));
    r.result = QVariant(); // the list alone holds the packet now
    QByteArray packet = result.last().value<TDataPacket>().cbor;
    result.last() = QVariant();
    QByteArray head(4, '\0');
    CborWriter w(head);
    w.map(r.more ? 3 : 2);
    if (r.more) {
        w.text(u"more");
        w.value(true);
    }
    w.text(u"args");
    writeArgs(w, r.args);
    w.text(u"result");
    w.array(quint64(result.size()));
    for (qsizetype i = 0; i + 1 < result.size(); ++i)
        w.value(result[i]);
    result.clear();
    // With the packet's bytes held once and room before them, this writes in place.
    packet.prepend(head);
    setFrameLength(packet);
    return packet;
}

namespace {
template <class F>
void readMap(const QByteArray &payload, F onKey)
{
    QCborStreamReader r(payload);
    if (!r.isMap())
        throw DecodeError("a mensagem não é um mapa CBOR");
    if (!r.isLengthKnown() || r.length() > 16)
        throw DecodeError("mapa da mensagem inválido");
    r.enterContainer();
    while (r.hasNext()) {
        if (!r.isString())
            throw DecodeError("chave da mensagem não é texto");
        const QByteArray key = readTextUtf8(r, payload.size());
        if (!r.hasNext())
            throw DecodeError("mensagem truncada");
        onKey(key, r);
    }
    if (r.lastError() != QCborError::NoError)
        throw DecodeError("mensagem truncada");
    r.leaveContainer();
    if (r.lastError() != QCborError::NoError || r.currentOffset() != payload.size())
        throw DecodeError("bytes a mais depois da mensagem");
}

QVariantList toArgs(const QVariant &v)
{
    if (v.metaType().id() != QMetaType::QVariantList)
        throw DecodeError("args deve ser um array");
    return v.toList();
}
} // namespace

Request decodeRequest(const QByteArray &payload)
{
    Request req;
    bool haveServer = false, haveMethod = false, haveArgs = false, haveParts = false, haveRepeats = false;
    // An optional boolean key, once.
    auto flag = [](const QByteArray &key, const QVariant &v, bool &have) {
        if (have)
            throw DecodeError("chave repetida no pedido: " + key.toStdString());
        if (v.metaType().id() != QMetaType::Bool)
            throw DecodeError(key.toStdString() + " deve ser lógico");
        have = true;
        return v.toBool();
    };
    readMap(payload, [&](const QByteArray &key, QCborStreamReader &r) {
        QVariant v = readValue(r, payload);
        if ((key == "server" && haveServer) || (key == "method" && haveMethod) || (key == "args" && haveArgs))
            throw DecodeError("chave repetida no pedido: " + key.toStdString());
        if (key == "server") {
            if (v.metaType().id() != QMetaType::QString) throw DecodeError("server deve ser texto");
            req.server = v.toString();
            haveServer = true;
        } else if (key == "method") {
            if (v.metaType().id() != QMetaType::QString) throw DecodeError("method deve ser texto");
            req.method = v.toString();
            haveMethod = true;
        } else if (key == "args") {
            req.args = toArgs(v);
            haveArgs = true;
        } else if (key == "parts") {
            req.parts = flag(key, v, haveParts);
        } else if (key == "repeats") {
            req.repeats = flag(key, v, haveRepeats);
        } else {
            throw DecodeError("chave desconhecida no pedido: " + key.toStdString());
        }
    });
    if (!haveServer || !haveMethod || !haveArgs)
        throw DecodeError("pedido sem server, method ou args");
    return req;
}

// Refused as the server refuses a request with a key it does not name: a reply is either
// {"error": text} alone or {"result", "args"}, each key once.
Reply decodeReply(const QByteArray &payload)
{
    Reply rep;
    bool haveResult = false, haveError = false, haveArgs = false, haveMore = false;
    readMap(payload, [&](const QByteArray &key, QCborStreamReader &r) {
        QVariant v = readValue(r, payload);
        if ((key == "error" && haveError) || (key == "result" && haveResult) || (key == "args" && haveArgs))
            throw DecodeError("chave repetida na resposta: " + key.toStdString());
        if (key == "error") {
            if (v.metaType().id() != QMetaType::QString)
                throw DecodeError("error deve ser texto");
            rep.ok = false;
            rep.error = v.toString();
            haveError = true;
        } else if (key == "result") {
            rep.result = v;
            haveResult = true;
        } else if (key == "args") {
            rep.args = toArgs(v);
            haveArgs = true;
        } else if (key == "more") {
            if (haveMore)
                throw DecodeError("chave repetida na resposta: more");
            if (v.metaType().id() != QMetaType::Bool)
                throw DecodeError("more deve ser lógico");
            rep.more = v.toBool();
            haveMore = true;
        } else {
            throw DecodeError("chave desconhecida na resposta: " + key.toStdString());
        }
    });
    if (haveError && (haveResult || haveArgs || haveMore))
        throw DecodeError("resposta com error e result");
    if (!haveError && (!haveResult || !haveArgs))
        throw DecodeError("resposta sem result ou args");
    return rep;
}

QByteArray encodePartFrame(const Part &p)
{
    QByteArray out(4, '\0');
    CborWriter w(out);
    w.map(p.error.isEmpty() ? 3 : 2);
    w.text(u"part");
    w.value(qint64(p.number));
    if (!p.error.isEmpty()) {
        w.text(u"error");
        w.text(p.error);
    } else {
        w.text(u"more");
        w.value(p.more);
        w.text(u"rows");
        w.value(QVariant::fromValue(p.rows));
    }
    setFrameLength(out);
    return out;
}

QByteArray encodePartFrame(Part &&p)
{
    if (!p.error.isEmpty())
        return encodePartFrame(std::as_const(p));
    QByteArray packet = std::move(p.rows.cbor);
    QByteArray head(4, '\0');
    CborWriter w(head);
    w.map(3);
    w.text(u"part");
    w.value(qint64(p.number));
    w.text(u"more");
    w.value(p.more);
    w.text(u"rows");
    // The packet is one CBOR item already: its bytes follow the key as they are.
    packet.prepend(head);
    setFrameLength(packet);
    return packet;
}

// {"part", "more", "rows"} or {"part", "error"}, each key once.
Part decodePart(const QByteArray &payload)
{
    Part p;
    bool havePart = false, haveMore = false, haveRows = false, haveError = false;
    readMap(payload, [&](const QByteArray &key, QCborStreamReader &r) {
        const QVariant v = readValue(r, payload);
        if (key == "part" && !havePart) {
            if (v.metaType().id() != QMetaType::LongLong || v.toLongLong() < 1)
                throw DecodeError("part deve ser um inteiro positivo");
            p.number = quint64(v.toLongLong());
            havePart = true;
        } else if (key == "more" && !haveMore) {
            if (v.metaType().id() != QMetaType::Bool)
                throw DecodeError("more deve ser lógico");
            p.more = v.toBool();
            haveMore = true;
        } else if (key == "rows" && !haveRows) {
            if (v.metaType() != QMetaType::fromType<TDataPacket>())
                throw DecodeError("rows deve ser um pacote de dados");
            p.rows = v.value<TDataPacket>();
            haveRows = true;
        } else if (key == "error" && !haveError) {
            if (v.metaType().id() != QMetaType::QString)
                throw DecodeError("error deve ser texto");
            p.error = v.toString();
            haveError = true;
        } else {
            throw DecodeError("chave desconhecida ou repetida na parte: " + key.toStdString());
        }
    });
    if (!havePart || (haveError ? (haveMore || haveRows) : !(haveMore && haveRows)))
        throw DecodeError("parte sem part, more e rows (ou error)");
    return p;
}

} // namespace wire
