#include "Renderer.h"
#include "Codes.h"

#include <QBuffer>
#include <algorithm>
#include <QSaveFile>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

namespace dacte {

namespace {

// The page in tenths of a millimetre: A4 is 2100 x 2970.
constexpr qreal kWidth = 2100, kHeight = 2970, kMargin = 50, kRight = kWidth - kMargin;

QString kindTitle(Kind k)
{
    switch (k) {
    case Kind::CTeOS: return QStringLiteral("DACTE OS");
    case Kind::GTVe: return QStringLiteral("DACTE GTV-e");
    case Kind::CTeSimp: return QStringLiteral("DACTE Simplificado");
    case Kind::CTe: break;
    }
    return QStringLiteral("DACTE");
}

QString kindSubtitle(Kind k)
{
    switch (k) {
    case Kind::CTeOS: return QStringLiteral("Documento Auxiliar do Conhecimento de Transporte Eletrônico para Outros Serviços");
    case Kind::GTVe: return QStringLiteral("Documento Auxiliar da Guia de Transporte de Valores Eletrônica");
    case Kind::CTeSimp:
    case Kind::CTe: break;
    }
    return QStringLiteral("Documento Auxiliar do Conhecimento de Transporte Eletrônico");
}

QString cteTypeText(const QString &code)
{
    static const char *const names[] = {"NORMAL", "COMPLEMENTO DE VALORES", "ANULAÇÃO", "SUBSTITUTO", "GTV-e",
                                        "SIMPLIFICADO", "SUBSTITUTO DO SIMPLIFICADO"};
    const int i = code.toInt();
    return !code.isEmpty() && i >= 0 && i < 7 ? QString::fromUtf8(names[i]) : code;
}

QString serviceTypeText(const QString &code)
{
    // 0 to 4 for the CT-e; 6 to 8 for the CT-e OS; 9 for the GTV-e.
    static const char *const names[] = {"NORMAL", "SUBCONTRATAÇÃO", "REDESPACHO", "REDESPACHO INTERMEDIÁRIO",
                                        "SERVIÇO VINCULADO A MULTIMODAL", "", "TRANSPORTE DE PESSOAS",
                                        "TRANSPORTE DE VALORES", "EXCESSO DE BAGAGEM", "GTV"};
    const int i = code.toInt();
    return !code.isEmpty() && i >= 0 && i < 10 && *names[i] ? QString::fromUtf8(names[i]) : code;
}

QString modalText(const QString &code)
{
    static const char *const names[] = {"", "RODOVIÁRIO", "AÉREO", "AQUAVIÁRIO", "FERROVIÁRIO", "DUTOVIÁRIO", "MULTIMODAL"};
    const int i = code.toInt();
    return i >= 1 && i <= 6 ? QString::fromUtf8(names[i]) : code;
}

class Page {
public:
    Page(QPainter &p, std::vector<Placed> &placed) : m_p(p), m_placed(placed) {}

