// The list as shown (its columns in their order, its rows in theirs) to a spreadsheet:
// XLSX with typed numbers and dates, or CSV as a Brazilian spreadsheet reads it.
#include "SincronizacaoCTe.h"
#include "Dialogs.h"
#include "Exceptions.h"
#include "Grid.h"
#include "Writers.h"

#include <QDate>
#include <QHeaderView>

namespace Cli_Dfe71000 {

namespace {
listexport::Column columnOf(const QString &title, const TField &f)
{
    listexport::Column out{title, listexport::Type::Text, 2};
    if (f.DataType == ftFloat) {
        out.type = listexport::Type::Number;
        const qsizetype dot = f.DisplayFormat.indexOf(u'.');
        out.decimals = dot < 0 ? 0 : int(f.DisplayFormat.size() - dot - 1);
    } else if (f.FieldName.startsWith(QLatin1String("DT"))) {
        out.type = listexport::Type::Date;
    }
    return out;
}

QVariant cellOf(const listexport::Column &c, const TField &f, int row)
{
    switch (c.type) {
    case listexport::Type::Number: {
        const double v = f.FloatAt(row);
        return std::isnan(v) ? QVariant() : QVariant(v);
    }
    case listexport::Type::Date: {
        const QDate d = QDate::fromString(f.StringAt(row).trimmed(), QStringLiteral("dd/MM/yyyy"));
        return d.isValid() ? QVariant(d) : QVariant();
    }
    case listexport::Type::Text:
        break;
    }
    return f.DisplayTextAt(row);
}
} // namespace

listexport::Table TfrmSincronizacaoCTe::tabelaMostrada(bool tickedOnly) const
{
    const TClientDataSet &cds = cdsSincronizacaoCTe;
    const QHeaderView *h = dbgPadrao->horizontalHeader();
    std::vector<const TField *> fields;
    listexport::Table t;
    for (int visual = 0; visual < h->count(); ++visual) {
        const int logical = h->logicalIndex(visual);
        if (logical < 0 || logical >= int(dbgPadrao->Columns.size()) || h->isSectionHidden(logical))
            continue;
        const TColumn &c = dbgPadrao->Columns[size_t(logical)];
        const TField *f = cds.FindField(c.FieldName);
        if (!f || c.FieldName == QLatin1String("IDCHECK"))
            continue;
        fields.push_back(f);
        t.columns.push_back(columnOf(dbgPadrao->model()->headerData(logical, Qt::Horizontal).toString(), *f));
    }
    const TField &tick = cds.FieldByName(QStringLiteral("IDCHECK"));
    for (int v = 0; v < cds.RecordCount(); ++v) {
        const int row = cds.RowAt(v);
        if (tickedOnly && tick.TextAt(row) != QByteArrayView("S"))
            continue;
        std::vector<QVariant> cells;
        for (size_t i = 0; i < fields.size(); ++i)
            cells.push_back(cellOf(t.columns[i], *fields[i], row));
        t.rows.push_back(std::move(cells));
    }
    return t;
}

void TfrmSincronizacaoCTe::sbtExportarClick(QObject *)
{
    const TClientDataSet &cds = cdsSincronizacaoCTe;
    if (!cds.Active() || cds.IsEmpty())
        throw Exception(QStringLiteral("Não há CT-e na lista para exportar."));
    const TField &tick = cds.FieldByName(QStringLiteral("IDCHECK"));
    bool anyTicked = false;
    for (int v = 0; v < cds.RecordCount() && !anyTicked; ++v)
        anyTicked = tick.TextAt(cds.RowAt(v)) == QByteArrayView("S");
    const bool tickedOnly = anyTicked && Dialogs().Confirm(this, QStringLiteral("Exportar somente os CT-e marcados?"));
    const QString reg = listaFiltro ? listaFiltro->rc.stInscrJurid : QString();
    const std::optional<QString> path =
        Dialogs().ChooseSaveFile(this, QStringLiteral("Exportar lista"), QStringLiteral("CT-e_%1.xlsx").arg(reg),
                                 QStringLiteral("Planilha Excel (*.xlsx);;Texto separado por ponto e vírgula (*.csv)"));
    if (!path)
        return;
    const listexport::Table t = tabelaMostrada(tickedOnly);
    QString error;
    const bool csv = path->endsWith(QLatin1String(".csv"), Qt::CaseInsensitive);
    if (!(csv ? listexport::writeCsv(*path, t, &error) : listexport::writeXlsx(*path, t, &error)))
        throw Exception(QStringLiteral("Não foi possível exportar a lista para \"%1\": %2").arg(*path, error));
    Dialogs().Information(this, QStringLiteral("Lista exportada: %1 CT-e em \"%2\".").arg(t.rows.size()).arg(*path));
}

} // namespace Cli_Dfe71000
