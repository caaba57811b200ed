#include "NetConnection.h"
#include "Exceptions.h"
#include "Frame.h"
#include "Funcoes.h"
#include "Hello.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {
// Eats the user's input while a call runs, so nothing typed or clicked during the
// call is delivered afterwards, and no window closes under it.
class InputBlocker : public QObject {
public:
    InputBlocker() { qApp->installEventFilter(this); }
    ~InputBlocker() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        switch (e->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
            // The busy animation's Cancelar is the one control that answers during a call.
            return !(BusyCallWaiting() && o->objectName() == QLatin1String("btnCancelarChamada"));
        case QEvent::KeyPress:
            if (BusyCallWaiting() && static_cast<QKeyEvent *>(e)->key() == Qt::Key_Escape)
                CancelBusyCall();
            return true;
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return true;
        case QEvent::Close:
            e->ignore();
            return true;
        default:
            return false;
        }
    }
};
QString kindOf(const QVariant &v)
{
    if (v.metaType() == QMetaType::fromType<TDataPacket>())
        return QStringLiteral("pacote de dados");
    switch (v.metaType().id()) {
    case QMetaType::QString: return QStringLiteral("texto");
    case QMetaType::QDate: return QStringLiteral("data");
    case QMetaType::Nullptr:
    case QMetaType::UnknownType: return QStringLiteral("nulo");
    case QMetaType::Double:
    case QMetaType::Float: return QStringLiteral("número real");
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong: return QStringLiteral("inteiro");
    case QMetaType::Bool: return QStringLiteral("lógico");
    case QMetaType::QByteArray: return QStringLiteral("bytes");
    case QMetaType::QVariantList: return QStringLiteral("array");
    default: return QString::fromLatin1(v.typeName());
    }
}
// A TLS server closes a plain connection without a word.
const QString kTlsHint = QStringLiteral("se ele usa TLS, ative tls=true em [server] do arquivo de configuração");

bool loopbackHost(const QString &host)
{
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback();
}

QString dayOf(const QDateTime &t) { return t.toLocalTime().toString(QStringLiteral("dd/MM/yyyy")); }

