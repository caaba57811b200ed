#include "Frame.h"
#include "Cbor.h"

#include <QCborStreamReader>
#include <stdexcept>

namespace wire {

QByteArray frame(const QByteArray &payload)
{
    QByteArray out;
    out.reserve(payload.size() + 4);
    const quint32 n = quint32(payload.size());
    out.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
    out.append(payload);
    return out;
}

bool FrameReader::next(QByteArray &payload)
{
    if (m_buf.size() < 4)
        return false;
    const auto *p = reinterpret_cast<const uchar *>(m_buf.constData());
    const quint32 n = (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
    if (n > m_max)
        throw std::runtime_error("mensagem de " + std::to_string(n) + " bytes excede o limite de " +
                                 std::to_string(m_max) + " bytes");
    if (quint64(m_buf.size()) < quint64(n) + 4)
        return false;
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
    w.map(3);
    w.text(u"server");
    w.text(r.server);
    w.text(u"method");
    w.text(r.method);
    w.text(u"args");
    writeArgs(w, r.args);
    return out;
}

QByteArray encodeReply(const Reply &r)
{
    QByteArray out;
    CborWriter w(out);
    if (!r.ok) {
        w.map(1);
        w.text(u"error");
        w.text(r.error);
        return out;
    }
    w.map(2);
    w.text(u"result");
    w.value(r.result);
    w.text(u"args");
    writeArgs(w, r.args);
    return out;
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
        const QByteArray key = readTextUtf8(r);
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
    bool haveServer = false, haveMethod = false, haveArgs = false;
    readMap(payload, [&](const QByteArray &key, QCborStreamReader &r) {
        QVariant v = readValue(r, payload);
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
        }
    });
    if (!haveServer || !haveMethod || !haveArgs)
        throw DecodeError("pedido sem server, method ou args");
    return req;
}

Reply decodeReply(const QByteArray &payload)
{
    Reply rep;
    bool haveResult = false, haveError = false;
    readMap(payload, [&](const QByteArray &key, QCborStreamReader &r) {
        QVariant v = readValue(r, payload);
        if (key == "error") {
            rep.ok = false;
            rep.error = v.toString();
            haveError = true;
        } else if (key == "result") {
            rep.result = v;
            haveResult = true;
        } else if (key == "args") {
            rep.args = toArgs(v);
        }
    });
    if (!haveResult && !haveError)
        throw DecodeError("resposta sem result nem error");
    return rep;
}

} // namespace wire