    // A framed field: its title small at the top, its text below.
    void field(const QRectF &r, const QString &label, const QString &text, int size = 24, bool bold = false)
    {
        frame(r);
        setFont(15, false);
        m_p.drawText(r.adjusted(8, 4, -8, 0), Qt::AlignLeft | Qt::AlignTop, label);
        setFont(size, bold);
        m_p.drawText(r.adjusted(8, 26, -8, -4), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text);
        m_placed.push_back({label, text});
    }
    void frame(const QRectF &r) { m_p.drawRect(r); }
    void setFont(int size, bool bold)
    {
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(size);
        f.setBold(bold);
        m_p.setFont(f);
    }
    void text(const QRectF &r, const QString &t, int size, bool bold, int flags, const QString &label = {})
    {
        setFont(size, bold);
        m_p.drawText(r, flags | Qt::TextWordWrap, t);
        if (!label.isEmpty())
            m_placed.push_back({label, t});
    }
    QPainter &painter() { return m_p; }

private:
    QPainter &m_p;
    std::vector<Placed> &m_placed;
};

void drawBars(QPainter &p, const QRectF &r, const Bars &b)
{
    if (b.modules <= 0)
        return;
    const qreal unit = r.width() / b.modules;
    for (const QRectF &bar : b.bars)
        p.fillRect(QRectF(r.left() + bar.left() * unit, r.top(), bar.width() * unit, r.height()), Qt::black);
}

void drawQr(QPainter &p, const QRectF &r, const QrMatrix &q)
{
    if (q.size <= 0)
        return;
    // A quiet zone of four modules, as readers need.
    const qreal unit = std::min(r.width(), r.height()) / (q.size + 8);
    const QPointF origin = r.topLeft() + QPointF(4 * unit, 4 * unit);
    for (int y = 0; y < q.size; ++y)
        for (int x = 0; x < q.size; ++x)
            if (q.dark[size_t(y) * size_t(q.size) + size_t(x)])
                p.fillRect(QRectF(origin.x() + x * unit, origin.y() + y * unit, unit, unit), Qt::black);
}

QString addressLines(const Party &a)
{
    QStringList lines{a.street, a.district};
    QString city = a.city;
    if (!a.uf.isEmpty())
        city += QStringLiteral(" - ") + a.uf;
    if (!a.postalCode.isEmpty())
        city += QStringLiteral("  CEP ") + a.postalCode;
    lines << city.trimmed();
    lines.removeAll(QString());
    return lines.join(u'\n');
}

qreal header(Page &pg, const Document &d)
{
    const qreal top = kMargin, h = 380;
    const Party &e = d.issuer;
    pg.frame(QRectF(kMargin, top, 700, h));
    pg.text(QRectF(kMargin + 10, top + 10, 680, 80), e.name, 30, true, Qt::AlignCenter, QStringLiteral("EMITENTE"));
    QString who = addressLines(e);
    who += QStringLiteral("\nCNPJ/CPF: %1   IE: %2").arg(e.registration, e.stateRegistration);
    if (!e.phone.isEmpty())
        who += QStringLiteral("\nFone: ") + e.phone;
    pg.text(QRectF(kMargin + 10, top + 100, 680, h - 110), who, 20, false, Qt::AlignHCenter | Qt::AlignTop);

    const QRectF title(kMargin + 700, top, 420, h);
    pg.frame(title);
    pg.text(QRectF(title.left(), top + 10, title.width(), 60), kindTitle(d.kind), 44, true, Qt::AlignCenter);
    pg.text(QRectF(title.left() + 10, top + 75, title.width() - 20, 80), kindSubtitle(d.kind), 17, false, Qt::AlignCenter);
    const qreal w = title.width() / 3;
    pg.field(QRectF(title.left(), top + 160, w, 70), QStringLiteral("MODELO"), d.model);
    pg.field(QRectF(title.left() + w, top + 160, w, 70), QStringLiteral("SÉRIE"), d.series);
    pg.field(QRectF(title.left() + 2 * w, top + 160, w, 70), QStringLiteral("NÚMERO"), d.number);
    pg.field(QRectF(title.left(), top + 230, title.width(), 70), QStringLiteral("DATA E HORA DE EMISSÃO"), dateTime(d.issuedAt));
    pg.field(QRectF(title.left(), top + 300, title.width(), 80), QStringLiteral("FOLHA"), QStringLiteral("1/1"));

    const QRectF codes(title.right(), top, kRight - title.right(), h);
    pg.frame(codes);
    const qreal qrSide = 260;
    drawQr(pg.painter(), QRectF(codes.right() - qrSide - 5, top + 5, qrSide, qrSide), qrCode(d.qrCode.isEmpty() ? d.key : d.qrCode));
    const QRectF barBox(codes.left() + 30, top + 30, codes.width() - qrSide - 60, 150);
    drawBars(pg.painter(), barBox, code128(d.key));
    pg.field(QRectF(codes.left(), top + 200, codes.width() - qrSide - 10, 90), QStringLiteral("CHAVE DE ACESSO"),
             keyInGroups(d.key), 20, true);
    QString protocol = d.protocol;
    if (!d.protocolAt.isEmpty())
        protocol += QStringLiteral(" - ") + dateTime(d.protocolAt);
    pg.field(QRectF(codes.left(), top + 290, codes.width(), 90), QStringLiteral("PROTOCOLO DE AUTORIZAÇÃO DE USO"), protocol, 22, true);
    return top + h;
}

qreal service(Page &pg, const Document &d, qreal y)
{
    const qreal w = (kRight - kMargin) / 4, h = 70;
    pg.field(QRectF(kMargin, y, w, h), QStringLiteral("TIPO DO CT-E"), cteTypeText(d.cteType));
    pg.field(QRectF(kMargin + w, y, w, h), QStringLiteral("TIPO DO SERVIÇO"), serviceTypeText(d.serviceType));
    pg.field(QRectF(kMargin + 2 * w, y, w, h), QStringLiteral("MODAL"), modalText(d.modal));
    pg.field(QRectF(kMargin + 3 * w, y, w, h), QStringLiteral("CFOP - NATUREZA DA OPERAÇÃO"), d.cfop + QStringLiteral(" - ") + d.nature, 18);
    y += h;
    const qreal half = (kRight - kMargin) / 2;
    pg.field(QRectF(kMargin, y, half, h), QStringLiteral("INÍCIO DA PRESTAÇÃO"), d.start);
    pg.field(QRectF(kMargin + half, y, half, h), QStringLiteral("TÉRMINO DA PRESTAÇÃO"), d.end);
    return y + h;
}

qreal parties(Page &pg, const Document &d, qreal y)
{
    const qreal half = (kRight - kMargin) / 2, h = 200;
    int i = 0;
    for (const Party &p : d.parties) {
        const QRectF r(kMargin + (i % 2) * half, y + (i / 2) * h, half, h);
        QString text = p.name + u'\n' + addressLines(p) + QStringLiteral("\nCNPJ/CPF: %1   IE: %2").arg(p.registration, p.stateRegistration);
        if (!p.country.isEmpty())
            text += QStringLiteral("   País: ") + p.country;
        if (!p.phone.isEmpty())
            text += QStringLiteral("   Fone: ") + p.phone;
        pg.field(r, p.role, text, 19);
        ++i;
    }
    return y + ((i + 1) / 2) * h;
}

qreal cargo(Page &pg, const Document &d, qreal y)
{
    if (d.mainProduct.isEmpty() && d.cargoValue.isEmpty() && d.quantities.empty())
        return y;
    const qreal w = (kRight - kMargin), h = 70;
    pg.field(QRectF(kMargin, y, w * 0.5, h), d.kind == Kind::CTeOS ? QStringLiteral("DESCRIÇÃO DO SERVIÇO")
                                                                  : QStringLiteral("PRODUTO PREDOMINANTE"),
             d.mainProduct);
    pg.field(QRectF(kMargin + w * 0.5, y, w * 0.25, h), QStringLiteral("OUTRAS CARACTERÍSTICAS DA CARGA"), d.otherFeatures, 18);
    pg.field(QRectF(kMargin + w * 0.75, y, w * 0.25, h), QStringLiteral("VALOR TOTAL DA CARGA"),
             d.cargoValue.isEmpty() ? QString() : amount(d.cargoValue));
    y += h;
    if (d.quantities.empty())
        return y;
    const qreal qw = w / qreal(std::max<size_t>(d.quantities.size(), 4));
    qreal x = kMargin;
    for (const Quantity &q : d.quantities) {
        pg.field(QRectF(x, y, qw, h), q.measure, amount(q.amount, 4), 20);
        x += qw;
    }
    return y + h;
}

qreal values(Page &pg, const Document &d, qreal y)
{
    const qreal w = kRight - kMargin, h = 60;
    pg.text(QRectF(kMargin, y + 5, w, 30), QStringLiteral("COMPONENTES DO VALOR DA PRESTAÇÃO DO SERVIÇO"), 18, true, Qt::AlignCenter);
    y += 35;
    const qreal cw = w * 0.7 / 3;
    size_t i = 0;
    for (; i < d.components.size(); ++i)
        pg.field(QRectF(kMargin + qreal(i % 3) * cw, y + qreal(i / 3) * h, cw, h), d.components[i].name, amount(d.components[i].value));
    const qreal rows = std::max<qreal>(2, qreal((d.components.size() + 2) / 3));
    pg.field(QRectF(kMargin + w * 0.7, y, w * 0.3, h), QStringLiteral("VALOR TOTAL DO SERVIÇO"), amount(d.totalService), 26, true);
    pg.field(QRectF(kMargin + w * 0.7, y + h, w * 0.3, h), QStringLiteral("VALOR A RECEBER"), amount(d.toReceive), 26, true);
    return y + rows * h;
}

qreal taxes(Page &pg, const Document &d, qreal y)
{
    const qreal w = (kRight - kMargin) / 5, h = 60;
    pg.text(QRectF(kMargin, y + 5, kRight - kMargin, 30), QStringLiteral("INFORMAÇÕES RELATIVAS AO IMPOSTO"), 18, true, Qt::AlignCenter);
    y += 35;
    pg.field(QRectF(kMargin, y, w, h), QStringLiteral("SITUAÇÃO TRIBUTÁRIA"), d.icmsSituation);
    pg.field(QRectF(kMargin + w, y, w, h), QStringLiteral("BASE DE CÁLCULO"), d.icmsBase.isEmpty() ? QString() : amount(d.icmsBase));
    pg.field(QRectF(kMargin + 2 * w, y, w, h), QStringLiteral("ALÍQ. ICMS"), d.icmsRate.isEmpty() ? QString() : amount(d.icmsRate));
    pg.field(QRectF(kMargin + 3 * w, y, w, h), QStringLiteral("VALOR ICMS"), d.icmsValue.isEmpty() ? QString() : amount(d.icmsValue));
    pg.field(QRectF(kMargin + 4 * w, y, w, h), QStringLiteral("VALOR TOTAL DOS TRIBUTOS"),
             d.totalTaxes.isEmpty() ? QString() : amount(d.totalTaxes));
    y += h;
    if (d.ibsCbs.empty())
        return y;
    const qreal iw = (kRight - kMargin) / 6;
    for (size_t i = 0; i < d.ibsCbs.size(); ++i)
        pg.field(QRectF(kMargin + qreal(i % 6) * iw, y + qreal(i / 6) * h, iw, h), QStringLiteral("IBS/CBS ") + d.ibsCbs[i].first,
                 d.ibsCbs[i].second, 20);
    return y + qreal((d.ibsCbs.size() + 5) / 6) * h;
}

void footer(Page &pg, const Document &d, qreal y)
{
    const qreal w = kRight - kMargin;
    const qreal docsH = std::max<qreal>(120, 30.0 * qreal(d.carried.size()) + 40);
    pg.field(QRectF(kMargin, y, w, docsH), QStringLiteral("DOCUMENTOS ORIGINÁRIOS"), d.carried.join(u'\n'), 19);
    y += docsH;
    // Long observations take the rest of the page; short ones leave it blank, as issuers do.
    const qreal wanted = std::max<qreal>(150, 60.0 + 28.0 * qreal(d.observations.size() / 150 + 1));
    const qreal notesH = std::max<qreal>(std::min(wanted, kHeight - kMargin - y), 60);
    pg.field(QRectF(kMargin, y, w, notesH), QStringLiteral("OBSERVAÇÕES"), d.observations, 19);
}

void watermark(QPainter &p, const QString &text, qreal y, const QColor &colour)
{
    p.save();
    p.translate(kWidth / 2, y);
    p.rotate(-30);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(170);
    f.setBold(true);
    p.setFont(f);
    p.setPen(colour);
    p.drawText(QRectF(-1300, -150, 2600, 300), Qt::AlignCenter, text);
    p.restore();
}

} // namespace

std::vector<Placed> paint(QPainter &p, const QRectF &page, const Document &d, const Options &o)
{
    std::vector<Placed> placed;
    p.save();
    const qreal scale = std::min(page.width() / kWidth, page.height() / kHeight);
    p.translate(page.topLeft());
    p.scale(scale, scale);
    p.fillRect(QRectF(0, 0, kWidth, kHeight), Qt::white);
    p.setPen(QPen(Qt::black, 3));
    Page pg(p, placed);
    qreal y = header(pg, d);
    y = service(pg, d, y);
    y = parties(pg, d, y);
    y = cargo(pg, d, y);
    y = values(pg, d, y);
    y = taxes(pg, d, y);
    footer(pg, d, y);
    if (d.homologation()) {
        watermark(p, QStringLiteral("SEM VALOR FISCAL"), kHeight * 0.62, QColor(120, 120, 120, 90));
        placed.push_back({QStringLiteral("MARCA"), QStringLiteral("SEM VALOR FISCAL")});
    }
    if (o.cancelled) {
        watermark(p, QStringLiteral("CANCELADO"), kHeight * 0.42, QColor(200, 0, 0, 110));
        placed.push_back({QStringLiteral("MARCA"), QStringLiteral("CANCELADO")});
    }
    p.restore();
    return placed;
}

QImage image(const Document &d, const Options &o, int dpi)
{
    const qreal dotsPerTenth = dpi / 254.0;
    QImage img(int(kWidth * dotsPerTenth), int(kHeight * dotsPerTenth), QImage::Format_RGB32);
    img.setDotsPerMeterX(int(dpi / 0.0254));
    img.setDotsPerMeterY(int(dpi / 0.0254));
    img.fill(Qt::white);
    QPainter p(&img);
    paint(p, QRectF(0, 0, img.width(), img.height()), d, o);
    return img;
}

namespace {
bool printPages(QPagedPaintDevice &device, const Batch &docs, const Progress &progress)
{
    QPainter p(&device);
    for (size_t i = 0; i < docs.size(); ++i) {
        if (i > 0)
            device.newPage();
        paint(p, QRectF(0, 0, device.width(), device.height()), docs[i].first, docs[i].second);
        if (progress && !progress(int(i + 1)))
            return false;
    }
    return true;
}
} // namespace

void printAll(QPagedPaintDevice &device, const Batch &docs) { printPages(device, docs, {}); }

QByteArray pdf(const Batch &docs, const Progress &progress)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter w(&buffer);
        w.setPageSize(QPageSize(QPageSize::A4));
        w.setPageMargins(QMarginsF(0, 0, 0, 0));
        w.setResolution(300);
        w.setCreator(QStringLiteral("DF-e"));
        if (!printPages(w, docs, progress))
            return {};
    }
    return buffer.data();
}

bool writePdf(const QString &path, const Batch &docs, QString *error, const Progress &progress)
{
    const QByteArray bytes = pdf(docs, progress);
    if (bytes.isEmpty()) {
        if (error)
            *error = QStringLiteral("interrompido");
        return false;
    }
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

} // namespace dacte
