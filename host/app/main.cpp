// dfe-host: the host application that loads screen modules into its MDI area.
#include "Bind.h"
#include "Dialogs.h"
#include "Exceptions.h"
#include "Forms.h"
#include "HostCore.h"
#include "Verdano.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLibraryInfo>
#include <QMainWindow>
#include <QMdiArea>
#include <QMenuBar>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <QTranslator>

namespace {
// Last line of defence: an exception that escapes an event handler is shown, not fatal.
class HostApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject *o, QEvent *e) override
    {
        try {
            return QApplication::notify(o, e);
        } catch (const EAbort &) {
        } catch (const std::exception &ex) {
            ShowException(ex);
        } catch (...) {
            ShowException(Exception(QStringLiteral("Erro inesperado.")));
        }
        return false;
    }
};

class MainWindow : public QMainWindow {
public:
    explicit MainWindow(const HostSettings &s) : m_settings(s)
    {
        setWindowTitle(QStringLiteral("DF-e — Sistema de Gestão"));
        m_area = new QMdiArea(this);
        m_area->setViewMode(QMdiArea::SubWindowView);
        m_area->setBackground(QColor(58, 86, 120));
        setCentralWidget(m_area);
        SetHostMdiArea(m_area);
        QMenu *system = menuBar()->addMenu(QStringLiteral("&Sistema"));
        QMenu *modules = menuBar()->addMenu(QStringLiteral("&Módulos"));
        QAction *cte = modules->addAction(QStringLiteral("Sincronização do CT-e (DFE71000)"));
        cte->setShortcut(QKeySequence(QStringLiteral("Ctrl+1")));
        Bind(cte, &QAction::triggered, this, [this](bool) { openModule(); });
        QAction *quit = system->addAction(QStringLiteral("Sai&r"));
        connect(quit, &QAction::triggered, this, &QWidget::close);
        QMenu *windows = menuBar()->addMenu(QStringLiteral("&Janelas"));
        connect(windows->addAction(QStringLiteral("Cascata")), &QAction::triggered, m_area, &QMdiArea::cascadeSubWindows);
        connect(windows->addAction(QStringLiteral("Lado a lado")), &QAction::triggered, m_area, &QMdiArea::tileSubWindows);
        ListWindowsInMenu(windows, m_area);
        statusBar()->addPermanentWidget(new QLabel(
            QStringLiteral("Empresa %1 · Filial %2 · Data %3 · Servidor %4:%5")
                .arg(s.company, s.branch, s.processingDate.toString(QStringLiteral("dd/MM/yyyy")), s.serverHost)
                .arg(s.serverPort)));
        resize(1180, 720);
    }

    void openModule()
    {
        if (!m_module) {
            const QString path = QDir(m_settings.moduleDir).filePath(m_settings.moduleFile);
            try {
                m_module = ModuleHandle::load(path);
            } catch (const std::runtime_error &e) {
                throw Exception(QString::fromUtf8(e.what()));
            }
        }
        m_module->iniProc();
    }

    void finalizeModules()
    {
        if (m_module)
            m_module->finalize();
    }

private:
    HostSettings m_settings;
    QMdiArea *m_area;
    std::unique_ptr<ModuleHandle> m_module;
};
bool asksForHelp(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a == "--help" || a == "-h" || a == "-?" || a == "--help-all")
            return true;
    }
    return false;
}
} // namespace

int main(int argc, char **argv)
{
    // The options need no display: the help is printed before the window system opens.
    if (asksForHelp(argc, argv)) {
        QCoreApplication options(argc, argv);
        HostSettings().parse(QCoreApplication::arguments()); // prints the help and exits
    }
    HostApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("dfe-host"));
    QApplication::setOrganizationName(QStringLiteral("dfe"));
    // The screens speak Portuguese: so do the platform's own buttons (Sim, Não, Cancelar).
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_pt_BR"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts);

    HostSettings s;
    s.moduleDir = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../lib"));
    const QString defaultIni = QDir(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation))
                                   .filePath(QStringLiteral("dfe-host.ini"));
    if (QFileInfo::exists(defaultIni))
        s.load(defaultIni);
    s.parse(QCoreApplication::arguments());
    if (s.dbName.isEmpty())
        s.dbName = QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath(QStringLiteral("host.sqlite"));
    s.publish();

    MainWindow w(s);
    w.show();

    QString dbError;
    if (!OpenHostDatabase(s, dbError))
        s.problems << dbError;
    for (const QString &p : s.problems)
        QTimer::singleShot(0, &w, [&w, p] { Dialogs().Error(&w, p); });
    if (s.openModule)
        QTimer::singleShot(0, &w, [&w] { Guard([&] { w.openModule(); }); });

    QObject::connect(&app, &QCoreApplication::aboutToQuit, &w, [&w] { w.finalizeModules(); });
    return app.exec();
}
