#include "Controls.h"
#include "Bind.h"
#include "Dialogs.h"
#include "Exceptions.h"
#include "Funcoes.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QMenu>
#include <QKeyEvent>
#include <QLocale>
#include <deque>
#include <map>

// ---- focus enter/exit --------------------------------------------------------

namespace {
struct FocusHandlers {
    TNotifyEvent enter, exit;
};

class FocusTracker : public QObject {
public:
    static FocusTracker &instance()
    {
        static FocusTracker *t = [] {
            auto *f = new FocusTracker;
            QObject::connect(qApp, &QApplication::focusChanged, f,
                             [f](QWidget *, QWidget *now) { f->focusChanged(now); });
            return f;
        }();
        return *t;
    }
    std::map<QWidget *, FocusHandlers> handlers;

    void watch(QWidget *w)
    {
        if (handlers.count(w))
            return;
        handlers[w];
        QObject::connect(w, &QObject::destroyed, this, [this, w] { handlers.erase(w); });
    }

    static QWidget *formOf(QWidget *w)
    {
        for (QWidget *p = w; p; p = p->parentWidget())
            if (p->property("dfeForm").toBool() || p->isWindow())
                return p;
        return nullptr;
    }

private:
    struct FormState {
        QPointer<QWidget> active;
        bool busy = false;
        std::deque<QPointer<QWidget>> pending;
    };
    std::map<QWidget *, FormState> m_forms;

    void focusChanged(QWidget *now)
    {
        if (!now)
            return;
        QWidget *form = formOf(now);
        if (!form || !shown(now))
            return; // moved by a window being minimized or hidden, not by the user
        if (!m_forms.count(form)) {
            QObject::connect(form, &QObject::destroyed, this, [this, form] { m_forms.erase(form); });
            if (form->isWindow())
                form->installEventFilter(this);
        }
        FormState &st = m_forms[form];
        st.pending.push_back(now);
        if (st.busy)
            return; // a handler of this screen moved the focus: handled once it returns
        st.busy = true;
        while (!st.pending.empty()) {
            QPointer<QWidget> target = st.pending.front();
            st.pending.pop_front();
            if (!target)
                continue;
            QWidget *prev = st.active;
            if (prev == target)
                continue;
            st.active = target;
            run(form, prev, target);
            if (!m_forms.count(form))
                return; // the screen went away inside a handler
        }
        m_forms[form].busy = false;
    }

    bool eventFilter(QObject *o, QEvent *e) override
    {
        // A dialog shown again is entered afresh, as the control that gets its focus is.
        if (e->type() == QEvent::Hide && m_forms.count(static_cast<QWidget *>(o)) && !m_forms[static_cast<QWidget *>(o)].busy)
            m_forms[static_cast<QWidget *>(o)].active = nullptr;
        return QObject::eventFilter(o, e);
    }

    static bool shown(QWidget *w)
    {
        if (!w->isVisible())
            return false;
        for (QWidget *p = w; p; p = p->parentWidget())
            if (p->isMinimized())
                return false;
        return true;
    }

    static bool inside(QWidget *scope, QWidget *w)
    {
        return w && (scope == w || scope->isAncestorOf(w));
    }

    void run(QWidget *form, QWidget *prev, QWidget *now)
    {
        // Exits innermost first, then enters outermost first.
        std::vector<QPointer<QWidget>> exits, enters;
        for (QWidget *p = prev; p && p != form->parentWidget(); p = p->parentWidget())
            if (handlers.count(p) && !inside(p, now))
                exits.push_back(p);
        for (QWidget *p = now; p && p != form->parentWidget(); p = p->parentWidget())
            if (handlers.count(p) && !inside(p, prev))
                enters.insert(enters.begin(), p);
        for (auto &w : exits) {
            if (!w || !handlers.count(w) || !handlers[w].exit)
                continue;
            auto h = handlers[w].exit;
            bool refused = true;
            Guard([&] {
                h(w);
                refused = false;
            });
            if (refused) {
                // An exit that ended with an error keeps the focus inside what refused (where
                // its handler put it, or back where it was) and is over: no enter runs, and
                // nothing runs again until the user leaves once more. Focus left outside
                // would make the next activation of the window look like a new exit.
                if (m_forms.count(form)) {
                    QWidget *focus = form->focusWidget();
                    if (!w || !inside(w, focus)) {
                        focus = prev;
                        if (focus)
                            focus->setFocus(Qt::OtherFocusReason);
                    }
                    m_forms[form].active = focus;
                }
                return;
            }
        }
        for (auto &w : enters)
            if (w && handlers.count(w) && handlers[w].enter) {
                auto h = handlers[w].enter;
                Guard([&] { h(w); });
            }
    }
};
} // namespace

