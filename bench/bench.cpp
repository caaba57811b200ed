// Benchmarks (not tests): list decoding, the server's answer for a large list (SQLite and PostgreSQL), tick-all,
// the first paint of a large grid, and the server under many clients.
// Usage: dfe-bench [load|server|grid] [rows] | user [rows ...] [--runs N] | serve-load [clients] [calls]
//        | serve-idle [connections] [server open-file limit] | dacte [count]
#include "DacteBench.h"
#include "Engines.h"
#include "Grid.h"
#include "LoadBench.h"
#include "UserBench.h"
#include "RemoteModule.h"
#include "SincronizacaoCTe.h"
#include "authority/simulated/SimulatedAuthority.h"
#include "store/Store.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <sys/resource.h>

namespace {
long peakKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// A store with `rows` realistic CT-e rows for one registration.
void fillStore(Store &s, int rows)
{
    s.transaction([&] {
        Statement st(s, "INSERT INTO cte (nrinsjurpesq, nrnsu, idtpambiente, nracessocte, nrinsjuremit, nmrazsocemit,"
                             " nrinsjurreme, nmrazsocreme, nrinsjurdest, nmrazsocdest, idtomador, nrinsjurtoma, nmrazsoctoma,"
                             " dtemissao, dtemissao_iso, vrtotalprest, vrreceber, cdstatus, dsstatus, dtsincronizacao, dtsinc_iso)"
                             " VALUES ('11222333000181', ?, '1', ?, '04567890000179', 'Transportadora Horizonte Paulista Ltda',"
                             " '11222333000181', 'Comércio de Alimentos Silva Ltda', '33821456000171', 'Indústria Metalúrgica Souza S.A.',"
                             " '0', '11222333000181', 'Comércio de Alimentos Silva Ltda', '03/11/2026', '2026-11-03', ?, ?, '100',"
                             " 'Autorizado o uso do CT-e', '08/12/2026', '2026-12-08')");
        for (int i = 1; i <= rows; ++i) {
            st.bind(1, RemoteModule::nsuText(quint64(i)))
                .bind(2, QStringLiteral("3526111122233300018157001%1100000001").arg(i, 9, 10, QLatin1Char('0')))
                .bind(3, 1234.56 + i)
                .bind(4, 1200.0 + i);
            st.run();
        }
    });
}

// `location`: the store to fill, a SQLite file in a temporary folder when empty.
TDataPacket serverPacket(int rows, qint64 *serverMs, const QString &location = {})
{
    QTemporaryDir dir;
    Store s(location.isEmpty() ? dir.filePath(QStringLiteral("b.sqlite")) : location);
    fillStore(s, rows);
    SimulatedAuthority sim;
    RemoteModule m(s, sim);
    QVariantList args{QVariant::fromValue(nullptr), QVariant::fromValue(nullptr), QStringLiteral("11222333000181"),
                      QStringLiteral("T"), QVariant::fromValue(nullptr), QVariant::fromValue(nullptr)};
    QElapsedTimer t;
    t.start();
    const QVariant r = m.GetSincronizacaoCTe(args);
    if (serverMs)
        *serverMs = t.elapsed();
    return r.toList().value(1).value<TDataPacket>();
}

Cli_Dfe71000::TfrmSincronizacaoCTe *loadedScreen(const TDataPacket &p)
{
    auto *screen = new Cli_Dfe71000::TfrmSincronizacaoCTe;
    screen->cdsSincronizacaoCTe.SetData(p);
    return screen;
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString what = argc > 1 ? QString::fromLatin1(argv[1]) : QStringLiteral("load");
    if (what.startsWith(QLatin1String("serve-")))
        return runServerBench(app.arguments().mid(1));
    if (what == QLatin1String("user"))
        return runUserBench(app.arguments().mid(2));
    if (what == QLatin1String("dacte"))
        return runDacteBench(app.arguments().mid(2));
    const int rows = argc > 2 ? std::atoi(argv[2]) : 100000;

    if (what == QLatin1String("server")) {
        // The same list from each engine: SQLite in a file, PostgreSQL in a private cluster.
        const auto report = [&](const char *engine, const QString &location) {
            qint64 serverMs = 0;
            const TDataPacket p = serverPacket(rows, &serverMs, location);
            const QByteArray wireBytes =
                wire::encodeReply({true, {}, QVariantList{QStringLiteral("S"), QVariant::fromValue(p)}, {}});
            QElapsedTimer t;
            t.start();
            const wire::Reply back = wire::decodeReply(wireBytes);
            const qint64 replyMs = t.elapsed();
            TClientDataSet ds;
            ds.SetData(back.result.toList().value(1).value<TDataPacket>());
            std::printf("GetSincronizacaoCTe %d rows on %s: server %lld ms, %lld bytes on the wire, client decode %lld ms"
                        " (reply %lld ms, list %lld ms)\n",
                        rows, engine, serverMs, qlonglong(wireBytes.size()), t.elapsed(), replyMs, t.elapsed() - replyMs);
        };
        report("SQLite", {});
        PgInstance pg;
        if (!pg.ok() || !pg.createDatabase(QStringLiteral("bench")).isEmpty()) {
            std::fprintf(stderr, "PostgreSQL: %s\n", qPrintable(pg.error()));
            return 1;
        }
        report("PostgreSQL", pg.uri(QStringLiteral("bench")));
        return 0;
    }
    const TDataPacket p = serverPacket(rows, nullptr);
    if (what == QLatin1String("load")) {
        const long before = peakKiB();
        auto *screen = new Cli_Dfe71000::TfrmSincronizacaoCTe;
        QElapsedTimer t;
        t.start();
        screen->cdsSincronizacaoCTe.SetData(p);
        const qint64 ms = std::max<qint64>(t.elapsed(), 1);
        std::printf("load %d rows x 24 fields from a %lld-byte packet: %lld ms, %.0f rows/s, peak RSS %ld MiB (%ld MiB before)\n",
                    rows, qlonglong(p.cbor.size()), ms, rows * 1000.0 / double(ms), peakKiB() / 1024, before / 1024);
        delete screen;
        return 0;
    }
    if (what == QLatin1String("grid")) {
        auto *screen = loadedScreen(p);
        screen->resize(1200, 700);
        int resets = 0;
        QObject::connect(screen->dbgPadrao->Model(), &QAbstractItemModel::modelReset, [&] { ++resets; });
        QElapsedTimer t;
        t.start();
        QImage img(screen->size(), QImage::Format_RGB32);
        screen->render(&img);
        std::printf("first paint of %d rows: %lld ms\n", rows, t.elapsed());
        t.restart();
        screen->dbgPadraoTitleClick(screen->dbgPadrao->Columns[0]);
        const qint64 tick = t.elapsed();
        std::printf("tick-all over %d rows: %lld ms, %d grid reset(s)\n", rows, tick, resets);
        screen->show(); // its show steps close the list: load it again into the shown grid
        QApplication::processEvents();
        screen->cdsSincronizacaoCTe.SetData(p);
        QApplication::processEvents();
        screen->cdsSincronizacaoCTe.SetRecNo(rows / 2);
        QElapsedTimer one;
        one.start();
        constexpr int ticks = 20;
        for (int i = 0; i < ticks; ++i) {
            int key = Qt::Key_Space;
            screen->dbgPadraoKeyDown(screen->dbgPadrao, key, {});
            QApplication::processEvents();
        }
        std::printf("one tick in a shown window, %d rows: %.2f ms\n", rows, double(one.nsecsElapsed()) / 1e6 / ticks);
        delete screen;
        return 0;
    }
    std::fprintf(stderr, "usage: dfe-bench [load|server|grid] [rows] | user [rows ...] [--runs N] | serve-load [clients] [calls]"
                         " | serve-idle [connections] [server open-file limit]\n");
    return 2;
}
