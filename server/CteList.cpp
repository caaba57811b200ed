#include "CteList.h"
#include "Envelope.h"
#include "Packet.h"
#include "RowFeed.h"

#include <QSet>
#include <optional>

namespace ctelist {

namespace {
#define LIST_COLUMNS \
    "nrinsjurpesq, nrnsu, idtpambiente, nracessocte, nrinsjuremit, nmrazsocemit, nrinsjurreme, nmrazsocreme," \
    " nrinsjurexpe, nmrazsocexpe, nrinsjurrece, nmrazsocrece, nrinsjurdest, nmrazsocdest, idtomador, nrinsjurtoma," \
    " nmrazsoctoma, dtemissao, vrtotalprest, vrreceber, cdstatus, dsstatus, dtsincronizacao"
const char kSelectRow[] = "SELECT " LIST_COLUMNS " FROM cte WHERE nrinsjurpesq = ? AND nrnsu = ?";
// Rows still to encode, in key order, a batch at a time.
const char kSelectUnencoded[] =
    "SELECT linha_versao, " LIST_COLUMNS " FROM cte WHERE linha IS NULL AND nrinsjurpesq = ?1 ORDER BY nrnsu LIMIT ?2";
const char kSelectUnencodedAll[] =
    "SELECT linha_versao, " LIST_COLUMNS " FROM cte WHERE linha IS NULL AND ?1 = '' ORDER BY nrinsjurpesq, nrnsu LIMIT ?2";
// Kept only when the row has not changed since it was read.
const char kKeepEncoded[] =
    "UPDATE cte SET linha = ? WHERE nrinsjurpesq = ? AND nrnsu = ? AND linha IS NULL AND linha_versao = ?";
#undef LIST_COLUMNS

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

// The list's query with only the filters that are set, since a clause that lets every row
// through still costs a column read and a comparison per row; and its values in order.
// The rows' encodings only: a row without one is read from its columns (kSelectRow).
struct ListQuery {
    QByteArray sql;
    QStringList values;
};

ListQuery listQuery(const Filter &f)
{
    ListQuery q{"SELECT nrnsu, linha FROM cte WHERE nrinsjurpesq = ?", {f.registration}};
    auto bound = [&q](QByteArrayList &clauses, const char *clause, const QDate &d) {
        if (d.isValid()) {
            clauses << clause;
            q.values << d.toString(Qt::ISODate);
        }
    };
    QByteArrayList issued, synced;
    bound(issued, "dtemissao_iso >= ?", f.issuedFrom);
    bound(issued, "dtemissao_iso <= ?", f.issuedTo);
    if (!issued.isEmpty()) // a row without an issue date is never filtered out by one
        q.sql += " AND (dtemissao_iso = '' OR (" + issued.join(" AND ") + "))";
    bound(synced, "dtsinc_iso >= ?", f.syncedFrom);
    bound(synced, "dtsinc_iso <= ?", f.syncedTo);
    for (const QByteArray &c : std::as_const(synced))
        q.sql += " AND " + c;
    const QString codes = statusCodes(f.statuses);
    if (codes != QLatin1String("T")) {
        q.sql += " AND ? LIKE ('%\\_' || cdstatus || '\\_%') ESCAPE '\\'";
        q.values << codes;
    }
    q.sql += " ORDER BY nrnsu";
    return q;
}

// The row from its 23 columns, read from `first` on.
void writeRow(wire::PacketWriter &w, Statement &st, int first = 0)
{
    w.beginRow();
    w.textUtf8("N", 1);
    for (int c = 0; c < 23; ++c) {
        if (c == 18 || c == 19) { // the two amounts
            w.real(st.real(first + c));
            continue;
        }
        int n = 0;
        const char *p = st.utf8(first + c, n);
        w.textUtf8(p, n);
    }
}

// The list's rows as its query yields them: each copied from its encoding, or encoded
// from its columns when it has none (or one that is not a row of the list's 24 fields).
class Rows {
public:
    Rows(Store &store, const Filter &filter) : Rows(store, filter, listQuery(filter)) {}
    bool step() { return m_list.step(); }
    void write(wire::PacketWriter &w)
    {
        int n = 0;
        const char *p = m_list.bytes(1, n);
        if (isListRow(p, n))
            w.encodedRow(p, n);
        else
            fromColumns(w);
    }
    // Adds up to `rows` rows to `b`, each as its encoding; whether rows are left.
    bool fill(RowBatch &b, qsizetype rows)
    {
        if (!m_started) {
            m_more = step();
            m_started = true;
        }
        for (qsizetype i = 0; m_more && i < rows; ++i) {
            int n = 0;
            const char *p = m_list.bytes(1, n);
            if (isListRow(p, n)) {
                b.add(p, n);
            } else {
                // Encoded in a writer kept aside, begun again now and then.
                if (!m_aside || m_aside->size() > 1024 * 1024)
                    m_aside.emplace(fields());
                const qsizetype from = m_aside->size();
                fromColumns(*m_aside);
                if (m_aside->size() > from)
                    b.add(m_aside->rows().data() + from, m_aside->size() - from);
            }
            m_more = step();
        }
        return m_more;
    }

private:
    Rows(Store &store, const Filter &filter, const ListQuery &q)
        : m_store(store), m_list(store, q.sql.constData()), m_registration(filter.registration)
    {
        for (int i = 0; i < q.values.size(); ++i)
            m_list.bind(i + 1, q.values[i]);
    }

