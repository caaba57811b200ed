#include "LocalAuthority.h"
#include "authority/DistMessages.h"
#include "authority/EventMessages.h"
#include "authority/sefaz/SefazAuthority.h"
#include "SignatureCheck.h"
#include "authority/sefaz/Soap.h"
#include "authority/Xml.h"

#include <QRegularExpression>
#include <QXmlStreamWriter>

#include <QFile>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>

class LocalAuthorityWorker : public QObject {
public:
    LocalAuthorityWorker(LocalAuthority &owner, QSslConfiguration tls) : m_owner(owner), m_tls(std::move(tls)) {}

    quint16 listen()
    {
        m_server = new QSslServer(this);
        m_server->setSslConfiguration(m_tls);
        m_server->setHandshakeTimeout(5000);
        connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket *s = m_server->nextPendingConnection())
                serve(static_cast<QSslSocket *>(s));
        });
        return m_server->listen(QHostAddress::LocalHost, 0) ? m_server->serverPort() : 0;
    }

private:
    void serve(QSslSocket *s)
    {
        s->setParent(this);
        connect(s, &QSslSocket::disconnected, s, &QObject::deleteLater);
        connect(s, &QSslSocket::readyRead, s, [this, s] {
            QByteArray &buf = m_buffers[s];
            buf += s->readAll();
            const qsizetype head = buf.indexOf("\r\n\r\n");
            if (head < 0)
                return;
            QByteArray contentType;
            const QByteArray path = buf.left(buf.indexOf("\r\n")).split(' ').value(1);
            qsizetype length = 0;
            for (const QByteArray &line : buf.left(head).split('\n')) {
                const QByteArray l = line.trimmed();
                if (l.toLower().startsWith("content-length:"))
                    length = l.mid(15).trimmed().toLongLong();
                else if (l.toLower().startsWith("content-type:"))
                    contentType = l.mid(13).trimmed();
            }
            if (buf.size() < head + 4 + length)
                return;
            const QByteArray body = buf.mid(head + 4, length);
            m_buffers.remove(s);
            if (path.contains("CTeRecepcaoEventoV4"))
                answerEvent(s, contentType, path, body);
            else
                answer(s, contentType, body);
        });
    }

    static void send(QSslSocket *s, int status, const QByteArray &body)
    {
        s->write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Internal Server Error") +
                 "\r\nContent-Type: application/soap+xml; charset=utf-8\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        s->disconnectFromHost();
    }

    static QByteArray soapFault()
    {
        return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">"
               "<soap:Body><soap:Fault><soap:Code><soap:Value>soap:Receiver</soap:Value></soap:Code>"
               "<soap:Reason><soap:Text xml:lang=\"pt\">Servidor indisponível</soap:Text></soap:Reason>"
               "</soap:Fault></soap:Body></soap:Envelope>";
    }
    static QByteArray soap11Fault()
    {
        return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
               "<soap:Body><soap:Fault><faultcode>soap:Server</faultcode><faultstring>Servidor indisponível</faultstring>"
               "</soap:Fault></soap:Body></soap:Envelope>";
    }
    // A whole answer made into one that the client must refuse.
    static QByteArray spoiled(LocalAuthority::Reply reply, QByteArray envelope)
    {
        using R = LocalAuthority::Reply;
        if (reply == R::Soap11)
            return envelope.replace(soap::kEnvelopeNs, "http://schemas.xmlsoap.org/soap/envelope/");
        if (reply == R::Truncated)
            return envelope.left(envelope.size() / 2);
        if (reply == R::NoCstat) {
            const qsizetype from = envelope.indexOf("<cStat>"), to = envelope.indexOf("</cStat>");
            if (from >= 0 && to > from)
                envelope.remove(from, to + 8 - from);
        }
        return envelope;
    }

    static QByteArray wrap(const QByteArray &message)
    {
        const QString op = QString::fromLatin1(SefazAuthority::kDistOperation);
        return soap::envelope(QString::fromLatin1(SefazAuthority::kDistWsdl), op + QStringLiteral("Response"),
                              op + QStringLiteral("Result"), message);
    }

    static QByteArray status(const QString &cStat, const QString &xMotivo, const dist::Query &q, const QString &max)
    {
        dist::Answer a;
        a.cStat = cStat;
        a.xMotivo = xMotivo;
        a.ultNSU = q.ultNSU.isEmpty() ? q.nsu : q.ultNSU;
        a.maxNSU = max;
        return dist::answer(a);
    }

    void answer(QSslSocket *s, const QByteArray &contentType, const QByteArray &body)
    {
        QByteArray message;
        dist::Query q;
        try {
            message = soap::requestMessage(body, QStringLiteral("cteDadosMsg"));
            q = dist::readRequest(message);
        } catch (const std::exception &) {
        }
        m_owner.record({QString::fromLatin1(contentType), QStringLiteral("/CTeDistribuicaoDFe"), message, {}, body});
        using R = LocalAuthority::Reply;
        const R reply = m_owner.nextReply();
        switch (reply) {
        case R::Drop:
            s->abort();
            return;
        case R::Http500:
            return send(s, 500, "Internal Server Error");
        case R::SoapFault:
            return send(s, 500, soapFault());
        case R::Soap11Fault:
            return send(s, 500, soap11Fault());
        case R::Garbage:
            return send(s, 200, "%%% isto não é XML");
        case R::NotRetDist:
            return send(s, 200, wrap("<retConsStatServCte xmlns=\"http://www.portalfiscal.inf.br/cte\"><cStat>107</cStat></retConsStatServCte>"));
        case R::Cstat137:
            return send(s, 200, wrap(status(QStringLiteral("137"), QStringLiteral("Nenhum documento localizado"), q, q.ultNSU)));
        case R::Cstat656:
            return send(s, 200, wrap(status(QStringLiteral("656"), QStringLiteral("Rejeição: Consumo Indevido"), q, QStringLiteral("000000000000000"))));
        case R::Cstat215:
            return send(s, 200, wrap(status(QStringLiteral("215"), QStringLiteral("Rejeição: Falha no schema XML"), q, q.ultNSU)));
        case R::Slow: {
            const QByteArray ans = wrap(m_owner.m_sim.distDFeInt(message));
            QTimer::singleShot(m_owner.slowMs, s, [s, ans] { send(s, 200, ans); });
            return;
        }
        case R::CorruptDocs: {
            dist::Answer a = dist::readAnswer(m_owner.m_sim.distDFeInt(message));
            if (a.docs.size() >= 2) {
                a.docs[0].content = "@@ não é base64 @@";
                a.docs[1].content = QByteArray("isto não é gzip").toBase64();
            }
            return send(s, 200, wrap(dist::answer(a)));
        }
        case R::Normal:
        case R::TamperEvent:
        case R::AcceptEvent:
        case R::Event134:
        case R::Soap11:
        case R::Truncated:
        case R::NoCstat:
            break;
        }
        send(s, 200, spoiled(reply, wrap(m_owner.m_sim.distDFeInt(message))));
    }

    // The V4 event service answers with its result element right under the Body.
    static QByteArray wrapEvent(const QByteArray &message)
    {
        const QString op = QString::fromLatin1(SefazAuthority::kEventOperation);
        return soap::envelope(QString::fromLatin1(SefazAuthority::kEventWsdl), QString(), op + QStringLiteral("Result"), message);
    }

    // Written the way some authorizers write it (single quotes, line breaks): bytes that a
    // copy through an XML writer would not keep.
    static QByteArray retEvento(const evento::Fields &f, const QString &cStat, const QString &xMotivo)
    {
        QByteArray xml;
        QXmlStreamWriter w(&xml);
        w.writeStartElement(QStringLiteral("infEvento"));
        w.writeTextElement(QStringLiteral("tpAmb"), f.tpAmb);
        w.writeTextElement(QStringLiteral("verAplic"), QStringLiteral("LOCAL-4.00"));
        w.writeTextElement(QStringLiteral("cOrgao"), f.cOrgao);
        w.writeTextElement(QStringLiteral("cStat"), cStat);
        w.writeTextElement(QStringLiteral("xMotivo"), xMotivo);
        if (cStat.startsWith(QLatin1String("13"))) {
            w.writeTextElement(QStringLiteral("chCTe"), f.key);
            w.writeTextElement(QStringLiteral("tpEvento"), f.tpEvento);
            w.writeTextElement(QStringLiteral("xEvento"), f.descEvento);
            w.writeTextElement(QStringLiteral("nSeqEvento"), f.nSeqEvento);
            w.writeTextElement(QStringLiteral("dhRegEvento"), f.dhEvento);
            w.writeTextElement(QStringLiteral("nProt"), QStringLiteral("1") + f.cOrgao + QStringLiteral("000000000123"));
        }
        w.writeEndElement();
        return "<retEventoCTe xmlns='" + QByteArray(evento::kNs) + "' versao='4.00'>\n" + xml + "\n</retEventoCTe>";
    }

    // The checks an authorizer makes before looking the CT-e up: empty when they pass.
    static QByteArray refusal(const QByteArray &message, const evento::Fields &f, const QSslCertificate &client)
    {
        const QString problem = signatureProblem(message, f.id, client);
        if (!problem.isEmpty())
            return retEvento(f, QStringLiteral("297"), QStringLiteral("Rejeição: Assinatura difere do calculado (%1)").arg(problem));
        // 53 digits, except where the key holds an alphanumeric CNPJ base.
        static const QRegularExpression idPattern(QStringLiteral("^ID[0-9]{12}[0-9A-Z]{12}[0-9]{29}$"));
        const QString seq = QStringLiteral("%1").arg(f.nSeqEvento.toInt(), 3, 10, QLatin1Char('0'));
        const qsizetype obs = f.xObs.toUcs4().size();
        if (!idPattern.match(f.id).hasMatch() || f.id != QStringLiteral("ID") + f.tpEvento + f.key + seq ||
            f.root != QLatin1String("eventoCTe") || f.version != QLatin1String("4.00") ||
            f.detVersion != QLatin1String("4.00") || f.cOrgao != f.key.left(2) || f.indDesacordoOper != QLatin1String("1"))
            return retEvento(f, QStringLiteral("225"), QStringLiteral("Rejeição: Falha no Schema XML do evento (Id)"));
        if (obs < 15 || obs > 255 || f.xObs != f.xObs.trimmed())
            return retEvento(f, QStringLiteral("225"), QStringLiteral("Rejeição: Falha no Schema XML do evento (xObs)"));
        return {};
    }

    void answerEvent(QSslSocket *s, const QByteArray &contentType, const QByteArray &path, const QByteArray &body)
    {
        // The bytes as signed: a copy through a writer would not keep them.
        QByteArray message = soap::innerBytes(body, QStringLiteral("cteDadosMsg"));
        using R = LocalAuthority::Reply;
        const R reply = m_owner.nextReply();
        if (reply == R::TamperEvent) {
            const qsizetype at = message.indexOf("<xObs>") + 6;
            if (at > 6)
                message[at] = message[at] == 'x' ? 'y' : 'x';
        }
        m_owner.record({QString::fromLatin1(contentType), QString::fromLatin1(path), message, {}, body});
        switch (reply) {
        case R::Drop:
            s->abort();
            return;
        case R::Http500:
            return send(s, 500, "Internal Server Error");
        case R::Garbage:
            return send(s, 200, "%%% isto não é XML");
        case R::SoapFault:
            return send(s, 500, soapFault());
        case R::Soap11Fault:
            return send(s, 500, soap11Fault());
        default:
            break;
        }
        evento::Fields f;
        try {
            f = evento::read(message);
        } catch (const std::exception &) {
            return send(s, 200, wrapEvent(retEvento(f, QStringLiteral("243"), QStringLiteral("Rejeição: XML mal formado"))));
        }
        QByteArray ret = refusal(message, f, s->peerCertificate());
        if (ret.isEmpty() && reply == R::AcceptEvent)
            ret = retEvento(f, QStringLiteral("135"), QStringLiteral("Evento registrado e vinculado a CT-e"));
        else if (ret.isEmpty() && reply == R::Event134)
            ret = retEvento(f, QStringLiteral("134"), QStringLiteral("Evento registrado e vinculado ao CT-e com alerta"));
        else if (ret.isEmpty())
            ret = evento::withoutDeclaration(m_owner.m_sim.eventoCTe(message));
        m_owner.recordAnswer(ret);
        send(s, 200, spoiled(reply, wrapEvent(ret)));
    }

    LocalAuthority &m_owner;
    QSslConfiguration m_tls;
    QSslServer *m_server = nullptr;
    QHash<QSslSocket *, QByteArray> m_buffers;
};

