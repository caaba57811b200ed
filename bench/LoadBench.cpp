#include "LoadBench.h"
#include "Frame.h"
#include "Packet.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

quint16 listeningPort(QProcess &server, int ms, QString &error)
{
    if (!server.waitForStarted(5000)) {
        error = server.errorString();
        return 0;
    }
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (!server.waitForReadyRead(1000) && server.state() != QProcess::Running)
            break;
        out += server.readAllStandardOutput();
        const int at = out.indexOf("escutando em ");
        const int eol = out.indexOf('\n', at);
        if (at >= 0 && eol > at) {
            const QByteArray addr = out.mid(at + 13, eol - at - 13).split(' ').value(0);
            return quint16(addr.mid(addr.lastIndexOf(':') + 1).toUInt());
        }
    }
    error = QStringLiteral("o servidor não começou a escutar: ") + QString::fromLocal8Bit(out);
    return 0;
}

LoadFigures loadFigures(const std::vector<std::vector<qint64>> &latenciesUs, double seconds)
{
    std::vector<qint64> all;
    for (const auto &l : latenciesUs)
        all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) { return all.empty() ? 0.0 : double(all[std::min(all.size() - 1, size_t(p * double(all.size())))]) / 1000.0; };
    return {seconds > 0 ? double(all.size()) / seconds : 0.0, pct(0.50), pct(0.99)};
}

