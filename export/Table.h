#pragma once
// The list as the user sees it, ready to leave the program: titled, typed columns and rows.
#include <QString>
#include <QVariant>
#include <vector>

namespace listexport {

enum class Type { Text, Number, Date };

struct Column {
    QString title;
    Type type = Type::Text;
    int decimals = 2; // numbers
};

struct Table {
    std::vector<Column> columns;
    std::vector<std::vector<QVariant>> rows; // Text: QString, Number: double, Date: QDate; null for none
};

} // namespace listexport
