// The real module loaded as the host loads it: entry, lifecycle of the three screens.
#include "Controls.h"
#include "HostCore.h"
#include "ScreenHarness.h"

#include <QCheckBox>
#include <QDialog>
#include <QTest>
#include <dlfcn.h>

namespace {
template <class T>
T *global(const char *mangled)
{
    // The host loads the module privately: its symbols are reached through its handle.
    static void *handle = dlopen(MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
    void *p = handle ? dlsym(handle, mangled) : nullptr;
    if (!p)
        qFatal("symbol %s not exported", mangled);
    return static_cast<T *>(p);
}
bool &screenExists() { return *global<bool>("_ZN12Cli_Dfe7100010boIdCriadoE"); }
bool &filterConfirmed() { return *global<bool>("_ZN12Cli_Dfe7110010boConfirmaE"); }
bool &reasonExists() { return *global<bool>("_ZN12Cli_Dfe7120010boIdCriadoE"); }
QPointer<QWidget> &filterDialog() { return *global<QPointer<QWidget>>("_ZN12Cli_Dfe7110025frmFiltroSincronizacaoCTeE"); }
QPointer<QWidget> &reasonDialog() { return *global<QPointer<QWidget>>("_ZN12Cli_Dfe7120012frmRecusaCTeE"); }

const QString kCnpj = QStringLiteral("11222333000181");

void clickButton(QWidget *parent, const char *name)
{
    auto *b = parent->findChild<QAbstractButton *>(QString::fromLatin1(name));
    QVERIFY2(b, name);
    b->click();
}
} // namespace

class TestModule : public QObject {
    Q_OBJECT
    std::unique_ptr<ModuleHandle> module;
    std::unique_ptr<HostWindow> host;
    std::unique_ptr<TempHostDb> db;
    std::unique_ptr<FakeServer> server;
    std::unique_ptr<DialogsScope> dialogs;

    QWidget *openScreen()
    {
        module->iniProc();
        QCoreApplication::processEvents();
        return host->screen();
    }
    TMaskEdit *companyEdit(QWidget *screen) { return dynamic_cast<TMaskEdit *>(screen->findChild<QLineEdit *>(QStringLiteral("medCdEmpresa"))); }
    QTableView *grid(QWidget *screen) { return screen->findChild<QTableView *>(QStringLiteral("dbgPadrao")); }
    void closeScreen(QWidget *screen)
    {
        QPointer<QWidget> s = screen;
        screen->parentWidget()->close();
        QVERIFY(waitFor([&] { return s.isNull(); }));
    }

private Q_SLOTS:
    void initTestCase()
    {
        db = std::make_unique<TempHostDb>();
        server = std::make_unique<FakeServer>();
        server->handler = [](const wire::Request &r) {
            if (r.method == QLatin1String("GetSincronizacaoCTe"))
                return listReply({{QStringLiteral("000000000000002"), QStringLiteral("k2")},
                                  {QStringLiteral("000000000000001"), QStringLiteral("k1")}},
                                 r.args);
            return okReply(QVariantList{QStringLiteral("N"), QStringLiteral("não")}, r.args);
        };
        PublishHostValues(server->port());
        host = std::make_unique<HostWindow>();
        QVERIFY(QTest::qWaitForWindowActive(&host->main));
        dialogs = std::make_unique<DialogsScope>();
        module = ModuleHandle::load(QStringLiteral(MODULE_PATH));
        QVERIFY(!screenExists());
        QVERIFY(!reasonExists());
        QVERIFY(filterDialog().isNull());
    }

    void cleanupTestCase()
    {
        if (QWidget *s = host->screen())
            closeScreen(s);
        module->finalize();
    }

    void secondIniProcKeepsOneScreen()
    {
        QWidget *s = openScreen();
        QVERIFY(s);
        QVERIFY(screenExists());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        host->area->setActiveSubWindow(nullptr);
        QWidget *again = openScreen();
        QCOMPARE(again, s);
        QCOMPARE(host->screenCount(), 1);
        QCOMPARE(host->area->activeSubWindow()->widget(), s);
        QCOMPARE(companyEdit(s)->Text(), QStringLiteral("01"));
    }

