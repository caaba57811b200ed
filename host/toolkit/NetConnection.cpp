#include "NetConnection.h"
#include "Exceptions.h"
#include "Frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

namespace {
// Eats the user's input while a call runs, so nothing typed or clicked during the
// call is delivered afterwards, and no window closes under it.
class InputBlocker : public QObject {
public:
    InputBlocker() { qApp->installEventFilter(this); }
    ~InputBlocker() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        switch (e->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
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
} // namespace

int TNetConnection::DefaultTimeoutMs = 120000;

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
        return true;
    }
    const QString reason = !m_socket ? QStringLiteral("conexão descartada")
                           : timer.isActive() ? m_socket->errorString()
                                              : QStringLiteral("tempo de conexão esgotado");
    error = QStringLiteral("Não foi possível conectar ao servidor de aplicação %1 em %2: %3")
                .arg(ServerName, where(), reason);
    Close();
    return false;
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
    if (m_socket) {
        QTcpSocket *s = m_socket;
        m_socket = nullptr;
        s->disconnect(this);
        s->abort();
        s->deleteLater();
    }
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

    // Anything received before a request is sent is no answer to it: a late or extra
    // frame would shift every later reply by one, so the connection starts afresh.
    if (Connected()) {
        if (m_socket->bytesAvailable() == 0)
            m_socket->waitForReadyRead(0);
        if (m_stale || !Connected() || m_socket->bytesAvailable() > 0)
            Close();
    }
    if (!Connected()) {
        QString error;
        if (!connectNow(error)) {
            m_lastError = error;
            throw Exception(error);
        }
    }

    wire::Request req;
    req.server = ServerName;
    req.method = method;
    for (const TArg &a : args)
        req.args.append(a.Value);
    QByteArray payload;
    try {
        payload = wire::encodeRequest(req);
    } catch (const std::exception &e) {
        throw Exception(QStringLiteral("Argumento inválido na chamada %1: %2").arg(method, QString::fromUtf8(e.what())));
    }
    QPointer<QTcpSocket> socket = m_socket;
    socket->write(wire::frame(payload));

    wire::FrameReader reader(MaxFrame);
    QByteArray replyBytes;
    QString failure;
    bool done = false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    auto pump = [&] {
        if (!socket || done)
            return;
        reader.feed(socket->readAll());
        try {
            if (reader.next(replyBytes))
                done = true;
        } catch (const std::exception &e) {
            failure = QString::fromUtf8(e.what());
            done = true;
        }
        if (done)
            loop.quit();
    };
    connect(socket, &QTcpSocket::readyRead, &loop, pump);
    connect(socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    connect(socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(TimeoutMs);
    {
        InputBlocker block;
        pump();
        if (!done)
            loop.exec();
    }

    auto broken = [&](const QString &why) {
        Close();
        throw Exception(QStringLiteral("Falha na chamada %1 ao servidor de aplicação em %2: %3").arg(method, where(), why));
    };
    if (!done) {
        if (!timer.isActive())
            broken(QStringLiteral("sem resposta em %1 s").arg(TimeoutMs / 1000.0));
        broken(socket ? socket->errorString() : QStringLiteral("conexão encerrada"));
    }
    if (!failure.isEmpty())
        broken(QStringLiteral("resposta inválida (%1)").arg(failure));

    wire::Reply reply;
    try {
        reply = wire::decodeReply(replyBytes);
    } catch (const std::exception &e) {
        broken(QStringLiteral("resposta inválida (%1)").arg(QString::fromUtf8(e.what())));
    }
    m_stale = reader.pending() > 0;
    if (!reply.ok)
        throw Exception(reply.error);
    // The caller's values change only when every one of them fits.
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
    return reply.result;
}
