#pragma once
// The authority's web service addresses, read from a small INI file: one section per
// service, one key per state and environment ("AN.homologacao", "SP.producao").
// A state without its own address falls back to the national one (AN).
// Services that only the authorizer of the document's state answers (the events) are
// reached through [Autorizadores] (state = authorizer) instead, never the national one;
// [SomenteASCII] names the authorizers that take no accented letter.
#include <QHash>
#include <QString>
#include <QUrl>

class Endpoints {
public:
    enum class Environment { Producao = 1, Homologacao = 2 };

    // Throws std::runtime_error naming the file and line that cannot be read.
    static Endpoints load(const QString &path);
    static Endpoints parse(const QByteArray &text, const QString &origin);
    static bool environmentFromName(const QString &name, Environment &out);
    static QString environmentName(Environment e);

    // Throws std::runtime_error when the file has no https address for it.
    QUrl url(const QString &service, const QString &uf, Environment env) const;

    // The authorizer of a state, by its IBGE code ("35"). Throws std::runtime_error.
    QString authorizer(const QString &ufCode) const;
    bool asciiOnly(const QString &authorizer) const;
    // The address of `service` at the authorizer of that state. Throws std::runtime_error.
    QUrl authorizerUrl(const QString &service, const QString &ufCode, Environment env) const;
    // The state's abbreviation ("SP") by its IBGE code; empty when there is none.
    static QString ufName(const QString &ufCode);

private:
    QUrl address(const QString &service, const QString &name, Environment env, bool national) const;
    QString m_origin;
    QHash<QString, QString> m_values; // "service/UF.environment" -> url
};
