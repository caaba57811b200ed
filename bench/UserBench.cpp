#include "UserBench.h"
#include "CteList.h"
#include "Frame.h"
#include "Grid.h"
#include "LoadBench.h"
#include "RemoteModule.h"
#include "Packet.h"
#include "SincronizacaoCTe.h"
#include "store/Store.h"
#include "Verdano.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>
#include <algorithm>
#include <iterator>
#include <cstdio>
#include <malloc.h>
#include <sys/resource.h>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QString kReg = QStringLiteral("11222333000181");

long peakKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// A /proc status field of this process (pid 0) or another, in KiB.
long rssKiB(qint64 pid = 0, const QByteArray &field = "VmRSS:")
{
    QFile f(pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}

struct Figures {
    std::vector<double> ms;
    void add(double v) { ms.push_back(v); }
    QString text() const
    {
        if (ms.empty())
            return QStringLiteral("-");
        std::vector<double> s = ms;
        std::sort(s.begin(), s.end());
        return QStringLiteral("%1 / %2 / %3").arg(s.front(), 0, 'f', 1).arg(s[s.size() / 2], 0, 'f', 1).arg(s.back(), 0, 'f', 1);
    }
    double median() const
    {
        std::vector<double> s = ms;
        std::sort(s.begin(), s.end());
        return s.empty() ? 0.0 : s[s.size() / 2];
    }
};

double msSince(const QElapsedTimer &t) { return double(t.nsecsElapsed()) / 1e6; }

// A signed procCTe as the store keeps it: some 3 KB of XML per document.
QByteArray documentXml(int n, const QString &key)
{
    QByteArray x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><cteProc xmlns=\"http://www.portalfiscal.inf.br/cte\" versao=\"4.00\">"
                   "<CTe><infCte Id=\"CTe" + key.toLatin1() + "\" versao=\"4.00\"><ide><cUF>35</cUF><cCT>" +
                   QByteArray::number(n) + "</cCT><CFOP>5353</CFOP><natOp>PRESTACAO DE SERVICO DE TRANSPORTE</natOp>";
    while (x.size() < 2800)
        x += "<infQ><cUnid>01</cUnid><tpMed>PESO BRUTO</tpMed><qCarga>" + QByteArray::number(n % 997) + ".0000</qCarga></infQ>";
    x += "</infCte><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignatureValue>" + QByteArray(344, 'A') +
         "</SignatureValue></Signature></CTe></cteProc>";
    return x;
}

void fillStore(const QString &file, int rows)
{
    Store s(file);
    s.transaction([&] {
        Statement st(s, "INSERT INTO cte (nrinsjurpesq, nrnsu, idtpambiente, nracessocte, nrinsjuremit, nmrazsocemit,"
                        " nrinsjurreme, nmrazsocreme, nrinsjurdest, nmrazsocdest, idtomador, nrinsjurtoma, nmrazsoctoma,"
                        " dtemissao, dtemissao_iso, vrtotalprest, vrreceber, cdstatus, dsstatus, dtsincronizacao, dtsinc_iso,"
                        " schema)"
                        " VALUES ('11222333000181', ?, '1', ?, '04567890000179', 'Transportadora Horizonte Paulista Ltda',"
                        " '11222333000181', 'Comércio de Alimentos Silva Ltda', '33821456000171', 'Indústria Metalúrgica Souza S.A.',"
                        " '0', '11222333000181', 'Comércio de Alimentos Silva Ltda', '03/11/2026', '2026-11-03', ?, ?, '100',"
                        " 'Autorizado o uso do CT-e', '08/12/2026', '2026-12-08', 'procCTe_v4.00.xsd')");
        Statement doc(s, "INSERT INTO cte_xml (nrinsjurpesq, nrnsu, xml) VALUES ('11222333000181', ?, ?)");
        for (int i = 1; i <= rows; ++i) {
            const QString key = QStringLiteral("3526111122233300018157001%1100000001").arg(i, 9, 10, QLatin1Char('0'));
            st.bind(1, RemoteModule::nsuText(quint64(i))).bind(2, key).bind(3, 1234.56 + i).bind(4, 1200.0 + i);
            st.run();
            doc.bind(1, RemoteModule::nsuText(quint64(i))).bind(2, documentXml(i, key));
            doc.run();
        }
        // As a synchronization leaves them: each row with its list encoding.
        while (ctelist::encodeRows(s, kReg, 65536) > 0) {
        }
    });
}

class ServerProcess {
public:
    bool start(const QString &store, QString &error)
    {
        // DFE_BENCH_SERVER measures another build of the server (an older one, say) with this client.
        const QString other = qEnvironmentVariable("DFE_BENCH_SERVER");
        m_p.setProgram(other.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/dfe-server") : other);
        m_p.setArguments({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--store"), store,
                          QStringLiteral("--quiet")}); // the default limits
        m_p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_p.start();
        port = listeningPort(m_p, 60000, error);
        return port != 0;
    }
    ~ServerProcess()
    {
        m_p.terminate();
        if (!m_p.waitForFinished(5000))
            m_p.kill();
        m_p.waitForFinished(2000);
    }
    qint64 pid() const { return m_p.processId(); }
    quint16 port = 0;

private:
    QProcess m_p;
};

QVariantList listArgs()
{
    const QVariant none = QVariant::fromValue(nullptr);
    return {none, none, kReg, QStringLiteral("T"), none, none};
}

// Reads exactly `n` bytes into `p`, waiting as long as a long list may take.
bool readExactly(int fd, char *p, qsizetype n)
{
    while (n > 0) {
        const ssize_t got = ::recv(fd, p, size_t(n), MSG_WAITALL);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        n -= got;
    }
    return true;
}

// Request (taking parts and repeat marks, as the screen does) sent to the last part's last byte received. A
// plain blocking socket reads each frame straight into a buffer of its announced size, so
// that what is timed is the server and the loopback rather than this reader (a QTcpSocket
// copies every byte into its own buffer first, on a core the server needs); the frames are
// kept, only their ends looked at.
double serverToLastByte(quint16 port, std::vector<QByteArray> &frames)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{120, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const QByteArray request = wire::frame(
        wire::encodeRequest({QString::fromLatin1(wire::kServerName), QStringLiteral("GetSincronizacaoCTe"), listArgs(), true, true}));
    frames.clear();
    QElapsedTimer t;
    t.start();
    bool ok = ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size();
    for (bool more = ok; more;) {
        uchar head[4];
        if (!(ok = readExactly(fd, reinterpret_cast<char *>(head), 4)))
            break;
        const quint32 n = (quint32(head[0]) << 24) | (quint32(head[1]) << 16) | (quint32(head[2]) << 8) | head[3];
        QByteArray payload(qsizetype(n), Qt::Uninitialized);
        if (!(ok = readExactly(fd, payload.data(), n)))
            break;
        // Cheap: the flag sits in the frame's first bytes (a part) or its reply's head.
        more = frames.empty() ? wire::decodeReply(payload).more : wire::decodePart(payload).more;
        frames.push_back(std::move(payload));
    }
    const double ms = msSince(t);
    ::close(fd);
    return ok ? ms : -1;
}

qsizetype sizeOf(const std::vector<QByteArray> &frames)
{
    qsizetype n = 0;
    for (const QByteArray &f : frames)
        n += f.size() + 4;
    return n;
}

// The list's rows from the kept frames, for the JSON client.
wire::DecodedPacket decodedList(const std::vector<QByteArray> &frames)
{
    wire::DecodedPacket all = wire::decodePacket(wire::decodeReply(frames[0]).result.toList().value(1).value<TDataPacket>());
    for (size_t i = 1; i < frames.size(); ++i) {
        wire::DecodedPacket part = wire::decodePacket(wire::decodePart(frames[i]).rows);
        std::move(part.rows.begin(), part.rows.end(), std::back_inserter(all.rows));
    }
    return all;
}

// Counts the paints a widget receives.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};

// Runs the event loop until `counter` has seen a paint more than `before`: the paint has
// finished when it returns.
void untilPainted(const PaintCounter &counter, int before)
{
    QElapsedTimer t;
    t.start();
    while (counter.paints <= before && t.elapsed() < 60000)
        QApplication::processEvents();
}

// The same rows as a JSON client keeps them: the parsed document's array, read in place
// by the model (no QVariant copy of the rows), the same index and view.
class JsonModel : public QAbstractTableModel {
public:
    QJsonArray rows;
    std::vector<int> order;
    std::vector<int> columns;
    std::vector<bool> money;
    int rowCount(const QModelIndex &p = {}) const override { return p.isValid() ? 0 : int(order.size()); }
    int columnCount(const QModelIndex &p = {}) const override { return p.isValid() ? 0 : int(columns.size()); }
    QVariant data(const QModelIndex &i, int role) const override
    {
        if (role != Qt::DisplayRole)
            return {};
        const QJsonValue v = rows[order[size_t(i.row())]].toArray()[columns[size_t(i.column())]];
        return money[size_t(i.column())] ? QVariant(QLocale().toString(v.toDouble(), 'f', 2)) : QVariant(v.toString());
    }
    void load(const QByteArray &json, int nsuColumn)
    {
        beginResetModel();
        rows = QJsonDocument::fromJson(json).array();
        order.resize(size_t(rows.size()));
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = int(i);
        auto less = [&](int a, int b) {
            return rows[a].toArray()[nsuColumn].toString() < rows[b].toArray()[nsuColumn].toString();
        };
        if (!std::is_sorted(order.begin(), order.end(), less))
            std::stable_sort(order.begin(), order.end(), less);
        endResetModel();
    }
};

QByteArray jsonOf(const wire::DecodedPacket &d)
{
    QJsonArray rows;
    for (const QVariantList &r : d.rows)
        rows.append(QJsonArray::fromVariantList(r));
    return QJsonDocument(rows).toJson(QJsonDocument::Compact);
}

void report(const char *what, const Figures &f, const QString &extra = {})
{
    std::printf("  %-44s %s ms%s\n", what, qPrintable(f.text()), qPrintable(extra));
    std::fflush(stdout);
}

int runRows(int rows, int runs)
{
    QTemporaryDir dir;
    const QString store = dir.filePath(QStringLiteral("bench.sqlite"));
    QElapsedTimer fill;
    fill.start();
    fillStore(store, rows);
    std::printf("%d rows (store with XML: %lld MB, filled in %.1f s), %d runs, min / median / max:\n", rows,
                qlonglong(QFile(store).size() / 1000000), fill.elapsed() / 1000.0, runs);
    ServerProcess server;
    QString error;
    if (!server.start(store, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }

    Figures toLastByte;
    std::vector<QByteArray> frames;
    for (int i = 0; i < runs; ++i)
        toLastByte.add(serverToLastByte(server.port, frames));
    report("server GetSincronizacaoCTe to the last byte", toLastByte,
           QStringLiteral(" (%1 bytes in %2 frame(s); server peak RSS %3 MiB, of it private now %4 MiB: the rest is the mapped store)")
               .arg(sizeOf(frames))
               .arg(frames.size())
               .arg(rssKiB(server.pid(), "VmHWM:") / 1024)
               .arg(rssKiB(server.pid(), "RssAnon:") / 1024));

    Verdano::SetWebURL(QStringLiteral("127.0.0.1"));
    Verdano::SetWebPort(server.port);
    auto *screen = new Cli_Dfe71000::TfrmSincronizacaoCTe;
    screen->resize(1200, 700);
    screen->show();
    QApplication::processEvents();
    TClientDataSet &cds = screen->cdsSincronizacaoCTe;
    TNetConnection &net = screen->netSincronizacaoCTe;
    net.TimeoutMs = 600000;
    PaintCounter gridPaints;
    screen->dbgPadrao->viewport()->installEventFilter(&gridPaints);

    Figures call, first, whole, fromBytes, dataset;
    for (int i = 0; i < runs; ++i) {
        cds.Close();
        QApplication::processEvents();
        malloc_trim(0); // the client gives back freed memory after a list: so does the baseline
        const long before = rssKiB();
        QElapsedTimer t;
        t.start();
        std::vector<TArg> args;
        for (const QVariant &a : listArgs())
            args.push_back(ByVal(a));
        {
            const QVariant reply = net.AppServer(QStringLiteral("GetSincronizacaoCTe"), args);
            call.add(msSince(t));
            const int painted = gridPaints.paints; // the closed list may repaint while the call runs
            cds.SetData(reply.toList().value(1).value<TDataPacket>());
            untilPainted(gridPaints, painted);
        } // the received packet goes as the screen's handler ends
        first.add(msSince(t));
        int parts = 0;
        net.ReceiveParts([&](const TDataPacket &p) {
            cds.AppendData(p);
            ++parts;
        });
        if (parts > 0) // the last part's paint is still due
            untilPainted(gridPaints, gridPaints.paints);
        whole.add(msSince(t));
        dataset.add(double(rssKiB() - before) / 1024.0);
    }
    report("call to its first frame (server, loopback)", call);
    report("click to the first screenful painted", first);
    report("click to the whole list loaded and painted", whole, QStringLiteral(" (%1 rows)").arg(cds.RecordCount()));

    // From the received bytes, as the JSON client below starts.
    for (int i = 0; i < runs; ++i) {
        cds.Close();
        QApplication::processEvents();
        QElapsedTimer t;
        t.start();
        const int painted = gridPaints.paints;
        cds.SetData(wire::decodeReply(frames[0]).result.toList().value(1).value<TDataPacket>());
        for (size_t k = 1; k < frames.size(); ++k)
            cds.AppendData(wire::decodePart(frames[k]).rows);
        untilPainted(gridPaints, painted);
        fromBytes.add(msSince(t));
    }
    report("reply bytes to the whole list painted (decode + index + paint)", fromBytes,
           QStringLiteral("; list in memory %1 MiB").arg(dataset.median(), 0, 'f', 0));

    Figures tickAll, tickAllHandler, oneTick;
    int tickAllPaints = 0, oneTickPaints = 0;
    for (int i = 0; i < runs; ++i) {
        QApplication::processEvents();
        const int painted = gridPaints.paints;
        QElapsedTimer t;
        t.start();
        screen->dbgPadraoTitleClick(screen->dbgPadrao->Columns[0]);
        tickAllHandler.add(msSince(t));
        untilPainted(gridPaints, painted);
        tickAll.add(msSince(t));
        QApplication::processEvents();
        tickAllPaints = std::max(tickAllPaints, gridPaints.paints - painted);
    }
    report("tick-all: the title click's handler", tickAllHandler);
    report("tick-all in the shown grid, with its paint", tickAll, QStringLiteral(" (%1 paint(s) each)").arg(tickAllPaints));
    cds.SetRecNo(rows / 2);
    QApplication::processEvents();
    for (int i = 0; i < std::max(runs, 20); ++i) {
        const int painted = gridPaints.paints;
        QElapsedTimer t;
        t.start();
        int key = Qt::Key_Space;
        screen->dbgPadraoKeyDown(screen->dbgPadrao, key, {});
        untilPainted(gridPaints, painted);
        oneTick.add(msSince(t));
        QApplication::processEvents();
        oneTickPaints = std::max(oneTickPaints, gridPaints.paints - painted);
    }
    report("one tick (space) in the shown grid, with its paint", oneTick, QStringLiteral(" (%1 paint(s) each)").arg(oneTickPaints));
    cds.Close();
    delete screen;
    QApplication::processEvents();

    // The JSON client: the parsed array kept as it is under a table model, the same index and view.
    const wire::DecodedPacket decoded = decodedList(frames);
    const QByteArray json = jsonOf(decoded);
    const char *shown[] = {"IDCHECK", "NRNSU", "NRINSJUREMIT", "NMRAZSOCEMIT", "DTEMISSAO", "DTSINCRONIZACAO",
                           "VRTOTALPREST", "VRRECEBER", "CDSTATUS", "DSSTATUS", "NRACESSOCTE", "IDTPAMBIENTE"};
    Figures jsonTimes;
    for (int i = 0; i < runs; ++i) {
        QTableView view;
        view.resize(1200, 700);
        view.verticalHeader()->hide();
        view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view.verticalHeader()->setDefaultSectionSize(view.fontMetrics().height() + 4);
        view.setSelectionBehavior(QAbstractItemView::SelectRows);
        JsonModel model;
        for (const char *f : shown) {
            model.columns.push_back(decoded.indexOf(QString::fromLatin1(f)));
            model.money.push_back(QByteArray(f).startsWith("VR"));
        }
        view.setModel(&model);
        view.show();
        PaintCounter paints;
        view.viewport()->installEventFilter(&paints);
        untilPainted(paints, 0);
        QElapsedTimer t;
        t.start();
        const int painted = paints.paints;
        model.load(json, decoded.indexOf(QStringLiteral("NRNSU")));
        untilPainted(paints, painted);
        jsonTimes.add(msSince(t));
        view.setModel(nullptr);
    }
    report("JSON client: bytes to first paint", jsonTimes,
           QStringLiteral(" (%1 bytes of JSON); JSON / this list: %2x")
               .arg(json.size())
               .arg(jsonTimes.median() / std::max(fromBytes.median(), 0.001), 0, 'f', 1));
    std::printf("  peak RSS of this process so far: %ld MiB\n\n", peakKiB() / 1024);
    return 0;
}
} // namespace

int runUserBench(const QStringList &args)
{
    // Usage: user [rows ...] [--runs N]
    std::vector<int> counts;
    int runs = 5;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--runs") && i + 1 < args.size())
            runs = std::max(1, args[++i].toInt());
        else if (args[i].toInt() > 0)
            counts.push_back(args[i].toInt());
    }
    if (counts.empty())
        counts = {10000, 100000, 1000000};
    std::printf("QPA platform %s, %ld cores online\n\n", qPrintable(QGuiApplication::platformName()), sysconf(_SC_NPROCESSORS_ONLN));
    for (int rows : counts)
        if (const int rc = runRows(rows, runs))
            return rc;
    return 0;
}
