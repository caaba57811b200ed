#include "Hello.h"
#include "Cbor.h"

#include <QCborMap>
#include <QCborStreamReader>
#include <QCborValue>

namespace wire {

QByteArray encodeHello(const Hello &h)
{
    QCborMap inner;
    if (!h.token.isEmpty())
        inner.insert(QStringLiteral("token"), h.token);
    QCborMap outer;
    outer.insert(QStringLiteral("hello"), inner);
    return outer.toCborValue().toCbor();
}

bool isHello(const QByteArray &payload)
{
    QCborStreamReader r(payload);
    if (!r.isMap() || !r.enterContainer() || !r.hasNext() || !r.isString())
        return false;
    if (r.isLengthKnown() && r.length() != 5)
        return false;
    QString key;
    auto chunk = r.readString();
    while (chunk.status == QCborStreamReader::Ok && key.size() <= 5) {
        key += chunk.data;
        chunk = r.readString();
    }
    return chunk.status == QCborStreamReader::EndOfString && key == QLatin1String("hello");
}

Hello decodeHello(const QByteArray &payload)
{
    QCborStreamReader r(payload);
    const QCborValue v = QCborValue::fromCbor(r);
    if (r.lastError() != QCborError::NoError)
        throw DecodeError("apresentação malformada: " + r.lastError().toString().toStdString());
    if (r.currentOffset() != payload.size())
        throw DecodeError("apresentação com bytes após o item");
    const QCborMap outer = v.toMap();
    if (!v.isMap() || outer.size() != 1 || !outer.value(QStringLiteral("hello")).isMap())
        throw DecodeError("apresentação deve ser {\"hello\": {...}}");
    const QCborMap inner = outer.value(QStringLiteral("hello")).toMap();
    Hello h;
    for (auto it = inner.begin(); it != inner.end(); ++it) {
        if (!it.key().isString() || it.key().toString() != QLatin1String("token"))
            throw DecodeError("chave desconhecida na apresentação");
        if (!it.value().isString())
            throw DecodeError("token deve ser texto");
        h.token = it.value().toString();
    }
    return h;
}

} // namespace wire
