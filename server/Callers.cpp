#include "Callers.h"
#include "Fiscal.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>
#include <QVariant>

namespace {
const char *kindText(Caller::Kind k) { return k == Caller::Kind::Token ? "token" : "certificado"; }

QString hashOf(const QString &secret)
{
    return QString::fromLatin1(QCryptographicHash::hash(secret.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QStringList normalRegistrations(const QStringList &regs)
{
    QStringList out;
    for (const QString &r : regs) {
        const QString n = fiscal::normalRegistration(r);
        if (!fiscal::validCnpj(n) && !fiscal::validCpf(n))
            throw StoreError("inscrição jurídica inválida: " + r.toStdString());
        if (!out.contains(n))
            out << n;
    }
    if (out.isEmpty())
        throw StoreError("informe ao menos uma inscrição jurídica (--registration)");
    return out;
}

void add(Store &store, Caller::Kind kind, const QString &name, const QString &hash, const QStringList &registrations)
{
    if (name.trimmed().isEmpty() || name.size() > 200)
        throw StoreError("nome inválido");
    const QStringList regs = normalRegistrations(registrations);
    store.transaction([&] {
        Statement exists(store, "SELECT 1 FROM chamador WHERE tipo = ?1 AND nome = ?2");
        exists.bind(1, QString::fromLatin1(kindText(kind))).bind(2, name);
        if (exists.step())
            throw StoreError(std::string(kindText(kind)) + " \"" + name.toStdString() + "\" já existe");
        Statement(store, "INSERT INTO chamador (tipo, nome, hash, criado_em) VALUES (?1, ?2, ?3, ?4)")
            .bind(1, QString::fromLatin1(kindText(kind)))
            .bind(2, name)
            .bind(3, hash)
            .bind(4, QDateTime::currentDateTimeUtc().toString(Qt::ISODate))
            .run();
        Statement ins(store, "INSERT INTO chamador_inscricao (tipo, nome, nrinsjurpesq) VALUES (?1, ?2, ?3)");
        for (const QString &r : regs)
            ins.bind(1, QString::fromLatin1(kindText(kind))).bind(2, name).bind(3, r).run();
    });
}
} // namespace

namespace callers {

QString addToken(Store &store, const QString &name, const QStringList &registrations)
{
    QByteArray random(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    const QString secret = QString::fromLatin1(random.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    add(store, Caller::Kind::Token, name, hashOf(secret), registrations);
    return secret;
}

void addCertificate(Store &store, const QString &commonName, const QStringList &registrations)
{
    add(store, Caller::Kind::Certificate, commonName, QString(), registrations);
}

bool remove(Store &store, Caller::Kind kind, const QString &name)
{
    bool found = false;
    store.transaction([&] {
        Statement st(store, "SELECT 1 FROM chamador WHERE tipo = ?1 AND nome = ?2");
        st.bind(1, QString::fromLatin1(kindText(kind))).bind(2, name);
        found = st.step();
        st.reset();
        Statement(store, "DELETE FROM chamador_inscricao WHERE tipo = ?1 AND nome = ?2")
            .bind(1, QString::fromLatin1(kindText(kind))).bind(2, name).run();
        Statement(store, "DELETE FROM chamador WHERE tipo = ?1 AND nome = ?2")
            .bind(1, QString::fromLatin1(kindText(kind))).bind(2, name).run();
    });
    return found;
}

QList<Entry> list(Store &store)
{
    QList<Entry> out;
    Statement st(store, "SELECT c.tipo, c.nome, i.nrinsjurpesq FROM chamador c"
                        " LEFT JOIN chamador_inscricao i ON i.tipo = c.tipo AND i.nome = c.nome ORDER BY c.tipo, c.nome, i.nrinsjurpesq");
    while (st.step()) {
        const Caller::Kind k = st.text(0) == QLatin1String("token") ? Caller::Kind::Token : Caller::Kind::Certificate;
        const QString name = st.text(1);
        if (out.isEmpty() || out.last().caller.kind != k || out.last().caller.name != name)
            out.append(Entry{Caller{k, name}, {}});
        if (!st.isNull(2))
            out.last().registrations << st.text(2);
    }
    return out;
}

std::optional<QString> tokenName(Store &store, const QString &secret)
{
    if (secret.isEmpty())
        return std::nullopt;
    Statement st(store, "SELECT nome FROM chamador WHERE tipo = 'token' AND hash = ?1");
    st.bind(1, hashOf(secret));
    if (st.step())
        return st.text(0);
    return std::nullopt;
}

QSet<QString> registrations(Store &store, const Caller &caller)
{
    QSet<QString> out;
    Statement st(store, "SELECT nrinsjurpesq FROM chamador_inscricao WHERE tipo = ?1 AND nome = ?2");
    st.bind(1, QString::fromLatin1(kindText(caller.kind))).bind(2, caller.name);
    while (st.step())
        out.insert(st.text(0));
    return out;
}

std::optional<QString> requestRegistration(const QString &method, const QVariantList &args)
{
    // Position of the legal registration in each method's arguments.
    int at = -1;
    if (method == QLatin1String("GetSincronizacaoCTe") || method == QLatin1String("SincronizarCTe") ||
        method == QLatin1String("CancelaRecusaCTe") ||
        method == QLatin1String("GetEstadoSincronizacao"))
        at = 2;
    else if (method == QLatin1String("DownloadXML") || method == QLatin1String("RecusaCTe"))
        at = 3;
    if (at < 0)
        return std::nullopt;
    if (at >= args.size() || args[at].metaType().id() != QMetaType::QString)
        return QString();
    return fiscal::normalRegistration(args[at].toString());
}

QString refusal(Store &store, const Caller &caller, const QString &method, const QVariantList &args)
{
    const QSet<QString> allowed = registrations(store, caller);
    if (allowed.isEmpty())
        return QStringLiteral("Acesso negado: %1 não está autorizado neste servidor de aplicação.").arg(caller.describe());
    const std::optional<QString> reg = requestRegistration(method, args);
    if (reg && !allowed.contains(*reg))
        return QStringLiteral("Acesso negado: %1 não está autorizado para a inscrição jurídica \"%2\".").arg(caller.describe(), *reg);
    return {};
}

} // namespace callers
