#pragma once
// The XML of the ticked rows of a list: one row per ticked NSU, with its file name and
// the document as stored, or why there is none.
#include "Packet.h"
#include "store/Store.h"

#include <QVariantList>

namespace xmldownload {

// The columns of the list the download reads (IDCHECK and NRNSU present, all text).
struct Columns {
    int check = -1, nsu = -1, registration = -1; // registration: -1 when the list has none
    int key = -1; // NRACESSOCTE: when present, a row is answered only under its own key
};

// `registration`: normal form; when empty, each row's own NRINSJURPESQ. The reply
// envelope: "S" with the data packet of the download rows.
QVariantList download(Store &store, const wire::DecodedPacket &list, const Columns &columns, const QString &registration);

} // namespace xmldownload
