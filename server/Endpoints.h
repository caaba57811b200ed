#pragma once
// The authority's web service addresses, read from a small INI file: one section per
// service, one key per state and environment ("AN.homologacao", "SP.producao").
// A state without its own address falls back to the national one (AN).
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

private:
    QString m_origin;
    QHash<QString, QString> m_values; // "service/UF.environment" -> url
};
