// The grid: fixed columns, the tick column's pictures, ticking and the enabling
// of the commands that follows the list's state.
#include "SincronizacaoCTe.h"

#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>
#include <cmath>
#include <utility>
#include <QHeaderView>
#include <QScopeGuard>

namespace Cli_Dfe71000 {

namespace {
// The picture with its transparent colour taken out, made once per picture: every
// tick cell of every paint draws one of two.
QImage transparent(const QImage &picture)
{
    static QHash<qint64, QImage> made;
    if (auto it = made.constFind(picture.cacheKey()); it != made.constEnd())
        return *it;
    QImage img = picture.convertToFormat(QImage::Format_ARGB32);
    const QRgb olive = qRgb(128, 128, 0);
    for (int y = 0; y < img.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x)
            if ((line[x] & 0xffffff) == (olive & 0xffffff))
                line[x] = 0;
    }
    made.insert(picture.cacheKey(), img);
    return img;
}
} // namespace

namespace {
// Widths the user gave the columns, by field, for the rest of the session.
QHash<QString, int> &larguras()
{
    static QHash<QString, int> widths;
    return widths;
}
} // namespace

void TfrmSincronizacaoCTe::buildGrid()
{
    // Narrow enough that the key and the status show at 1366 pixels without scrolling;
    // long names are cut and shown whole in the cell's tooltip.
    const QFontMetrics fm = dbgPadrao->fontMetrics();
    QFont bold = dbgPadrao->horizontalHeader()->font();
    const QFontMetrics title(bold);
    auto fit = [&](const char *sample, const char *caption) {
        return std::max(fm.horizontalAdvance(QString::fromUtf8(sample)),
                        title.horizontalAdvance(QString::fromUtf8(caption))) + 14;
    };
    struct Col {
        const char *field;
        int width;
    };
    const Col cols[] = {{"IDCHECK", 22},
                        {"NRNSU", fit("000000000000000", "NSU")},
                        {"NRINSJUREMIT", fit("00.000.000/0000-00", "Emitente")},
                        {"NMRAZSOCEMIT", 130},
                        {"DTEMISSAO", fit("00/00/0000", "Emissão")},
                        {"DTSINCRONIZACAO", fit("00/00/0000", "Sincronização")},
                        {"VRTOTALPREST", fit("000.000,00", "Valor Total")},
                        {"VRRECEBER", fit("000.000,00", "Valor a Receber")},
                        {"CDSTATUS", fit("000", "Cód Status")},
                        {"DSSTATUS", 120},
                        {"NRACESSOCTE", fit("00000000000000000000000000000000000000000000", "Chave de Acesso")},
                        {"IDTPAMBIENTE", fit("Homologação", "Ambiente")}};
    for (const Col &c : cols) {
        TColumn &col = dbgPadrao->AddColumn(QString::fromLatin1(c.field));
        col.Width = larguras().value(col.FieldName, c.width);
        if (QLatin1String(c.field) == QLatin1String("IDCHECK")) {
            col.Title.Caption = QStringLiteral("4");
            QFont f(QStringLiteral("MS Sans Serif"));
            f.setBold(true);
            f.setPixelSize(11);
            col.Title.Font = f;
            col.Title.HasFont = true;
            col.Title.SymbolCharset = true;
            col.Title.Alignment = Qt::AlignCenter;
            col.Alignment = Qt::AlignCenter;
            col.HasAlignment = true;
        }
    }
    dbgPadrao->ApplyColumns();
    QObject::connect(dbgPadrao->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int i, int, int w) {
        if (i >= 0 && i < int(dbgPadrao->Columns.size()) && w > 0)
            larguras().insert(dbgPadrao->Columns[size_t(i)].FieldName, w);
    });
    dbgPadrao->OnDrawColumnCell = [this](TDBGrid *g, const QRect &r, int c, TColumn &col, QStyle::State st) {
        dbgPadraoDrawColumnCell(g, r, c, col, st);
    };
    dbgPadrao->OnDblClick = [this](QObject *s) { dbgPadraoDblClick(s); };
    dbgPadrao->OnKeyDown = [this](QObject *s, int &k, Qt::KeyboardModifiers m) { dbgPadraoKeyDown(s, k, m); };
    dbgPadrao->OnTitleClick = [this](TColumn &c) { dbgPadraoTitleClick(c); };
    dtsPadrao.OnStateChange = [this](TDataSource *s) { dtsPadraoStateChange(s); };
    dbnPadrao->OnRefresh = [this](QObject *s) { sbtVerificarClick(s); };
    buildFooter();
    // The list is read-only: its navigator moves and reloads, nothing more.
    for (auto b : {TDBNavigator::nbInsert, TDBNavigator::nbDelete, TDBNavigator::nbEdit, TDBNavigator::nbPost,
                   TDBNavigator::nbCancel})
        dbnPadrao->ButtonOf(b)->hide();
}

