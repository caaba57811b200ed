// The synchronization screen through its real widgets: the list record, the company
// panel and list loading, the grid and its ticking.
#include "Creation.h"
#include "Exceptions.h"
#include "FiltroSincronizacaoCTe.h"
#include "Funcoes.h"
#include "ScreenHarness.h"
#include "ScreenSteps.h"
#include "SincronizacaoCTe.h"

#include "Bind.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QMdiSubWindow>
#include <QToolTip>
#include <QScopeGuard>
#include <QTest>

using Cli_Dfe71000::TfrmSincronizacaoCTe;

namespace {
const QString kA = QStringLiteral("11222333000181");

QList<ListRow> someRows()
{
    return {{QStringLiteral("000000000000003"), QStringLiteral("35261211222333000181570010000010031000000031")},
            {QStringLiteral("000000000000001"), QStringLiteral("35261211222333000181570010000010011000000011")},
            {QStringLiteral("000000000000002"), QString(), QStringLiteral("999")}};
}

QList<ListRow> rowsFrom(int first, int count)
{
    QList<ListRow> out;
    for (int n = first; n < first + count; ++n)
        out.append({QStringLiteral("%1").arg(n, 15, 10, QLatin1Char('0')), QString()});
    return out;
}

// A list reply whose rows go on in parts, and its parts, framed as a server sends them.
QByteArray headFrame(const QVariantList &args, int rows)
{
    wire::Reply r = listReply(rowsFrom(1, rows), args);
    r.more = true;
    return wire::encodeReplyFrame(std::as_const(r));
}
QByteArray partFrame(quint64 number, bool more, int first, int rows)
{
    return wire::encodePartFrame({number, more, listPacket(rowsFrom(first, rows)), {}});
}

QStringList nsus(TClientDataSet &ds)
{
    QStringList out;
    for (int v = 0; v < ds.RecordCount(); ++v)
        out << ds.FieldByName(QStringLiteral("NRNSU")).StringAt(ds.RowAt(v));
    return out;
}

} // namespace

class TestSync : public QObject {
    Q_OBJECT
    std::unique_ptr<TempHostDb> db;
    std::unique_ptr<HostWindow> host;
    std::unique_ptr<FakeServer> server;
    std::unique_ptr<DialogsScope> dialogs;
    QList<ListRow> rows = someRows();

    TfrmSincronizacaoCTe *s() { return Cli_Dfe71000::frmSincronizacaoCTe.data(); }
    TClientDataSet &cds() { return s()->cdsSincronizacaoCTe; }
    int getCalls() { return int(server->callsOf(QStringLiteral("GetSincronizacaoCTe")).size()); }

    // The next filter dialog gets the company's registration and is confirmed.
    void confirmNextFilter(const QString &reg = kA) { confirmNextFilterWith(reg); }
    void cancelNextFilter(bool *shown = nullptr)
    {
        whenModal([shown](QWidget *w) {
            if (shown)
                *shown = true;
            static_cast<Cli_Dfe71100::TfrmFiltroSincronizacaoCTe *>(w)->sbtCancel->click();
        });
    }
    void loadList(const QList<ListRow> &r)
    {
        rows = r;
        confirmNextFilter();
        s()->sbtFiltro->click();
        QVERIFY(cds().Active());
    }
    void dblClickRow(int row)
    {
        TDBGrid *g = s()->dbgPadrao;
        QTest::mouseDClick(g->viewport(), Qt::LeftButton, {}, g->visualRect(g->Model()->index(row, 2)).center());
    }
    QString footer() { return s()->dbtNome->text(); }
    // Moves the focus into the grid; from the company panel that runs the panel's
    // exit, whose filter dialog is confirmed (reloading the same rows).
    void enterGrid()
    {
        QWidget *f = s()->window()->focusWidget();
        if (f && s()->panEmpresa->isAncestorOf(f))
            confirmNextFilter();
        focusTo(s()->dbgPadrao);
        cancelPendingModal();
    }
    // The refresh handler, run as any bound handler is.
    void refresh()
    {
        Guard([&] { s()->sbtVerificarClick(nullptr); });
    }

private Q_SLOTS:
    void initTestCase()
    {
        db = std::make_unique<TempHostDb>();
        server = std::make_unique<FakeServer>();
        server->handler = [this](const wire::Request &r) {
            if (r.method == QLatin1String("GetSincronizacaoCTe"))
                return listReply(rows, r.args);
            return okReply(QVariantList{QStringLiteral("S"), QString()}, r.args);
        };
        PublishHostValues(server->port());
        host = std::make_unique<HostWindow>();
        QVERIFY(QTest::qWaitForWindowActive(&host->main));
        dialogs = std::make_unique<DialogsScope>();
        Cli_Dfe71000::CriaSincronizacaoCTe();
        QVERIFY(s());
        QCOMPARE(s()->window()->focusWidget(), s()->medCdEmpresa);
    }

    void openingShowsNoList()
    {
        QCOMPARE(s()->medCdEmpresa->Text(), QStringLiteral("01"));
        QCOMPARE(s()->edtNmEmpresa->text(), QString());
        QVERIFY(!cds().Active());
        QCOMPARE(s()->dbgPadrao->Model()->rowCount(), 0);
        QCOMPARE(footer(), QString());
        QCOMPARE(server->requests.size(), 0);
        QVERIFY(s()->netSincronizacaoCTe.Connected());
    }

    void commandsBeforeAnyFilterAskForItFirst()
    {
        // No filter dialog yet: the command shows it instead of calling the server
        // with no filter; a cancel calls nothing.
        bool shown = false;
        cancelNextFilter(&shown);
        s()->sbtSincronizarCTe->click();
        QVERIFY(shown);
        QVERIFY(Cli_Dfe71100::frmFiltroSincronizacaoCTe);
        QCOMPARE(server->requests.size(), 0);
    }

    void commandEnablingWithTheListClosed()
    {
        s()->sbtRecusaCTe->setEnabled(false);
        s()->dtsPadraoStateChange(&s()->dtsPadrao);
        for (QAction *a : {s()->mnuIncluir, s()->mnuAlterar, s()->mnuExcluir, s()->mnuGravar, s()->mnuCancelar,
                           s()->mnuPrimeiro, s()->mnuUltimo})
            QVERIFY(!a->isEnabled());
        QVERIFY(!s()->sbtPrimeiro->isEnabled());
        QVERIFY(!s()->dbnPadrao->isEnabled());
        QVERIFY(s()->sbtRecusaCTe->isEnabled());
        QVERIFY(s()->sbtFiltro->isEnabled() && s()->sbtDownloadXML->isEnabled() && s()->sbtSincronizarCTe->isEnabled());
        // Printing works on any list; what cannot work is not offered at all.
        QVERIFY(s()->sbtImprimir->isEnabled() && s()->mnuListagem->isEnabled());
        QVERIFY(!s()->mnuConfigImpressora->isVisible());
        for (QAction *a : {s()->mnuIncluir, s()->mnuAlterar, s()->mnuExcluir, s()->mnuGravar, s()->mnuCancelar})
            QVERIFY(!a->isVisible());
        QVERIFY(!s()->sbtIncluir->isVisibleTo(s()) && !s()->sbtExcluir->isVisibleTo(s()));
    }

