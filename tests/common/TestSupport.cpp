#include "TestSupport.h"
#include "HostCore.h"
#include "Verdano.h"

#include <QElapsedTimer>
#include <QPrinter>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

static QList<QPointer<QTimer>> &pendingModal()
{
    static QList<QPointer<QTimer>> list;
    return list;
}

void cancelPendingModal()
{
    for (auto &t : pendingModal())
        if (t)
            t->deleteLater();
    pendingModal().clear();
}

void ScriptedDialogs::PrintPreview(QWidget *, const QString &title, QPageLayout::Orientation orientation,
                                   const std::function<void(QPrinter &)> &paint)
{
    previews << title;
    QTemporaryDir dir;
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(dir.filePath(QStringLiteral("preview.pdf")));
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setPageOrientation(orientation);
    paint(printer);
    QFile pdf(printer.outputFileName());
    previewPdfs.push_back(pdf.open(QIODevice::ReadOnly) ? pdf.readAll() : QByteArray());
}

void whenModal(std::function<void(QWidget *)> action)
{
    auto *timer = new QTimer;
    pendingModal() << timer;
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, action, elapsed] {
        QWidget *w = QApplication::activeModalWidget();
        if (w && w->isVisible() && !w->isActiveWindow()) {
            // The offscreen platform does not always hand activation back by itself.
            QApplication::setActiveWindow(w);
            return;
        }
        if (w && w->isVisible() && w->isActiveWindow()) {
            timer->stop();
            timer->deleteLater();
            action(w);
        } else if (elapsed->elapsed() > 5000) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

bool waitFor(const std::function<bool()> &cond, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void focusTo(QWidget *w)
{
    QWidget *win = w->window();
    if (!win->isActiveWindow()) {
        win->activateWindow();
        QApplication::setActiveWindow(win);
    }
    w->setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
}

FakeServer::FakeServer()
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_server.nextPendingConnection()) {
            ++connections;
            auto peer = std::make_unique<Peer>();
            peer->socket = s;
            Peer *p = peer.get();
            m_peers.push_back(std::move(peer));
            connect(s, &QTcpSocket::readyRead, this, [this, p] {
                p->reader.feed(p->socket->readAll());
                QByteArray payload;
                while (p->reader.next(payload)) {
                    const wire::Request req = wire::decodeRequest(payload);
                    if (req.method == QLatin1String("GetEstadoSincronizacao")) {
                        stateCalls << req;
                        p->socket->write(wire::frame(wire::encodeReply(stateReply(req))));
                        continue;
                    }
                    requests << req;
                    if (pieces) {
                        sendPieces(p->socket, pieces(req));
                        continue;
                    }
                    if (raw) {
                        for (const QByteArray &out : raw(req))
                            p->socket->write(wire::frame(out));
                        continue;
                    }
                    wire::Reply rep = handler ? handler(req) : okReply(QVariantList{QStringLiteral("S"), QString()}, req.args);
                    p->socket->write(wire::frame(wire::encodeReply(rep)));
                }
            });
        }
    });
}

wire::Reply FakeServer::stateReply(const wire::Request &req) const
{
    if (state)
        return state(req);
    wire::Reply r;
    r.ok = false;
    r.error = QStringLiteral("método desconhecido: GetEstadoSincronizacao");
    return r;
}

void FakeServer::sendPieces(QPointer<QTcpSocket> socket, QList<QByteArray> rest)
{
    if (!socket)
        return;
    if (rest.isEmpty()) {
        if (dropAfterPieces)
            socket->disconnectFromHost(); // after what is written has gone
        return;
    }
    socket->write(rest.takeFirst());
    socket->flush();
    QTimer::singleShot(pieceDelayMs, this, [this, socket, rest] { sendPieces(socket, rest); });
}

QList<wire::Request> FakeServer::callsOf(const QString &method) const
{
    QList<wire::Request> out;
    for (const auto &r : requests)
        if (r.method == method)
            out << r;
    return out;
}

void FakeServer::push(const QByteArray &payload)
{
    for (auto &p : m_peers)
        if (p->socket)
            p->socket->write(wire::frame(payload));
}

void FakeServer::drop()
{
    for (auto &p : m_peers)
        if (p->socket)
            p->socket->abort();
}

quint16 startServerProcess(QProcess &server, const QString &program, const QStringList &args, int ms, QString &output)
{
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(program, args);
    if (!server.waitForStarted())
        return 0;
    waitFor([&] {
        output += QString::fromLocal8Bit(server.readAllStandardOutput());
        return output.contains(QLatin1Char('\n')) || server.state() == QProcess::NotRunning;
    }, ms);
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:(\\d+)")).match(output);
    if (!m.hasMatch())
        output += QString::fromLocal8Bit(server.readAllStandardError());
    return m.hasMatch() ? quint16(m.captured(1).toUInt()) : 0;
}

wire::Reply okReply(const QVariant &result, const QVariantList &args)
{
    wire::Reply r;
    r.result = result;
    r.args = args;
    return r;
}

TempHostDb::TempHostDb()
{
    static int n = 0;
    m_name = QStringLiteral("testdb%1").arg(++n);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(dir.filePath(QStringLiteral("host.sqlite")));
    db.open();
    CreateDemoData(m_name);
    dtmDBGeral::SetConnectionName(m_name);
}

TempHostDb::~TempHostDb()
{
    dtmDBGeral::SetConnectionName(QString());
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

void TempHostDb::exec(const QString &sql)
{
    QSqlQuery q(QSqlDatabase::database(m_name));
    if (!q.exec(sql))
        qFatal("%s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
}
