#include "Forms.h"
#include "Bind.h"
#include "Dialogs.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QShortcut>
#include <QStyle>

namespace {
// Runs a screen's close handler, one close at a time. False: the handler refused the
// close (caNone) or failed, and the screen stays.
bool askClose(bool &closing, const TCloseEvent &handler, QObject *sender, TCloseAction &action)
{
    if (closing)
        return false;
    closing = true;
    bool ran = false;
    Guard([&] {
        if (handler)
            handler(sender, action);
        ran = true;
    });
    closing = false;
    return ran && action != caNone;
}

QPointer<QMdiArea> &mdiArea()
{
    static QPointer<QMdiArea> a;
    return a;
}

TButtonFlat *flat(QWidget *parent, const QString &hint, const QString &glyph)
{
    auto *b = new TButtonFlat(parent);
    b->SetHint(hint);
    b->setText(glyph);
    b->setFixedSize(21, 21);
    return b;
}
} // namespace

QMdiArea *HostMdiArea() { return mdiArea(); }
void SetHostMdiArea(QMdiArea *area) { mdiArea() = area; }

// ---- TfrmPadraoGrid ---------------------------------------------------------------

TfrmPadraoGrid::TfrmPadraoGrid(QWidget *owner) : QWidget(owner)
{
    MarkAsForm(this);
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    root->addWidget(buildMenu());
    root->addWidget(buildToolBar());
    root->addWidget(buildGridPage(), 1);
    root->addWidget(buildNavigator());
    bindCommands();
    dtsPadraoStateChangeBase();
    resize(900, 520);
}

QMenuBar *TfrmPadraoGrid::buildMenu()
{
    mnuMenu = new QMenuBar(this);
    mnuMenu->setNativeMenuBar(false);
    mnuOperacao = mnuMenu->addMenu(QStringLiteral("&Operação"));
    mnuListagem = mnuOperacao->addAction(QStringLiteral("Listagem"));
    mnuConfigImpressora = mnuOperacao->addAction(QStringLiteral("Configurar Impressora"));
    mnuManutencao = mnuMenu->addMenu(QStringLiteral("&Manutenção"));
    mnuIncluir = mnuManutencao->addAction(QStringLiteral("Incluir"));
    mnuAlterar = mnuManutencao->addAction(QStringLiteral("Alterar"));
    mnuExcluir = mnuManutencao->addAction(QStringLiteral("Excluir"));
    mnuGravar = mnuManutencao->addAction(QStringLiteral("Gravar"));
    mnuCancelar = mnuManutencao->addAction(QStringLiteral("Cancelar"));
    mnuManutencao->addSeparator();
    mnuPrimeiro = mnuManutencao->addAction(QStringLiteral("Primeiro Registro"));
    mnuUltimo = mnuManutencao->addAction(QStringLiteral("Último Registro"));
    return mnuMenu;
}

TPanel *TfrmPadraoGrid::buildToolBar()
{
    panMenu = new TPanel(this);
    panMenu->setFrameShape(QFrame::StyledPanel);
    panMenuLayout = new QHBoxLayout(panMenu);
    panMenuLayout->setContentsMargins(4, 2, 4, 2);
    panMenuLayout->setSpacing(1);
    lblCodTela = new QLabel(panMenu);
    SetBold(lblCodTela);
    sbtIncluir = flat(panMenu, QStringLiteral("Incluir"), QStringLiteral("+"));
    sbtAlterar = flat(panMenu, QStringLiteral("Alterar"), QStringLiteral("✎"));
    sbtExcluir = flat(panMenu, QStringLiteral("Excluir"), QStringLiteral("−"));
    sbtGravar = flat(panMenu, QStringLiteral("Gravar"), QStringLiteral("✔"));
    sbtCancelar = flat(panMenu, QStringLiteral("Cancelar"), QStringLiteral("✖"));
    sbtPrimeiro = flat(panMenu, QStringLiteral("Primeiro Registro"), QStringLiteral("⇤"));
    sbtUltimo = flat(panMenu, QStringLiteral("Último Registro"), QStringLiteral("⇥"));
    sbtImprimir = flat(panMenu, QStringLiteral("Imprimir"), QString());
    sbtImprimir->setIcon(style()->standardIcon(QStyle::SP_FileIcon));
    sbtAjuda = flat(panMenu, QStringLiteral("Ajuda"), QString());
    sbtAjuda->setIcon(style()->standardIcon(QStyle::SP_DialogHelpButton));
    sbtFechar = flat(panMenu, QStringLiteral("Fechar"), QString());
    sbtFechar->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    for (TButtonFlat *b : {sbtIncluir, sbtAlterar, sbtExcluir, sbtGravar, sbtCancelar, sbtPrimeiro, sbtUltimo})
        panMenuLayout->addWidget(b);
    panMenuLayout->addSpacing(8);
    panMenuLayout->addWidget(sbtImprimir);
    panMenuLayout->addWidget(sbtAjuda);
    panMenuLayout->addWidget(sbtFechar);
    panMenuLayout->addStretch(1);
    panMenuLayout->addWidget(lblCodTela);
    return panMenu;
}

