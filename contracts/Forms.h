#pragma once
// The host's base screens.
#include "Controls.h"
#include "DataSet.h"
#include "Grid.h"
#include "Messages.h"
#include "ToolkitApi.h"

#include <QAction>
#include <QDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QVBoxLayout>
#include <QWidget>

class QMdiArea;

enum TCloseAction { caNone, caHide, caFree, caMinimize };
using TCloseEvent = std::function<void(QObject *sender, TCloseAction &action)>;

// The host's MDI area, where grid screens open as child windows (none: top level).
DFE_TOOLKIT_API QMdiArea *HostMdiArea();
DFE_TOOLKIT_API void SetHostMdiArea(QMdiArea *area);

// Base of the list screens: code label, tool bar, a page with the grid, a navigator
// bar with a footer label, a menu and the message list.
class DFE_TOOLKIT_API TfrmPadraoGrid : public QWidget {
public:
    explicit TfrmPadraoGrid(QWidget *owner = nullptr);
    ~TfrmPadraoGrid() override;

    QLabel *lblCodTela;
    TPanel *panMenu;
    QHBoxLayout *panMenuLayout; // the screen's own buttons go before the base's
    TButtonFlat *sbtImprimir, *sbtAjuda, *sbtFechar;
    QWidget *tshPadrao;
    QVBoxLayout *tshPadraoLayout;
    TDBGrid *dbgPadrao;
    TDataSource dtsPadrao;
    TPanel *panNavigator;
    TDBText *dbtNome;
    TDBNavigator *dbnPadrao;
    QMenuBar *mnuMenu;
    QMenu *mnuOperacao;
    QAction *mnuListagem, *mnuConfigImpressora;
    QMenu *mnuManutencao;
    // Maintenance commands of the base, each with its tool button.
    QAction *mnuIncluir, *mnuAlterar, *mnuExcluir, *mnuGravar, *mnuCancelar, *mnuPrimeiro, *mnuUltimo;
    TButtonFlat *sbtIncluir, *sbtAlterar, *sbtExcluir, *sbtGravar, *sbtCancelar, *sbtPrimeiro, *sbtUltimo;
    TMessages msgPadrao;

    TNotifyEvent OnShow;
    TCloseEvent OnClose;

    // The base's handlers, for a screen that takes their place to call.
    void dbgPadraoKeyDown(QObject *sender, int &key, Qt::KeyboardModifiers shift);
    void FormClose(QObject *sender, TCloseAction &action);
    void dtsPadraoStateChangeBase();

    void SetCaption(const QString &caption);
    // Shows the screen as a child window of the host (or brings it to the front).
    void Show();
    bool Close();
    QWidget *Frame(); // the window that holds the screen
    void AddToolButton(TButtonFlat *b);

protected:
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    bool eventFilter(QObject *o, QEvent *e) override;

private:
    QMenuBar *buildMenu();
    TPanel *buildToolBar();
    QWidget *buildGridPage();
    TPanel *buildNavigator();
    void bindCommands();

    bool m_closing = false;
    bool m_shownOnce = false;
    bool m_showSteps = false; // set by Show() for a screen it brings back from hidden
    int m_screenButtons = 0;
};

// Base of the dialogs: code label, data group box on the left, button panel with
// confirm and cancel on the right, the message list.
class DFE_TOOLKIT_API TfrmRotiGeral : public QDialog {
public:
    explicit TfrmRotiGeral(QWidget *owner = nullptr);

    QLabel *lblCodTela;
    QGroupBox *grbDadosRel;
    TPanel *panMenu;
    TPanel *panBotoes;
    TButtonFlat *sbtConfirma;
    TButtonFlat *sbtCancel;
    TMessages msgPadrao;

    TNotifyEvent OnCreate;
    TNotifyEvent OnShow;
    TNotifyEvent OnActivate;
    TCloseEvent OnClose;

    void FormCreate(QObject *sender);
    void FormClose(QObject *sender, TCloseAction &action);
    void sbtCancelClick(QObject *sender);

    // Runs OnCreate; the creation procedures call it once, right after construction.
    void Create();
    int ShowModal();
    bool Close();

protected:
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    void changeEvent(QEvent *e) override;
    void reject() override;
    void keyPressEvent(QKeyEvent *e) override;

private:
    bool m_closing = false;
};
