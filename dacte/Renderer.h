#pragma once
// The DACTE drawn with QPainter on one A4 page: onto a printer, a PDF or an image.
#include "Document.h"

#include <QImage>
#include <QRectF>
#include <functional>

class QPainter;
class QPagedPaintDevice;

namespace dacte {

struct Options {
    bool cancelled = false; // the list knows the CT-e was cancelled (status 101)
};

// A text placed on the page under its field's title, for tests and for reading back.
struct Placed {
    QString label, text;
};

// Paints one DACTE into `page` (any size; the layout keeps A4 proportions inside it).
std::vector<Placed> paint(QPainter &p, const QRectF &page, const Document &d, const Options &o = {});
QImage image(const Document &d, const Options &o, int dpi);
using Batch = std::vector<std::pair<Document, Options>>;
// One DACTE a page, on a printer or a PDF writer.
void printAll(QPagedPaintDevice &device, const Batch &docs);
// Told after each page; false stops before the next.
using Progress = std::function<bool(int done)>;
// One DACTE a page, as the bytes of a PDF; empty when `progress` stopped it.
QByteArray pdf(const Batch &docs, const Progress &progress = {});
// The same into a file, written whole or not at all; false with `error` set when it fails.
bool writePdf(const QString &path, const Batch &docs, QString *error, const Progress &progress = {});

} // namespace dacte