QWidget *TfrmPadraoGrid::buildGridPage()
{
    tshPadrao = new QWidget(this);
    tshPadraoLayout = new QVBoxLayout(tshPadrao);
    tshPadraoLayout->setContentsMargins(0, 0, 0, 0);
    tshPadraoLayout->setSpacing(0);
    dbgPadrao = new TDBGrid(tshPadrao);
    dbgPadrao->setObjectName(QStringLiteral("dbgPadrao"));
    dbgPadrao->SetDataSource(&dtsPadrao);
    tshPadraoLayout->addWidget(dbgPadrao, 1);
    return tshPadrao;
}

TPanel *TfrmPadraoGrid::buildNavigator()
{
    panNavigator = new TPanel(this);
    panNavigator->setFrameShape(QFrame::StyledPanel);
    auto *nav = new QHBoxLayout(panNavigator);
    nav->setContentsMargins(4, 1, 4, 1);
    dbtNome = new TDBText(panNavigator);
    dbtNome->SetDataSource(&dtsPadrao);
    dbnPadrao = new TDBNavigator(panNavigator);
    dbnPadrao->SetDataSource(&dtsPadrao);
    nav->addWidget(dbtNome, 1);
    nav->addWidget(dbnPadrao);
    return panNavigator;
}

void TfrmPadraoGrid::bindCommands()
{
    dbnPadrao->ConfirmDelete = [this] { return Dialogs().Confirm(this, msgPadrao.Msg(QStringLiteral("Excl"))); };

    auto command = [this](QAction *a, TButtonFlat *b, std::function<void(TClientDataSet &)> run) {
        auto go = [this, run] {
            if (TClientDataSet *ds = dtsPadrao.DataSet(); ds && ds->Active())
                run(*ds);
        };
        Bind(a, &QAction::triggered, this, [go](bool) { go(); });
        b->OnClick = [go](QObject *) { go(); };
    };
    command(mnuIncluir, sbtIncluir, [](TClientDataSet &ds) { ds.Insert(); });
    command(mnuAlterar, sbtAlterar, [](TClientDataSet &ds) { ds.Edit(); });
    command(mnuExcluir, sbtExcluir, [this](TClientDataSet &ds) { ds.Delete(dbnPadrao->ConfirmDelete); });
    command(mnuGravar, sbtGravar, [](TClientDataSet &ds) { ds.Post(); });
    command(mnuCancelar, sbtCancelar, [](TClientDataSet &ds) { ds.Cancel(); });
    command(mnuPrimeiro, sbtPrimeiro, [](TClientDataSet &ds) { ds.First(); });
    command(mnuUltimo, sbtUltimo, [](TClientDataSet &ds) { ds.Last(); });
    sbtFechar->OnClick = [this](QObject *) { Close(); };
    dbgPadrao->OnKeyDown = [this](QObject *s, int &key, Qt::KeyboardModifiers m) { dbgPadraoKeyDown(s, key, m); };
    dtsPadrao.OnStateChange = [this](TDataSource *) { dtsPadraoStateChangeBase(); };
    OnClose = [this](QObject *s, TCloseAction &a) { FormClose(s, a); };
}

TfrmPadraoGrid::~TfrmPadraoGrid()
{
    // The grid and controls go before the data source they are linked to.
    dtsPadrao.SetDataSet(nullptr);
}

void TfrmPadraoGrid::AddToolButton(TButtonFlat *b)
{
    panMenuLayout->insertWidget(7 + m_screenButtons++, b);
}