// The cause of a failed TLS handshake, in words a user can act on.
QString tlsFailure(const QList<QSslError> &errors, QSslSocket &s, const QString &host)
{
    auto has = [&](std::initializer_list<QSslError::SslError> kinds) -> const QSslError * {
        for (const QSslError &e : errors)
            for (QSslError::SslError k : kinds)
                if (e.error() == k)
                    return &e;
        return nullptr;
    };
    if (const QSslError *e = has({QSslError::CertificateExpired}))
        return QStringLiteral("o certificado do servidor expirou em %1").arg(dayOf(e->certificate().expiryDate()));
    if (const QSslError *e = has({QSslError::CertificateNotYetValid}))
        return QStringLiteral("o certificado do servidor só vale a partir de %1").arg(dayOf(e->certificate().effectiveDate()));
    if (has({QSslError::SelfSignedCertificate, QSslError::SelfSignedCertificateInChain, QSslError::UnableToGetLocalIssuerCertificate,
             QSslError::UnableToGetIssuerCertificate, QSslError::UnableToVerifyFirstCertificate, QSslError::CertificateUntrusted,
             QSslError::CertificateRejected, QSslError::InvalidCaCertificate}))
        return QStringLiteral("o certificado do servidor não foi emitido por uma autoridade confiável "
                              "(confira ca_file em [server] do arquivo de configuração)");
    if (has({QSslError::HostNameMismatch}))
        return QStringLiteral("o certificado do servidor não é para o endereço \"%1\"").arg(host);
    if (has({QSslError::CertificateRevoked}))
        return QStringLiteral("o certificado do servidor foi revogado");
    if (!errors.isEmpty())
        return QStringLiteral("o certificado do servidor foi recusado (%1)").arg(errors.first().errorString());
    const QString why = s.errorString();
    const QString low = why.toLower();
    if (low.contains(QLatin1String("wrong version number")) || low.contains(QLatin1String("packet length too long")) ||
        low.contains(QLatin1String("unknown protocol")) || low.contains(QLatin1String("record layer failure")) ||
        low.contains(QLatin1String("http request")))
        return QStringLiteral("o servidor não respondeu em TLS (ele está sem TLS, ou a porta é de outro serviço)");
    if (low.contains(QLatin1String("certificate required")))
        return QStringLiteral("o servidor exige um certificado de cliente (client_cert e client_key em [server])");
    if (low.contains(QLatin1String("certificate expired")))
        return QStringLiteral("o servidor recusou o certificado de cliente: ele expirou");
    if (low.contains(QLatin1String("unknown ca")) || low.contains(QLatin1String("bad certificate")) ||
        low.contains(QLatin1String("certificate unknown")))
        return QStringLiteral("o servidor recusou o certificado de cliente (%1)").arg(why);
    if (s.error() == QAbstractSocket::RemoteHostClosedError)
        return QStringLiteral("o servidor encerrou a conexão na negociação TLS (ele está sem TLS, ou exige um certificado de cliente)");
    return QStringLiteral("a negociação TLS falhou (%1)").arg(why);
}
// One frame read from `s` within `timeoutMs`, the windows kept painted but their input
// held. Not `done`: a time-out (`timedOut`) or a dropped connection.
struct FrameWait {
    QByteArray frame;
    QString failure; // the framing broke
    bool done = false;
    bool timedOut = false;
    bool nothingRead = true;
    bool cancelled = false; // the user gave up waiting
    qsizetype pending = 0;  // bytes read past the frame
    QByteArray rest;        // those bytes
};
// `already`: bytes read before, the start of this frame.
FrameWait waitForFrame(QTcpSocket *s, quint32 maxFrame, int timeoutMs, const QByteArray &already = {})
{
    QPointer<QTcpSocket> socket = s;
    FrameWait w;
    wire::FrameReader reader(maxFrame);
    reader.feed(already);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    auto pump = [&] {
        if (!socket || w.done)
            return;
        const QByteArray bytes = socket->readAll();
        w.nothingRead = w.nothingRead && bytes.isEmpty();
        try {
            reader.feed(bytes);
            if (reader.next(w.frame))
                w.done = true;
        } catch (const std::exception &e) {
            w.failure = QString::fromUtf8(e.what());
            w.done = true;
        }
        if (w.done)
            loop.quit();
    };
    QObject::connect(s, &QTcpSocket::readyRead, &loop, pump);
    QObject::connect(s, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(s, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    {
        InputBlocker block;
        SetBusyCallCancel([&] {
            w.cancelled = true;
            loop.quit();
        });
        struct Unregister {
            ~Unregister() { SetBusyCallCancel({}); }
        } unregister;
        pump();
        if (!w.done)
            loop.exec();
    }
    w.timedOut = !w.done && !timer.isActive();
    w.pending = reader.pending();
    w.rest = reader.takePending();
    return w;
}
} // namespace

int TNetConnection::DefaultTimeoutMs = 120000;
TNetSecurity TNetConnection::DefaultSecurity;

TNetConnection::TNetConnection(QObject *parent) : QObject(parent) {}

TNetConnection::~TNetConnection() { Close(); }

QString TNetConnection::where() const { return QStringLiteral("%1:%2").arg(Host).arg(Port); }

bool TNetConnection::Connected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool TNetConnection::connectNow(QString &error)
{
    Close();
    if (Host.isEmpty() || Port <= 0 || Port > 65535) {
        error = QStringLiteral("Servidor de aplicação não configurado (endereço %1).").arg(where());
        return false;
    }
    if (Security.Tls) {
        QString reason;
        if (!startTls(reason)) {
            error = QStringLiteral("Não foi possível conectar ao servidor de aplicação em %1: %2").arg(where(), reason);
            Close();
            return false;
        }
        m_lastError.clear();
        return sayHello(error);
    }
    m_socket = new QTcpSocket(this);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(m_socket, &QTcpSocket::connected, &loop, &QEventLoop::quit);
    connect(m_socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    m_socket->connectToHost(Host, quint16(Port));
    timer.start(ConnectTimeoutMs);
    {
        InputBlocker block;
        if (m_socket->state() != QAbstractSocket::ConnectedState &&
            m_socket->error() == QAbstractSocket::UnknownSocketError)
            loop.exec();
    }
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_lastError.clear();
        // A loopback client without a token talks as it always has; anything else introduces itself.
        if (Security.Token.isEmpty() && loopbackHost(Host))
            return true;
        return sayHello(error);
    }
    const QString reason = !m_socket ? QStringLiteral("conexão descartada")
                           : timer.isActive() ? m_socket->errorString()
                                              : QStringLiteral("tempo de conexão esgotado");
    error = QStringLiteral("Não foi possível conectar ao servidor de aplicação em %1: %2").arg(where(), reason);
    Close();
    return false;
}

bool TNetConnection::startTls(QString &reason)
{
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setProtocol(QSsl::TlsV1_2OrLater);
    c.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!Security.CaFile.isEmpty()) {
        const QList<QSslCertificate> cas = QSslCertificate::fromPath(Security.CaFile, QSsl::Pem);
        if (cas.isEmpty()) {
            reason = QStringLiteral("o arquivo de autoridades \"%1\" (ca_file em [server]) não pôde ser lido ou não tem certificados")
                         .arg(Security.CaFile);
            return false;
        }
        c.setCaCertificates(cas); // the company's CA only
    }
    if (!Security.ClientCert.isEmpty() || !Security.ClientKey.isEmpty()) {
        const QList<QSslCertificate> mine = QSslCertificate::fromPath(Security.ClientCert, QSsl::Pem);
        QFile kf(Security.ClientKey);
        const QByteArray keyPem = kf.open(QIODevice::ReadOnly) ? kf.readAll() : QByteArray();
        QSslKey key(keyPem, QSsl::Rsa, QSsl::Pem);
        if (key.isNull())
            key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
        if (mine.isEmpty() || key.isNull()) {
            reason = QStringLiteral("o certificado de cliente \"%1\" ou sua chave \"%2\" (client_cert e client_key em [server]) "
                                    "não puderam ser lidos").arg(Security.ClientCert, Security.ClientKey);
            return false;
        }
        c.setLocalCertificateChain(mine);
        c.setPrivateKey(key);
    }
    auto *s = new QSslSocket(this);
    m_socket = s;
    s->setSslConfiguration(c);
    QList<QSslError> sslErrors;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(s, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
    connect(s, &QSslSocket::sslErrors, &loop, [&sslErrors](const QList<QSslError> &e) { sslErrors = e; });
    connect(s, &QSslSocket::errorOccurred, &loop, &QEventLoop::quit);
    connect(s, &QSslSocket::disconnected, &loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    s->connectToHostEncrypted(Host, quint16(Port));
    timer.start(ConnectTimeoutMs);
    {
        InputBlocker block;
        if (!s->isEncrypted() && s->error() == QAbstractSocket::UnknownSocketError)
            loop.exec();
    }
    if (m_socket && s->isEncrypted()) {
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        return true;
    }
    if (!m_socket)
        reason = QStringLiteral("conexão descartada");
    else if (!timer.isActive())
        reason = s->state() == QAbstractSocket::ConnectedState
                     ? QStringLiteral("o servidor não concluiu a negociação TLS em %1 s (ele está sem TLS?)").arg(ConnectTimeoutMs / 1000.0)
                     : QStringLiteral("tempo de conexão esgotado");
    else if (s->error() == QAbstractSocket::SslHandshakeFailedError || s->error() == QAbstractSocket::RemoteHostClosedError ||
             !sslErrors.isEmpty())
        reason = tlsFailure(sslErrors, *s, Host);
    else
        reason = s->errorString();
    return false;
}

bool TNetConnection::sayHello(QString &error)
{
    QPointer<QTcpSocket> socket = m_socket;
    socket->write(wire::frame(wire::encodeHello(wire::Hello{Security.Token})));
    const FrameWait w = waitForFrame(socket, MaxFrame, ConnectTimeoutMs);
    QString failure = w.done && !w.failure.isEmpty() ? QStringLiteral("resposta inválida (%1)").arg(w.failure) : QString();
    wire::Reply reply;
    if (w.done && failure.isEmpty()) {
        try {
            reply = wire::decodeReply(w.frame);
        } catch (const std::exception &e) {
            failure = QStringLiteral("resposta inválida (%1)").arg(QString::fromUtf8(e.what()));
        }
    } else if (!w.done) {
        // With TLS 1.3 the server judges the client's certificate after the handshake: its alert comes here.
        auto *tls = qobject_cast<QSslSocket *>(socket.data());
        if (tls && (tls->error() == QAbstractSocket::SslHandshakeFailedError || tls->error() == QAbstractSocket::SslInternalError))
            failure = tlsFailure({}, *tls, Host);
        else
            failure = w.timedOut ? QStringLiteral("sem resposta à apresentação em %1 s").arg(ConnectTimeoutMs / 1000.0)
                                        : QStringLiteral("o servidor encerrou a conexão sem responder à apresentação") +
                                              (Security.Tls ? QString() : QStringLiteral("; ") + kTlsHint);
    }
    if (failure.isEmpty() && !reply.ok) {
        error = QStringLiteral("O servidor de aplicação em %1 recusou o acesso: %2").arg(where(), reply.error);
        Close();
        return false;
    }
    if (!failure.isEmpty()) {
        error = QStringLiteral("Não foi possível conectar ao servidor de aplicação em %1: %2").arg(where(), failure);
        Close();
        return false;
    }
    m_stale = w.pending > 0;
    return true;
}

void TNetConnection::Open()
{
    if (Connected())
        return;
    QString error;
    if (!connectNow(error)) {
        m_lastError = error;
        if (ThrowException)
            throw Exception(error);
    }
}

void TNetConnection::Close()
{
    m_stale = false;
    m_partsDue = false;
    m_carry.clear();
    if (m_socket) {
        QTcpSocket *s = m_socket;
        m_socket = nullptr;
        s->disconnect(this);
        s->abort();
        s->deleteLater();
    }
}

// Anything received before a request is sent is no answer to it: a late or extra frame
// would shift every later reply by one, so the connection starts afresh. True when the
// call goes out on a connection opened for it.
bool TNetConnection::freshConnection()
{
    if (Connected()) {
        if (m_socket->bytesAvailable() == 0)
            m_socket->waitForReadyRead(0);
        if (m_stale || m_partsDue || !Connected() || m_socket->bytesAvailable() > 0)
            Close();
    }
    if (Connected())
        return false;
    QString error;
    if (!connectNow(error)) {
        m_lastError = error;
        throw Exception(error);
    }
    return true;
}

QByteArray TNetConnection::requestFrame(const QString &method, const std::vector<TArg> &args, bool parts,
                                       bool repeats) const
{
    wire::Request req;
    req.server = ServerName;
    req.method = method;
    req.parts = parts;
    req.repeats = repeats;
    for (const TArg &a : args)
        req.args.append(a.Value);
    try {
        return wire::frame(wire::encodeRequest(req));
    } catch (const std::exception &e) {
        throw Exception(QStringLiteral("Argumento inválido na chamada %1: %2").arg(method, QString::fromUtf8(e.what())));
    }
}

void TNetConnection::broken(const QString &method, const QString &why)
{
    Close();
    throw Exception(QStringLiteral("Falha na chamada %1 ao servidor de aplicação em %2: %3").arg(method, where(), why));
}

wire::Reply TNetConnection::awaitReply(const QString &method, const QPointer<QTcpSocket> &socket, bool fresh)
{
    const FrameWait w = waitForFrame(socket, MaxFrame, TimeoutMs);
    auto broken = [&](const QString &why) { this->broken(method, why); };
    if (w.cancelled && !w.done) {
        // Whatever the server still answers on this connection belongs to the abandoned call.
        Close();
        throw Exception(QStringLiteral("Operação cancelada. O servidor de aplicação pode ainda concluir a chamada %1: "
                                       "confira o resultado antes de repeti-la.")
                            .arg(method));
    }
    if (!w.done) {
        if (w.timedOut)
            broken(QStringLiteral("sem resposta em %1 s").arg(TimeoutMs / 1000.0));
        if (w.nothingRead && !Security.Tls && fresh)
            broken(QStringLiteral("o servidor encerrou a conexão sem responder; ") + kTlsHint);
        broken(socket ? socket->errorString() : QStringLiteral("conexão encerrada"));
    }
    wire::Reply reply = decodeOrBreak(method, w.frame, w.failure, [](const QByteArray &f) { return wire::decodeReply(f); });
    if (reply.more)
        m_carry = w.rest;
    else
        m_stale = w.pending > 0;
    return reply;
}

wire::Part TNetConnection::awaitPart(const QPointer<QTcpSocket> &socket)
{
    const FrameWait w = waitForFrame(socket, MaxFrame, TimeoutMs, std::exchange(m_carry, {}));
    auto broken = [&](const QString &why) { this->broken(m_partsMethod, why); };
    if (!w.done && w.timedOut)
        broken(QStringLiteral("sem resposta em %1 s").arg(TimeoutMs / 1000.0));
    if (!w.done)
        broken(QStringLiteral("conexão encerrada antes do fim da lista") +
               (socket ? QStringLiteral(" (%1)").arg(socket->errorString()) : QString()));
    const wire::Part part = decodeOrBreak(m_partsMethod, w.frame, w.failure, [](const QByteArray &f) { return wire::decodePart(f); });
    if (part.number != m_nextPart)
        broken(QStringLiteral("resposta inválida (parte %1 fora de ordem; esperada a parte %2)").arg(part.number).arg(m_nextPart));
    // Bytes past the last part answer nothing that was asked: the next call starts afresh.
    if (part.more && part.error.isEmpty())
        m_carry = w.rest;
    else
        m_stale = w.pending > 0;
    return part;
}

// A long list's frames are freed by now, but glibc keeps freed blocks below its mmap
// threshold (which grows with the large blocks it has seen) in the heap, resident.
static void giveBackFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void TNetConnection::ReceiveParts(const std::function<void(const TDataPacket &)> &onPart)
{
    if (m_inCall)
        throw Exception(QStringLiteral("Já existe uma chamada ao servidor de aplicação em andamento."));
    m_inCall = true;
    struct Reset {
        bool &flag;
        ~Reset() { flag = false; }
    } reset{m_inCall};
    while (m_partsDue) {
        const wire::Part part = awaitPart(m_socket);
        m_partsDue = part.more && part.error.isEmpty();
        ++m_nextPart;
        if (!part.error.isEmpty())
            throw Exception(part.error);
        onPart(part.rows);
    }
    giveBackFreedMemory();
}

// An older server refuses a request key it does not know before running the call.
static bool refusedKey(const wire::Reply &reply, QLatin1String key)
{
    return !reply.ok && reply.error.contains(QLatin1String("chave desconhecida no pedido: ") + key);
}

wire::Reply TNetConnection::call(const QString &method, const std::vector<TArg> &args, bool parts, bool repeats)
{
    const bool fresh = freshConnection();
    const QByteArray frame = requestFrame(method, args, parts, repeats);
    QPointer<QTcpSocket> socket = m_socket;
    socket->write(frame);
    wire::Reply reply = awaitReply(method, socket, fresh);
    if (reply.more && !parts) {
        Close();
        throw Exception(QStringLiteral("Falha na chamada %1 ao servidor de aplicação em %2: resposta inválida (partes não pedidas)")
                            .arg(method, where()));
    }
    return reply;
}

// The caller's values change only when every one of them fits.
void TNetConnection::writeBack(const QString &method, const std::vector<TArg> &args, const wire::Reply &reply)
{
    for (size_t i = 0; i < args.size(); ++i) {
        if (!args[i].WriteBack)
            continue;
        if (qsizetype(i) >= reply.args.size())
            throw Exception(QStringLiteral("Resposta inválida do servidor de aplicação à chamada %1: faltam argumentos "
                                           "(%2 de %3); nenhum valor foi alterado.")
                                .arg(method)
                                .arg(reply.args.size())
                                .arg(args.size()));
        if (!args[i].Fits(reply.args[qsizetype(i)]))
            throw Exception(QStringLiteral("Resposta inválida do servidor de aplicação à chamada %1: o argumento %2 "
                                           "voltou como %3, mas foi enviado como %4; nenhum valor foi alterado.")
                                .arg(method)
                                .arg(i + 1)
                                .arg(kindOf(reply.args[qsizetype(i)]), kindOf(args[i].Value)));
    }
    for (size_t i = 0; i < args.size(); ++i)
        if (args[i].WriteBack)
            args[i].WriteBack(reply.args[qsizetype(i)]);
}

QVariant TNetConnection::AppServer(const QString &method, const std::vector<TArg> &args)
{
    if (m_inCall)
        throw Exception(QStringLiteral("Já existe uma chamada ao servidor de aplicação em andamento."));
    m_inCall = true;
    struct Reset {
        bool &flag;
        ~Reset() { flag = false; }
    } reset{m_inCall};
    ++m_calls;
    wire::Reply reply = call(method, args, AcceptParts, AcceptParts);
    if (AcceptParts && refusedKey(reply, QLatin1String("repeats")))
        reply = call(method, args, true, false);
    if (AcceptParts && refusedKey(reply, QLatin1String("parts")))
        reply = call(method, args, false, false);
    if (!reply.ok)
        throw Exception(reply.error);
    // Set first: a refused write-back leaves the parts due, and the next call starts afresh.
    m_partsDue = reply.more;
    m_nextPart = 1;
    m_partsMethod = method;
    writeBack(method, args, reply);
    return reply.result;
}
