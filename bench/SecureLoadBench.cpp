// serve-load-tls: the load mode twice against a dfe-server process on loopback, once in
// plain text and once over TLS with a token (certificates made with openssl in a
// temporary folder), the same calls by the same client code, to show what TLS costs.
#include "Callers.h"
#include "Frame.h"
#include "Hello.h"
#include "LoadBench.h"
#include "Packet.h"
#include "store/Store.h"
#include "TestPki.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {
const QString kReg = QString::fromLatin1(TestPki::kCompany);

struct Setup {
    bool tls = false;
    QString caPem, token;
};

QByteArray request(const QString &method, const QVariantList &args)
{
    return wire::frame(wire::encodeRequest({QString::fromLatin1(wire::kServerName), method, args}));
}

bool roundTrip(QTcpSocket &s, const QByteArray &frame, wire::Reply *out = nullptr)
{
    s.write(frame);
    wire::FrameReader r(wire::kDefaultMaxFrame);
    QByteArray payload;
    try {
        while (!r.next(payload)) {
            if (!s.waitForReadyRead(30000))
                return false;
            r.feed(s.readAll());
        }
        const wire::Reply reply = wire::decodeReply(payload);
        if (out)
            *out = reply;
        return reply.ok && (reply.result.typeId() == QMetaType::QString ||
                            reply.result.toList().value(0).toString() == QLatin1String("S"));
    } catch (const std::exception &) {
        return false;
    }
}

// A connected, and with TLS authenticated, socket; false on any failure.
bool open(QSslSocket &s, quint16 port, const Setup &setup)
{
    s.abort();
    if (!setup.tls) {
        s.connectToHost(QHostAddress::LocalHost, port);
        return s.waitForConnected(5000);
    }
    QSslConfiguration c = s.sslConfiguration();
    c.setProtocol(QSsl::TlsV1_2OrLater);
    c.setCaCertificates(QSslCertificate::fromPath(setup.caPem));
    s.setSslConfiguration(c);
    s.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return s.waitForEncrypted(10000) && roundTrip(s, wire::frame(wire::encodeHello({setup.token})));
}

quint16 startServer(QProcess &p, const QStringList &args)
{
    p.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/dfe-server"));
    p.setArguments(QStringList{"--port", "0", "--quiet"} + args);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start();
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 120000 && (p.waitForReadyRead(1000) || p.state() == QProcess::Running)) {
        out += p.readAllStandardOutput();
        const int at = out.indexOf("escutando em "), eol = out.indexOf('\n', at);
        if (at >= 0 && eol > at) {
            const QByteArray addr = out.mid(at + 13, eol - at - 13).split(' ').value(0);
            return quint16(addr.mid(addr.lastIndexOf(':') + 1).toUInt());
        }
    }
    return 0;
}

void stopServer(QProcess &p)
{
    p.terminate();
    if (!p.waitForFinished(5000))
        p.kill();
    p.waitForFinished(2000);
}

// The list sent back to DownloadXML with its first `ticked` rows ticked.
TDataPacket ticked(const TDataPacket &list, int n)
{
    const wire::DecodedPacket d = wire::decodePacket(list);
    wire::PacketWriter w(d.fields);
    const int check = d.indexOf(QStringLiteral("IDCHECK"));
    int i = 0;
    for (const QVariantList &row : d.rows) {
        w.beginRow();
        for (int c = 0; c < int(row.size()); ++c) {
            if (c == check)
                w.text(QString::fromLatin1(i < n ? "S" : "N"));
            else if (d.fields[size_t(c)].type == wire::PacketType::Float)
                w.real(row[c].toDouble());
            else
                w.text(row[c].toString());
        }
        ++i;
    }
    return w.finish();
}

int run(const char *label, quint16 port, const Setup &setup, int clients, int calls)
{
    const QVariant none = QVariant::fromValue(nullptr);
    const QByteArray get = request(QStringLiteral("GetSincronizacaoCTe"), {none, none, kReg, QStringLiteral("T"), none, none});
    QSslSocket probe;
    wire::Reply first;
    if (!open(probe, port, setup) || !roundTrip(probe, get, &first)) {
        std::fprintf(stderr, "%s: GetSincronizacaoCTe falhou: %s\n", label, qPrintable(first.error));
        return 1;
    }
    const TDataPacket list = first.result.toList().value(1).value<TDataPacket>();
    const size_t rows = wire::decodePacket(list).rows.size();
    const QByteArray download = request(QStringLiteral("DownloadXML"),
                                        {QVariant::fromValue(ticked(list, 5)), QStringLiteral("01"), QStringLiteral("T"), kReg});
    probe.disconnectFromHost();
    std::vector<std::vector<qint64>> latencies(static_cast<size_t>(clients));
    std::atomic<int> errors{0};
    std::vector<std::thread> threads;
    QElapsedTimer wall;
    wall.start();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            QSslSocket s;
            auto &lat = latencies[size_t(c)];
            for (int i = 0; i < calls; ++i) {
                if (s.state() != QAbstractSocket::ConnectedState && !open(s, port, setup)) {
                    ++errors;
                    continue;
                }
                QElapsedTimer t;
                t.start();
                const bool ok = roundTrip(s, (i + c) % 2 ? download : get);
                lat.push_back(t.nsecsElapsed() / 1000);
                if (!ok) {
                    ++errors;
                    s.abort();
                }
            }
        });
    }
    for (auto &t : threads)
        t.join();
    const LoadFigures fig = loadFigures(latencies, double(wall.nsecsElapsed()) / 1e9);
    std::printf("load %-5s: %d clients x %d calls (GetSincronizacaoCTe of %zu rows / DownloadXML of 5): %.0f calls/s,"
                " p50 %.1f ms, p99 %.1f ms, errors %d\n",
                label, clients, calls, rows, fig.callsPerSecond, fig.p50Ms, fig.p99Ms, errors.load());
    std::fflush(stdout);
    return errors.load() ? 1 : 0;
}
} // namespace

int runSecureLoadBench(const QStringList &args)
{
    const int clients = args.value(1, QStringLiteral("50")).toInt(), calls = args.value(2, QStringLiteral("200")).toInt();
    TestPki pki;
    if (!pki.ok()) {
        std::fprintf(stderr, "%s\n", qPrintable(pki.error()));
        return 1;
    }
    QTemporaryDir dir;
    const QString store = dir.filePath(QStringLiteral("s.sqlite"));
    Setup tls{true, pki.caPem(), {}};
    try {
        Store s(store);
        tls.token = callers::addToken(s, QStringLiteral("bench"), {kReg});
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    int rc = 0;
    {
        QProcess p;
        const quint16 port = startServer(p, {"--store", store, "--sync", kReg});
        rc |= port ? run("plain", port, Setup{}, clients, calls) : 1;
        stopServer(p);
    }
    {
        QProcess p;
        const quint16 port = startServer(p, {"--store", store, "--tls-cert", pki.serverPem(), "--tls-key", pki.serverKey()});
        rc |= port ? run("TLS", port, tls, clients, calls) : 1;
        stopServer(p);
    }
    return rc;
}
