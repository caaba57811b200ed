#pragma once
// Steps the synchronization screen's tests share: the filter dialog confirmed with a
// registration, and the list's ticks in index order.
#include "FiltroSincronizacaoCTe.h"
#include "TestSupport.h"

// The next filter dialog gets `reg` and is confirmed (cancelled when the confirm is refused,
// so that no test is left waiting on it).
inline void confirmNextFilterWith(const QString &reg)
{
    whenModal([reg](QWidget *w) {
        auto *d = static_cast<Cli_Dfe71100::TfrmFiltroSincronizacaoCTe *>(w);
        d->medInscrJurid->SetText(reg);
        d->sbtConfirma->click();
        if (d->isVisible())
            d->sbtCancel->click();
    });
}

// IDCHECK of every row in index order (none for a closed list).
inline QStringList ticksOf(TClientDataSet &ds)
{
    QStringList out;
    if (ds.Active())
        for (int v = 0; v < ds.RecordCount(); ++v)
            out << ds.FieldByName(QStringLiteral("IDCHECK")).StringAt(ds.RowAt(v));
    return out;
}
