#pragma once
// The list of a registration's CT-e as the screen shows it: the rows the filter lets
// through, in NSU order, as one data packet with the list's 24 fields.
#include "Frame.h"
#include "store/Store.h"

#include <QDate>
#include <QString>
#include <QVariantList>

namespace ctelist {

struct Filter {
    QString registration; // normal form, not empty
    QDate issuedFrom, issuedTo, syncedFrom, syncedTo; // invalid: open
    QString statuses; // "T", or "_" followed by "code_" per status
};

// The status list as the one string the query matches against: each distinct code once.
QString statusCodes(const QString &list);
// The reply envelope: "S" with the data packet.
QVariantList list(Store &store, const Filter &filter);
// The list for a caller that takes it in parts: a list of one part is answered as `list`
// does (nothing sent); a longer one goes out through `send`, the reply with the first
// rows (as soon as they are read), then parts of growing size, and the reply returned
// is marked sent. `args`: the call's arguments as they go back; `repeats`: the caller
// reads a value equal to the one above it in its column as a mark.
wire::Reply listInParts(Store &store, const Filter &filter, const QVariantList &args, const wire::FrameSink &send,
                        bool repeats = false);

// Keeps the list encoding of up to `limit` rows of `registration` (of every registration
// when empty) that have none: a row written or changed since. Returns how many it read;
// one changed meanwhile stays without. In the caller's transaction.
qsizetype encodeRows(Store &store, const QString &registration, qsizetype limit);

} // namespace ctelist
