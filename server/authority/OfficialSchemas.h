#pragma once
// The authority's official XML schemas (compiled into the program from
// authority/schemas) and validation against them with libxml2. Each schema is compiled
// once and then shared: safe from several threads at once.
#include <QByteArray>
#include <QString>

namespace schemas {

// The first problem libxml2 finds when validating `xml` against the schema `file`
// ("eventoCTe_v4.00.xsd"), as "linha N: message"; empty when the document is valid.
// Throws std::runtime_error when there is no such schema.
QString problem(const QByteArray &xml, const QString &file);

// The first element inside the first element named `parent` (the payload inside
// detEvento), as a document of its own with its namespace declared; empty when there is none.
QByteArray firstChildOf(const QByteArray &xml, const QString &parent);

} // namespace schemas
