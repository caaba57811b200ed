#include "Downloaded.h"

#include <QXmlStreamReader>

namespace Cli_Dfe71000 {

bool safeFileName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           name != QLatin1String(".") && name != QLatin1String("..");
}

std::optional<XmlProblem> xmlProblem(const QByteArray &xml)
{
    QXmlStreamReader reader(xml);
    while (!reader.atEnd())
        reader.readNext();
    if (!reader.hasError())
        return std::nullopt;
    return XmlProblem{reader.errorString(), reader.lineNumber()};
}

} // namespace Cli_Dfe71000
