// The filter dialog through its real widgets: defaults, status list, confirm and
// cancel, registration lookups, mask and key filter.
#include "Creation.h"
#include "Exceptions.h"
#include "FiltroSincronizacaoCTe.h"
#include "Funcoes.h"
#include "ScreenHarness.h"
#include "SincronizacaoCTe.h"

#include <QClipboard>
#include <QTest>

using namespace Cli_Dfe71100;

namespace {
const QString kA = QStringLiteral("11222333000181");  // company 01
const QString kA2 = QStringLiteral("11222333000262"); // company 01, another branch
const QString kB = QStringLiteral("04567890000179");  // company 02
const QString kCpf = QStringLiteral("52998224725");   // company 01 in this test's data

TfrmFiltroSincronizacaoCTe *dlg() { return frmFiltroSincronizacaoCTe.data(); }

// Shows the dialog, runs `script` once it is active, returns the creation result.
bool showDialog(std::function<void(TfrmFiltroSincronizacaoCTe *)> script)
{
    whenModal([script](QWidget *w) { script(static_cast<TfrmFiltroSincronizacaoCTe *>(w)); });
    return CriaFiltroSincronizacaoCTe();
}

void typeInto(TMaskEdit *e, const QString &text)
{
    focusTo(e);
    e->selectAll();
    QTest::keyClick(e, Qt::Key_Backspace);
    QTest::keyClicks(e, text);
}

void confirm(TfrmFiltroSincronizacaoCTe *d) { d->sbtConfirma->click(); }
void cancel(TfrmFiltroSincronizacaoCTe *d) { d->sbtCancel->click(); }
} // namespace

class TestFilter : public QObject {
    Q_OBJECT
    std::unique_ptr<TempHostDb> db;
    std::unique_ptr<HostWindow> host;
    std::unique_ptr<DialogsScope> dialogs;
    QPointer<Cli_Dfe71000::TfrmSincronizacaoCTe> screen;

    int rowOf(TClientDataSet &list, const QString &number)
    {
        return list.Locate(QStringLiteral("NRINSJURIEST"), number) ? list.RecNo() - 1 : -1;
    }

private Q_SLOTS:
    void initTestCase()
    {
        db = std::make_unique<TempHostDb>();
        db->exec(QStringLiteral("INSERT INTO INSCRESTAD VALUES ('01', '%1', 'F', '7900123450027')").arg(kCpf));
        Verdano::SetFiliProc(QStringLiteral("03"));
        Verdano::SetDataProc(QStringLiteral("03"), QDate(2026, 12, 8));
        host = std::make_unique<HostWindow>();
        QVERIFY(QTest::qWaitForWindowActive(&host->main));
        dialogs = std::make_unique<DialogsScope>();
        screen = new Cli_Dfe71000::TfrmSincronizacaoCTe;
        Cli_Dfe71000::frmSincronizacaoCTe = screen;
        screen->medCdEmpresa->SetText(QStringLiteral("01"));
    }

    void cleanupTestCase() { delete screen.data(); }

