#include "CteList.h"
#include "Envelope.h"
#include "Packet.h"

#include <QSet>

namespace ctelist {

namespace {
const char kSelectList[] =
    "SELECT nrinsjurpesq, nrnsu, idtpambiente, nracessocte, nrinsjuremit, nmrazsocemit, nrinsjurreme, nmrazsocreme,"
    " nrinsjurexpe, nmrazsocexpe, nrinsjurrece, nmrazsocrece, nrinsjurdest, nmrazsocdest, idtomador, nrinsjurtoma,"
    " nmrazsoctoma, dtemissao, vrtotalprest, vrreceber, cdstatus, dsstatus, dtsincronizacao FROM cte"
    " WHERE nrinsjurpesq = ?1"
    " AND (dtemissao_iso = '' OR ((?2 IS NULL OR dtemissao_iso >= ?2) AND (?3 IS NULL OR dtemissao_iso <= ?3)))"
    " AND (?4 IS NULL OR dtsinc_iso >= ?4) AND (?5 IS NULL OR dtsinc_iso <= ?5)"
    " AND (?6 = 'T' OR ?6 LIKE ('%\\_' || cdstatus || '\\_%') ESCAPE '\\')"
    " ORDER BY nrnsu";

const std::vector<wire::PacketField> &fields()
{
    static const std::vector<wire::PacketField> list = {
        {QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
        {QStringLiteral("NRINSJURPESQ"), wire::PacketType::Text, 14},
        {QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
        {QStringLiteral("IDTPAMBIENTE"), wire::PacketType::Text, 1},
        {QStringLiteral("NRACESSOCTE"), wire::PacketType::Text, 50},
        {QStringLiteral("NRINSJUREMIT"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCEMIT"), wire::PacketType::Text, 60},
        {QStringLiteral("NRINSJURREME"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCREME"), wire::PacketType::Text, 60},
        {QStringLiteral("NRINSJUREXPE"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCEXPE"), wire::PacketType::Text, 60},
        {QStringLiteral("NRINSJURRECE"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCRECE"), wire::PacketType::Text, 60},
        {QStringLiteral("NRINSJURDEST"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCDEST"), wire::PacketType::Text, 60},
        {QStringLiteral("IDTOMADOR"), wire::PacketType::Text, 1},
        {QStringLiteral("NRINSJURTOMA"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCTOMA"), wire::PacketType::Text, 60},
        {QStringLiteral("DTEMISSAO"), wire::PacketType::Text, 10},
        {QStringLiteral("VRTOTALPREST"), wire::PacketType::Float, 0},
        {QStringLiteral("VRRECEBER"), wire::PacketType::Float, 0},
        {QStringLiteral("CDSTATUS"), wire::PacketType::Text, 3},
        {QStringLiteral("DSSTATUS"), wire::PacketType::Text, 255},
        {QStringLiteral("DTSINCRONIZACAO"), wire::PacketType::Text, 10},
    };
    return list;
}

void bindDate(Statement &st, int i, const QDate &d)
{
    if (d.isValid())
        st.bind(i, d.toString(Qt::ISODate));
    else
        st.bindNull(i);
}

void bindFilter(Statement &st, const Filter &filter)
{
    st.bind(1, filter.registration);
    bindDate(st, 2, filter.issuedFrom);
    bindDate(st, 3, filter.issuedTo);
    bindDate(st, 4, filter.syncedFrom);
    bindDate(st, 5, filter.syncedTo);
    st.bind(6, statusCodes(filter.statuses));
}

void writeRow(wire::PacketWriter &w, Statement &st)
{
    w.beginRow();
    w.textUtf8("N", 1);
    for (int c = 0; c < 23; ++c) {
        if (c == 18 || c == 19) { // the two amounts
            w.real(st.real(c));
            continue;
        }
        int n = 0;
        const char *p = st.utf8(c, n);
        w.textUtf8(p, n);
    }
}

// The first part fills a screen at once; each next one doubles, up to a bound in rows
// and in bytes that keeps every frame far below any sane frame limit.
constexpr qsizetype kFirstPart = 256;
constexpr qsizetype kLargestPart = 65536;
constexpr qsizetype kLargestPartBytes = 16 * 1024 * 1024;
} // namespace

QString statusCodes(const QString &list)
{
    const QString t = list.trimmed();
    if (t.isEmpty() || t == QLatin1String("T"))
        return QStringLiteral("T");
    QSet<QStringView> codes;
    for (QStringView code : QStringView(t).split(u'_', Qt::SkipEmptyParts))
        codes.insert(code);
    QString out = QStringLiteral("_");
    for (QStringView code : std::as_const(codes))
        out += code.toString() + QLatin1Char('_');
    return out;
}

QVariantList list(Store &store, const Filter &filter)
{
    wire::PacketWriter w(fields());
    Statement st(store, kSelectList);
    bindFilter(st, filter);
    while (st.step())
        writeRow(w, st);
    return envelope(QStringLiteral("S"), QVariant::fromValue(w.finish()));
}

wire::Reply listInParts(Store &store, const Filter &filter, const QVariantList &args, const wire::FrameSink &send)
{
    Statement st(store, kSelectList);
    bindFilter(st, filter);
    wire::Reply reply;
    reply.args = args;
    bool more = st.step();
    quint64 part = 0;
    qsizetype batch = kFirstPart;
    try {
        for (;;) {
            wire::PacketWriter w(fields());
            for (qsizetype n = 0; more && n < batch && w.size() < kLargestPartBytes; ++n) {
                writeRow(w, st);
                more = st.step();
            }
            if (part == 0 && !more) {
                reply.result = envelope(QStringLiteral("S"), QVariant::fromValue(w.finish()));
                return reply;
            }
            if (part == 0) {
                wire::Reply head{true, {}, envelope(QStringLiteral("S"), QVariant::fromValue(w.finish())), args, true};
                send(wire::encodeReplyFrame(std::move(head)));
            } else {
                send(wire::encodePartFrame({part, more, w.finish(), {}}));
            }
            if (!more)
                break;
            ++part;
            batch = std::min(batch * 2, kLargestPart);
        }
    } catch (const std::exception &e) {
        if (part == 0)
            throw;
        // The reply is out: the failure ends the parts, so the caller drops what it has.
        send(wire::encodePartFrame({part, false, {}, QStringLiteral("Erro no servidor de aplicação: %1").arg(QString::fromUtf8(e.what()))}));
    }
    reply.result = envelope(QStringLiteral("S"), QStringLiteral("em partes"));
    reply.sent = true;
    return reply;
}

} // namespace ctelist
