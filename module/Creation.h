#pragma once
// Creation procedures of the three screens and the units' load and unload steps.
#include <QVariantList>

namespace Cli_Dfe71000 {
void CriaSincronizacaoCTe();
void Initialization();
void Finalization();
} // namespace Cli_Dfe71000

namespace Cli_Dfe71100 {
bool CriaFiltroSincronizacaoCTe();
void Initialization();
void Finalization();
} // namespace Cli_Dfe71100

namespace Cli_Dfe71200 {
// [0] the dialog's boConfirma, [1] stMotivoRecusaCTe
QVariantList CriaRecusaCTe();
void Initialization();
void Finalization();
} // namespace Cli_Dfe71200

// The wait cursor for the life of the object, whatever way the scope is left.
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};
// The normal cursor while a modal dialog is shown inside a WaitCursor scope.
class NormalCursor {
public:
    NormalCursor();
    ~NormalCursor();
    NormalCursor(const NormalCursor &) = delete;
    NormalCursor &operator=(const NormalCursor &) = delete;
};
