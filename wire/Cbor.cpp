#include "Cbor.h"
#include "DataPacket.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace wire {

void CborWriter::head(int major, quint64 value)
{
    const char m = char(major << 5);
    if (value < 24) {
        m_out.append(char(m | char(value)));
    } else if (value <= 0xff) {
        m_out.append(char(m | 24));
        m_out.append(char(value));
    } else if (value <= 0xffff) {
        m_out.append(char(m | 25));
        m_out.append(char(value >> 8));
        m_out.append(char(value));
    } else if (value <= 0xffffffffULL) {
        m_out.append(char(m | 26));
        for (int s = 24; s >= 0; s -= 8)
            m_out.append(char(value >> s));
    } else {
        m_out.append(char(m | 27));
        for (int s = 56; s >= 0; s -= 8)
            m_out.append(char(value >> s));
    }
}

void CborWriter::text(QStringView s)
{
    const QByteArray u = s.toUtf8();
    text(u.constData(), u.size());
}

void CborWriter::text(const char *utf8, qsizetype len)
{
    head(3, quint64(len));
    m_out.append(utf8, len);
}

void CborWriter::bytes(const char *data, qsizetype len)
{
    head(2, quint64(len));
    m_out.append(data, len);
}

void CborWriter::integer(qint64 v)
{
    if (v >= 0)
        head(0, quint64(v));
    else
        head(1, quint64(-1 - v));
}

void CborWriter::real(double v)
{
    quint64 bits;
    std::memcpy(&bits, &v, sizeof bits);
    m_out.append(char(0xfb));
    for (int s = 56; s >= 0; s -= 8)
        m_out.append(char(bits >> s));
}

void CborWriter::date(const QDate &d)
{
    tag(kTagFullDate);
    text(d.toString(QStringLiteral("yyyy-MM-dd")));
}

void CborWriter::value(const QVariant &v)
{
    if (!v.isValid() || v.isNull()) {
        if (v.metaType().id() == QMetaType::QString) { text(QStringView()); return; }
        if (v.metaType().id() == QMetaType::QByteArray) { bytes(QByteArray()); return; }
        if (v.metaType().id() != QMetaType::QDate) { null(); return; }
    }
    if (v.metaType() == QMetaType::fromType<TDataPacket>()) {
        raw(v.value<TDataPacket>().cbor);
        return;
    }
    switch (v.metaType().id()) {
    case QMetaType::QString: text(v.toString()); return;
    case QMetaType::QByteArray: bytes(v.toByteArray()); return;
    case QMetaType::Double:
    case QMetaType::Float: real(v.toDouble()); return;
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort: integer(v.toLongLong()); return;
    case QMetaType::Bool: boolean(v.toBool()); return;
    case QMetaType::Nullptr: null(); return;
    case QMetaType::QDate:
        if (v.toDate().isValid()) date(v.toDate()); else null();
        return;
    case QMetaType::QVariantList: {
        const QVariantList l = v.toList();
        array(quint64(l.size()));
        for (const QVariant &e : l)
            value(e);
        return;
    }
    case QMetaType::QStringList: {
        const QStringList l = v.toStringList();
        array(quint64(l.size()));
        for (const QString &e : l)
            text(e);
        return;
    }
    default:
        throw std::runtime_error(std::string("tipo de valor não suportado no protocolo: ") + v.typeName());
    }
}

// The reader's own texts are English; users read these.
static const char *errorText(QCborError e)
{
    switch (e.c) {
    case QCborError::EndOfFile: return "dados terminam antes do fim do item";
    case QCborError::InvalidUtf8String: return "texto com UTF-8 inválido";
    case QCborError::DataTooLarge: return "item grande demais";
    case QCborError::NestingTooDeep: return "aninhamento excessivo";
    case QCborError::UnsupportedType: return "tipo não suportado";
    default: return "codificação inválida";
    }
}

static void check(QCborStreamReader &r)
{
    if (r.lastError() != QCborError::NoError)
        throw DecodeError(std::string("CBOR inválido: ") + errorText(r.lastError()));
}

// Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing past U+10FFFF.
static bool validUtf8(const QByteArray &b)
{
    const auto *p = reinterpret_cast<const uchar *>(b.constData());
    const qsizetype n = b.size();
    for (qsizetype i = 0; i < n;) {
        const uchar c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int len = 0;
        uint cp = 0, min = 0;
        if ((c & 0xe0) == 0xc0) { len = 2; cp = c & 0x1f; min = 0x80; }
        else if ((c & 0xf0) == 0xe0) { len = 3; cp = c & 0x0f; min = 0x800; }
        else if ((c & 0xf8) == 0xf0) { len = 4; cp = c & 0x07; min = 0x10000; }
        else return false;
        if (i + len > n)
            return false;
        for (int k = 1; k < len; ++k) {
            if ((p[i + k] & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3f);
        }
        if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += len;
    }
    return true;
}

QByteArray readTextUtf8(QCborStreamReader &r, qsizetype limit)
{
    if (!r.isString())
        throw DecodeError("texto esperado");
    QByteArray out;
    for (;;) {
        const qsizetype n = r.currentStringChunkSize();
        if (n < 0) {
            check(r);
            throw DecodeError("texto truncado");
        }
        if (limit >= 0 && out.size() + n > limit)
            throw DecodeError("texto maior que a mensagem");
        const qsizetype at = out.size();
        out.resize(at + n);
        auto res = r.readStringChunk(out.data() + at, n);
        if (res.status == QCborStreamReader::EndOfString)
            break;
        if (res.status == QCborStreamReader::Error) {
            check(r);
            throw DecodeError("texto inválido");
        }
        out.resize(at + res.data);
    }
    check(r);
    if (!validUtf8(out))
        throw DecodeError("texto com UTF-8 inválido");
    return out;
}

QByteArray readByteString(QCborStreamReader &r)
{
    if (!r.isByteArray())
        throw DecodeError("cadeia de bytes esperada");
    QByteArray out;
    for (;;) {
        auto res = r.readByteArray();
        if (res.status == QCborStreamReader::Error) {
            check(r);
            throw DecodeError("cadeia de bytes inválida");
        }
        if (res.status == QCborStreamReader::EndOfString)
            break;
        out += res.data;
    }
    check(r);
    return out;
}

namespace {
QVariant readInteger(QCborStreamReader &r)
{
    // CBOR integers reach 2^64 on either side (a negative magnitude of 0 is -2^64); only what
    // fits 64 bits signed is a value here.
    const bool fits = r.isUnsignedInteger() ? r.toUnsignedInteger() <= quint64(std::numeric_limits<qint64>::max())
                                            : quint64(r.toNegativeInteger()) - 1 <= quint64(std::numeric_limits<qint64>::max());
    if (!fits)
        throw DecodeError("inteiro fora do intervalo de 64 bits");
    const qint64 v = r.isUnsignedInteger() ? qint64(r.toUnsignedInteger()) : qint64(-quint64(r.toNegativeInteger()));
    r.next();
    check(r);
    return QVariant::fromValue<qlonglong>(v);
}

QVariant readArray(QCborStreamReader &r, const QByteArray &source, int depth)
{
    if (!r.isLengthKnown())
        throw DecodeError("array de tamanho indefinido não é aceito");
    const quint64 n = r.length();
    if (n > quint64(source.size()))
        throw DecodeError("array maior que a mensagem");
    QVariantList list;
    list.reserve(qsizetype(n));
    r.enterContainer();
    check(r);
    while (r.hasNext())
        list.append(readValue(r, source, depth + 1));
    check(r);
    r.leaveContainer();
    check(r);
    return list;
}

// The data packet after its tag, which starts at `start`.
QVariant readPacket(QCborStreamReader &r, const QByteArray &source, qint64 start)
{
    if (!r.isByteArray() || !r.isLengthKnown())
        throw DecodeError("pacote de dados inválido");
    r.next(); // skips the encoded table without reading it
    check(r);
    TDataPacket p;
    const qsizetype length = r.currentOffset() - start;
    // A long list is not copied out of its message: it stays where it arrived. Only a
    // message that owns its bytes can be kept.
    if (length >= 64 * 1024 && const_cast<QByteArray &>(source).data_ptr().d_ptr() != nullptr) {
        p.message = source;
        p.cbor = QByteArray::fromRawData(source.constData() + start, length);
    } else {
        p.cbor = source.mid(start, length);
    }
    return QVariant::fromValue(p);
}

QVariant readTagged(QCborStreamReader &r, const QByteArray &source)
{
    const qint64 start = r.currentOffset();
    const quint64 tag = quint64(r.toTag());
    r.next();
    check(r);
    if (tag == kTagFullDate) {
        const QString s = QString::fromUtf8(readTextUtf8(r, source.size()));
        const QDate d = QDate::fromString(s, QStringLiteral("yyyy-MM-dd"));
        if (!d.isValid())
            throw DecodeError("data inválida: " + s.toStdString());
        return d;
    }
    if (tag == kTagDataPacket)
        return readPacket(r, source, start);
    throw DecodeError("marca CBOR desconhecida: " + std::to_string(tag));
}

QVariant readSimple(QCborStreamReader &r)
{
    const auto s = r.toSimpleType();
    r.next();
    check(r);
    if (s == QCborSimpleType::True) return true;
    if (s == QCborSimpleType::False) return false;
    if (s == QCborSimpleType::Null) return QVariant::fromValue(nullptr);
    throw DecodeError("valor simples desconhecido");
}
} // namespace

QVariant readValue(QCborStreamReader &r, const QByteArray &source, int depth)
{
    if (depth > 64)
        throw DecodeError("aninhamento excessivo");
    check(r);
    switch (r.type()) {
    case QCborStreamReader::UnsignedInteger:
    case QCborStreamReader::NegativeInteger:
        return readInteger(r);
    case QCborStreamReader::ByteArray:
        return readByteString(r);
    case QCborStreamReader::String:
        return QString::fromUtf8(readTextUtf8(r, source.size()));
    case QCborStreamReader::Array:
        return readArray(r, source, depth);
    case QCborStreamReader::Tag:
        return readTagged(r, source);
    case QCborStreamReader::SimpleType:
        return readSimple(r);
    case QCborStreamReader::Float16:
    case QCborStreamReader::Float:
    case QCborStreamReader::Double: {
        double d = r.isDouble() ? r.toDouble() : r.isFloat() ? double(r.toFloat()) : double(r.toFloat16());
        r.next();
        check(r);
        return d;
    }
    case QCborStreamReader::Map:
        throw DecodeError("mapa não é um valor de argumento");
    case QCborStreamReader::Invalid:
    default:
        check(r);
        throw DecodeError("mensagem truncada");
    }
}
} // namespace wire
