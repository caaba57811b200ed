#pragma once
// What the dataset's sources share and no caller sees: its change events and the field
// types' names on the wire.
#include "DataSet.h"
#include "Packet.h"

namespace dataset {

enum Event { evChanged, evRecord, evScroll, evState, evRecords, evField, evAppended };

QString typeText(TFieldType t);
bool compatible(TFieldType f, wire::PacketType p);
wire::PacketType packetType(TFieldType t);
TFieldType fieldType(wire::PacketType t);
[[noreturn]] void packetError(const QString &why);

} // namespace dataset
