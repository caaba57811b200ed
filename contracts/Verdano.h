#pragma once
// Host values: what the host application supplies to every module.
#include "ToolkitApi.h"
#include <QDate>
#include <QSqlDatabase>
#include <QString>

namespace Verdano {
DFE_TOOLKIT_API QString EmprProc();
DFE_TOOLKIT_API QString FiliProc();
DFE_TOOLKIT_API QDate DataProc(const QString &branch);
DFE_TOOLKIT_API QString WebURL();
DFE_TOOLKIT_API int WebPort();

// Set by the host.
DFE_TOOLKIT_API void SetEmprProc(const QString &company);
DFE_TOOLKIT_API void SetFiliProc(const QString &branch);
DFE_TOOLKIT_API void SetDataProc(const QString &branch, const QDate &date);
DFE_TOOLKIT_API void SetWebURL(const QString &host);
DFE_TOOLKIT_API void SetWebPort(int port);
} // namespace Verdano

// The host's general database connection.
namespace dtmDBGeral {
DFE_TOOLKIT_API QSqlDatabase Database();
DFE_TOOLKIT_API void SetConnectionName(const QString &name);
} // namespace dtmDBGeral