namespace {
QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

LocalAuthority::LocalAuthority(const QString &serverPem, const QString &serverKey, const QString &caPem, SimulatedAuthority &sim)
    : m_sim(sim)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(readAll(serverPem)));
    tls.setPrivateKey(QSslKey(readAll(serverKey), QSsl::Rsa));
    tls.setCaCertificates(QSslCertificate::fromPath(caPem));
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer); // a client without a certificate from the CA is refused
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    m_worker = new LocalAuthorityWorker(*this, tls);
    m_worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
    QMetaObject::invokeMethod(m_worker, [this] { m_port = m_worker->listen(); }, Qt::BlockingQueuedConnection);
}

LocalAuthority::~LocalAuthority()
{
    m_thread.quit();
    m_thread.wait();
}

void LocalAuthority::script(const QList<Reply> &replies)
{
    QMutexLocker lock(&m_mutex);
    m_script = replies;
}

QList<LocalAuthority::Call> LocalAuthority::calls() const
{
    QMutexLocker lock(&m_mutex);
    return m_calls;
}

void LocalAuthority::clearCalls()
{
    QMutexLocker lock(&m_mutex);
    m_calls.clear();
}

LocalAuthority::Reply LocalAuthority::nextReply()
{
    QMutexLocker lock(&m_mutex);
    return m_script.isEmpty() ? Reply::Normal : m_script.takeFirst();
}

void LocalAuthority::record(const Call &c)
{
    QMutexLocker lock(&m_mutex);
    m_calls << c;
}

void LocalAuthority::recordAnswer(const QByteArray &answer)
{
    QMutexLocker lock(&m_mutex);
    if (!m_calls.isEmpty())
        m_calls.last().answer = answer;
}