    void firstShowing()
    {
        QString focused;
        QDate dates[4];
        QString maskAfterTyping;
        const bool result = showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            focused = QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
            dates[0] = d->depEmissaoIni->GetDate();
            dates[1] = d->depEmissaoFim->GetDate();
            dates[2] = d->depSincIni->GetDate();
            dates[3] = d->depSincFin->GetDate();
            // Typed by hand before any lookup: leaving it takes the mask of an empty type.
            typeInto(d->medInscrJurid, kA);
            focusTo(d->medInscrEstad);
            maskAfterTyping = d->medInscrJurid->EditMask();
            cancel(d);
        });
        QVERIFY(!result);
        QCOMPARE(focused, QStringLiteral("medInscrJurid"));
        QCOMPARE(dates[0], QDate(2026, 12, 1));
        QCOMPARE(dates[1], QDate(2026, 12, 8));
        QCOMPARE(dates[2], QDate(2026, 12, 1));
        QCOMPARE(dates[3], QDate(2026, 12, 8));
        QCOMPARE(maskAfterTyping, QString());
        QCOMPARE(dlg()->rcFiltro.stInscrJurid, QString());
        QCOMPARE(dlg()->rcFiltro.stStatus, QString());
        QCOMPARE(dlg()->stInscrEstadFiltro, QString());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }

    void statusList_data()
    {
        QTest::addColumn<QString>("clicks"); // boxes to tick, in this order: n=999 a=100 r=000 c=101
        QTest::addColumn<QString>("status");
        QTest::newRow("none") << "" << "T";
        QTest::newRow("cancelled only") << "c" << "_101_";
        QTest::newRow("disagreement only") << "r" << "_000_";
        QTest::newRow("all, ticked backwards") << "cran" << "_999_100_000_101_";
        QTest::newRow("mixed") << "rn" << "_999_000_";
    }
    void statusList()
    {
        QFETCH(QString, clicks);
        QFETCH(QString, status);
        const bool result = showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            for (QCheckBox *b : {d->chkNSUInex, d->chkAutorizado, d->chkRecusado, d->chkCancelado})
                if (b->isChecked())
                    QTest::mouseClick(b, Qt::LeftButton);
            for (QChar c : clicks) {
                QCheckBox *b = c == u'n' ? d->chkNSUInex : c == u'a' ? d->chkAutorizado : c == u'r' ? d->chkRecusado : d->chkCancelado;
                QTest::mouseClick(b, Qt::LeftButton);
            }
            typeInto(d->medInscrJurid, kA);
            confirm(d);
        });
        QVERIFY(result);
        QCOMPARE(dlg()->rcFiltro.stStatus, status);
        QCOMPARE(dlg()->rcFiltro.stInscrJurid, kA);
    }

    void stateRegistrationAtConfirm_data()
    {
        QTest::addColumn<QString>("ie");
        QTest::addColumn<QString>("filtro");
        QTest::newRow("empty") << "" << "T";
        QTest::newRow("filled") << "110042490114" << "110042490114";
    }
    void stateRegistrationAtConfirm()
    {
        QFETCH(QString, ie);
        QFETCH(QString, filtro);
        QVERIFY(showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            typeInto(d->medInscrJurid, kA);
            typeInto(d->medInscrEstad, ie);
            confirm(d);
        }));
        QCOMPARE(dlg()->rcFiltro.stInscrEstad, ie);
        QCOMPARE(dlg()->stInscrEstadFiltro, filtro);
    }

    void refusedConfirm_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << "" << "Inscrição jurídica deve ser informada.";
        QTest::newRow("unknown") << "99999999999999" << "Inscrição jurídica não cadastrada.";
        QTest::newRow("another company's") << kB << "Inscrição jurídica não cadastrada.";
    }
    void refusedConfirm()
    {
        QFETCH(QString, number);
        QFETCH(QString, message);
        const TRecordFilter before = dlg()->rcFiltro;
        const QString beforeIe = dlg()->stInscrEstadFiltro;
        dialogs->d.clear();
        bool stillOpen = false, confirmFlag = false;
        QString focused;
        const bool result = showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            QTest::mouseClick(d->chkNSUInex, Qt::LeftButton);
            typeInto(d->medInscrJurid, number);
            confirm(d); // the confirm button takes no focus: only the confirm checks
            QCoreApplication::processEvents();
            stillOpen = d->isVisible();
            confirmFlag = boConfirma;
            focused = QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
            cancel(d);
        });
        QVERIFY(result); // a refused confirm then a cancel still reports confirmation
        QVERIFY(stillOpen);
        QVERIFY(confirmFlag);
        QCOMPARE(focused, QStringLiteral("medInscrJurid"));
        QCOMPARE(dialogs->d.errors, QStringList{message});
        QCOMPARE(dlg()->rcFiltro.stInscrJurid, before.stInscrJurid);
        QCOMPARE(dlg()->rcFiltro.stStatus, before.stStatus);
        QCOMPARE(dlg()->stInscrEstadFiltro, beforeIe);
    }

    // A range that starts after it ends would list nothing: the confirm says why.
    void invertedRangeIsRefused_data()
    {
        QTest::addColumn<QString>("range");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focused");
        QTest::newRow("issue") << "emissao" << "Data de Emissão: a data inicial (09/12/2026) é posterior à data final (08/12/2026)."
                               << "depEmissaoIni";
        QTest::newRow("synchronization") << "sinc"
                                         << "Data de Sincronização: a data inicial (09/12/2026) é posterior à data final (08/12/2026)."
                                         << "depSincIni";
        QTest::newRow("same day is a range") << "" << "" << "";
    }
    void invertedRangeIsRefused()
    {
        QFETCH(QString, range);
        QFETCH(QString, message);
        QFETCH(QString, focused);
        const TRecordFilter before = dlg()->rcFiltro;
        dialogs->d.clear();
        bool stillOpen = false;
        QString focus;
        showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            typeInto(d->medInscrJurid, kA);
            d->depEmissaoIni->SetDate(QDate(2026, 12, range == QLatin1String("emissao") ? 9 : 8));
            d->depEmissaoFim->SetDate(QDate(2026, 12, 8));
            d->depSincIni->SetDate(QDate(2026, 12, range == QLatin1String("sinc") ? 9 : 8));
            d->depSincFin->SetDate(QDate(2026, 12, 8));
            confirm(d);
            QCoreApplication::processEvents();
            stillOpen = d->isVisible();
            focus = QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
            if (stillOpen)
                cancel(d);
        });
        QCOMPARE(stillOpen, !message.isEmpty());
        QCOMPARE(dialogs->d.errors, message.isEmpty() ? QStringList{} : QStringList{message});
        if (!message.isEmpty()) {
            QCOMPARE(focus, focused);
            QCOMPARE(dlg()->rcFiltro.dtEmissaoIni, before.dtEmissaoIni);
            QCOMPARE(dlg()->rcFiltro.dtSincIni, before.dtSincIni);
        } else {
            QCOMPARE(dlg()->rcFiltro.dtEmissaoIni, QDate(2026, 12, 8));
        }
    }

    void cancelRestoresDatesButNotCheckBoxes()
    {
        QVERIFY(showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            typeInto(d->medInscrJurid, kA);
            d->depEmissaoIni->SetDate(QDate(2026, 10, 1));
            if (!d->chkAutorizado->isChecked())
                QTest::mouseClick(d->chkAutorizado, Qt::LeftButton);
            confirm(d);
        }));
        QVERIFY(!showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            d->depEmissaoIni->SetDate(QDate(2025, 1, 1));
            d->depSincFin->SetDate(QDate(2025, 1, 2));
            QTest::mouseClick(d->chkAutorizado, Qt::LeftButton);
            cancel(d);
        }));
        QDate ini, fin;
        bool authorised = true;
        showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            ini = d->depEmissaoIni->GetDate();
            fin = d->depSincFin->GetDate();
            authorised = d->chkAutorizado->isChecked();
            cancel(d);
        });
        QCOMPARE(ini, QDate(2026, 10, 1));
        QCOMPARE(fin, QDate(2026, 12, 8));
        QVERIFY(!authorised);
    }

    void stateRegistrationChecks_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("ie");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("its own") << kA << "110042490122" << true;
        QTest::newRow("under another legal registration") << kA << "243568790118" << false;
        QTest::newRow("empty is always accepted") << kA2 << "" << true;
    }
    void stateRegistrationChecks()
    {
        QFETCH(QString, number);
        QFETCH(QString, ie);
        QFETCH(bool, accepted);
        dialogs->d.clear();
        QString focused;
        bool open = false;
        showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            typeInto(d->medInscrJurid, number);
            typeInto(d->medInscrEstad, ie);
            focusTo(d->chkNSUInex); // leaving the edit checks it
            focused = QApplication::focusWidget()->objectName();
            dialogs->d.errors.clear();
            confirm(d);
            open = d->isVisible();
            if (open)
                cancel(d);
        });
        QCOMPARE(!open, accepted);
        if (accepted) {
            QVERIFY(dialogs->d.errors.isEmpty());
            QCOMPARE(dlg()->rcFiltro.stInscrEstad, ie);
        } else {
            QCOMPARE(dialogs->d.errors, QStringList{QStringLiteral("Inscrição Estadual não cadastrada.")});
            QCOMPARE(focused, QStringLiteral("medInscrEstad"));
        }
    }

    void lookupsAndMask()
    {
        QString ieAfterSame, ieAfterOther, ieAfterFocus, shownWhileEditing, shownAfter;
        QString maskFromCpfRow;
        QStringList titles;
        showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            dialogs->d.onLookup = [&](TClientDataSet &list) { return rowOf(list, kA); };
            d->btpInscrJurid->click();
            dialogs->d.onLookup = [](TClientDataSet &list) {
                return list.Locate(QStringLiteral("CDINSCESTA"), QStringLiteral("110042490114")) ? list.RecNo() - 1 : -1;
            };
            d->btpInscrEstad->click();
            // The same number again keeps the state registration.
            dialogs->d.onLookup = [&](TClientDataSet &list) { return rowOf(list, kA); };
            d->btpInscrJurid->click();
            ieAfterSame = d->medInscrEstad->Text();
            // Entering and leaving without typing keeps it too; the mask comes off and back.
            focusTo(d->medInscrJurid);
            shownWhileEditing = d->medInscrJurid->displayText();
            focusTo(d->medInscrEstad);
            shownAfter = d->medInscrJurid->displayText();
            ieAfterFocus = d->medInscrEstad->Text();
            // Another number empties it.
            dialogs->d.onLookup = [&](TClientDataSet &list) { return rowOf(list, kA2); };
            d->btpInscrJurid->click();
            ieAfterOther = d->medInscrEstad->Text();
            // Typed by hand: the mask is the type of the lookup's current row.
            dialogs->d.onLookup = [&](TClientDataSet &list) { return rowOf(list, kCpf); };
            d->btpInscrJurid->click();
            typeInto(d->medInscrJurid, kA);
            focusTo(d->chkAutorizado);
            maskFromCpfRow = d->medInscrJurid->EditMask();
            titles = dialogs->d.lookups;
            cancel(d);
        });
        dialogs->d.onLookup = nullptr;
        QCOMPARE(ieAfterSame, QStringLiteral("110042490114"));
        QCOMPARE(ieAfterFocus, QStringLiteral("110042490114"));
        QCOMPARE(shownWhileEditing, kA);
        QCOMPARE(shownAfter, QStringLiteral("11.222.333/0001-81"));
        QCOMPARE(ieAfterOther, QString());
        QCOMPARE(maskFromCpfRow, PictPess(QStringLiteral("F")));
        QCOMPARE(titles.first(), QStringLiteral("Inscrição Jurídica"));
        QVERIFY(titles.contains(QStringLiteral("Inscrição Estadual")));
    }

    void typedRegistrationIsKept_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("expected");
        QTest::newRow("reopened after a confirm, lookup never opened") << "reopen" << kA2;
        QTest::newRow("reopened after a confirm, lookup on another row") << "reopen after lookup" << kA2;
        QTest::newRow("window activated again while typing") << "reactivate" << kA2;
        QTest::newRow("an empty registration takes the lookup's row") << "empty" << kA;
    }
    void typedRegistrationIsKept()
    {
        QFETCH(QString, how);
        QFETCH(QString, expected);
        const QString ie = QStringLiteral("243568790118"); // kA2's
        if (how == QLatin1String("reopen"))
            dlg()->qryPesqInscrJurid.Close(); // as if it had never been opened
        QString number, stateReg;
        auto reactivate = [&](TfrmFiltroSincronizacaoCTe *d) {
            QApplication::setActiveWindow(&host->main);
            QCoreApplication::processEvents();
            QApplication::setActiveWindow(d);
            QCoreApplication::processEvents();
        };
        auto pickA = [&](TfrmFiltroSincronizacaoCTe *d) {
            dialogs->d.onLookup = [&](TClientDataSet &list) { return rowOf(list, kA); };
            d->btpInscrJurid->click();
            dialogs->d.onLookup = nullptr;
        };
        if (how.startsWith(QLatin1String("reopen"))) {
            QVERIFY(showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
                if (how != QLatin1String("reopen"))
                    pickA(d);
                typeInto(d->medInscrJurid, kA2);
                typeInto(d->medInscrEstad, ie);
                confirm(d);
                if (d->isVisible())
                    cancel(d);
            }));
            showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
                number = d->medInscrJurid->Text();
                stateReg = d->medInscrEstad->Text();
                cancel(d);
            });
        } else {
            showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
                pickA(d);
                typeInto(d->medInscrJurid, how == QLatin1String("empty") ? QString() : kA2);
                if (how != QLatin1String("empty"))
                    d->medInscrEstad->SetText(ie);
                reactivate(d);
                number = d->medInscrJurid->Text();
                stateReg = d->medInscrEstad->Text();
                cancel(d);
            });
        }
        QCOMPARE(number, expected);
        QCOMPARE(stateReg, how == QLatin1String("empty") ? QString() : ie);
    }

    void digitFilterStopsEveryNonDigit_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Alt+c") << int(Qt::Key_C) << int(Qt::AltModifier);
        QTest::newRow("Alt+Shift+X") << int(Qt::Key_X) << int(Qt::AltModifier | Qt::ShiftModifier);
        QTest::newRow("Ctrl+Alt+a") << int(Qt::Key_A) << int(Qt::ControlModifier | Qt::AltModifier);
        QTest::newRow("Ctrl+V of a masked number") << int(Qt::Key_V) << int(Qt::ControlModifier);
    }
    void digitFilterStopsEveryNonDigit()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QGuiApplication::clipboard()->setText(QStringLiteral("333/0001-81x"));
        QString typed;
        showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            typeInto(d->medInscrJurid, QStringLiteral("11222"));
            const Qt::KeyboardModifiers m(modifiers);
            const QChar letter = QChar(key).toLower();
            QKeyEvent press(QEvent::KeyPress, key, m, (m & Qt::ControlModifier) && key == Qt::Key_V ? QString(QChar(0x16))
                                                                     : QString(m & Qt::ShiftModifier ? letter.toUpper() : letter));
            QApplication::sendEvent(d->medInscrJurid, &press);
            typed = d->medInscrJurid->Text();
            cancel(d);
        });
        QCOMPARE(typed, key == Qt::Key_V ? QStringLiteral("11222333000181") : QStringLiteral("11222"));
    }

    void dialogKeysRunWhatAClickRuns_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("confirmed");
        QTest::newRow("Ctrl+Enter confirms") << int(Qt::Key_Return) << int(Qt::ControlModifier) << true;
        QTest::newRow("Ctrl+keypad Enter confirms") << int(Qt::Key_Enter) << int(Qt::ControlModifier | Qt::KeypadModifier) << true;
        QTest::newRow("Esc cancels") << int(Qt::Key_Escape) << int(Qt::NoModifier) << false;
    }
    void dialogKeysRunWhatAClickRuns()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, confirmed);
        const QString before = dlg()->rcFiltro.stInscrJurid == kA ? kA2 : kA;
        bool closed = false;
        const bool result = showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            typeInto(d->medInscrJurid, before);
            QTest::keyClick(d->medInscrJurid, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            closed = !d->isVisible();
            if (!closed)
                cancel(d);
        });
        QVERIFY(closed);
        QCOMPARE(result, confirmed);
        QCOMPARE(dlg()->rcFiltro.stInscrJurid == before, confirmed);
        QCOMPARE(dlg()->sbtConfirma->toolTip(), QStringLiteral("Confirmar (Ctrl+Enter)"));
        QCOMPARE(dlg()->sbtCancel->toolTip(), QStringLiteral("Cancelar (Esc)"));
    }

    void lookupDisplayRule()
    {
        TADOIBQuery &q = dlg()->qryPesqInscrJurid;
        QVERIFY(q.Active());
        TField &f = q.FieldByName(QStringLiteral("NRINSJURIEST"));
        QStringList shown;
        for (int v = 0; v < q.RecordCount(); ++v)
            shown << f.DisplayTextAt(q.RowAt(v));
        QVERIFY(shown.contains(QStringLiteral("11.222.333/0001-81")));
        QVERIFY(shown.contains(QStringLiteral("529.982.247-25")));
        QCOMPARE(f.StringAt(q.RowAt(0)).contains(QLatin1Char('.')), false); // the value itself is unchanged
        QCOMPARE(dlg()->qryPesqInscrJuridNRINSJURIESTGetText(f, -1), QString());
    }

    void emptyLookupListSaysSo()
    {
        dialogs->d.clear();
        screen->medCdEmpresa->SetText(QStringLiteral("09"));
        showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            d->btpInscrJurid->click();
            cancel(d);
        });
        screen->medCdEmpresa->SetText(QStringLiteral("01"));
        QCOMPARE(dialogs->d.infos, QStringList{QStringLiteral("Não há inscrição jurídica cadastrada.")});
        QVERIFY(dialogs->d.lookups.isEmpty());
    }

    void refusedKeyNeverReachesTheEdit()
    {
        QString typed;
        showDialog([&](TfrmFiltroSincronizacaoCTe *d) {
            typeInto(d->medInscrJurid, QStringLiteral("12a.3-4 5"));
            typed = d->medInscrJurid->Text();
            typeInto(d->medInscrJurid, QString(25, QLatin1Char('7')));
            typed += QLatin1Char('|') + d->medInscrJurid->Text();
            cancel(d);
        });
        QCOMPARE(typed, QStringLiteral("12345|") + QString(20, QLatin1Char('7')));
    }

    void waitCursorIsRestoredAfterAnException()
    {
        try {
            WaitCursor wait;
            throw Exception(QStringLiteral("falha ao criar"));
        } catch (const Exception &) {
        }
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }
};

QTEST_MAIN(TestFilter)
#include "tst_filter.moc"
