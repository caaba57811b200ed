#include "CertificateValidity.h"

namespace certificate {

namespace {
QString localTime(const QDateTime &t) { return t.toOffsetFromUtc(-3 * 3600).toString(QStringLiteral("dd/MM/yyyy HH:mm")); }
} // namespace

QString expired(const QDateTime &expiry, const QDateTime &now)
{
    if (!expiry.isValid() || now <= expiry)
        return {};
    return QStringLiteral("O certificado digital da empresa venceu em %1: nenhuma chamada à SEFAZ foi feita.").arg(localTime(expiry));
}

QString ending(const QDateTime &expiry, const QDateTime &now)
{
    if (!expiry.isValid() || now > expiry || now.addDays(30) < expiry)
        return {};
    const QString text = QStringLiteral("Atenção: o certificado digital da empresa vence em %1.").arg(localTime(expiry));
    qWarning("%s", qPrintable(text));
    return text;
}

} // namespace certificate