namespace {
const QString kDemoReg = QStringLiteral("11222333000181");

long procStatusKiB(qint64 pid, const char *field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLong();
    return -1;
}

// User plus system CPU time of a process, in clock ticks.
long long cpuTicks(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray s = f.readAll();
    const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

class ServerProcess {
public:
    bool start(const QString &dir, int nofile, QString &error)
    {
        QStringList args{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--store"), dir + QStringLiteral("/s.sqlite"),
                         QStringLiteral("--sync"), kDemoReg, QStringLiteral("--quiet")};
        // DFE_BENCH_SERVER measures another build of the server (an older one, say) with this client.
        const QString other = qEnvironmentVariable("DFE_BENCH_SERVER");
        m_p.setProgram(other.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/dfe-server") : other);
        m_p.setArguments(args);
        m_p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (nofile > 0) {
            m_p.setChildProcessModifier([nofile] {
                const rlimit l{rlim_t(nofile), rlim_t(nofile)};
                setrlimit(RLIMIT_NOFILE, &l);
            });
        }
        m_p.start();
        port = listeningPort(m_p, 120000, error);
        return port != 0;
    }
    qint64 pid() const { return m_p.processId(); }
    bool running()
    {
        m_p.waitForFinished(0); // notices an exit that already happened
        return m_p.state() == QProcess::Running;
    }
    void stop()
    {
        m_p.terminate();
        if (!m_p.waitForFinished(5000))
            m_p.kill();
        m_p.waitForFinished(2000);
    }
    quint16 port = 0;

private:
    QProcess m_p;
};


// One blocking round trip; false on any failure (timeout, closed, error reply or flag other than "S").
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
        return reply.ok && reply.result.toList().value(0).toString() == QLatin1String("S");
    } catch (const std::exception &) {
        return false;
    }
}

QByteArray request(const QString &method, const QVariantList &args)
{
    return wire::frame(wire::encodeRequest({QString::fromLatin1(wire::kServerName), method, args}));
}

QVariantList getArgs()
{
    const QVariant none = QVariant::fromValue(nullptr);
    return {none, none, kDemoReg, QStringLiteral("T"), none, none};
}

// The list as the client sends it back to DownloadXML: every row, `ticked` of them with IDCHECK "S".
TDataPacket tickedList(const TDataPacket &list, int ticked)
{
    const wire::DecodedPacket d = wire::decodePacket(list);
    wire::PacketWriter w(d.fields);
    const int check = d.indexOf(QStringLiteral("IDCHECK"));
    int n = 0;
    for (const QVariantList &row : d.rows) {
        w.beginRow();
        for (int c = 0; c < int(row.size()); ++c) {
            const QVariant &v = c == check ? QVariant(QString::fromLatin1(n < ticked ? "S" : "N")) : row[c];
            switch (d.fields[size_t(c)].type) {
            case wire::PacketType::Float: w.real(v.toDouble()); break;
            case wire::PacketType::Blob: w.blob(v.toByteArray()); break;
            default: w.text(v.toString());
            }
        }
        ++n;
    }
    return w.finish();
}

int loadMode(ServerProcess &server, int clients, int calls)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, server.port);
    if (!probe.waitForConnected(5000)) {
        std::fprintf(stderr, "sem conexão com o servidor\n");
        return 1;
    }
    const QByteArray get = request(QStringLiteral("GetSincronizacaoCTe"), getArgs());
    wire::Reply first;
    if (!roundTrip(probe, get, &first)) {
        std::fprintf(stderr, "GetSincronizacaoCTe falhou: %s\n", qPrintable(first.error));
        return 1;
    }
    const TDataPacket list = first.result.toList().value(1).value<TDataPacket>();
    const size_t rows = wire::decodePacket(list).rows.size();
    const QByteArray download = request(QStringLiteral("DownloadXML"),
                                        {QVariant::fromValue(tickedList(list, 5)), QStringLiteral("01"), QStringLiteral("T"), kDemoReg});
    probe.disconnectFromHost();

    std::vector<std::vector<qint64>> latencies(static_cast<size_t>(clients));
    std::atomic<int> errors{0};
    std::vector<std::thread> threads;
    QElapsedTimer wall;
    wall.start();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            QTcpSocket s;
            auto &lat = latencies[size_t(c)];
            lat.reserve(size_t(calls));
            for (int i = 0; i < calls; ++i) {
                if (s.state() != QAbstractSocket::ConnectedState) {
                    s.abort();
                    s.connectToHost(QHostAddress::LocalHost, server.port);
                    if (!s.waitForConnected(5000)) {
                        ++errors;
                        continue;
                    }
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
    std::printf("load: %d clients x %d calls (GetSincronizacaoCTe of %zu rows / DownloadXML of 5): %.0f calls/s,"
                " p50 %.1f ms, p99 %.1f ms, errors %d, server peak RSS %ld MiB\n",
                clients, calls, rows, fig.callsPerSecond, fig.p50Ms, fig.p99Ms, errors.load(),
                procStatusKiB(server.pid(), "VmHWM:") / 1024);
    return 0;
}

int idleMode(ServerProcess &server, int count)
{
    const long rssBefore = procStatusKiB(server.pid(), "VmRSS:");
    std::vector<int> fds;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int refused = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            if (fd >= 0)
                ::close(fd);
            ++refused;
            continue;
        }
        fds.push_back(fd);
    }
    QThread::sleep(3); // lets the server accept them all
    const long long cpu0 = cpuTicks(server.pid());
    QElapsedTimer window;
    window.start();
    QThread::sleep(5);
    const double cpuShare = double(cpuTicks(server.pid()) - cpu0) / double(sysconf(_SC_CLK_TCK)) / (double(window.elapsed()) / 1000.0);
    const long rss = procStatusKiB(server.pid(), "VmRSS:");

    // Connections the server closed or answered are not idle any more.
    int closed = 0;
    for (int fd : fds) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0)
            ++closed;
    }
    bool answered = false;
    qint64 answerMs = -1;
    if (server.running()) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, server.port);
        QElapsedTimer t;
        t.start();
        answered = s.waitForConnected(5000) && roundTrip(s, request(QStringLiteral("GetSincronizacaoCTe"), getArgs()));
        answerMs = t.elapsed();
    }
    std::printf("idle: %d connections held (%d refused at connect, %d closed or answered by the server):"
                " server RSS %ld MiB (%ld MiB before, %.1f KiB per connection), CPU %.1f%% of a core,"
                " server %s, a normal client %s (%lld ms)\n",
                int(fds.size()), refused, closed, rss / 1024, rssBefore / 1024,
                fds.empty() ? 0.0 : double(rss - rssBefore) / double(fds.size()), cpuShare * 100.0,
                server.running() ? "running" : "DEAD", answered ? "answered" : "NOT answered", qlonglong(answerMs));
    for (int fd : fds)
        ::close(fd);
    return server.running() ? 0 : 1;
}
} // namespace

int runServerBench(const QStringList &args)
{
    // Usage: serve-load [clients] [calls] | serve-idle [connections] [server open-file limit]
    const QString mode = args.value(0);
    if (mode == QLatin1String("serve-load-tls"))
        return runSecureLoadBench(args);
    QTemporaryDir dir;
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    own.rlim_cur = own.rlim_max;
    setrlimit(RLIMIT_NOFILE, &own); // the idle mode holds thousands of sockets here
    const int nofile = mode == QLatin1String("serve-idle") ? args.value(2, QStringLiteral("0")).toInt() : 0;
    ServerProcess server;
    QString error;
    if (!server.start(dir.path(), nofile, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    int rc = 2;
    if (mode == QLatin1String("serve-load"))
        rc = loadMode(server, args.value(1, QStringLiteral("50")).toInt(), args.value(2, QStringLiteral("1000")).toInt());
    else if (mode == QLatin1String("serve-idle"))
        rc = idleMode(server, args.value(1, QStringLiteral("2000")).toInt());
    server.stop();
    return rc;
}
