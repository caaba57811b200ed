#include "PgStore.h"

#include <QtEndian>
#include <cstring>
#include <libpq-fe.h>
#include <string>
#include <vector>

namespace {
// Type identifiers of the built-in types (pg_type.oid), fixed since ever.
constexpr Oid kBool = 16, kBytea = 17, kInt8 = 20, kInt2 = 21, kInt4 = 23, kText = 25, kFloat4 = 700,
              kFloat8 = 701;

std::string errorOf(PGconn *c, const PGresult *r)
{
    std::string why = r ? PQresultErrorMessage(r) : "";
    if (why.empty())
        why = PQerrorMessage(c);
    while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
        why.pop_back();
    if (PQstatus(c) == CONNECTION_BAD)
        return "conexão com o PostgreSQL perdida: " + why;
    return why;
}

// `?` and `?N` placeholders become PostgreSQL's `$N`; quoted text is left alone.
std::string translate(const char *sql, int &params)
{
    std::string out;
    params = 0;
    int next = 0;
    bool quoted = false;
    for (const char *p = sql; *p; ++p) {
        if (*p == '\'')
            quoted = !quoted;
        if (quoted || *p != '?') {
            out += *p;
            continue;
        }
        int n = 0;
        while (p[1] >= '0' && p[1] <= '9')
            n = n * 10 + (*++p - '0');
        if (n == 0)
            n = ++next;
        else
            next = std::max(next, n);
        params = std::max(params, n);
        out += '$' + std::to_string(n);
    }
    return out;
}

template <typename T> T fromBigEndian(const char *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return qFromBigEndian(v);
}

class PgStatement : public StatementEngine {
public:
    PgStatement(PgStore &store, const char *sql) : m_store(store)
    {
        int n = 0;
        m_sql = translate(sql, n);
        m_values.resize(size_t(n));
        m_types.assign(size_t(n), 0);
        m_null.assign(size_t(n), true);
    }
    ~PgStatement() override { PQclear(m_result); }

    void bindText(int i, const QByteArray &u) override { set(i, kText, u); }
    void bindBlob(int i, const QByteArray &b) override { set(i, kBytea, b); }
    void bindReal(int i, double v) override
    {
        quint64 bits;
        std::memcpy(&bits, &v, sizeof bits);
        bits = qToBigEndian(bits);
        set(i, kFloat8, QByteArray(reinterpret_cast<const char *>(&bits), sizeof bits));
    }
    void bindInteger(int i, qint64 v) override
    {
        const qint64 be = qToBigEndian(v);
        set(i, kInt8, QByteArray(reinterpret_cast<const char *>(&be), sizeof be));
    }
    void bindNull(int i) override
    {
        check(i);
        m_null[size_t(i - 1)] = true;
        m_types[size_t(i - 1)] = kText; // `? IS NULL` alone gives PostgreSQL no type to infer
    }

    bool step() override
    {
        if (!m_result)
            execute();
        return ++m_row < m_rows;
    }
    void reset() override
    {
        PQclear(m_result);
        m_result = nullptr;
        m_row = -1;
        m_rows = 0;
        m_null.assign(m_null.size(), true);
        m_types.assign(m_types.size(), 0);
    }

