#pragma once
// Files a Brazilian office opens as they are: CSV and XLSX of a list, ZIP of documents.
// Each file is written beside its target and renamed at the end, so a failure never leaves
// half a file under the chosen name.
#include "Table.h"

#include <QByteArray>

namespace listexport {

// UTF-8 with a byte-order mark, semicolons, decimal comma, dates dd/MM/yyyy, CRLF lines.
QByteArray csv(const Table &t);
bool writeCsv(const QString &path, const Table &t, QString *error);
// Numbers and dates as typed cells with their display formats, texts as texts.
bool writeXlsx(const QString &path, const Table &t, QString *error);

struct ZipEntry {
    QString name;
    QByteArray bytes;
};
bool writeZip(const QString &path, const std::vector<ZipEntry> &entries, QString *error);

} // namespace listexport