    // None when the row has no encoding (or one that is not a row of the list's 24 fields).
    static bool isListRow(const char *p, int n) { return n > 2 && p[0] == char(0x98) && p[1] == char(24); }
    void fromColumns(wire::PacketWriter &w)
    {
        if (!m_row)
            m_row.emplace(m_store, kSelectRow);
        m_row->reset();
        m_row->bind(1, m_registration).bind(2, m_list.text(0));
        if (m_row->step()) // else removed since the list was read: not listed
            writeRow(w, *m_row);
    }

    Store &m_store;
    Statement m_list;
    std::optional<Statement> m_row;
    std::optional<wire::PacketWriter> m_aside;
    const QString &m_registration;
    bool m_started = false, m_more = false;
};

struct Unencoded {
    QString registration, nsu;
    qint64 version;
    QByteArray row;
};

std::vector<Unencoded> unencoded(Store &store, const QString &registration, qsizetype limit)
{
    Statement st(store, registration.isEmpty() ? kSelectUnencodedAll : kSelectUnencoded);
    st.bind(1, registration).bind(2, qint64(limit));
    std::vector<Unencoded> out;
    while (st.step()) {
        wire::PacketWriter w(fields());
        writeRow(w, st, 1);
        out.push_back({st.text(1), st.text(2), st.integer(0), w.rows().toByteArray()});
    }
    return out;
}

// The first part fills a screen at once; each next one doubles, up to a bound in rows
// and in bytes that keeps every frame far below any sane frame limit.
constexpr qsizetype kFirstPart = 256;
constexpr qsizetype kLargestPart = 65536;
constexpr qsizetype kLargestPartBytes = 16 * 1024 * 1024;
// Rows read ahead at a time: far fewer hand-overs than rows, and a batch stays in cache.
constexpr qsizetype kReadAhead = 1024;
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
    Rows rows(store, filter);
    while (rows.step())
        rows.write(w);
    return envelope(QStringLiteral("S"), QVariant::fromValue(w.finish()));
}

wire::Reply listInParts(Store &store, const Filter &filter, const QVariantList &args, const wire::FrameSink &send,
                        bool repeats)
{
    Rows rows(store, filter);
    std::optional<RowFeed> feed;
    wire::Reply reply;
    reply.args = args;
    quint64 part = 0;
    qsizetype batch = kFirstPart;
    try {
        feed.emplace([&rows](RowBatch &b, qsizetype n) { return rows.fill(b, n); }, kFirstPart, kReadAhead);
        qsizetype rowBytes = 0; // the last part's bytes per row
        for (;;) {
            wire::PacketWriter w(fields());
            w.setRepeats(repeats);
            if (rowBytes)
                w.reserve(std::min(batch * rowBytes + rowBytes, kLargestPartBytes + 64 * 1024));
            qsizetype n = 0;
            const char *row = nullptr;
            qsizetype len = 0;
            for (; n < batch && w.size() < kLargestPartBytes && feed->next(row, len); ++n)
                w.encodedRow(row, len);
            const bool more = feed->more();
            rowBytes = std::max(rowBytes, w.size() / std::max<qsizetype>(n, 1));
            if (part == 0 && !more) {
                reply.result = envelope(QStringLiteral("S"), QVariant::fromValue(w.finish()));
                return reply;
            }
            if (part == 0) {
                wire::Reply head{true, {}, envelope(QStringLiteral("S"), QVariant::fromValue(w.finish())), args, true};
                send(wire::encodeReplyFrame(std::move(head)));
            } else {
                send(wire::encodePartFrame(wire::Part{part, more, w.finish(), {}}));
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

qsizetype encodeRows(Store &store, const QString &registration, qsizetype limit)
{
    const std::vector<Unencoded> batch = unencoded(store, registration, limit);
    Statement keep(store, kKeepEncoded);
    for (const Unencoded &u : batch) {
        keep.reset();
        keep.bind(1, u.row).bind(2, u.registration).bind(3, u.nsu).bind(4, u.version).run();
    }
    return qsizetype(batch.size());
}

} // namespace ctelist
