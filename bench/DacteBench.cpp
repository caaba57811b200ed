// The DACTE: one document read and drawn, and many into one PDF, from the simulated
// authority's signed documents.
#include "DacteBench.h"
#include "Document.h"
#include "Renderer.h"
#include "authority/simulated/SimulatedAuthority.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {
long peakMiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

std::vector<QByteArray> documents(int count)
{
    SimulatedAuthority sim;
    std::vector<QByteArray> out;
    for (const SimulatedAuthority::Item &it : sim.history(QStringLiteral("11222333000181"))) {
        if (it.kind == SimulatedAuthority::Item::Cte)
            out.push_back(sim.procCTe(it));
        if (int(out.size()) == count)
            break;
    }
    return out;
}
} // namespace

int runDacteBench(const QStringList &args)
{
    const int count = args.value(0, QStringLiteral("1000")).toInt();
    const std::vector<QByteArray> xml = documents(std::max(count, 1));
    if (xml.empty()) {
        std::fprintf(stderr, "no document issued\n");
        return 1;
    }
    QElapsedTimer t;
    t.start();
    const dacte::Document one = dacte::read(xml.front());
    const qint64 readUs = t.nsecsElapsed() / 1000;
    t.restart();
    const QImage page = dacte::image(one, {}, 150);
    std::printf("one DACTE: read %lld us, drawn at 150 dpi (%dx%d) %lld ms\n", readUs, page.width(), page.height(), t.elapsed());

    std::vector<std::pair<dacte::Document, dacte::Options>> docs;
    for (int i = 0; i < count; ++i)
        docs.emplace_back(dacte::read(xml[size_t(i) % xml.size()]), dacte::Options{});
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("dactes.pdf"));
    QString error;
    t.restart();
    if (!dacte::writePdf(path, docs, &error)) {
        std::fprintf(stderr, "PDF: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%d DACTEs into one PDF: %lld ms, %lld KiB, peak RSS %ld MiB\n", count, t.elapsed(),
                QFileInfo(path).size() / 1024, peakMiB());
    return 0;
}