void TfrmSincronizacaoCTe::dbgPadraoDrawColumnCell(TDBGrid *sender, const QRect &rect, int, TColumn &column,
                                                   QStyle::State)
{
    if (cdsSincronizacaoCTe.IsEmpty())
        return;
    TCanvas &canvas = sender->Canvas();
    if (celulaEncontrada(column, canvas.Row))
        canvas.Painter->fillRect(rect, QColor(255, 214, 0, 90));
    if (column.FieldName != QLatin1String("IDCHECK"))
        return;
    QImage picture;
    const QByteArrayView tick = cdsSincronizacaoCTe.FieldByName(QStringLiteral("IDCHECK")).TextAt(canvas.Row);
    if (tick == QByteArrayView("S"))
        picture = imgCheck->Picture;
    else if (tick == QByteArrayView("N"))
        picture = imgUncheck->Picture;
    canvas.Painter->fillRect(rect, canvas.Brush);
    if (!picture.isNull()) {
        const QImage shown = transparent(picture);
        canvas.Painter->drawImage(QPoint(rect.left() + 4, rect.top()), shown,
                                  QRect(0, 0, shown.width(), std::min(rect.height(), shown.height())));
    }
}

void TfrmSincronizacaoCTe::toggleCurrentRow()
{
    auto notification = dtsPadrao.OnStateChange;
    auto guard = cdsSincronizacaoCTe.BeforeEdit;
    dtsPadrao.OnStateChange = nullptr;
    cdsSincronizacaoCTe.BeforeEdit = nullptr;
    auto reattach = qScopeGuard([&] {
        dtsPadrao.OnStateChange = notification;
        cdsSincronizacaoCTe.BeforeEdit = guard;
        dtsPadraoStateChange(&dtsPadrao);
    });
    if (cdsSincronizacaoCTe.IsEmpty() || cdsSincronizacaoCTe.State() != dsBrowse)
        return;
    TField &tick = cdsSincronizacaoCTe.FieldByName(QStringLiteral("IDCHECK"));
    try {
        const bool was = tick.AsString() == QLatin1String("S");
        cdsSincronizacaoCTe.Edit();
        tick.SetAsString(tick.AsString() == QLatin1String("N") ? QStringLiteral("S") : QStringLiteral("N"));
        cdsSincronizacaoCTe.Post();
        if (was != (tick.AsString() == QLatin1String("S")))
            linhaMarcada = cdsSincronizacaoCTe.CurrentRow();
    } catch (...) {
        // A change that could not be posted must not leave the list open for editing.
        cdsSincronizacaoCTe.Cancel();
        throw;
    }
}

void TfrmSincronizacaoCTe::dbgPadraoDblClick(QObject *) { toggleCurrentRow(); }

void TfrmSincronizacaoCTe::dbgPadraoKeyDown(QObject *sender, int &key, Qt::KeyboardModifiers shift)
{
    TfrmPadraoGrid::dbgPadraoKeyDown(sender, key, shift);
    if (key == Qt::Key_F && shift == Qt::ControlModifier) {
        key = 0;
        mnuLocalizarClick(sender);
        return;
    }
    if (key == Qt::Key_F3) {
        key = 0;
        buscaProxima(!(shift & Qt::ShiftModifier));
        return;
    }
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && shift == Qt::NoModifier) {
        key = 0;
        sbtDacteClick(sender);
        return;
    }
    if (key == Qt::Key_Space) {
        // The key that ticks is spent: the view's own space handling would change the selection.
        key = 0;
        toggleCurrentRow();
    }
}

