// The module's exported entries.
#include "Creation.h"
#include "ModuleApi.h"

namespace {
bool initialized = false;
}

extern "C" {

DFE_MODULE_EXPORT void Initialize()
{
    if (initialized)
        return;
    initialized = true;
    Cli_Dfe71100::Initialization();
    Cli_Dfe71200::Initialization();
    Cli_Dfe71000::Initialization();
}

DFE_MODULE_EXPORT void Finalize()
{
    if (!initialized)
        return;
    initialized = false;
    Cli_Dfe71000::Finalization();
    Cli_Dfe71200::Finalization();
    Cli_Dfe71100::Finalization();
}

DFE_MODULE_EXPORT void IniProc() { Cli_Dfe71000::CriaSincronizacaoCTe(); }

} // extern "C"