void TfrmPadraoGrid::dtsPadraoStateChangeBase()
{
    TClientDataSet *ds = dtsPadrao.DataSet();
    const TDataSetState st = dtsPadrao.State();
    const bool browse = st == dsBrowse, rows = ds && ds->Active() && !ds->IsEmpty();
    const bool editing = st == dsEdit || st == dsInsert;
    mnuIncluir->setEnabled(browse);
    mnuAlterar->setEnabled(browse && rows);
    mnuExcluir->setEnabled(browse && rows);
    mnuGravar->setEnabled(editing);
    mnuCancelar->setEnabled(editing);
    mnuPrimeiro->setEnabled(browse && rows);
    mnuUltimo->setEnabled(browse && rows);
    sbtIncluir->setEnabled(mnuIncluir->isEnabled());
    sbtAlterar->setEnabled(mnuAlterar->isEnabled());
    sbtExcluir->setEnabled(mnuExcluir->isEnabled());
    sbtGravar->setEnabled(mnuGravar->isEnabled());
    sbtCancelar->setEnabled(mnuCancelar->isEnabled());
    sbtPrimeiro->setEnabled(mnuPrimeiro->isEnabled());
    sbtUltimo->setEnabled(mnuUltimo->isEnabled());
    dbnPadrao->setEnabled(browse || editing);
}

void TfrmPadraoGrid::dbgPadraoKeyDown(QObject *, int &key, Qt::KeyboardModifiers shift)
{
    TClientDataSet *ds = dtsPadrao.DataSet();
    if (!ds || !ds->Active())
        return;
    if ((shift & Qt::ControlModifier) && key == Qt::Key_Home) {
        ds->First();
        key = 0;
    } else if ((shift & Qt::ControlModifier) && key == Qt::Key_End) {
        ds->Last();
        key = 0;
    } else if (key == Qt::Key_Escape && (ds->State() == dsEdit || ds->State() == dsInsert)) {
        ds->Cancel();
        key = 0;
    }
}

void TfrmPadraoGrid::FormClose(QObject *, TCloseAction &action) { action = caFree; }

void TfrmPadraoGrid::SetCaption(const QString &caption)
{
    setWindowTitle(caption);
    if (auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget()))
        sub->setWindowTitle(caption);
}

QWidget *TfrmPadraoGrid::Frame()
{
    auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget());
    return sub ? static_cast<QWidget *>(sub) : this;
}

void TfrmPadraoGrid::Show()
{
    QMdiArea *area = HostMdiArea();
    if (area && !qobject_cast<QMdiSubWindow *>(parentWidget())) {
        QMdiSubWindow *sub = area->addSubWindow(this);
        sub->setAttribute(Qt::WA_DeleteOnClose, false);
        sub->setWindowTitle(windowTitle());
        sub->installEventFilter(this);
        sub->resize(960, 560);
    }
    if (auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget())) {
        // A hidden screen is shown afresh; a minimized one only comes back as it was left.
        m_showSteps = !sub->isVisible() || !isVisible();
        if (sub->isMinimized())
            sub->setWindowState((sub->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        sub->show();
        show();
        if (QMdiArea *a = sub->mdiArea())
            a->setActiveSubWindow(sub);
        sub->raise();
    } else {
        m_showSteps = !isVisible();
        if (isMinimized())
            setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        show();
        raise();
        activateWindow();
    }
    m_showSteps = false;
}

bool TfrmPadraoGrid::Close()
{
    TCloseAction action = caFree;
    if (!askClose(m_closing, OnClose, this, action))
        return false;
    if (action == caMinimize) {
        Frame()->showMinimized();
        return true;
    }
    Frame()->hide();
    if (action == caFree)
        Frame()->deleteLater();
    return true;
}

void TfrmPadraoGrid::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    // Restoring a minimized window shows it again, but is not a showing of the screen:
    // the show steps run on the first showing and when Show() brings back a hidden one.
    const bool steps = !m_shownOnce || m_showSteps;
    m_shownOnce = true;
    m_showSteps = false;
    if (steps && !e->spontaneous() && OnShow) {
        auto h = OnShow;
        Guard([&] { h(this); });
    }
}

void TfrmPadraoGrid::closeEvent(QCloseEvent *e)
{
    e->ignore();
    Close();
}

bool TfrmPadraoGrid::eventFilter(QObject *o, QEvent *e)
{
    if (o == parentWidget() && e->type() == QEvent::Close) {
        e->ignore();
        Close();
        return true;
    }
    return QWidget::eventFilter(o, e);
}

// ---- TfrmRotiGeral -------------------------------------------------------------------

