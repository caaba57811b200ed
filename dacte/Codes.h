#pragma once
// The DACTE's codes from Debian's libraries: CODE-128 of the access key (zint picks set C for
// digit pairs and switches sets for the letters of an alphanumeric key) and the QR code.
#include <QRectF>
#include <QString>
#include <vector>

namespace dacte {

// The bars of `data` in CODE-128, in a box one unit high and `modules` units wide.
struct Bars {
    int modules = 0;
    std::vector<QRectF> bars;
    QString error;
};
Bars code128(const QString &data);

// The QR code of `text` (level M): `size` x `size` modules, row by row.
struct QrMatrix {
    int size = 0;
    std::vector<bool> dark;
    QString error;
};
QrMatrix qrCode(const QString &text);

} // namespace dacte