void SetOnEnter(QWidget *scope, TNotifyEvent handler)
{
    auto &t = FocusTracker::instance();
    t.watch(scope);
    t.handlers[scope].enter = std::move(handler);
}

void SetOnExit(QWidget *scope, TNotifyEvent handler)
{
    auto &t = FocusTracker::instance();
    t.watch(scope);
    t.handlers[scope].exit = std::move(handler);
}

void MarkAsForm(QWidget *form) { form->setProperty("dfeForm", true); }

void SetColor(QWidget *w, const QColor &background)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Base, background);
    p.setColor(QPalette::Window, background);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void SetBold(QWidget *w, bool bold)
{
    QFont f = w->font();
    f.setBold(bold);
    w->setFont(f);
}

QColor clInfoBk() { return QColor(255, 255, 225); }
QColor clMenu() { return QColor(240, 240, 240); }

TPanel::TPanel(QWidget *parent) : QFrame(parent) { setFrameShape(QFrame::NoFrame); }

// ---- masked edit -----------------------------------------------------------------

TMaskEdit::TMaskEdit(QWidget *parent) : QLineEdit(parent)
{
    connect(this, &QLineEdit::textChanged, this, [this] {
        if (OnChange) {
            auto h = OnChange;
            Guard([&] { h(this); });
        }
    });
}

void TMaskEdit::SetEditMask(const QString &mask)
{
    if (mask == inputMask())
        return;
    const QString value = Text();
    setInputMask(mask);
    if (mask.isEmpty())
        setMaxLength(MaxLength);
    QLineEdit::setText(value);
}

void TMaskEdit::SetMaxLength(int n)
{
    MaxLength = n;
    if (inputMask().isEmpty())
        setMaxLength(n);
}

QString TMaskEdit::Text() const { return StripMaskLiterals(inputMask(), QLineEdit::text()); }

void TMaskEdit::SetText(const QString &text) { QLineEdit::setText(text); }

void TMaskEdit::SetTabStop(bool on) { setFocusPolicy(on ? Qt::StrongFocus : Qt::ClickFocus); }

bool TMaskEdit::filterKey(QChar &key)
{
    auto h = OnKeyPress;
    bool failed = true;
    Guard([&] {
        h(this, key);
        failed = false;
    });
    return !failed && !key.isNull();
}

void TMaskEdit::pasteFiltered()
{
    // Pasted text goes through the key filter one character at a time, as if typed.
    const QString clip = QGuiApplication::clipboard()->text();
    for (QChar c : clip) {
        if (filterKey(c))
            insert(QString(c));
    }
}

void TMaskEdit::keyPressEvent(QKeyEvent *e)
{
    if (OnKeyPress && e->matches(QKeySequence::Paste)) {
        if (!isReadOnly())
            pasteFiltered();
        e->accept();
        return;
    }
    const QString t = e->text();
    // Every typed character goes through the filter, whatever the modifiers held with it.
    if (OnKeyPress && t.size() == 1) {
        QChar key = t[0];
        if (!filterKey(key)) {
            e->accept();
            return;
        }
        if (key != t[0]) {
            QKeyEvent replaced(e->type(), e->key(), e->modifiers(), QString(key));
            QLineEdit::keyPressEvent(&replaced);
            return;
        }
    }
    QLineEdit::keyPressEvent(e);
}

void TMaskEdit::contextMenuEvent(QContextMenuEvent *e)
{
    if (!OnKeyPress) {
        QLineEdit::contextMenuEvent(e);
        return;
    }
    std::unique_ptr<QMenu> menu(createStandardContextMenu());
    for (QAction *a : menu->actions())
        if (a->objectName() == QLatin1String("edit-paste")) {
            a->disconnect();
            connect(a, &QAction::triggered, this, [this] { pasteFiltered(); });
        }
    menu->exec(e->globalPos());
}

// ---- date edit ------------------------------------------------------------------

TDateEditPlus::TDateEditPlus(QWidget *parent) : TMaskEdit(parent)
{
    setInputMask(QStringLiteral("99/99/9999;_"));
    connect(this, &QLineEdit::textChanged, this, [this] { refreshLook(); });
    setMaximumWidth(110);
}

