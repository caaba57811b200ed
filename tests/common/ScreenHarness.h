#pragma once
// A host window with an MDI area, the host values and a list packet builder, for
// tests that open the synchronization screen.
#include "Forms.h"
#include "Packet.h"
#include "TestSupport.h"
#include "Verdano.h"

#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>

struct HostWindow {
    QMainWindow main;
    QMdiArea *area = new QMdiArea;
    HostWindow()
    {
        main.setCentralWidget(area);
        SetHostMdiArea(area);
        main.resize(1100, 700);
        main.show();
    }
    ~HostWindow() { SetHostMdiArea(nullptr); }
    QWidget *screen() const
    {
        const auto subs = area->subWindowList();
        for (QMdiSubWindow *s : subs)
            if (s->widget() && s->widget()->objectName() == QLatin1String("frmSincronizacaoCTe"))
                return s->widget();
        return nullptr;
    }
    int screenCount() const
    {
        int n = 0;
        for (QMdiSubWindow *s : area->subWindowList())
            n += s->widget() && s->widget()->objectName() == QLatin1String("frmSincronizacaoCTe") ? 1 : 0;
        return n;
    }
};

// The host values the screens read: company 01, branch 01 processing 2026-12-08, and
// the application server on loopback at `port`.
inline void PublishHostValues(quint16 port)
{
    Verdano::SetEmprProc(QStringLiteral("1"));
    Verdano::SetFiliProc(QStringLiteral("01"));
    Verdano::SetDataProc(QStringLiteral("01"), QDate(2026, 12, 8));
    Verdano::SetWebURL(QStringLiteral("127.0.0.1"));
    Verdano::SetWebPort(port);
}

struct ListRow {
    QString nsu, key, status = QStringLiteral("100"), tick = QStringLiteral("N"), env = QStringLiteral("1");
    QString name;   // the issuer's name; empty: "Transportadora " and the NSU
    QString issued; // DTEMISSAO, dd/mm/yyyy
    QString taker;  // NRINSJURTOMA
    double total = 1500.5, receivable = 1400.0;
};

inline TDataPacket listPacket(const QList<ListRow> &rows)
{
    static const char *names[] = {"IDCHECK", "NRINSJURPESQ", "NRNSU", "IDTPAMBIENTE", "NRACESSOCTE", "NRINSJUREMIT",
                                  "NMRAZSOCEMIT", "NRINSJURREME", "NMRAZSOCREME", "NRINSJUREXPE", "NMRAZSOCEXPE",
                                  "NRINSJURRECE", "NMRAZSOCRECE", "NRINSJURDEST", "NMRAZSOCDEST", "IDTOMADOR",
                                  "NRINSJURTOMA", "NMRAZSOCTOMA", "DTEMISSAO", "VRTOTALPREST", "VRRECEBER", "CDSTATUS",
                                  "DSSTATUS", "DTSINCRONIZACAO"};
    std::vector<wire::PacketField> f;
    for (int i = 0; i < 24; ++i)
        f.push_back({QString::fromLatin1(names[i]), i == 19 || i == 20 ? wire::PacketType::Float : wire::PacketType::Text, 60});
    wire::PacketWriter w(f);
    for (const ListRow &r : rows) {
        w.beginRow();
        for (int i = 0; i < 24; ++i) {
            switch (i) {
            case 0: w.text(r.tick); break;
            case 2: w.text(r.nsu); break;
            case 3: w.text(r.env); break;
            case 4: w.text(r.key); break;
            case 6: w.text(r.name.isEmpty() ? QStringLiteral("Transportadora ") + r.nsu : r.name); break;
            case 16: w.text(r.taker); break;
            case 18: w.text(r.issued); break;
            case 19: w.real(r.total); break;
            case 20: w.real(r.receivable); break;
            case 21: w.text(r.status); break;
            default: w.text(QString());
            }
        }
    }
    return w.finish();
}

inline wire::Reply listReply(const QList<ListRow> &rows, const QVariantList &args)
{
    return okReply(QVariantList{QStringLiteral("S"), QVariant::fromValue(listPacket(rows))}, args);
}
