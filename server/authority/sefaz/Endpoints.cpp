#include "Endpoints.h"

#include <QFile>
#include <stdexcept>

namespace {
std::runtime_error failure(const QString &text) { return std::runtime_error(text.toStdString()); }
} // namespace

Endpoints Endpoints::load(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw failure(QStringLiteral("arquivo de endereços %1: %2").arg(path, f.errorString()));
    return parse(f.readAll(), path);
}

Endpoints Endpoints::parse(const QByteArray &text, const QString &origin)
{
    Endpoints e;
    e.m_origin = origin;
    QString section;
    int lineNo = 0;
    for (const QByteArray &raw : text.split('\n')) {
        ++lineNo;
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0 || section.isEmpty())
            throw failure(QStringLiteral("%1, linha %2: esperado [serviço] ou UF.ambiente = url").arg(origin).arg(lineNo));
        e.m_values.insert(section + QLatin1Char('/') + line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return e;
}

bool Endpoints::environmentFromName(const QString &name, Environment &out)
{
    if (name == QLatin1String("producao")) out = Environment::Producao;
    else if (name == QLatin1String("homologacao")) out = Environment::Homologacao;
    else return false;
    return true;
}

QString Endpoints::environmentName(Environment e)
{
    return e == Environment::Producao ? QStringLiteral("producao") : QStringLiteral("homologacao");
}

QUrl Endpoints::url(const QString &service, const QString &uf, Environment env) const
{
    return address(service, uf, env, true);
}

QString Endpoints::ufName(const QString &ufCode)
{
    static const QHash<QString, QString> names = {
        {"11", "RO"}, {"12", "AC"}, {"13", "AM"}, {"14", "RR"}, {"15", "PA"}, {"16", "AP"}, {"17", "TO"},
        {"21", "MA"}, {"22", "PI"}, {"23", "CE"}, {"24", "RN"}, {"25", "PB"}, {"26", "PE"}, {"27", "AL"},
        {"28", "SE"}, {"29", "BA"}, {"31", "MG"}, {"32", "ES"}, {"33", "RJ"}, {"35", "SP"}, {"41", "PR"},
        {"42", "SC"}, {"43", "RS"}, {"50", "MS"}, {"51", "MT"}, {"52", "GO"}, {"53", "DF"}};
    return names.value(ufCode);
}

QString Endpoints::authorizer(const QString &ufCode) const
{
    const QString uf = ufName(ufCode);
    if (uf.isEmpty())
        throw failure(QStringLiteral("código de UF desconhecido: %1").arg(ufCode));
    const QString a = m_values.value(QStringLiteral("Autorizadores/") + uf);
    if (a.isEmpty())
        throw failure(QStringLiteral("%1 não diz qual autorizador atende %2 ([Autorizadores])").arg(m_origin, uf));
    return a;
}

bool Endpoints::asciiOnly(const QString &authorizer) const
{
    const QString v = m_values.value(QStringLiteral("SomenteASCII/") + authorizer).toLower();
    return v == QLatin1String("sim") || v == QLatin1String("1");
}

QUrl Endpoints::authorizerUrl(const QString &service, const QString &ufCode, Environment env) const
{
    return address(service, authorizer(ufCode), env, false);
}

QUrl Endpoints::address(const QString &service, const QString &name, Environment env, bool national) const
{
    const QString suffix = QLatin1Char('.') + environmentName(env);
    QString value = m_values.value(service + QLatin1Char('/') + name + suffix);
    if (value.isEmpty() && national)
        value = m_values.value(service + QLatin1Char('/') + QStringLiteral("AN") + suffix);
    if (value.isEmpty())
        throw failure(national ? QStringLiteral("%1 não tem endereço de %2 em %3").arg(m_origin, service, environmentName(env))
                               : QStringLiteral("%1 não tem endereço de %2 de %3 em %4").arg(m_origin, service, name, environmentName(env)));
    const QUrl u(value, QUrl::StrictMode);
    // Mutual TLS is the only way the authority is reached.
    if (!u.isValid() || u.scheme() != QLatin1String("https") || u.host().isEmpty())
        throw failure(QStringLiteral("%1: endereço de %2 em %3 não é https: %4").arg(m_origin, service, environmentName(env), value));
    return u;
}