void TfrmSincronizacaoCTe::dbgPadraoTitleClick(TColumn &column)
{
    auto notification = dtsPadrao.OnStateChange;
    auto guard = cdsSincronizacaoCTe.BeforeEdit;
    auto reattach = qScopeGuard([&] {
        dtsPadrao.OnStateChange = notification;
        cdsSincronizacaoCTe.BeforeEdit = guard;
        dtsPadraoStateChange(&dtsPadrao);
    });
    if (column.FieldName != QLatin1String("IDCHECK")) {
        ordenaPor(column.FieldName);
        return;
    }
    dtsPadrao.OnStateChange = nullptr;
    cdsSincronizacaoCTe.BeforeEdit = nullptr;
    if (!cdsSincronizacaoCTe.Active())
        return; // no company's list yet: nothing to tick
    if (cdsSincronizacaoCTe.State() != dsBrowse)
        cdsSincronizacaoCTe.Cancel();
    if (cdsSincronizacaoCTe.IsEmpty())
        return;
    // The first row decides for all; one pass over the tick column, and the user's place is kept.
    const TField &tick = cdsSincronizacaoCTe.FieldByName(QStringLiteral("IDCHECK"));
    const bool ticked = tick.TextAt(cdsSincronizacaoCTe.RowAt(0)) == QByteArrayView("S");
    cdsSincronizacaoCTe.SetTextOfAllRows(tick.FieldName, ticked ? QStringLiteral("N") : QStringLiteral("S"));
    todasMarcadas = ticked ? 0 : 1;
}

void TfrmSincronizacaoCTe::ordenaPor(const QString &field)
{
    // First click ascending, second descending, third back to NSU order.
    TClientDataSet &cds = cdsSincronizacaoCTe;
    if (!cds.Active() || cds.State() != dsBrowse)
        return;
    if (cds.SortField() != field)
        cds.SetSortField(field, false);
    else if (!cds.SortDescending())
        cds.SetSortField(field, true);
    else
        cds.SetSortField(QString());
    mostraOrdem();
}

