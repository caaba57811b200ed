// The creation procedures: wait cursor, create once, show, restore the cursor.
#include "Creation.h"
#include "FiltroSincronizacaoCTe.h"
#include "RecusaCTe.h"
#include "SincronizacaoCTe.h"

#include <QGuiApplication>
#include <QMdiArea>

WaitCursor::WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
WaitCursor::~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
NormalCursor::NormalCursor() { QGuiApplication::setOverrideCursor(Qt::ArrowCursor); }
NormalCursor::~NormalCursor() { QGuiApplication::restoreOverrideCursor(); }

namespace {
// The host application owns the dialogs: its main window when there is one.
QWidget *hostOwner() { return HostMdiArea() ? HostMdiArea()->window() : nullptr; }
} // namespace

namespace Cli_Dfe71000 {
void CriaSincronizacaoCTe()
{
    WaitCursor wait;
    if (!boIdCriado) {
        frmSincronizacaoCTe = new TfrmSincronizacaoCTe(nullptr);
        boIdCriado = true;
    }
    frmSincronizacaoCTe->Show();
}
} // namespace Cli_Dfe71000

namespace Cli_Dfe71100 {
bool CriaFiltroSincronizacaoCTe()
{
    WaitCursor wait;
    if (!frmFiltroSincronizacaoCTe) {
        frmFiltroSincronizacaoCTe = new TfrmFiltroSincronizacaoCTe(hostOwner());
        frmFiltroSincronizacaoCTe->Create();
    }
    {
        NormalCursor normal;
        frmFiltroSincronizacaoCTe->ShowModal();
    }
    return boConfirma;
}
} // namespace Cli_Dfe71100

namespace Cli_Dfe71200 {
QVariantList CriaRecusaCTe()
{
    WaitCursor wait;
    if (!boIdCriado) {
        frmRecusaCTe = new TfrmRecusaCTe(hostOwner());
        boIdCriado = true;
        frmRecusaCTe->Create();
    }
    {
        NormalCursor normal;
        frmRecusaCTe->ShowModal();
    }
    return QVariantList{boConfirma, stMotivoRecusaCTe};
}
} // namespace Cli_Dfe71200
