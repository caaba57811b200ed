#pragma once
// The company certificate the authority's calls are made with: an expired one stops a
// call before it is made, one that ends within 30 days is told about.
#include <QDateTime>
#include <QString>

namespace certificate {

// The refusal for an expired certificate; empty when `expiry` is invalid (no
// certificate involved) or not yet reached.
QString expired(const QDateTime &expiry, const QDateTime &now);
// The warning for one that ends within 30 days, also written to the log; else empty.
QString ending(const QDateTime &expiry, const QDateTime &now);

} // namespace certificate
