#include "TestPki.h"

#include <QFile>
#include <QProcess>

TestPki::TestPki()
{
    QFile pw(passwordFile());
    if (!m_dir.isValid() || !pw.open(QIODevice::WriteOnly) || pw.write(QByteArray(kPassword) + '\n') < 0) {
        m_error = QStringLiteral("pasta temporária");
        return;
    }
    pw.close();
    const QString client = QStringLiteral("keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=clientAuth,emailProtection\n");
    ca(QStringLiteral("ca")) && ca(QStringLiteral("rogue-ca")) &&
        leaf(QStringLiteral("server"), QStringLiteral("ca"), QStringLiteral("/CN=127.0.0.1"),
             QStringLiteral("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")) &&
        leaf(QStringLiteral("company"), QStringLiteral("ca"),
             QStringLiteral("/C=BR/O=ICP-Brasil/OU=Teste/CN=EMPRESA TESTE LTDA:%1").arg(QLatin1String(kCompany)), client) &&
        pkcs12(QStringLiteral("company"), QStringLiteral("ca")) &&
        leaf(QStringLiteral("rogue-company"), QStringLiteral("rogue-ca"),
             QStringLiteral("/C=BR/O=Outra AC/CN=EMPRESA TESTE LTDA:%1").arg(QLatin1String(kCompany)), client) &&
        pkcs12(QStringLiteral("rogue-company"), QStringLiteral("rogue-ca")) &&
        leaf(QStringLiteral("signer"), QStringLiteral("ca"), QStringLiteral("/C=BR/O=SEFAZ de teste/CN=SEFAZ SIMULADA"),
             QStringLiteral("keyUsage=critical,digitalSignature,nonRepudiation\n")) &&
        pkcs12(QStringLiteral("signer"), QStringLiteral("ca"));
}

bool TestPki::run(const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("openssl %1: %2").arg(args.join(QLatin1Char(' ')), QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}

bool TestPki::ca(const QString &name, int days)
{
    return run({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                QStringLiteral("-nodes"), QStringLiteral("-keyout"), name + QStringLiteral(".key"), QStringLiteral("-out"),
                name + QStringLiteral(".pem"), QStringLiteral("-days"), QString::number(days), QStringLiteral("-subj"),
                QStringLiteral("/C=BR/O=Teste/CN=AC %1").arg(name), QStringLiteral("-addext"),
                QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")});
}

bool TestPki::leaf(const QString &name, const QString &ca, const QString &subject, const QString &extensions, int days)
{
    QFile ext(path(name + QStringLiteral(".ext")));
    if (!ext.open(QIODevice::WriteOnly) || ext.write(extensions.toUtf8()) < 0)
        return false;
    ext.close();
    return run({QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"), QStringLiteral("-nodes"),
                QStringLiteral("-keyout"), name + QStringLiteral(".key"), QStringLiteral("-out"), name + QStringLiteral(".csr"),
                QStringLiteral("-subj"), subject}) &&
           run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), name + QStringLiteral(".csr"),
                QStringLiteral("-CA"), ca + QStringLiteral(".pem"), QStringLiteral("-CAkey"), ca + QStringLiteral(".key"),
                QStringLiteral("-set_serial"), QString::number(++m_serial), QStringLiteral("-days"), QString::number(days),
                QStringLiteral("-extfile"), name + QStringLiteral(".ext"), QStringLiteral("-out"), name + QStringLiteral(".pem")});
}

bool TestPki::pkcs12(const QString &name, const QString &ca)
{
    return run({QStringLiteral("pkcs12"), QStringLiteral("-export"), QStringLiteral("-inkey"), name + QStringLiteral(".key"),
                QStringLiteral("-in"), name + QStringLiteral(".pem"), QStringLiteral("-certfile"), ca + QStringLiteral(".pem"),
                QStringLiteral("-out"), name + QStringLiteral(".p12"), QStringLiteral("-passout"),
                QStringLiteral("file:password.txt")});
}

bool TestPki::makeServer(const QString &name, int days)
{
    return leaf(name, QStringLiteral("ca"), QStringLiteral("/CN=127.0.0.1"),
                QStringLiteral("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n"), days);
}

bool TestPki::makeExpiredServer()
{
    // `openssl x509` cannot set past dates; `openssl ca` can, with a throw-away database.
    QFile cnf(path(QStringLiteral("expired-ca.cnf")));
    QFile index(path(QStringLiteral("index.txt")));
    QFile serial(path(QStringLiteral("serial.txt")));
    QFile ext(path(QStringLiteral("expired-server.ext")));
    if (!cnf.open(QIODevice::WriteOnly) || !index.open(QIODevice::WriteOnly) || !serial.open(QIODevice::WriteOnly) ||
        !ext.open(QIODevice::WriteOnly))
        return false;
    cnf.write("[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\nnew_certs_dir = .\nserial = serial.txt\n"
              "default_md = sha256\npolicy = any\ncertificate = ca.pem\nprivate_key = ca.key\n[any]\ncommonName = supplied\n");
    serial.write("2000\n");
    ext.write("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n");
    cnf.close();
    index.close();
    serial.close();
    ext.close();
    return run({QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"), QStringLiteral("-nodes"),
                QStringLiteral("-keyout"), QStringLiteral("expired-server.key"), QStringLiteral("-out"),
                QStringLiteral("expired-server.csr"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")}) &&
           run({QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-config"), QStringLiteral("expired-ca.cnf"),
                QStringLiteral("-in"), QStringLiteral("expired-server.csr"), QStringLiteral("-out"),
                QStringLiteral("expired-server.pem"), QStringLiteral("-startdate"), QStringLiteral("20200101000000Z"),
                QStringLiteral("-enddate"), QStringLiteral("20200201000000Z"), QStringLiteral("-extfile"),
                QStringLiteral("expired-server.ext"), QStringLiteral("-notext")});
}

int xmlsecVerify(const QString &caPem, const QString &idElement, const QString &file, QString &output)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("xmlsec1"), {QStringLiteral("--verify"), QStringLiteral("--trusted-pem"), caPem,
                                        QStringLiteral("--id-attr:Id"), idElement, file});
    if (!p.waitForFinished(30000))
        return -1;
    output = QString::fromLocal8Bit(p.readAll());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
