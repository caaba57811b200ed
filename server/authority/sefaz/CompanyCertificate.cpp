#include "CompanyCertificate.h"

#include <QFile>
#include <stdexcept>

namespace {
bool allDigits(const QString &s)
{
    for (QChar c : s)
        if (!c.isDigit())
            return false;
    return !s.isEmpty();
}
} // namespace

CompanyCertificate CompanyCertificate::load(const QString &path, const QByteArray &password)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error(QStringLiteral("certificado %1: %2").arg(path, f.errorString()).toStdString());
    CompanyCertificate c;
    c.m_path = path;
    if (!QSslCertificate::importPkcs12(&f, &c.m_key, &c.m_cert, &c.m_chain, password) || c.m_cert.isNull() ||
        c.m_key.isNull())
        throw std::runtime_error(
            QStringLiteral("certificado %1: não é um PKCS#12 legível com a senha informada").arg(path).toStdString());
    for (const QString &cn : c.m_cert.subjectInfo(QSslCertificate::CommonName)) {
        const QString tail = cn.section(QLatin1Char(':'), -1).trimmed();
        if ((tail.size() == 14 || tail.size() == 11) && allDigits(tail))
            c.m_doc = tail;
    }
    if (c.m_doc.isEmpty())
        throw std::runtime_error(
            QStringLiteral("certificado %1: o titular não traz CNPJ nem CPF no nome (%2)")
                .arg(path, c.m_cert.subjectDisplayName()).toStdString());
    return c;
}

QByteArray CompanyCertificate::password(const QString &file, const char *environmentVariable)
{
    if (!file.isEmpty()) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            throw std::runtime_error(QStringLiteral("arquivo de senha %1: %2").arg(file, f.errorString()).toStdString());
        QByteArray first = f.readLine();
        while (first.endsWith('\n') || first.endsWith('\r'))
            first.chop(1);
        return first;
    }
    return qgetenv(environmentVariable);
}

bool CompanyCertificate::covers(const QString &registration) const
{
    if (m_doc.size() == 14)
        return registration.size() == 14 && registration.left(8) == m_doc.left(8);
    return registration == m_doc;
}
