#include "Preview.h"

#include <QAction>
#include <QFileDialog>
#include <QMessageBox>
#include <QPainter>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QToolBar>

namespace dacte {

namespace {
void addSavePdf(QPrintPreviewDialog &dialog, const Batch &docs)
{
    auto *bar = dialog.findChild<QToolBar *>();
    if (!bar)
        return;
    QAction *save = bar->addAction(QObject::tr("Salvar PDF"));
    QObject::connect(save, &QAction::triggered, &dialog, [&dialog, &docs] {
        QString path = QFileDialog::getSaveFileName(&dialog, QObject::tr("Salvar PDF"), QString(), QStringLiteral("PDF (*.pdf)"));
        if (path.isEmpty())
            return;
        if (!path.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive))
            path += QLatin1String(".pdf");
        QString error;
        if (!writePdf(path, docs, &error))
            QMessageBox::critical(&dialog, QObject::tr("Salvar PDF"), QObject::tr("Não foi possível gravar o PDF: %1").arg(error));
    });
}
} // namespace

void preview(QWidget *parent, const Batch &docs, const QString &title)
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setPageMargins(QMarginsF(0, 0, 0, 0));
    printer.setFullPage(true);
    printer.setDocName(title);
    QPrintPreviewDialog dialog(&printer, parent);
    dialog.setWindowTitle(title);
    QObject::connect(&dialog, &QPrintPreviewDialog::paintRequested, &dialog, [&docs](QPrinter *pr) { printAll(*pr, docs); });
    addSavePdf(dialog, docs);
    dialog.resize(900, 1000);
    dialog.exec();
}

} // namespace dacte