TfrmRotiGeral::TfrmRotiGeral(QWidget *owner) : QDialog(owner)
{
    MarkAsForm(this);
    setModal(true);
    auto *root = new QHBoxLayout(this);
    root->setContentsMargins(6, 6, 6, 6);
    auto *left = new QVBoxLayout;
    grbDadosRel = new QGroupBox(this);
    left->addWidget(grbDadosRel, 1);
    root->addLayout(left, 1);

    panMenu = new TPanel(this);
    panMenu->setFrameShape(QFrame::StyledPanel);
    auto *menu = new QVBoxLayout(panMenu);
    menu->setContentsMargins(4, 4, 4, 4);
    lblCodTela = new QLabel(panMenu);
    SetBold(lblCodTela);
    lblCodTela->setAlignment(Qt::AlignCenter);
    panBotoes = new TPanel(panMenu);
    auto *buttons = new QVBoxLayout(panBotoes);
    buttons->setContentsMargins(0, 0, 0, 0);
    sbtConfirma = new TButtonFlat(panBotoes);
    sbtConfirma->setText(QStringLiteral("✔ Confirmar"));
    sbtConfirma->SetHint(QStringLiteral("Confirmar"));
    sbtConfirma->setToolButtonStyle(Qt::ToolButtonTextOnly);
    sbtConfirma->setMinimumWidth(80);
    sbtConfirma->setObjectName(QStringLiteral("sbtConfirma"));
    sbtCancel = new TButtonFlat(panBotoes);
    sbtCancel->setObjectName(QStringLiteral("sbtCancel"));
    sbtCancel->setText(QStringLiteral("✖ Cancelar"));
    sbtCancel->SetHint(QStringLiteral("Cancelar"));
    sbtCancel->setToolButtonStyle(Qt::ToolButtonTextOnly);
    sbtCancel->setMinimumWidth(80);
    buttons->addWidget(sbtConfirma);
    buttons->addWidget(sbtCancel);
    menu->addWidget(lblCodTela);
    menu->addWidget(panBotoes);
    menu->addStretch(1);
    root->addWidget(panMenu);

    // The flat buttons take no focus and Enter presses nothing here: these keys run
    // exactly what a click on each button runs.
    sbtConfirma->SetHint(QStringLiteral("Confirmar (Ctrl+Enter)"));
    sbtCancel->SetHint(QStringLiteral("Cancelar (Esc)"));
    auto press = [this](TButtonFlat *b) {
        if (b->isEnabled() && b->isVisible())
            b->click();
    };
    for (const QKeySequence &k : {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)})
        connect(new QShortcut(k, this), &QShortcut::activated, this, [this, press] { press(sbtConfirma); });
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            [this, press] { press(sbtCancel); });

    sbtCancel->OnClick = [this](QObject *s) { sbtCancelClick(s); };
    OnCreate = [this](QObject *s) { FormCreate(s); };
    OnClose = [this](QObject *s, TCloseAction &a) { FormClose(s, a); };
}

void TfrmRotiGeral::FormCreate(QObject *) { setWindowFlag(Qt::WindowContextHelpButtonHint, false); }

void TfrmRotiGeral::FormClose(QObject *, TCloseAction &action) { action = caFree; }

void TfrmRotiGeral::sbtCancelClick(QObject *) { Close(); }

void TfrmRotiGeral::Create()
{
    if (OnCreate)
        OnCreate(this);
}

int TfrmRotiGeral::ShowModal() { return exec(); }

bool TfrmRotiGeral::Close()
{
    TCloseAction action = caHide;
    if (!askClose(m_closing, OnClose, this, action))
        return false;
    QDialog::done(QDialog::Rejected);
    if (action == caFree)
        deleteLater();
    return true;
}

void TfrmRotiGeral::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    if (!e->spontaneous() && OnShow) {
        auto h = OnShow;
        Guard([&] { h(this); });
    }
}

void TfrmRotiGeral::changeEvent(QEvent *e)
{
    QDialog::changeEvent(e);
    if (e->type() == QEvent::ActivationChange && isActiveWindow() && OnActivate) {
        auto h = OnActivate;
        Guard([&] { h(this); });
    }
}

void TfrmRotiGeral::closeEvent(QCloseEvent *e)
{
    e->ignore();
    Close();
}

void TfrmRotiGeral::reject() { Close(); }

void TfrmRotiGeral::keyPressEvent(QKeyEvent *e)
{
    // Enter does not press a default button here; Escape cancels.
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}