void TfrmSincronizacaoCTe::mostraOrdem()
{
    QHeaderView *h = dbgPadrao->horizontalHeader();
    const QString field = cdsSincronizacaoCTe.Active() ? cdsSincronizacaoCTe.SortField() : QString();
    int section = -1;
    for (size_t i = 0; i < dbgPadrao->Columns.size(); ++i)
        if (!field.isEmpty() && dbgPadrao->Columns[i].FieldName == field)
            section = int(i);
    h->setSortIndicatorShown(section >= 0);
    h->setSortIndicator(section, cdsSincronizacaoCTe.SortDescending() ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void TfrmSincronizacaoCTe::dtsPadraoStateChange(TDataSource *)
{
    // The list is read-only: the base's maintenance commands never apply.
    for (QAction *a : {mnuIncluir, mnuAlterar, mnuExcluir, mnuGravar, mnuCancelar})
        a->setEnabled(false);
    const bool browse = dtsPadrao.State() == dsBrowse;
    const bool browsable = browse && !cdsSincronizacaoCTe.IsEmpty();
    mnuPrimeiro->setEnabled(browsable);
    mnuUltimo->setEnabled(browsable);
    sbtIncluir->setEnabled(mnuIncluir->isEnabled());
    sbtAlterar->setEnabled(mnuAlterar->isEnabled());
    sbtExcluir->setEnabled(mnuExcluir->isEnabled());
    sbtGravar->setEnabled(mnuGravar->isEnabled());
    sbtCancelar->setEnabled(mnuCancelar->isEnabled());
    sbtPrimeiro->setEnabled(mnuPrimeiro->isEnabled());
    sbtUltimo->setEnabled(mnuUltimo->isEnabled());
    dbnPadrao->setEnabled(browse);
    sbtRecusaCTe->setEnabled(true);
    atualizaTotais();
    mostraOrdem();
}

void TfrmSincronizacaoCTe::buildFooter()
{
    lblTotais = new QLabel(panNavigator);
    lblTotais->setObjectName(QStringLiteral("lblTotais"));
    // Its text never widens the window: what does not fit is cut.
    lblTotais->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    static_cast<QHBoxLayout *>(panNavigator->layout())->insertWidget(1, lblTotais, 2);
    lblVazio = new QLabel(dbgPadrao->viewport());
    lblVazio->setObjectName(QStringLiteral("lblVazio"));
    lblVazio->setAlignment(Qt::AlignCenter);
    lblVazio->setWordWrap(true);
    QFont f = lblVazio->font();
    f.setPointSizeF(f.pointSizeF() * 1.2);
    lblVazio->setFont(f);
    auto *lay = new QVBoxLayout(dbgPadrao->viewport());
    lay->addWidget(lblVazio);
    lblVazio->hide();
}

void TfrmSincronizacaoCTe::atualizaTotais()
{
    const TClientDataSet &cds = cdsSincronizacaoCTe;
    const int marcada = std::exchange(linhaMarcada, -1), todas = std::exchange(todasMarcadas, -1);
    // A restricted list is a command's passing state: the totals are of the whole list.
    if (cds.Filtered() || cds.State() != dsBrowse) {
        if (!cds.Active()) {
            lblTotais->clear();
            lblVazio->hide();
        }
        return;
    }
    const TField &tick = cds.FieldByName(QStringLiteral("IDCHECK"));
    const TField &total = cds.FieldByName(QStringLiteral("VRTOTALPREST"));
    const TField &receber = cds.FieldByName(QStringLiteral("VRRECEBER"));
    const auto amount = [&](int k, int row) {
        const double a = (k == 0 ? total : receber).FloatAt(row);
        return std::isnan(a) ? 0.0 : a;
    };
    if (todas >= 0) {
        totais.ticked = todas ? cds.RecordCount() : 0;
        for (int k : {0, 1})
            totais.sums[1][k] = todas ? totais.sums[0][k] : 0.0;
    } else if (marcada >= 0) {
        // One row ticked or unticked: a walk of every row per key press is what a user of
        // a long list would feel.
        const int sign = tick.TextAt(marcada) == QByteArrayView("S") ? 1 : -1;
        totais.ticked += sign;
        for (int k : {0, 1})
            totais.sums[1][k] = totais.ticked == 0 ? 0.0 : totais.sums[1][k] + sign * amount(k, marcada);
    } else {
        totais = Totais();
        for (int v = 0; v < cds.RecordCount(); ++v) {
            const int row = cds.RowAt(v);
            const bool on = tick.TextAt(row) == QByteArrayView("S");
            totais.ticked += on ? 1 : 0;
            for (int k : {0, 1}) {
                totais.sums[0][k] += amount(k, row);
                if (on)
                    totais.sums[1][k] += amount(k, row);
            }
        }
    }
    mostraTotais();
}

void TfrmSincronizacaoCTe::mostraTotais()
{
    const TClientDataSet &cds = cdsSincronizacaoCTe;
    const QLocale loc;
    const int which = totais.ticked > 0 ? 1 : 0;
    lblTotais->setText(QStringLiteral("%1 CT-e · %2 marcado(s) · Valor Total %3 · Valor a Receber %4 (%5)")
                           .arg(loc.toString(cds.RecordCount()), loc.toString(totais.ticked),
                                loc.toString(totais.sums[which][0], 'f', 2), loc.toString(totais.sums[which][1], 'f', 2),
                                totais.ticked > 0 ? QStringLiteral("marcados") : QStringLiteral("todos")));
    lblVazio->setVisible(cds.IsEmpty());
    if (cds.IsEmpty())
        lblVazio->setText(semCTe());
}

QString TfrmSincronizacaoCTe::semCTe() const
{
    if (!listaFiltro)
        return QStringLiteral("nenhum CT-e");
    const Cli_Dfe71100::TRecordFilter &rc = listaFiltro->rc;
    auto range = [](const QDate &a, const QDate &b) {
        const QString f = QStringLiteral("dd/MM/yyyy");
        return QStringLiteral("de %1 a %2").arg(a.isValid() ? a.toString(f) : QStringLiteral("…"),
                                                b.isValid() ? b.toString(f) : QStringLiteral("…"));
    };
    return QStringLiteral("nenhum CT-e de %1 emitido %2 e sincronizado %3 nas situações escolhidas")
        .arg(InscricaoFormatada(rc.stInscrJurid), range(rc.dtEmissaoIni, rc.dtEmissaoFim),
             range(rc.dtSincIni, rc.dtSincFin));
}

} // namespace Cli_Dfe71000
