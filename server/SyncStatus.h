#pragma once
// A registration's conversation with the authority as the screens show it: the last
// query and its answer, when the next one is allowed, what came in the last day, the
// NSUs still to repair, the capture schedule's next run and the company certificate's end.
#include "store/Store.h"

#include <QDateTime>
#include <QVariantList>

namespace syncstatus {

// "S" with [[name, value], ...] (see docs/protocol.md, GetEstadoSincronizacao).
// `certificateExpiry`: the company certificate's end; invalid when none is used.
QVariantList state(Store &store, const QString &registration, const QDateTime &now,
                   const QDateTime &certificateExpiry = {});

} // namespace syncstatus