    // The host may call the load hook again (a second load of the same file): the units
    // are not initialized twice, so the open screen stays the one IniProc shows.
    void initializeAgainKeepsTheScreen()
    {
        QWidget *s = host->screen();
        QVERIFY(s);
        auto initialize = reinterpret_cast<void (*)()>(dlsym(dlopen(MODULE_PATH, RTLD_NOW | RTLD_NOLOAD), "Initialize"));
        QVERIFY(initialize);
        initialize();
        QVERIFY(screenExists());
        QCOMPARE(openScreen(), s);
        QCOMPARE(host->screenCount(), 1);
    }

    void filterSurvivesClosingTheScreen()
    {
        QWidget *s = host->screen();
        QVERIFY(s);
        dialogs->d.onLookup = [](TClientDataSet &list) {
            return list.Locate(QStringLiteral("NRINSJURIEST"), kCnpj) ? list.RecNo() - 1 : -1;
        };
        QPointer<QWidget> first;
        whenModal([&](QWidget *dlg) {
            first = dlg;
            clickButton(dlg, "btpInscrJurid");
            clickButton(dlg, "sbtConfirma");
        });
        clickButton(s, "sbtFiltro");
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QVERIFY(filterConfirmed());
        auto calls = server->callsOf(QStringLiteral("GetSincronizacaoCTe"));
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].args.value(2).toString(), kCnpj);
        QCOMPARE(grid(s)->model()->rowCount(), 2);

        closeScreen(s);
        QVERIFY(!screenExists());
        QVERIFY(first);
        QCOMPARE(filterDialog().data(), first.data());

        Verdano::SetEmprProc(QStringLiteral("2"));
        QWidget *s2 = openScreen();
        QVERIFY(s2);
        QCOMPARE(companyEdit(s2)->Text(), QStringLiteral("02")); // from the host again
        QCOMPARE(grid(s2)->model()->rowCount(), 0);
        Verdano::SetEmprProc(QStringLiteral("1"));
        companyEdit(s2)->SetText(QStringLiteral("01"));

        // A cancelled showing returns false and keeps the dialog with its filter.
        QString shown;
        whenModal([&](QWidget *dlg) {
            shown = dynamic_cast<TMaskEdit *>(dlg->findChild<QLineEdit *>(QStringLiteral("medInscrJurid")))->Text();
            clickButton(dlg, "sbtCancel");
        });
        clickButton(s2, "sbtFiltro");
        QCOMPARE(shown, kCnpj);
        QVERIFY(!filterConfirmed());
        QCOMPARE(filterDialog().data(), first.data());
        QCOMPARE(server->callsOf(QStringLiteral("GetSincronizacaoCTe")).size(), 1);

        whenModal([&](QWidget *dlg) { clickButton(dlg, "sbtConfirma"); });
        clickButton(s2, "sbtFiltro");
        calls = server->callsOf(QStringLiteral("GetSincronizacaoCTe"));
        QCOMPARE(calls.size(), 2);
        QCOMPARE(calls[1].args, calls[0].args);
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }

    void reasonDialogIsBuiltAfresh()
    {
        QWidget *s = host->screen();
        QTableView *g = grid(s);
        QCOMPARE(g->model()->rowCount(), 2);
        QList<QPointer<QWidget>> seen;
        g->setFocus();
        QTest::mouseDClick(g->viewport(), Qt::LeftButton, {}, g->visualRect(g->model()->index(0, 1)).center());
        for (int i = 0; i < 2; ++i) {
            // A cancelled dialog keeps the tick: the second run is for the same CT-e.
            whenModal([&](QWidget *dlg) {
                seen << dlg;
                QVERIFY(reasonExists());
                clickButton(dlg, "sbtCancel");
            });
            clickButton(s, "sbtRecusaCTe");
            QVERIFY(!reasonExists());
            QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        }
        QCOMPARE(seen.size(), 2);
        QVERIFY(waitFor([&] { return seen[0].isNull() && seen[1].isNull(); }));
        QCOMPARE(server->callsOf(QStringLiteral("RecusaCTe")).size(), 0);
        QVERIFY(reasonDialog().isNull());
    }
};

QTEST_MAIN(TestModule)
#include "tst_module.moc"
