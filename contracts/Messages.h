#pragma once
#include "ToolkitApi.h"
#include <QStringList>

// A screen's keyed message list: lines of "KEY|text".
class DFE_TOOLKIT_API TMessages {
public:
    QStringList Lines;
    // The text after the first "|" of the line whose key is exactly `key`;
    // an empty text when there is none.
    QString Msg(const QString &key) const;
};
