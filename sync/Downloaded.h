#pragma once
// What the server sends for a download, checked before anything is written: the
// file name it gave and the document as XML. Plain Qt Core, no screen.
#include <QByteArray>
#include <QString>
#include <optional>

namespace Cli_Dfe71000 {

// The name must stay a plain file name inside the chosen folder.
bool safeFileName(const QString &name);

struct XmlProblem {
    QString text;
    qint64 line = 0;
};
// Empty when the document reads through as XML.
std::optional<XmlProblem> xmlProblem(const QByteArray &xml);

} // namespace Cli_Dfe71000