QDate TDateEditPlus::GetDate() const
{
    return QDate::fromString(QLineEdit::text(), QStringLiteral("dd/MM/yyyy"));
}

void TDateEditPlus::SetDate(const QDate &date)
{
    QLineEdit::setText(date.isValid() ? date.toString(QStringLiteral("dd/MM/yyyy")) : QString());
}

void TDateEditPlus::CheckValidDate()
{
    if (Text().isEmpty() || GetDate().isValid())
        return;
    const QString shown = QLineEdit::text();
    setFocus();
    MensErro(QStringLiteral("'%1' não é uma data válida.").arg(shown));
}

void TDateEditPlus::refreshLook()
{
    const QDate d = GetDate();
    QPalette p = palette();
    p.setColor(QPalette::Text, d.isValid() ? ValidDateColor : QColor(Qt::black));
    setPalette(p);
    setToolTip(d.isValid() && NomeSemana.size() == 7 ? NomeSemana[d.dayOfWeek() % 7] : QString());
}

// ---- memo ---------------------------------------------------------------------------

TMemo::TMemo(QWidget *parent) : QPlainTextEdit(parent) { setTabChangesFocus(true); }

QString TMemo::Text() const
{
    QString t = toPlainText();
    t.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return t;
}

void TMemo::keyPressEvent(QKeyEvent *e)
{
    if (!WantReturns && (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) &&
        !(e->modifiers() & Qt::ControlModifier)) {
        e->ignore();
        return;
    }
    QPlainTextEdit::keyPressEvent(e);
}

// ---- buttons -----------------------------------------------------------------------

TButtonFlat::TButtonFlat(QWidget *parent) : QToolButton(parent)
{
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
    setIconSize(QSize(16, 16));
    setMinimumSize(21, 21);
    connect(this, &QToolButton::clicked, this, [this] {
        if (OnClick) {
            auto h = OnClick;
            Guard([&] { h(this); });
        }
    });
}

TBtnPesquisa::TBtnPesquisa(QWidget *parent) : TButtonFlat(parent)
{
    setText(QStringLiteral("..."));
    setFixedSize(21, 21);
    setToolTip(QStringLiteral("Pesquisar"));
    OnClick = [this](QObject *) { Execute(); };
}

void TBtnPesquisa::SetAssociate(TMaskEdit *edit)
{
    if (Associate)
        Associate->removeEventFilter(this);
    Associate = edit;
    m_watched = edit;
    if (edit)
        edit->installEventFilter(this);
}

bool TBtnPesquisa::eventFilter(QObject *o, QEvent *e)
{
    // Compared as a plain object: the edit may be half destroyed when its last events come.
    if (e->type() == QEvent::KeyPress && PesqChave && o == m_watched &&
        static_cast<QKeyEvent *>(e)->key() == Qt::Key_F2) {
        Guard([this] { Execute(); });
        return true;
    }
    return TButtonFlat::eventFilter(o, e);
}

void TBtnPesquisa::Execute()
{
    bool proceed = true;
    if (OnBeforePesq)
        OnBeforePesq(this, proceed);
    if (!proceed)
        return;
    if (!DataSource || !DataSource->Active() || DataSource->IsEmpty()) {
        Dialogs().Information(window(), EmptyError);
        return;
    }
    const int chosen = Dialogs().Lookup(window(), Title, *DataSource);
    if (chosen < 0 || chosen >= DataSource->RecordCount())
        return;
    DataSource->SetRecNo(chosen + 1);
    if (OnAfterPesq)
        OnAfterPesq(this);
    else if (Associate && !FieldCodigo.isEmpty())
        Associate->SetText(DataSource->FieldByName(FieldCodigo).AsString());
}

// ---- picture -------------------------------------------------------------------------

TImage::TImage(QWidget *parent) : QLabel(parent) { setFixedSize(16, 16); }

void TImage::SetPicture(const QImage &img)
{
    Picture = img;
    setPixmap(QPixmap::fromImage(img));
}

// ---- data-aware controls -----------------------------------------------------------

TDBText::TDBText(QWidget *parent) : QLabel(parent) {}

void TDBText::refresh()
{
    TClientDataSet *ds = DataSet();
    TField *f = ds && ds->Active() ? ds->FindField(DataField) : nullptr;
    setText(f ? f->DisplayText() : QString());
}

