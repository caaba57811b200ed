// Finding a row: a bar under the list (Ctrl+F) that moves to the next row whose visible
// text holds what is typed, as it is typed; F3 and Shift+F3 go on forward and back.
#include "SincronizacaoCTe.h"
#include "Bind.h"
#include "Grid.h"
#include "ListFind.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QShortcut>
#include <QToolButton>

namespace Cli_Dfe71000 {

namespace {
// The fields of the columns as the user sees them, in their shown order.
std::vector<const TField *> shownFields(TDBGrid &grid, const TClientDataSet &cds)
{
    std::vector<const TField *> out;
    const QHeaderView *h = grid.horizontalHeader();
    for (int visual = 0; visual < h->count(); ++visual) {
        const int logical = h->logicalIndex(visual);
        if (h->isSectionHidden(logical) || logical < 0 || logical >= int(grid.Columns.size()))
            continue;
        const QString &name = grid.Columns[size_t(logical)].FieldName;
        if (name == QLatin1String("IDCHECK"))
            continue;
        if (const TField *f = cds.FindField(name))
            out.push_back(f);
    }
    return out;
}

// The find field's own keys: Esc closes the bar, F3 and Shift+F3 go on (also where the
// window's shortcuts do not reach, as under a modal parent).
class FindKeys : public QObject {
public:
    using QObject::QObject;
    std::function<void()> onEsc;
    std::function<void(bool)> onNext;

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() != QEvent::KeyPress)
            return QObject::eventFilter(o, e);
        const auto *k = static_cast<QKeyEvent *>(e);
        if (k->key() == Qt::Key_Escape) {
            onEsc();
            return true;
        }
        if (k->key() == Qt::Key_F3) {
            onNext(!(k->modifiers() & Qt::ShiftModifier));
            return true;
        }
        return QObject::eventFilter(o, e);
    }
};
} // namespace

void TfrmSincronizacaoCTe::buildFind()
{
    panBusca = new QWidget(tshPadrao);
    panBusca->setObjectName(QStringLiteral("panBusca"));
    auto *lay = new QHBoxLayout(panBusca);
    lay->setContentsMargins(4, 2, 4, 2);
    lay->addWidget(new QLabel(QStringLiteral("Localizar:"), panBusca));
    edtBusca = new QLineEdit(panBusca);
    edtBusca->setObjectName(QStringLiteral("edtBusca"));
    edtBusca->setPlaceholderText(QStringLiteral("NSU, chave, CNPJ, nome, valor..."));
    edtBusca->setClearButtonEnabled(true);
    lay->addWidget(edtBusca, 1);
    auto button = [&](const QString &text, const QString &tip) {
        auto *b = new QToolButton(panBusca);
        b->setText(text);
        b->setToolTip(tip);
        lay->addWidget(b);
        return b;
    };
    QToolButton *prior = button(QStringLiteral("▲"), QStringLiteral("Anterior (Shift+F3)"));
    QToolButton *next = button(QStringLiteral("▼"), QStringLiteral("Próximo (F3)"));
    lblBusca = new QLabel(panBusca);
    lblBusca->setObjectName(QStringLiteral("lblBusca"));
    lay->addWidget(lblBusca);
    tshPadraoLayout->addWidget(panBusca);
    panBusca->hide();

    Bind(edtBusca, &QLineEdit::textChanged, this, [this](const QString &) { edtBuscaChange(edtBusca); });
    Bind(edtBusca, &QLineEdit::returnPressed, this, [this] { buscaProxima(true); });
    Bind(next, &QToolButton::clicked, this, [this](bool) { buscaProxima(true); });
    Bind(prior, &QToolButton::clicked, this, [this](bool) { buscaProxima(false); });
    auto *keys = new FindKeys(edtBusca);
    keys->onEsc = [this] {
        panBusca->hide();
        dbgPadrao->viewport()->update();
        dbgPadrao->setFocus();
    };
    keys->onNext = [this](bool forward) { Guard([this, forward] { buscaProxima(forward); }); };
    edtBusca->installEventFilter(keys);
    auto shortcut = [this](const QKeySequence &k, std::function<void()> f) {
        auto *s = new QShortcut(k, this);
        s->setContext(Qt::WidgetWithChildrenShortcut);
        Bind(s, &QShortcut::activated, this, std::move(f));
    };
    shortcut(QKeySequence::Find, [this] { mnuLocalizarClick(this); });
    shortcut(QKeySequence(Qt::Key_F3), [this] { buscaProxima(true); });
    shortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), [this] { buscaProxima(false); });
}

void TfrmSincronizacaoCTe::mnuLocalizarClick(QObject *)
{
    panBusca->show();
    edtBusca->setFocus();
    edtBusca->selectAll();
}

void TfrmSincronizacaoCTe::edtBuscaChange(QObject *)
{
    TClientDataSet &cds = cdsSincronizacaoCTe;
    if (!cds.Active()) {
        lblBusca->clear();
        return;
    }
    busca = std::make_unique<TListFind>(cds, shownFields(*dbgPadrao, cds));
    busca->SetText(edtBusca->text());
    // As the user types, the current row stays while it still matches.
    const int found = busca->Next(cds.RecNo() - 2, true);
    if (found >= 0)
        cds.SetRecNo(found + 1);
    atualizaBusca();
}

void TfrmSincronizacaoCTe::buscaProxima(bool forward)
{
    TClientDataSet &cds = cdsSincronizacaoCTe;
    if (!busca || busca->Text().trimmed().isEmpty()) {
        mnuLocalizarClick(this);
        return;
    }
    if (!cds.Active())
        return;
    const int found = busca->Next(cds.RecNo() - 1, forward);
    if (found >= 0)
        cds.SetRecNo(found + 1);
    atualizaBusca();
}

void TfrmSincronizacaoCTe::atualizaBusca()
{
    dbgPadrao->viewport()->update();
    if (!busca || busca->Text().trimmed().isEmpty()) {
        lblBusca->clear();
        return;
    }
    const int count = busca->MatchCount();
    const TClientDataSet &cds = cdsSincronizacaoCTe;
    const bool onMatch = cds.CurrentRow() >= 0 && busca->RowMatches(cds.CurrentRow());
    lblBusca->setText(count == 0 ? QStringLiteral("nenhum CT-e encontrado")
                      : onMatch  ? QStringLiteral("%1 encontrado(s)").arg(count)
                                 : QStringLiteral("%1 encontrado(s), nenhum nesta linha").arg(count));
}

bool TfrmSincronizacaoCTe::celulaEncontrada(const TColumn &column, int row) const
{
    if (!busca || !panBusca->isVisible() || busca->Text().trimmed().isEmpty())
        return false;
    const TField *f = cdsSincronizacaoCTe.FindField(column.FieldName);
    return f && column.FieldName != QLatin1String("IDCHECK") && busca->CellMatches(f->DisplayTextAt(row));
}

} // namespace Cli_Dfe71000