    const char *utf8(int col, int &len) const override
    {
        if (PQgetisnull(m_result, m_row, col)) {
            len = 0;
            return "";
        }
        switch (PQftype(m_result, col)) {
        case kInt2: case kInt4: case kInt8:
            m_formatted = std::to_string(integer(col));
            len = int(m_formatted.size());
            return m_formatted.c_str();
        case kFloat4: case kFloat8:
            m_formatted = QByteArray::number(real(col), 'g', 17).toStdString();
            len = int(m_formatted.size());
            return m_formatted.c_str();
        default:
            len = PQgetlength(m_result, m_row, col);
            return PQgetvalue(m_result, m_row, col);
        }
    }
    const char *bytes(int col, int &len) const override
    {
        len = PQgetlength(m_result, m_row, col);
        return PQgetvalue(m_result, m_row, col);
    }
    QByteArray blob(int col) const override
    {
        return QByteArray(PQgetvalue(m_result, m_row, col), PQgetlength(m_result, m_row, col));
    }
    double real(int col) const override
    {
        if (PQgetisnull(m_result, m_row, col))
            return 0;
        const char *p = PQgetvalue(m_result, m_row, col);
        switch (PQftype(m_result, col)) {
        case kFloat8: {
            const quint64 bits = fromBigEndian<quint64>(p);
            double v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
        case kFloat4: {
            const quint32 bits = fromBigEndian<quint32>(p);
            float v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
        case kInt2: case kInt4: case kInt8:
            return double(integer(col));
        default:
            return QByteArray(p, PQgetlength(m_result, m_row, col)).toDouble();
        }
    }
    qint64 integer(int col) const override
    {
        if (PQgetisnull(m_result, m_row, col))
            return 0;
        const char *p = PQgetvalue(m_result, m_row, col);
        switch (PQftype(m_result, col)) {
        case kInt8: return fromBigEndian<qint64>(p);
        case kInt4: return fromBigEndian<qint32>(p);
        case kInt2: return fromBigEndian<qint16>(p);
        case kBool: return *p ? 1 : 0;
        case kFloat4: case kFloat8: return qint64(real(col));
        default: return QByteArray(p, PQgetlength(m_result, m_row, col)).toLongLong();
        }
    }
    bool isNull(int col) const override { return PQgetisnull(m_result, m_row, col); }

private:
    void check(int i) const
    {
        if (i < 1 || size_t(i) > m_values.size())
            throw StoreError("parâmetro " + std::to_string(i) + " não existe em: " + m_sql);
    }
    void set(int i, Oid type, const QByteArray &value)
    {
        check(i);
        m_values[size_t(i - 1)] = value;
        m_types[size_t(i - 1)] = type;
        m_null[size_t(i - 1)] = false;
    }
    void execute()
    {
        PGconn *c = m_store.connection();
        const size_t n = m_values.size();
        std::vector<const char *> values(n);
        std::vector<int> lengths(n), formats(n, 1);
        for (size_t i = 0; i < n; ++i) {
            values[i] = m_null[i] ? nullptr : m_values[i].constData();
            lengths[i] = int(m_values[i].size());
        }
        m_result = PQexecParams(c, m_sql.c_str(), int(n), m_types.data(), values.data(), lengths.data(),
                                formats.data(), 1);
        const ExecStatusType s = PQresultStatus(m_result);
        if (s != PGRES_TUPLES_OK && s != PGRES_COMMAND_OK) {
            const std::string why = errorOf(c, m_result);
            PQclear(m_result);
            m_result = nullptr;
            throw StoreError("executar comando: " + why);
        }
        m_rows = PQntuples(m_result);
        m_row = -1;
    }

    PgStore &m_store;
    std::string m_sql;
    std::vector<QByteArray> m_values;
    std::vector<Oid> m_types;
    std::vector<bool> m_null;
    PGresult *m_result = nullptr;
    int m_row = -1, m_rows = 0;
    mutable std::string m_formatted;
};

void ignoreNotice(void *, const char *) {}
} // namespace

PgStore::PgStore(const QString &address)
{
    m_conn = PQconnectdb(address.toUtf8().constData());
    if (PQstatus(m_conn) != CONNECTION_OK) {
        std::string why = PQerrorMessage(m_conn);
        while (!why.empty() && why.back() == '\n')
            why.pop_back();
        PQfinish(m_conn);
        m_conn = nullptr;
        throw StoreError("conectar ao PostgreSQL: " + why);
    }
    PQsetNoticeProcessor(m_conn, ignoreNotice, nullptr);
    PQsetClientEncoding(m_conn, "UTF8");
}

PgStore::~PgStore() { PQfinish(m_conn); }

pg_conn *PgStore::connection()
{
    if (PQstatus(m_conn) == CONNECTION_BAD) {
        PQreset(m_conn);
        if (PQstatus(m_conn) != CONNECTION_OK)
            throw StoreError("sem conexão com o PostgreSQL: " + errorOf(m_conn, nullptr));
        PQsetClientEncoding(m_conn, "UTF8");
    }
    return m_conn;
}

std::unique_ptr<StatementEngine> PgStore::prepare(const char *sql) { return std::make_unique<PgStatement>(*this, sql); }

void PgStore::exec(const char *sql)
{
    PGconn *c = connection();
    PGresult *r = PQexec(c, sql);
    const ExecStatusType s = PQresultStatus(r);
    if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) {
        const std::string why = errorOf(c, r);
        PQclear(r);
        throw StoreError(why);
    }
    PQclear(r);
}

void PgStore::rollback() noexcept
{
    if (PQstatus(m_conn) == CONNECTION_OK)
        PQclear(PQexec(m_conn, "ROLLBACK"));
}

void PgStore::createSchema(int fromVersion)
{
    // Text compared and ordered byte by byte (NSU, ISO dates), whatever the database's locale.
    if (fromVersion < 1) {
        exec("CREATE TABLE cte ("
             " nrinsjurpesq TEXT COLLATE \"C\" NOT NULL, nrnsu TEXT COLLATE \"C\" NOT NULL,"
             " idtpambiente TEXT NOT NULL DEFAULT '', nracessocte TEXT COLLATE \"C\" NOT NULL DEFAULT '',"
             " nrinsjuremit TEXT NOT NULL DEFAULT '', nmrazsocemit TEXT NOT NULL DEFAULT '',"
             " nrinsjurreme TEXT NOT NULL DEFAULT '', nmrazsocreme TEXT NOT NULL DEFAULT '',"
             " nrinsjurexpe TEXT NOT NULL DEFAULT '', nmrazsocexpe TEXT NOT NULL DEFAULT '',"
             " nrinsjurrece TEXT NOT NULL DEFAULT '', nmrazsocrece TEXT NOT NULL DEFAULT '',"
             " nrinsjurdest TEXT NOT NULL DEFAULT '', nmrazsocdest TEXT NOT NULL DEFAULT '',"
             " idtomador TEXT NOT NULL DEFAULT '', nrinsjurtoma TEXT NOT NULL DEFAULT '',"
             " nmrazsoctoma TEXT NOT NULL DEFAULT '',"
             " dtemissao TEXT NOT NULL DEFAULT '', dtemissao_iso TEXT COLLATE \"C\" NOT NULL DEFAULT '',"
             " vrtotalprest DOUBLE PRECISION NOT NULL DEFAULT 0, vrreceber DOUBLE PRECISION NOT NULL DEFAULT 0,"
             " cdstatus TEXT COLLATE \"C\" NOT NULL, dsstatus TEXT NOT NULL DEFAULT '',"
             " dtsincronizacao TEXT NOT NULL, dtsinc_iso TEXT COLLATE \"C\" NOT NULL,"
             " schema TEXT NOT NULL DEFAULT '', xml BYTEA,"
             " PRIMARY KEY (nrinsjurpesq, nrnsu))");
        exec("CREATE INDEX cte_chave ON cte (nrinsjurpesq, nracessocte)");
        exec("CREATE TABLE cursor_nsu (nrinsjurpesq TEXT COLLATE \"C\" PRIMARY KEY, ultnsu TEXT COLLATE \"C\" NOT NULL,"
             " maxnsu TEXT NOT NULL DEFAULT '', dtultsinc TEXT NOT NULL DEFAULT '', origem TEXT NOT NULL DEFAULT '')");
        exec("CREATE TABLE evento (nrinsjurpesq TEXT COLLATE \"C\" NOT NULL, nrnsu TEXT COLLATE \"C\","
             " nracessocte TEXT NOT NULL, tpevento TEXT NOT NULL, nprot TEXT NOT NULL DEFAULT '',"
             " dhregevento TEXT NOT NULL DEFAULT '', xml BYTEA, UNIQUE (nrinsjurpesq, nrnsu))");
        exec("CREATE TABLE doc_bruto (nrinsjurpesq TEXT COLLATE \"C\" NOT NULL, nrnsu TEXT COLLATE \"C\" NOT NULL,"
             " schema TEXT, conteudo BYTEA, erro TEXT, PRIMARY KEY (nrinsjurpesq, nrnsu))");
    }
    if (fromVersion < 2) {
        // When each registration may query the authority again, and who is synchronizing it now.
        exec("CREATE TABLE consulta_bloqueio (nrinsjurpesq TEXT COLLATE \"C\" PRIMARY KEY, liberado_em TEXT COLLATE \"C\" NOT NULL,"
             " motivo TEXT NOT NULL DEFAULT '')");
        exec("CREATE TABLE sinc_em_andamento (nrinsjurpesq TEXT COLLATE \"C\" PRIMARY KEY, dono TEXT NOT NULL,"
             " expira_em TEXT COLLATE \"C\" NOT NULL)");
    }
    if (fromVersion < 3) {
        // Who may call: tokens (hash of the secret only) and certificates, and the registrations of each.
        exec("CREATE TABLE chamador (tipo TEXT NOT NULL, nome TEXT COLLATE \"C\" NOT NULL, hash TEXT NOT NULL DEFAULT '',"
             " criado_em TEXT NOT NULL, PRIMARY KEY (tipo, nome))");
        exec("CREATE INDEX chamador_hash ON chamador (hash)");
        exec("CREATE TABLE chamador_inscricao (tipo TEXT NOT NULL, nome TEXT COLLATE \"C\" NOT NULL, nrinsjurpesq TEXT COLLATE \"C\" NOT NULL,"
             " PRIMARY KEY (tipo, nome, nrinsjurpesq))");
    }
    if (fromVersion < 4) {
        // Locks die with their session now: the run in progress is only described, for the
        // answer to a second one. The capture schedule and the log of every authority call.
        exec("DROP TABLE IF EXISTS sinc_em_andamento");
        exec("CREATE TABLE sinc_andamento (nrinsjurpesq TEXT COLLATE \"C\" PRIMARY KEY, origem TEXT NOT NULL,"
             " inicio TEXT COLLATE \"C\" NOT NULL)");
        exec("CREATE TABLE captura (nrinsjurpesq TEXT COLLATE \"C\" PRIMARY KEY, uf TEXT NOT NULL DEFAULT '',"
             " proxima TEXT COLLATE \"C\" NOT NULL, falhas INTEGER NOT NULL DEFAULT 0, ultima TEXT NOT NULL DEFAULT '',"
             " resultado TEXT NOT NULL DEFAULT '')");
        exec("CREATE TABLE sinc_log (momento TEXT COLLATE \"C\" NOT NULL, nrinsjurpesq TEXT COLLATE \"C\" NOT NULL,"
             " consulta TEXT NOT NULL, nsu TEXT NOT NULL, cstat TEXT NOT NULL, xmotivo TEXT NOT NULL, ultnsu TEXT NOT NULL,"
             " maxnsu TEXT NOT NULL, documentos INTEGER NOT NULL, duracao_ms BIGINT NOT NULL, origem TEXT NOT NULL)");
        exec("CREATE INDEX sinc_log_inscricao ON sinc_log (nrinsjurpesq, momento)");
    }
    if (fromVersion < 5) {
        // The documents apart from the list's rows, as in the SQLite store.
        exec("CREATE TABLE cte_xml (nrinsjurpesq TEXT COLLATE \"C\" NOT NULL, nrnsu TEXT COLLATE \"C\" NOT NULL,"
             " xml BYTEA NOT NULL, PRIMARY KEY (nrinsjurpesq, nrnsu))");
        exec("INSERT INTO cte_xml (nrinsjurpesq, nrnsu, xml) SELECT nrinsjurpesq, nrnsu, xml FROM cte WHERE xml IS NOT NULL");
        exec("ALTER TABLE cte DROP COLUMN xml");
    }
    if (fromVersion < 6) {
        // Each list row kept as it goes out, dropped by any other change, as in the SQLite store.
        exec("ALTER TABLE cte ADD COLUMN linha BYTEA, ADD COLUMN linha_versao BIGINT NOT NULL DEFAULT 0");
        exec("CREATE INDEX cte_sem_linha ON cte (nrinsjurpesq, nrnsu) WHERE linha IS NULL");
        exec("CREATE FUNCTION cte_linha_velha() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
             " IF NEW.linha IS NOT DISTINCT FROM OLD.linha THEN"
             " NEW.linha := NULL; NEW.linha_versao := OLD.linha_versao + 1; END IF; RETURN NEW; END $$");
        exec("CREATE TRIGGER cte_linha_velha BEFORE UPDATE ON cte FOR EACH ROW EXECUTE FUNCTION cte_linha_velha()");
    }
    // Version 7 is SQLite's list index. Here an index holding each row's encoding would
    // refuse a row whose encoding outgrows a third of a page, and serves a list only once
    // a vacuum has marked its pages visible.
}

void PgStore::lockSchema() { exec("SELECT pg_advisory_xact_lock(hashtextextended('dfe-server schema', 0))"); }

// A session lock, so that it outlives the page-by-page transactions of a synchronization.
void PgStore::lockRegistration(const QString &registration)
{
    PgStatement st(*this, "SELECT pg_advisory_lock(hashtextextended('dfe-server sync ' || ?, 0))");
    st.bindText(1, registration.toUtf8());
    st.step();
}

bool PgStore::tryLockRegistration(const QString &registration)
{
    PgStatement st(*this, "SELECT pg_try_advisory_lock(hashtextextended('dfe-server sync ' || ?, 0))");
    st.bindText(1, registration.toUtf8());
    return st.step() && st.integer(0) != 0;
}

void PgStore::unlockRegistration(const QString &registration) noexcept
{
    try {
        if (PQstatus(m_conn) != CONNECTION_OK)
            return; // the lock went with the connection
        PgStatement st(*this, "SELECT pg_advisory_unlock(hashtextextended('dfe-server sync ' || ?, 0))");
        st.bindText(1, registration.toUtf8());
        st.step();
    } catch (const StoreError &) {
    }
}