TDBEdit::TDBEdit(QWidget *parent) : QLineEdit(parent) {}

void TDBEdit::refresh()
{
    if (m_refreshing)
        return;
    m_refreshing = true;
    TClientDataSet *ds = DataSet();
    TField *f = ds && ds->Active() ? ds->FindField(DataField) : nullptr;
    setText(f ? f->DisplayText() : QString());
    setCursorPosition(0); // a long value shows from its start
    m_refreshing = false;
}

void TDBEdit::keyPressEvent(QKeyEvent *e)
{
    TClientDataSet *ds = DataSet();
    const bool typing = !e->text().isEmpty() || e->key() == Qt::Key_Backspace || e->key() == Qt::Key_Delete;
    if (typing && !isReadOnly() && ds) {
        bool editing = false;
        Guard([&] {
            if (!ds->Active() || ds->FindField(DataField) == nullptr)
                return;
            ds->Edit();
            editing = ds->State() == dsEdit || ds->State() == dsInsert;
        });
        if (!editing) {
            e->accept();
            return;
        }
    }
    QLineEdit::keyPressEvent(e);
    if (typing && ds && (ds->State() == dsEdit || ds->State() == dsInsert))
        Guard([&] { ds->FieldByName(DataField).SetAsString(text()); });
}

void TDBEdit::focusOutEvent(QFocusEvent *e)
{
    QLineEdit::focusOutEvent(e);
    TClientDataSet *ds = DataSet();
    if (ds && (ds->State() == dsEdit || ds->State() == dsInsert))
        Guard([&] { ds->Post(); });
}

TDBNavigator::TDBNavigator(QWidget *parent) : QWidget(parent)
{
    auto *lay = new QHBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(0);
    static const char *glyph[] = {"|◀", "◀", "▶", "▶|", "+", "−", "✎", "✔", "✖", "⟳"};
    static const char *hint[] = {"Primeiro", "Anterior", "Próximo", "Último", "Incluir",
                                 "Excluir", "Alterar", "Gravar", "Cancelar", "Atualizar"};
    for (int i = 0; i < 10; ++i) {
        auto *b = new QToolButton(this);
        b->setText(QString::fromUtf8(glyph[i]));
        b->setToolTip(QString::fromUtf8(hint[i]));
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setFixedSize(22, 21);
        lay->addWidget(b);
        m_buttons[i] = b;
        connect(b, &QToolButton::clicked, this, [this, i] { Guard([&] { Click(Button(i)); }); });
    }
    refresh();
}

void TDBNavigator::Click(Button b)
{
    TClientDataSet *ds = DataSet();
    if (!ds || !ds->Active())
        return;
    switch (b) {
    case nbFirst: ds->First(); break;
    case nbPrior: ds->Prior(); break;
    case nbNext: ds->Next(); break;
    case nbLast: ds->Last(); break;
    case nbInsert: ds->Insert(); break;
    case nbDelete: ds->Delete(ConfirmDelete); break;
    case nbEdit: ds->Edit(); break;
    case nbPost: ds->Post(); break;
    case nbCancel: ds->Cancel(); break;
    case nbRefresh:
        if (OnRefresh)
            OnRefresh(this);
        break;
    }
}

void TDBNavigator::refresh()
{
    TClientDataSet *ds = DataSet();
    const bool active = ds && ds->Active() && isEnabled();
    const bool browse = active && ds->State() == dsBrowse;
    const bool rows = active && !ds->IsEmpty();
    const bool editing = active && (ds->State() == dsEdit || ds->State() == dsInsert);
    m_buttons[nbFirst]->setEnabled(browse && rows);
    m_buttons[nbPrior]->setEnabled(browse && rows);
    m_buttons[nbNext]->setEnabled(browse && rows);
    m_buttons[nbLast]->setEnabled(browse && rows);
    m_buttons[nbInsert]->setEnabled(browse);
    m_buttons[nbDelete]->setEnabled(browse && rows);
    m_buttons[nbEdit]->setEnabled(browse && rows);
    m_buttons[nbPost]->setEnabled(editing);
    m_buttons[nbCancel]->setEnabled(editing);
    m_buttons[nbRefresh]->setEnabled(active || OnRefresh != nullptr);
}

void TDBNavigator::changeEvent(QEvent *e)
{
    QWidget::changeEvent(e);
    if (e->type() == QEvent::EnabledChange)
        refresh();
}
