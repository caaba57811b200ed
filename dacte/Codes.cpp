#include "Codes.h"

#include <memory>
#include <qrencode.h>
#include <zint.h>

namespace dacte {

Bars code128(const QString &data)
{
    Bars out;
    std::unique_ptr<zint_symbol, decltype(&ZBarcode_Delete)> s(ZBarcode_Create(), &ZBarcode_Delete);
    if (!s) {
        out.error = QStringLiteral("sem memória para o código de barras");
        return out;
    }
    s->symbology = BARCODE_CODE128;
    s->show_hrt = 0;
    s->height = 1;
    const QByteArray bytes = data.toLatin1();
    if (ZBarcode_Encode(s.get(), reinterpret_cast<const unsigned char *>(bytes.constData()), int(bytes.size())) >= ZINT_ERROR ||
        ZBarcode_Buffer_Vector(s.get(), 0) >= ZINT_ERROR) {
        out.error = QString::fromLatin1(s->errtxt);
        return out;
    }
    out.modules = s->width;
    const float scale = s->vector->width / float(s->width);
    for (const zint_vector_rect *r = s->vector->rectangles; r; r = r->next)
        out.bars.emplace_back(r->x / scale, 0.0, r->width / scale, 1.0);
    return out;
}

QrMatrix qrCode(const QString &text)
{
    QrMatrix out;
    const QByteArray utf8 = text.toUtf8();
    std::unique_ptr<QRcode, decltype(&QRcode_free)> q(QRcode_encodeString(utf8.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1),
                                                      &QRcode_free);
    if (!q) {
        out.error = QStringLiteral("texto longo demais para o QR Code");
        return out;
    }
    out.size = q->width;
    out.dark.resize(size_t(q->width) * size_t(q->width));
    for (size_t i = 0; i < out.dark.size(); ++i)
        out.dark[i] = q->data[i] & 1;
    return out;
}

} // namespace dacte