    void leavingThePanelChecksTheCompany_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("fitted");
        QTest::newRow("blank") << "" << "Empresa deve ser informada." << "";
        QTest::newRow("unknown") << "7" << "Empresa não cadastrada." << "07";
    }
    void leavingThePanelChecksTheCompany()
    {
        QFETCH(QString, code);
        QFETCH(QString, message);
        QFETCH(QString, fitted);
        dialogs->d.clear();
        focusTo(s()->medCdEmpresa);
        s()->medCdEmpresa->SetText(code);
        bool dialogShown = false;
        cancelNextFilter(&dialogShown);
        focusTo(s()->dbgPadrao);
        QTest::qWait(50);
        QCOMPARE(dialogs->d.errors, QStringList{message});
        QVERIFY(!dialogShown);
        QCOMPARE(s()->medCdEmpresa->Text(), fitted);
        QCOMPARE(s()->edtNmEmpresa->text(), QString());
        QCOMPARE(QApplication::focusWidget(), s()->medCdEmpresa);
        QVERIFY(!cds().Active());
        QCOMPARE(getCalls(), 0);
        cancelPendingModal();
    }

    void lookupFillsCodeThenName()
    {
        dialogs->d.onLookup = [](TClientDataSet &list) {
            return list.Locate(QStringLiteral("CDEMPRESA"), QStringLiteral("02")) ? list.RecNo() - 1 : -1;
        };
        s()->btnEmpresa->click();
        QCOMPARE(dialogs->d.lookups.last(), QStringLiteral("Empresa"));
        QCOMPARE(s()->medCdEmpresa->Text(), QStringLiteral("02"));
        QCOMPARE(s()->edtNmEmpresa->text(), QStringLiteral("Comercial Serra Azul de Alimentos S.A."));
        focusTo(s()->medCdEmpresa);
        // F2 in the code runs the same lookup, without leaving the panel.
        dialogs->d.lookups.clear();
        s()->medCdEmpresa->SetText(QStringLiteral("01"));
        QTest::keyClick(s()->medCdEmpresa, Qt::Key_F2);
        dialogs->d.onLookup = nullptr;
        QCOMPARE(dialogs->d.lookups, QStringList{QStringLiteral("Empresa")});
        QCOMPARE(s()->medCdEmpresa->Text(), QStringLiteral("02"));
        QCOMPARE(s()->window()->focusWidget(), static_cast<QWidget *>(s()->medCdEmpresa));
        s()->medCdEmpresa->setCursorPosition(0);
        QTest::keyClick(s()->medCdEmpresa, Qt::Key_0);
        QCOMPARE(s()->edtNmEmpresa->text(), QString());
        s()->medCdEmpresa->SetText(QStringLiteral("01"));
    }

    void leavingThePanelLoadsTheList()
    {
        rows = someRows();
        confirmNextFilter();
        focusTo(s()->dbgPadrao);
        QVERIFY(waitFor([this] { return cds().Active(); }));
        QCOMPARE(nsus(cds()), (QStringList{"000000000000001", "000000000000002", "000000000000003"}));
        QCOMPARE(s()->edtNmEmpresa->text(), QStringLiteral("Transportadora Horizonte Ltda"));
        QCOMPARE(s()->window()->focusWidget(), static_cast<QWidget *>(s()->dbgPadrao));
        QVERIFY(!ShowAviActive());
        // Back in the panel: the list is gone; a cancelled dialog keeps it so.
        focusTo(s()->medCdEmpresa);
        QVERIFY(!cds().Active());
        QCOMPARE(s()->dbgPadrao->Model()->rowCount(), 0);
        bool shown = false;
        cancelNextFilter(&shown);
        focusTo(s()->dbgPadrao);
        QVERIFY(waitFor([&] { return shown; }));
        QVERIFY(!cds().Active());
        QCOMPARE(s()->window()->focusWidget(), s()->medCdEmpresa);
    }

    void remoteArgumentsAndWriteBack()
    {
        const int before = getCalls();
        loadList(someRows());
        s()->medCdEmpresa->SetText(QStringLiteral("02"));
        refresh();
        const auto calls = server->callsOf(QStringLiteral("GetSincronizacaoCTe"));
        QCOMPARE(calls.size(), before + 2);
        const QVariantList a = calls.last().args;
        QCOMPARE(a.size(), 6);
        QCOMPARE(calls[calls.size() - 2].args, a); // the company never travels
        QCOMPARE(a[0].toDate(), QDate(2026, 12, 1));
        QCOMPARE(a[1].toDate(), QDate(2026, 12, 8));
        QCOMPARE(a[2].toString(), kA);
        QCOMPARE(a[3].toString(), QStringLiteral("_100_000_101_"));

        // By-reference values the server writes back on a reload replace the list's filter,
        // which the next reload sends; the dialog keeps what the user confirmed.
        auto saved = server->handler;
        server->handler = [this](const wire::Request &r) {
            QVariantList args = r.args;
            args[0] = QDate(2026, 11, 15);
            args[3] = QStringLiteral("T");
            return listReply(rows, args);
        };
        refresh();
        server->handler = saved;
        s()->medCdEmpresa->SetText(QStringLiteral("01"));
        QVERIFY(s()->listaFiltro);
        QCOMPARE(s()->listaFiltro->rc.dtEmissaoIni, QDate(2026, 11, 15));
        QCOMPARE(s()->listaFiltro->rc.stStatus, QStringLiteral("T"));
        QCOMPARE(Cli_Dfe71100::frmFiltroSincronizacaoCTe->rcFiltro.stStatus, QStringLiteral("_100_000_101_"));
        refresh();
        QCOMPARE(server->callsOf(QStringLiteral("GetSincronizacaoCTe")).last().args.value(3).toString(), QStringLiteral("T"));
    }

    void reloadKeepsTheCurrentNsu_data()
    {
        QTest::addColumn<QStringList>("after"); // the NSUs of the reloaded list
        QTest::addColumn<QString>("current");   // "000000000000002" was current before
        QTest::newRow("same rows") << QStringList{"1", "2", "3"} << "2";
        QTest::newRow("new rows before it") << QStringList{"0", "1", "2", "3"} << "2";
        QTest::newRow("gone: the first row") << QStringList{"1", "3"} << "1";
    }
    void reloadKeepsTheCurrentNsu()
    {
        QFETCH(QStringList, after);
        QFETCH(QString, current);
        loadList(someRows());
        QVERIFY(cds().Locate(QStringLiteral("NRNSU"), QStringLiteral("000000000000002")));
        rows.clear();
        for (const QString &n : after)
            rows << ListRow{QStringLiteral("%1").arg(n.toInt(), 15, 10, QLatin1Char('0')), QString()};
        refresh();
        QCOMPARE(cds().FieldByName(QStringLiteral("NRNSU")).AsString().toInt(), current.toInt());
        QCOMPARE(s()->dbgPadrao->currentIndex().row(), cds().RecNo() - 1);
    }

    // The footer counts rows and ticks and adds the amounts of the ticked rows, or of
    // every row when none is ticked, in the desktop's language.
    void footerCountsAndTotals_data()
    {
        QTest::addColumn<QList<int>>("ticked");
        QTest::addColumn<QString>("footer");
        QTest::newRow("none ticked: every row")
            << QList<int>{} << "3 CT-e · 0 marcado(s) · Valor Total 3.501.000,75 · Valor a Receber 1.400,00 (todos)";
        QTest::newRow("two ticked")
            << QList<int>{0, 1} << "3 CT-e · 2 marcado(s) · Valor Total 3.500.000,25 · Valor a Receber 1.400,00 (marcados)";
        QTest::newRow("ticked twice: unticked again") << QList<int>{0, 0}
                                                      << "3 CT-e · 0 marcado(s) · Valor Total 3.501.000,75 · Valor a Receber 1.400,00 (todos)";
        // -1: a click on the tick column's title (tick-all).
        QTest::newRow("all ticked, then one unticked")
            << QList<int>{2, -1, 0} << "3 CT-e · 2 marcado(s) · Valor Total 1.000,50 · Valor a Receber 0,00 (marcados)";
        QTest::newRow("all ticked, then unticked, then one ticked")
            << QList<int>{-1, -1, 0} << "3 CT-e · 1 marcado(s) · Valor Total 3.500.000,25 · Valor a Receber 1.400,00 (marcados)";
        QTest::newRow("a row without a tick value becomes unticked")
            << QList<int>{0, 2} << "3 CT-e · 1 marcado(s) · Valor Total 3.500.000,25 · Valor a Receber 1.400,00 (marcados)";
    }
    void footerCountsAndTotals()
    {
        QFETCH(QList<int>, ticked);
        QFETCH(QString, footer);
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
        auto restore = qScopeGuard([&] { QLocale::setDefault(saved); });
        QList<ListRow> r = someRows();
        r[0].total = 1000.5;
        r[0].receivable = 0;
        r[1].total = 3500000.25; // sorted second: NSU 1
        r[1].receivable = 1400;
        r[2].total = 0;
        r[2].receivable = 0;
        r[0].tick.clear(); // shown last
        loadList(r);
        for (int i : ticked) {
            if (i < 0) {
                s()->dbgPadraoTitleClick(s()->dbgPadrao->Columns[0]);
                continue;
            }
            cds().SetRecNo(i + 1);
            QTest::keyClick(s()->dbgPadrao, Qt::Key_Space);
        }
        QCOMPARE(s()->lblTotais->text(), footer);
        QVERIFY(!s()->lblVazio->isVisible());
    }

    void emptyResultSaysSo()
    {
        loadList({});
        QVERIFY(s()->lblVazio->isVisible());
        QCOMPARE(s()->lblVazio->text(), QStringLiteral("nenhum CT-e de 11.222.333/0001-81 emitido de 01/12/2026 a 08/12/2026 e "
                                                       "sincronizado de 01/12/2026 a 08/12/2026 nas situações escolhidas"));
        QCOMPARE(s()->lblTotais->text(), QStringLiteral("0 CT-e · 0 marcado(s) · Valor Total 0.00 · Valor a Receber 0.00 (todos)")
                                             .replace(QStringLiteral("0.00"), QLocale().toString(0.0, 'f', 2)));
        loadList(someRows());
        QVERIFY(!s()->lblVazio->isVisible());
    }

    void failedLoadsKeepTheList_data()
    {
        QTest::addColumn<QVariant>("reply");
        QTest::addColumn<QString>("shown");
        QTest::newRow("flag N") << QVariant(QVariantList{QStringLiteral("N"), QStringLiteral("Inscrição sem permissão.")})
                                << "Inscrição sem permissão.";
        QTest::newRow("lower-case s") << QVariant(QVariantList{QStringLiteral("s"), QStringLiteral("minúsculo")}) << "minúsculo";
        QTest::newRow("error text") << QVariant(QStringLiteral("Banco indisponível")) << "Banco indisponível";
    }
    void failedLoadsKeepTheList()
    {
        QFETCH(QVariant, reply);
        QFETCH(QString, shown);
        loadList(someRows());
        const QStringList before = nsus(cds());
        auto saved = server->handler;
        server->handler = [reply](const wire::Request &r) { return okReply(reply, r.args); };
        dialogs->d.clear();
        confirmNextFilter();
        s()->sbtFiltro->click();
        server->handler = saved;
        QCOMPARE(dialogs->d.errors, QStringList{shown});
        QCOMPARE(nsus(cds()), before);
        QVERIFY(!ShowAviActive());
    }

    void refusedPacketKeepsTheList()
    {
        loadList(someRows());
        auto saved = server->handler;
        server->handler = [](const wire::Request &r) {
            wire::PacketWriter w({{QStringLiteral("NRNSU"), wire::PacketType::Text, 15}});
            w.beginRow();
            w.text(QStringLiteral("9"));
            return okReply(QVariantList{QStringLiteral("S"), QVariant::fromValue(w.finish())}, r.args);
        };
        dialogs->d.clear();
        refresh();
        server->handler = saved;
        QCOMPARE(dialogs->d.errors.size(), 1);
        QVERIFY(dialogs->d.errors[0].contains(QStringLiteral("IDCHECK")));
        QCOMPARE(nsus(cds()).size(), 3);
        QVERIFY(!ShowAviActive());
    }

    // A list in parts: whole when every part comes in order; a list that cannot come
    // whole is not shown in part, and a part past the last is no answer to the next call.
    void listInParts_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("shown"); // rows at the end; -1: no list
        QTest::addColumn<QString>("error");
        QTest::newRow("in order") << "in order" << 6 << QString();
        QTest::newRow("reply cut in the middle of a part") << "cut" << -1 << "conexão encerrada";
        QTest::newRow("connection dropped between parts") << "dropped" << -1 << "conexão encerrada";
        QTest::newRow("part out of order") << "out of order" << -1 << "parte 2 fora de ordem; esperada a parte 1";
        QTest::newRow("part repeated") << "repeated" << -1 << "parte 1 fora de ordem; esperada a parte 2";
        QTest::newRow("a part too many") << "too many" << 4 << QString();
        QTest::newRow("the server fails midway") << "fails" << -1 << "Erro no servidor de aplicação: disco cheio";
        QTest::newRow("a part that is not one") << "not a part" << -1 << "resposta inválida";
    }
    void listInParts()
    {
        QFETCH(QString, script);
        QFETCH(int, shown);
        QFETCH(QString, error);
        loadList(someRows());
        server->pieces = [script](const wire::Request &r) -> QList<QByteArray> {
            const QByteArray head = headFrame(r.args, 2);
            if (script == QLatin1String("in order"))
                return {head, partFrame(1, true, 3, 2), partFrame(2, false, 5, 2)};
            if (script == QLatin1String("cut")) {
                const QByteArray part = partFrame(1, false, 3, 2);
                return {head, part.left(part.size() / 2)};
            }
            if (script == QLatin1String("dropped"))
                return {head, partFrame(1, true, 3, 2)};
            if (script == QLatin1String("out of order"))
                return {head, partFrame(2, false, 5, 2)};
            if (script == QLatin1String("repeated"))
                return {head, partFrame(1, true, 3, 2), partFrame(1, false, 3, 2)};
            if (script == QLatin1String("too many"))
                return {head, partFrame(1, false, 3, 2), partFrame(2, false, 5, 2)};
            if (script == QLatin1String("fails"))
                return {head, wire::encodePartFrame({1, false, {}, QStringLiteral("Erro no servidor de aplicação: disco cheio")})};
            return {head, wire::encodeReplyFrame(listReply(rowsFrom(3, 2), r.args))};
        };
        server->dropAfterPieces = script == QLatin1String("cut") || script == QLatin1String("dropped");
        server->pieceDelayMs = 30; // the part too many comes after the list is whole
        auto reset = qScopeGuard([this] {
            server->pieces = nullptr;
            server->dropAfterPieces = false;
            server->pieceDelayMs = 0;
        });
        dialogs->d.clear();
        refresh();
        QVERIFY(server->callsOf(QStringLiteral("GetSincronizacaoCTe")).last().parts);
        if (error.isEmpty()) {
            QCOMPARE(dialogs->d.errors.size(), 0);
            QStringList expected;
            for (const ListRow &r : rowsFrom(1, shown))
                expected << r.nsu;
            QCOMPARE(nsus(cds()), expected);
        } else {
            QCOMPARE(dialogs->d.errors.size(), 1);
            QVERIFY2(dialogs->d.errors[0].contains(error), qPrintable(dialogs->d.errors[0]));
            QVERIFY(!cds().Active());
            QCOMPARE(s()->lblLista->text(), QStringLiteral("Nenhuma lista carregada"));
        }
        // Whatever was left on the connection, the next call gets its own answer.
        reset.dismiss();
        server->pieces = nullptr;
        server->dropAfterPieces = false;
        server->pieceDelayMs = 0;
        QTest::qWait(100);
        dialogs->d.clear();
        loadList(someRows());
        QCOMPARE(dialogs->d.errors.size(), 0);
        QCOMPARE(nsus(cds()).size(), 3);
    }

    // A server that does not know a request key refuses the request before running it
    // (its keys read in order); the list is asked again without that key, whole.
    void olderServerGetsTheKeysItKnows_data()
    {
        QTest::addColumn<QStringList>("known");
        QTest::addColumn<QStringList>("asked"); // each call's keys: p parts, r repeats, - none
        QTest::newRow("knows both") << QStringList{"parts", "repeats"} << QStringList{"pr"};
        QTest::newRow("knows parts, not repeats") << QStringList{"parts"} << QStringList{"pr", "p"};
        QTest::newRow("knows neither") << QStringList{} << QStringList{"pr", "-"};
    }
    void olderServerGetsTheKeysItKnows()
    {
        QFETCH(QStringList, known);
        QFETCH(QStringList, asked);
        loadList(someRows());
        const auto saved = server->handler;
        auto reset = qScopeGuard([&] { server->handler = saved; });
        server->handler = [known](const wire::Request &r) {
            for (const char *key : {"parts", "repeats"}) {
                const bool sent = QLatin1String(key) == QLatin1String("parts") ? r.parts : r.repeats;
                if (sent && !known.contains(QLatin1String(key)))
                    return wire::Reply{false, QStringLiteral("Pedido inválido: chave desconhecida no pedido: %1").arg(QLatin1String(key))};
            }
            return listReply(rowsFrom(1, 4), r.args);
        };
        const qsizetype before = server->callsOf(QStringLiteral("GetSincronizacaoCTe")).size();
        dialogs->d.clear();
        refresh();
        QCOMPARE(dialogs->d.errors, QStringList());
        const QList<wire::Request> calls = server->callsOf(QStringLiteral("GetSincronizacaoCTe"));
        QStringList seen;
        for (qsizetype i = before; i < calls.size(); ++i) {
            const QString keys = QString(calls[i].parts ? "p" : "") + (calls[i].repeats ? "r" : "");
            seen << (keys.isEmpty() ? QStringLiteral("-") : keys);
        }
        QCOMPARE(seen, asked);
        QCOMPARE(nsus(cds()).size(), 4);
    }

    // Input while the rest of a list arrives waits with it: no command runs on a list
    // still arriving, and no second call starts on the connection.
    void commandWhileAListArrives()
    {
        loadList(someRows());
        server->pieceDelayMs = 150;
        server->pieces = [](const wire::Request &r) -> QList<QByteArray> {
            return {headFrame(r.args, 2), partFrame(1, true, 3, 2), partFrame(2, false, 5, 2)};
        };
        auto reset = qScopeGuard([this] {
            server->pieces = nullptr;
            server->pieceDelayMs = 0;
        });
        dialogs->d.clear();
        const int syncsBefore = int(server->callsOf(QStringLiteral("SincronizarCTe")).size());
        int seenWhileArriving = -1;
        QString secondCall;
        QTimer::singleShot(200, s(), [&] {
            seenWhileArriving = cds().RecordCount();
            QTest::mouseClick(s()->sbtSincronizarCTe, Qt::LeftButton);
            QTest::keyClick(s()->dbgPadrao, Qt::Key_Space);
            try {
                s()->netSincronizacaoCTe.AppServer(QStringLiteral("GetEstadoSincronizacao"), {});
            } catch (const Exception &e) {
                secondCall = e.Message;
            }
        });
        refresh();
        QCOMPARE(dialogs->d.errors.size(), 0);
        QVERIFY2(seenWhileArriving >= 2 && seenWhileArriving < 6, qPrintable(QString::number(seenWhileArriving)));
        QCOMPARE(secondCall, QStringLiteral("Já existe uma chamada ao servidor de aplicação em andamento."));
        QCOMPARE(nsus(cds()).size(), 6);
        for (int v = 0; v < cds().RecordCount(); ++v)
            QCOMPARE(cds().FieldByName(QStringLiteral("IDCHECK")).StringAt(cds().RowAt(v)), QStringLiteral("N"));
        QCOMPARE(int(server->callsOf(QStringLiteral("SincronizarCTe")).size()), syncsBefore);
    }

    void filterCommandDoesNotCheckTheCompany()
    {
        dialogs->d.clear();
        s()->medCdEmpresa->SetText(QStringLiteral("02"));
        rows = someRows();
        confirmNextFilter(QStringLiteral("04567890000179"));
        s()->sbtFiltro->click();
        QVERIFY(dialogs->d.errors.isEmpty());
        QCOMPARE(nsus(cds()).size(), 3);
        QCOMPARE(s()->edtNmEmpresa->text(), QString()); // a check would have filled the name
        s()->medCdEmpresa->SetText(QStringLiteral("01"));
    }

    void listIsReadOnly()
    {
        loadList(someRows());
        dialogs->d.clear();
        const QStringList before = nsus(cds());
        for (auto b : {TDBNavigator::nbEdit, TDBNavigator::nbInsert, TDBNavigator::nbDelete}) {
            QVERIFY(!s()->dbnPadrao->ButtonOf(b)->isVisibleTo(s()->dbnPadrao)); // not offered
            Guard([&] { s()->dbnPadrao->Click(b); });                           // and refused anyway
        }
        QVERIFY(s()->dbnPadrao->ButtonOf(TDBNavigator::nbRefresh)->isVisibleTo(s()->dbnPadrao));
        TDBEdit edit;
        edit.DataField = QStringLiteral("NMRAZSOCEMIT");
        edit.SetDataSource(&s()->dtsPadrao);
        edit.show();
        const QString name = edit.text();
        QTest::keyClicks(&edit, QStringLiteral("xyz"));
        edit.SetDataSource(nullptr);
        QCOMPARE(cds().State(), dsBrowse);
        QCOMPARE(nsus(cds()), before);
        QCOMPARE(cds().FieldByName(QStringLiteral("NMRAZSOCEMIT")).AsString(), name);
        QVERIFY(dialogs->d.errors.isEmpty());
        QVERIFY(dialogs->d.confirms.isEmpty());
    }

    void footerAndEnvironmentTexts()
    {
        loadList({{QStringLiteral("000000000000001"), QStringLiteral("K1"), QStringLiteral("100"), QStringLiteral("N"), QStringLiteral("1")},
                  {QStringLiteral("000000000000002"), QStringLiteral("  "), QStringLiteral("100"), QStringLiteral("N"), QStringLiteral("2")},
                  {QStringLiteral("000000000000003"), QStringLiteral("K3"), QStringLiteral("100"), QStringLiteral("N"), QStringLiteral("3")},
                  {QStringLiteral("000000000000004"), QStringLiteral("K4"), QStringLiteral("100"), QStringLiteral("N"), QString()}});
        const QStringList env = {QStringLiteral("Produção"), QStringLiteral("Homologação"), QString(), QString()};
        const QStringList foot = {QStringLiteral("000000000000001 - K1"), QStringLiteral("000000000000002"),
                                  QStringLiteral("000000000000003 - K3"), QStringLiteral("000000000000004 - K4")};
        for (int r = 0; r < 4; ++r) {
            cds().SetRecNo(r + 1);
            QCOMPARE(footer(), foot[r]);
            QCOMPARE(s()->dbgPadrao->Model()->index(r, 11).data().toString(), env[r]);
        }
        // The grid's row follows into the footer.
        s()->dbgPadrao->setCurrentIndex(s()->dbgPadrao->Model()->index(0, 1));
        QCOMPARE(footer(), foot[0]);
        rows.clear();
        refresh();
        QCOMPARE(footer(), QString());
    }

    void gridColumns()
    {
        TDBGrid *g = s()->dbgPadrao;
        const QStringList fields = {"IDCHECK", "NRNSU", "NRINSJUREMIT", "NMRAZSOCEMIT", "DTEMISSAO", "DTSINCRONIZACAO",
                                    "VRTOTALPREST", "VRRECEBER", "CDSTATUS", "DSSTATUS", "NRACESSOCTE", "IDTPAMBIENTE"};
        QCOMPARE(int(g->Columns.size()), 12);
        for (int i = 0; i < 12; ++i)
            QCOMPARE(g->Columns[size_t(i)].FieldName, fields[i]);
        QCOMPARE(g->columnWidth(0), 22);
        QCOMPARE(g->columnWidth(3), 130);
        QCOMPARE(g->columnWidth(9), 120);
        // The whole access key fits its column.
        QVERIFY(g->columnWidth(10) > g->fontMetrics().horizontalAdvance(QString(44, QLatin1Char('0'))));
        QCOMPARE(g->Columns[0].Title.Caption, QStringLiteral("4"));
        QVERIFY(g->Columns[0].Title.Font.bold());
        QCOMPARE(g->Columns[0].Title.Font.pixelSize(), 11);
        QCOMPARE(g->Model()->headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Emissão"));
        QCOMPARE(g->Model()->headerData(8, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Cód Status"));
        QCOMPARE(g->editTriggers(), QAbstractItemView::NoEditTriggers);
        QCOMPARE(g->selectionBehavior(), QAbstractItemView::SelectRows);
        QVERIFY(g->verticalHeader()->isHidden());
        QVERIFY(g->tabKeyNavigation());
    }

    // At 1366 pixels the key and the status show without scrolling sideways.
    void keyAndStatusFitAt1366()
    {
        loadList(someRows());
        QWidget *frame = s()->Frame();
        host->main.resize(1366, 740);
        static_cast<QMdiSubWindow *>(frame)->showMaximized();
        QVERIFY(waitFor([&] { return frame->width() > 1300; }));
        QCoreApplication::processEvents();
        TDBGrid *g = s()->dbgPadrao;
        const int keyEnd = g->columnViewportPosition(10) + g->columnWidth(10);
        QStringList widths;
        for (int i = 0; i < 12; ++i)
            widths << QString::number(g->columnWidth(i));
        QVERIFY2(keyEnd <= g->viewport()->width(),
                 qPrintable(QStringLiteral("%1 > %2: %3").arg(keyEnd).arg(g->viewport()->width()).arg(widths.join(QLatin1Char(' ')))));
        QVERIFY(g->columnViewportPosition(8) + g->columnWidth(8) <= g->viewport()->width());
        static_cast<QMdiSubWindow *>(frame)->showNormal();
        host->main.resize(1100, 700);
        enterGrid();
    }

    // A cell whose text is cut shows all of it in its tooltip; one that fits shows none.
    void cutCellsShowTheirTextInATooltip_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("tip");
        QTest::newRow("long issuer name") << 3 << true;
        QTest::newRow("NSU") << 1 << false;
    }
    void cutCellsShowTheirTextInATooltip()
    {
        QFETCH(int, column);
        QFETCH(bool, tip);
        QList<ListRow> r = someRows();
        r[1].name = QStringLiteral("Transportadora de Cargas Frigorificadas do Interior Ltda");
        loadList(r);
        TDBGrid *g = s()->dbgPadrao;
        const QRect cell = g->visualRect(g->Model()->index(0, column));
        QHelpEvent help(QEvent::ToolTip, cell.center(), g->viewport()->mapToGlobal(cell.center()));
        QToolTip::hideText();
        QApplication::sendEvent(g->viewport(), &help);
        QCOMPARE(QToolTip::isVisible(), tip);
        if (tip)
            QCOMPARE(QToolTip::text(), r[1].name);
        QToolTip::hideText();
    }

    // The user's widths outlive reloads and a new screen, for the session.
    void userWidthsAreKept()
    {
        loadList(someRows());
        TDBGrid *g = s()->dbgPadrao;
        g->horizontalHeader()->resizeSection(3, 260);
        refresh();
        QCOMPARE(g->columnWidth(3), 260);
        s()->Close();
        QVERIFY(waitFor([this] { return !Cli_Dfe71000::frmSincronizacaoCTe; }));
        Cli_Dfe71000::CriaSincronizacaoCTe();
        QVERIFY(s());
        QCOMPARE(s()->dbgPadrao->columnWidth(3), 260);
        s()->dbgPadrao->horizontalHeader()->resizeSection(3, 130);
        enterGrid();
    }

    // Amounts group thousands; the issuer's CNPJ shows as in the lookups.
    void amountsAndRegistrationsAreFormatted()
    {
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
        auto restore = qScopeGuard([&] { QLocale::setDefault(saved); });
        QList<ListRow> r = someRows();
        r[1].total = 1234567.8;
        loadList(r);
        TDataSetModel *m = s()->dbgPadrao->Model();
        QCOMPARE(m->index(0, 6).data().toString(), QStringLiteral("1.234.567,80"));
        cds().First();
        QCOMPARE(cds().FieldByName(QStringLiteral("NRINSJUREMIT")).DisplayTextAt(cds().RowAt(0)), QString());
        QCOMPARE(Cli_Dfe71000::InscricaoFormatada(QStringLiteral("11222333000181")), QStringLiteral("11.222.333/0001-81"));
        QCOMPARE(Cli_Dfe71000::InscricaoFormatada(QStringLiteral("52998224725")), QStringLiteral("529.982.247-25"));
    }

    void toggling()
    {
        loadList({{QStringLiteral("1"), QStringLiteral("K1"), QStringLiteral("100"), QString()},
                  {QStringLiteral("2"), QStringLiteral("K2")}});
        enterGrid();
        cds().SetRecNo(1);
        dblClickRow(0);
        QCOMPARE(ticksOf(cds()), (QStringList{"N", "N"}));
        dblClickRow(0);
        QCOMPARE(ticksOf(cds()), (QStringList{"S", "N"}));
        cds().SetRecNo(2);
        QTest::keyClick(s()->dbgPadrao, Qt::Key_Space, Qt::ShiftModifier);
        QCOMPARE(ticksOf(cds()), (QStringList{"S", "S"}));
        QTest::keyClick(s()->dbgPadrao, Qt::Key_Space, Qt::ControlModifier);
        QCOMPARE(ticksOf(cds()), (QStringList{"S", "N"}));
        QCOMPARE(cds().RecNo(), 2); // a toggle stays on its row
        // The guard is back: editing another field is refused.
        QVERIFY_THROWS_EXCEPTION(EAbort, cds().Edit());
        QCOMPARE(cds().State(), dsBrowse);
    }

    void togglingWhenPostFails()
    {
        loadList({{QStringLiteral("1"), QStringLiteral("K1")}});
        dialogs->d.clear();
        cds().BeforePost = [](TClientDataSet &) { throw Exception(QStringLiteral("gravação recusada")); };
        enterGrid();
        dblClickRow(0);
        cds().BeforePost = nullptr;
        QCOMPARE(dialogs->d.errors, QStringList{QStringLiteral("gravação recusada")});
        QCOMPARE(cds().State(), dsBrowse);
        QCOMPARE(ticksOf(cds()), QStringList{"N"});
        QVERIFY_THROWS_EXCEPTION(EAbort, cds().Edit());
        QVERIFY(s()->dtsPadrao.OnStateChange != nullptr);
    }

    void togglingAnEmptyOrClosedListOnlyRefreshes()
    {
        rows.clear();
        refresh();
        QVERIFY(cds().Active() && cds().IsEmpty());
        s()->sbtRecusaCTe->setEnabled(false);
        enterGrid();
        QTest::keyClick(s()->dbgPadrao, Qt::Key_Space);
        QVERIFY(s()->sbtRecusaCTe->isEnabled());
        QVERIFY(s()->dbnPadrao->isEnabled()); // browse, even empty
        QVERIFY(!s()->mnuPrimeiro->isEnabled());
        cds().Close();
        s()->sbtRecusaCTe->setEnabled(false);
        Guard([&] { s()->dbgPadraoDblClick(nullptr); });
        QVERIFY(s()->sbtRecusaCTe->isEnabled());
        QVERIFY(!s()->dbnPadrao->isEnabled());
        Guard([&] { s()->dbgPadraoTitleClick(s()->dbgPadrao->Columns[0]); }); // closed: nothing to tick
        QVERIFY(!cds().Active());
    }

    void tickAll_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("after");
        QTest::newRow("first ticked unticks all") << QStringList{"S", "N", "S", "x"} << 0 << QStringList{"N", "N", "N", "N"};
        QTest::newRow("first unticked ticks all") << QStringList{"N", "S", "N", "S"} << 0 << QStringList{"S", "S", "S", "S"};
        QTest::newRow("first blank ticks all") << QStringList{"", "N", "S", "N"} << 0 << QStringList{"S", "S", "S", "S"};
        QTest::newRow("lower-case s is no tick") << QStringList{"s", "N"} << 0 << QStringList{"S", "S"};
        QTest::newRow("another column") << QStringList{"S", "N"} << 1 << QStringList{"S", "N"};
        QTest::newRow("empty list") << QStringList{} << 0 << QStringList{};
        // Far more rows than the grid shows: the ones never painted are ticked too.
        QStringList many(600, QStringLiteral("N")), manyTicked(600, QStringLiteral("S"));
        many[599] = QStringLiteral("S");
        QTest::newRow("600 rows") << many << 0 << manyTicked;
    }
    void tickAll()
    {
        QFETCH(QStringList, before);
        QFETCH(int, column);
        QFETCH(QStringList, after);
        QList<ListRow> r;
        for (int i = 0; i < before.size(); ++i)
            r << ListRow{QStringLiteral("%1").arg(i + 1, 15, 10, QLatin1Char('0')), QStringLiteral("K"), QStringLiteral("100"), before[i]};
        loadList(r);
        if (!r.isEmpty())
            cds().SetRecNo(int(r.size()));
        const QStringList order = nsus(cds());
        TDBGrid *g = s()->dbgPadrao;
        QTest::mouseClick(g->horizontalHeader()->viewport(), Qt::LeftButton, {},
                          QPoint(g->horizontalHeader()->sectionViewportPosition(column) + 5, 5));
        QCOMPARE(ticksOf(cds()), after);
        QCOMPARE(nsus(cds()), order);
        if (!r.isEmpty()) // the current row stays where the user left it
            QCOMPARE(cds().RecNo(), int(r.size()));
        QVERIFY(!cds().ControlsDisabled());
        QVERIFY_THROWS_EXCEPTION(EAbort, cds().Edit());
    }

    // A title sorts by its column, then backwards, then NSU order again; ticks and the
    // current row go with their rows; a reload starts in NSU order.
    void titleClickSorts()
    {
        QList<ListRow> r;
        const QStringList names{"Carvalho", "alves", "Bento", "Dias"};
        for (int i = 0; i < names.size(); ++i)
            r << ListRow{QStringLiteral("%1").arg(i + 1, 15, 10, QLatin1Char('0')), QString(), QStringLiteral("100"),
                         QStringLiteral("N"), QStringLiteral("1"), names[i]};
        loadList(r);
        cds().SetRecNo(3); // Bento
        QTest::keyClick(s()->dbgPadrao, Qt::Key_Space);
        TDBGrid *g = s()->dbgPadrao;
        QHeaderView *h = g->horizontalHeader();
        auto click = [&] { QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, QPoint(h->sectionViewportPosition(3) + 5, 5)); };
        auto shown = [&] {
            QStringList out;
            for (int v = 0; v < g->Model()->rowCount(); ++v)
                out << g->Model()->index(v, 3).data().toString() + (g->Model()->index(v, 0).data().toString() == "S" ? "*" : "");
            return out;
        };
        const QString current = QStringLiteral("000000000000003");
        click();
        QCOMPARE(shown(), (QStringList{"alves", "Bento*", "Carvalho", "Dias"}));
        QVERIFY(h->isSortIndicatorShown());
        QCOMPARE(h->sortIndicatorSection(), 3);
        QCOMPARE(h->sortIndicatorOrder(), Qt::AscendingOrder);
        QCOMPARE(cds().FieldByName(QStringLiteral("NRNSU")).AsString(), current);
        QCOMPARE(g->currentIndex().row(), 1);
        click();
        QCOMPARE(shown(), (QStringList{"Dias", "Carvalho", "Bento*", "alves"}));
        QCOMPARE(h->sortIndicatorOrder(), Qt::DescendingOrder);
        QCOMPARE(g->currentIndex().row(), 2);
        click();
        QCOMPARE(shown(), (QStringList{"Carvalho", "alves", "Bento*", "Dias"}));
        QVERIFY(!h->isSortIndicatorShown());
        click();
        refresh();
        QCOMPARE(nsus(cds()).first(), QStringLiteral("000000000000001"));
        QVERIFY(!h->isSortIndicatorShown());
        QCOMPARE(cds().FieldByName(QStringLiteral("NRNSU")).AsString(), current);
    }

    // Imprimir previews the list as shown: its columns, its order, the filter and the
    // totals; Ajuda and F1 open the screen's help; the menu offers every tool-bar command.
    void printHelpAndMenus_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Imprimir") << "print";
        QTest::newRow("Operação > Listagem") << "listing";
        QTest::newRow("Ajuda") << "help";
        QTest::newRow("F1") << "f1";
    }
    void printHelpAndMenus()
    {
        QFETCH(QString, how);
        QList<ListRow> r = someRows();
        r[0].name = QStringLiteral("Zebra & Cia");
        loadList(r);
        cds().SetRecNo(2);
        QTest::keyClick(s()->dbgPadrao, Qt::Key_Space);
        QTest::mouseClick(s()->dbgPadrao->horizontalHeader()->viewport(), Qt::LeftButton, {},
                          QPoint(s()->dbgPadrao->horizontalHeader()->sectionViewportPosition(3) + 5, 5));
        QTest::mouseClick(s()->dbgPadrao->horizontalHeader()->viewport(), Qt::LeftButton, {},
                          QPoint(s()->dbgPadrao->horizontalHeader()->sectionViewportPosition(3) + 5, 5));
        dialogs->d.clear();
        if (how == QLatin1String("print"))
            s()->sbtImprimir->click();
        else if (how == QLatin1String("listing"))
            s()->mnuListagem->trigger();
        else if (how == QLatin1String("help"))
            s()->sbtAjuda->click();
        else {
            focusTo(s()->dbgPadrao);
            QTest::keyClick(s()->dbgPadrao, Qt::Key_F1);
        }
        if (how == QLatin1String("print") || how == QLatin1String("listing")) {
            QCOMPARE(dialogs->d.previews, QStringList{QStringLiteral("Sincronização do CT-e — lista")});
            const QString html = s()->HtmlDaLista();
            QVERIFY(html.contains(QStringLiteral("Lista de 11.222.333/0001-81")));
            QVERIFY(html.contains(QStringLiteral("Emissão de 01/12/2026 a 08/12/2026")));
            QVERIFY(html.contains(s()->lblTotais->text().toHtmlEscaped()));
            QVERIFY(html.contains(QStringLiteral("<th>Chave de Acesso</th>")));
            // The rows in the order shown (issuer's name descending), the ticked one marked.
            const qsizetype zebra = html.indexOf(QStringLiteral("Zebra &amp; Cia"));
            const qsizetype one = html.indexOf(QStringLiteral("Transportadora 000000000000001"));
            QVERIFY(zebra > 0 && one > zebra);
            QVERIFY(html.contains(QStringLiteral("\">\u2714</td>")));
        } else {
            QCOMPARE(dialogs->d.helps, QStringList{QStringLiteral("Ajuda — Sincronização do CT-e (DFE71000)")});
            QVERIFY(dialogs->d.helpText.contains(QStringLiteral("<b>Download XML</b>")));
        }
        QStringList menu;
        for (QAction *a : s()->mnuManutencao->actions())
            if (a->isVisible() && !a->isSeparator())
                menu << a->text();
        for (const char *hint : {"Filtrar Lançamentos", "Sincronizar CT-e", "Prestação do Serviço em Desacordo", "Download XML"})
            QVERIFY2(menu.contains(QString::fromUtf8(hint)), hint);
    }

    void commandEnablingFollowsTheList()
    {
        loadList(someRows());
        QVERIFY(s()->mnuPrimeiro->isEnabled() && s()->mnuUltimo->isEnabled());
        QVERIFY(s()->sbtPrimeiro->isEnabled() && s()->sbtUltimo->isEnabled());
        QVERIFY(s()->dbnPadrao->isEnabled());
        for (QAction *a : {s()->mnuIncluir, s()->mnuAlterar, s()->mnuExcluir, s()->mnuGravar, s()->mnuCancelar})
            QVERIFY(!a->isEnabled());
        QVERIFY(!s()->sbtIncluir->isEnabled());
    }

    void tickCellsAreDrawnOnTheRowColour()
    {
        loadList({{QStringLiteral("1"), QStringLiteral("K"), QStringLiteral("100"), QStringLiteral("S")},
                  {QStringLiteral("2"), QStringLiteral("K"), QStringLiteral("100"), QStringLiteral("N")},
                  {QStringLiteral("3"), QStringLiteral("K"), QStringLiteral("100"), QString()},
                  {QStringLiteral("4"), QStringLiteral("K"), QStringLiteral("100"), QStringLiteral("S")}});
        TDBGrid *g = s()->dbgPadrao;
        cds().SetRecNo(1);
        QCoreApplication::processEvents();
        const QImage img = g->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QColor selection = g->palette().color(QPalette::Active, QPalette::Highlight);
        const QColor base = g->palette().color(QPalette::Active, QPalette::Base);
        const QColor olive(128, 128, 0);
        for (int row = 0; row < 4; ++row) {
            const QRect cell = g->visualRect(g->Model()->index(row, 0));
            const QColor bg = row == 0 ? selection : base;
            // Nothing olive anywhere in the cell.
            for (int y = cell.top(); y <= cell.bottom(); ++y)
                for (int x = cell.left(); x < cell.right(); ++x)
                    QVERIFY2(img.pixelColor(x, y) != olive, qPrintable(QStringLiteral("olive at %1,%2").arg(x).arg(y)));
            const QPoint origin(cell.left() + 4, cell.top());
            // The picture's corner is transparent: the row's own colour shows.
            QCOMPARE(img.pixelColor(origin), bg);
            if (row == 2) {
                // Blank: only the background, the grid's own text hidden.
                for (int x = cell.left(); x < cell.right(); ++x)
                    QCOMPARE(img.pixelColor(x, cell.top() + cell.height() / 2), bg);
                continue;
            }
            QCOMPARE(img.pixelColor(origin + QPoint(2, 2)), QColor(Qt::black)); // box corner
            QCOMPARE(img.pixelColor(origin + QPoint(12, 5)), QColor(192, 192, 192));
            QCOMPARE(img.pixelColor(origin + QPoint(6, 8)), row == 1 ? QColor(Qt::white) : QColor(Qt::black)); // the tick
        }
    }

    // The list's registration as the server last spoke to the authority for it, after
    // each load; a server without the method leaves it empty, says nothing, and is not
    // asked again.
    void syncStateShown_data()
    {
        QTest::addColumn<QVariant>("answer"); // a text: an error reply; a list: the pairs
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("askedOnTwoLoads");
        const auto pair = [](const char *name, const QVariant &v) { return QVariant(QVariantList{QString::fromLatin1(name), v}); };
        QTest::newRow("older server") << QVariant(QStringLiteral("método desconhecido: GetEstadoSincronizacao")) << "" << 1;
        QTest::newRow("other failure: asked again") << QVariant(QStringLiteral("servidor ocupado")) << "" << 2;
        QTest::newRow("last, its answer and the next")
            << QVariant(QVariantList{pair("ultima_sincronizacao", "09/12/2026 10:15"), pair("resultado", "137 - Nenhum documento localizado"),
                                     pair("proxima_consulta", "09/12/2026 11:16"), pair("nome_futuro", 7)})
            << "Última sincronização: 09/12/2026 10:15 (137 - Nenhum documento localizado) · Próxima consulta permitida: "
               "09/12/2026 11:16"
            << 2;
        QTest::newRow("never synchronized")
            << QVariant(QVariantList{pair("ultima_sincronizacao", ""), pair("resultado", ""), pair("proxima_consulta", "09/12/2026 10:00")})
            << "Última sincronização: nenhuma · Próxima consulta permitida: 09/12/2026 10:00" << 2;
        QTest::newRow("values of the wrong kind") << QVariant(QVariantList{pair("ultima_sincronizacao", 42), QVariant(QStringLiteral("x"))})
                                                  << "Última sincronização: nenhuma" << 2;
    }
    void syncStateShown()
    {
        QFETCH(QVariant, answer);
        QFETCH(QString, shown);
        QFETCH(int, askedOnTwoLoads);
        s()->semEstado = false;
        server->stateCalls.clear();
        server->state = [answer](const wire::Request &r) {
            if (answer.metaType().id() == QMetaType::QString) {
                wire::Reply failed;
                failed.ok = false;
                failed.error = answer.toString();
                return failed;
            }
            return okReply(QVariantList{QStringLiteral("S"), answer}, r.args);
        };
        auto noState = qScopeGuard([this] { server->state = nullptr; });
        dialogs->d.clear();
        loadList(someRows());
        QCOMPARE(s()->lblEstado->text(), shown);
        refresh();
        QCOMPARE(s()->lblEstado->text(), shown);
        QCOMPARE(s()->lblEstado->isVisibleTo(s()), !shown.isEmpty()); // no blank line under the list
        QCOMPARE(server->stateCalls.size(), askedOnTwoLoads);
        QCOMPARE(server->stateCalls[0].args, (QVariantList{QStringLiteral("01"), QStringLiteral("T"), kA}));
        QVERIFY(dialogs->d.errors.isEmpty());
        QVERIFY(dialogs->d.infos.isEmpty());
    }

    void unreachableServerIsReportedAtTheFirstCall()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 dead = probe.serverPort();
        probe.close();
        QPointer<TfrmSincronizacaoCTe> old = s();
        old->Close();
        QVERIFY(waitFor([&] { return old.isNull(); }));
        Verdano::SetWebPort(dead);
        dialogs->d.clear();
        Cli_Dfe71000::CriaSincronizacaoCTe(); // no error at show
        QVERIFY(waitFor([this] { return s() != nullptr; }));
        QVERIFY(dialogs->d.errors.isEmpty());
        confirmNextFilter();
        s()->sbtFiltro->click();
        QCOMPARE(dialogs->d.errors.size(), 1);
        QVERIFY2(dialogs->d.errors[0].contains(QStringLiteral("127.0.0.1:%1").arg(dead)), qPrintable(dialogs->d.errors[0]));
        QVERIFY(!ShowAviActive());
        QVERIFY(!cds().Active());
        Verdano::SetWebPort(server->port());
    }

};

QTEST_MAIN(TestSync)
#include "tst_sync.moc"
