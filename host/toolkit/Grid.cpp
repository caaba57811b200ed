#include "Grid.h"
#include "Bind.h"
#include "CellText.h"

#include <QApplication>
#include <QBackingStore>
#include <QHeaderView>
#include <QHelpEvent>
#include <QToolTip>
#include <QScrollBar>
#include <QKeyEvent>
#include <QStyledItemDelegate>

TField *TColumn::Field() const
{
    TClientDataSet *ds = Grid && Grid->DataSource() ? Grid->DataSource()->DataSet() : nullptr;
    return ds ? ds->FindField(FieldName) : nullptr;
}

// ---- model -------------------------------------------------------------------------

TDataSetModel::TDataSetModel(QObject *parent) : QAbstractTableModel(parent) {}

void TDataSetModel::reset()
{
    beginResetModel();
    TClientDataSet *ds = DataSet();
    m_rows = ds && ds->Active() ? ds->RecordCount() : 0;
    m_autoFields.clear();
    if (ds && (!m_columns || m_columns->empty()))
        for (int i = 0; i < ds->FieldCount(); ++i)
            if (ds->Fields(i).Visible)
                m_autoFields.push_back(&ds->Fields(i));
    endResetModel();
    if (OnScrolled)
        OnScrolled();
}

int TDataSetModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : m_rows; }

int TDataSetModel::columnCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return m_columns && !m_columns->empty() ? int(m_columns->size()) : int(m_autoFields.size());
}

TField *TDataSetModel::FieldOfColumn(int col) const
{
    TClientDataSet *ds = DataSet();
    if (!ds || col < 0 || col >= columnCount())
        return nullptr;
    if (m_columns && !m_columns->empty())
        return ds->FindField((*m_columns)[size_t(col)].FieldName);
    return m_autoFields[size_t(col)];
}

QVariant TDataSetModel::data(const QModelIndex &index, int role) const
{
    // The delegate asks for a dozen roles per cell at each paint: the rest end here.
    if ((role != Qt::DisplayRole && role != Qt::TextAlignmentRole) || !index.isValid() || index.row() >= m_rows)
        return {};
    TClientDataSet *ds = DataSet();
    if (!ds || !ds->Active() || index.row() >= ds->RecordCount())
        return {};
    TField *f = FieldOfColumn(index.column());
    if (!f)
        return {};
    if (role == Qt::DisplayRole) {
        const int row = ds->RowAt(index.row());
        // The row being edited shows its edit buffer.
        if ((ds->State() == dsEdit) && ds->CurrentRow() == row)
            return f->DisplayText();
        return f->DisplayTextAt(row);
    }
    if (role == Qt::TextAlignmentRole) {
        if (m_columns && !m_columns->empty() && (*m_columns)[size_t(index.column())].HasAlignment)
            return QVariant::fromValue((*m_columns)[size_t(index.column())].Alignment);
        return QVariant::fromValue(f->DataType == ftFloat ? Qt::AlignRight | Qt::AlignVCenter
                                                          : Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}

QVariant TDataSetModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (o != Qt::Horizontal || section < 0 || section >= columnCount())
        return {};
    const TColumn *c = m_columns && !m_columns->empty() ? &(*m_columns)[size_t(section)] : nullptr;
    switch (role) {
    case Qt::DisplayRole:
        if (c && c->Title.SymbolCharset)
            return QStringLiteral("\u2714");
        if (c && !c->Title.Caption.isNull())
            return c->Title.Caption;
        if (TField *f = FieldOfColumn(section))
            return f->DisplayLabel;
        return c ? c->FieldName : QVariant();
    case Qt::FontRole:
        if (c && c->Title.HasFont)
            return c->Title.Font;
        return {};
    case Qt::TextAlignmentRole:
        return c ? QVariant::fromValue(c->Title.Alignment) : QVariant();
    default:
        return {};
    }
}

void TDataSetModel::RecordChanged(int view)
{
    if (view < 0 || view >= m_rows) {
        reset();
        return;
    }
    Q_EMIT dataChanged(index(view, 0), index(view, columnCount() - 1), {Qt::DisplayRole});
}

void TDataSetModel::RecordsChanged()
{
    TClientDataSet *ds = DataSet();
    if (!ds || !ds->Active() || ds->RecordCount() != m_rows || m_rows == 0 || columnCount() == 0) {
        reset();
        return;
    }
    // One ranged change: the view repaints what it shows, whatever the row count.
    Q_EMIT dataChanged(index(0, 0), index(m_rows - 1, columnCount() - 1), {Qt::DisplayRole});
}

// Inserted, not reset: the view keeps its place, and its header grows by the new rows
// alone instead of being rebuilt for the whole list at every part.
void TDataSetModel::RowsAppended(int first)
{
    TClientDataSet *ds = DataSet();
    if (!ds || !ds->Active() || first != m_rows || ds->RecordCount() < m_rows) {
        reset();
        return;
    }
    if (ds->RecordCount() > m_rows) {
        beginInsertRows(QModelIndex(), m_rows, ds->RecordCount() - 1);
        m_rows = ds->RecordCount();
        endInsertRows();
    }
    if (OnScrolled)
        OnScrolled();
}

void TDataSetModel::FieldChanged(const TField &field)
{
    TClientDataSet *ds = DataSet();
    if (!ds || !ds->Active() || ds->RecordCount() != m_rows || m_rows == 0) {
        reset();
        return;
    }
    // Only the field's own columns: the view repaints them and nothing else.
    for (int c = 0; c < columnCount(); ++c)
        if (FieldOfColumn(c) == &field)
            Q_EMIT dataChanged(index(0, c), index(m_rows - 1, c), {Qt::DisplayRole});
}

void TDataSetModel::ControlsSuspended(bool on)
{
    if (OnSuspended)
        OnSuspended(on);
}

void TDataSetModel::Scrolled()
{
    if (OnScrolled)
        OnScrolled();
}

// ---- delegate: default painting, then the grid's draw hook ----------------------

class TGridDelegate : public QStyledItemDelegate {
public:
    explicit TGridDelegate(TDBGrid *grid) : QStyledItemDelegate(grid), m_grid(grid) {}
    void paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem o = option;
        initStyleOption(&o, index);
        if (CellText::handles(o)) {
            // The style draws the cell without its text, and the text comes laid out already;
            // the focus frame goes over the text, as the style draws it.
            QStyleOptionViewItem bare = o;
            bare.text.clear();
            bare.state &= ~QStyle::State_HasFocus;
            const QWidget *w = o.widget;
            QStyle *style = w ? w->style() : QApplication::style();
            style->drawControl(QStyle::CE_ItemViewItem, &bare, p, w);
            if (!o.text.isEmpty())
                m_text.draw(p, o, o.text);
            if (o.state & QStyle::State_HasFocus)
                CellText::drawFocus(p, o, style);
        } else {
            QStyledItemDelegate::paint(p, option, index);
        }
        if (!m_grid->OnDrawColumnCell || index.column() >= int(m_grid->Columns.size()))
            return;
        const QPalette::ColorGroup cg = (o.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
        QBrush brush;
        if (o.state & QStyle::State_Selected)
            brush = o.palette.brush(cg, QPalette::Highlight);
        else if (o.backgroundBrush.style() != Qt::NoBrush)
            brush = o.backgroundBrush;
        else
            brush = o.palette.brush(cg, QPalette::Base);
        p->save();
        TClientDataSet *ds = m_grid->DataSource() ? m_grid->DataSource()->DataSet() : nullptr;
        const int row = ds && ds->Active() && index.row() < ds->RecordCount() ? ds->RowAt(index.row()) : -1;
        m_grid->m_canvas = TCanvas{p, brush, row};
        auto handler = m_grid->OnDrawColumnCell;
        Guard([&] { handler(m_grid, option.rect, index.column(), m_grid->Columns[size_t(index.column())], o.state); });
        m_grid->m_canvas = TCanvas{};
        p->restore();
    }

private:
    TDBGrid *m_grid;
    mutable CellText m_text;
};

// ---- grid --------------------------------------------------------------------------

namespace {
// The viewport tells a paint for the screen (into the window's backing store) from a
// picture taken of it (a grab renders into a pixmap).
class TGridViewport : public QWidget {
public:
    using QWidget::QWidget;
    bool paintsToScreen() const
    {
        QPoint offset;
        QPaintDevice *target = redirected(&offset);
        QBackingStore *store = window()->backingStore();
        return target && store && target == store->paintDevice();
    }
};
} // namespace

TDBGrid::TDBGrid(QWidget *parent) : QTableView(parent)
{
    setViewport(new TGridViewport);
    m_model = new TDataSetModel(this);
    m_model->OnScrolled = [this] { syncSelectionToCursor(); };
    // Suspended controls keep showing what they showed: the grid paints a picture taken
    // at suspension, not the list the program is walking or filtering meanwhile.
    m_model->OnSuspended = [this](bool on) {
        if (on) {
            m_frozen = isVisible() ? shownPicture() : QPixmap();
            return; // what is shown already is that picture
        }
        m_frozen = QPixmap();
        viewport()->update();
    };
    setModel(m_model);
    setItemDelegate(new TGridDelegate(this));
    // Whatever the view will draw differently from what it last drew.
    const auto changed = [this] { m_unpainted = true; };
    connect(m_model, &QAbstractItemModel::modelReset, this, changed);
    connect(m_model, &QAbstractItemModel::dataChanged, this, changed);
    connect(m_model, &QAbstractItemModel::layoutChanged, this, changed);
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, changed);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, changed);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, changed);
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, changed);
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, changed);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(true);
    setShowGrid(true);
    setWordWrap(false);
    setSortingEnabled(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setMinimumSectionSize(16);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(true);
    // The selected row keeps its colour while the grid has no focus.
    QPalette p = palette();
    p.setColor(QPalette::Inactive, QPalette::Highlight, p.color(QPalette::Active, QPalette::Highlight));
    p.setColor(QPalette::Inactive, QPalette::HighlightedText, p.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(p);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) {
        if (!OnTitleClick || section < 0 || section >= int(Columns.size()))
            return;
        auto h = OnTitleClick;
        Guard([&] { h(Columns[size_t(section)]); });
    });
}

void TDBGrid::SetDataSource(TDataSource *ds)
{
    m_source = ds;
    m_model->SetDataSource(ds);
}

TColumn &TDBGrid::AddColumn(const QString &fieldName)
{
    TColumn c;
    c.FieldName = fieldName;
    c.Title.Caption = QString();
    c.Grid = this;
    Columns.push_back(c);
    return Columns.back();
}

void TDBGrid::ApplyColumns()
{
    for (auto &c : Columns)
        c.Grid = this;
    m_model->SetColumns(&Columns);
    // Numbers fill most columns: a digit is the width of a character here.
    const int charWidth = std::max(fontMetrics().averageCharWidth(), fontMetrics().horizontalAdvance(QLatin1Char('0')));
    for (size_t i = 0; i < Columns.size(); ++i) {
        int w = Columns[i].Width;
        if (w <= 0) {
            const TField *f = Columns[i].Field();
            const int chars = f ? f->DisplayWidth : 10;
            const int title = fontMetrics().horizontalAdvance(m_model->headerData(int(i), Qt::Horizontal, Qt::DisplayRole).toString());
            w = std::max(chars * charWidth + 8, title + 12);
        }
        setColumnWidth(int(i), w);
    }
}

// The viewport's pixels as last drawn, copied from the window's backing store; painting
// them again (a grab) is the fallback when a change is not drawn yet or the store holds
// no image.
QPixmap TDBGrid::shownPicture()
{
    QWidget *top = viewport()->window();
    QBackingStore *store = top ? top->backingStore() : nullptr;
    const auto *image = store ? dynamic_cast<const QImage *>(store->paintDevice()) : nullptr;
    if (m_unpainted || !image || image->isNull())
        return viewport()->grab();
    const qreal ratio = image->devicePixelRatio();
    const QRect area(viewport()->mapTo(top, QPoint(0, 0)), viewport()->size());
    const QRect pixels(area.topLeft() * ratio, area.size() * ratio);
    if (!image->rect().contains(pixels))
        return viewport()->grab();
    QPixmap out = QPixmap::fromImage(image->copy(pixels));
    out.setDevicePixelRatio(ratio);
    return out;
}

bool TDBGrid::viewportEvent(QEvent *e)
{
    if (e->type() != QEvent::ToolTip)
        return QTableView::viewportEvent(e);
    // A cell whose text does not fit shows the whole of it.
    const auto *help = static_cast<QHelpEvent *>(e);
    const QModelIndex index = indexAt(help->pos());
    const QString text = index.data(Qt::DisplayRole).toString();
    const QRect cell = visualRect(index);
    if (index.isValid() && fontMetrics().horizontalAdvance(text) + 8 > cell.width())
        QToolTip::showText(help->globalPos(), text, viewport(), cell);
    else
        QToolTip::hideText();
    return true;
}

void TDBGrid::paintEvent(QPaintEvent *e)
{
    if (m_frozen.isNull()) {
        QTableView::paintEvent(e);
        if (static_cast<TGridViewport *>(viewport())->paintsToScreen())
            m_unpainted = false;
        return;
    }
    QPainter p(viewport());
    p.fillRect(e->rect(), palette().brush(QPalette::Base));
    p.drawPixmap(0, 0, m_frozen);
}

void TDBGrid::resizeEvent(QResizeEvent *e)
{
    m_unpainted = true;
    QTableView::resizeEvent(e);
}

void TDBGrid::focusInEvent(QFocusEvent *e)
{
    m_unpainted = true;
    QTableView::focusInEvent(e);
}

void TDBGrid::focusOutEvent(QFocusEvent *e)
{
    m_unpainted = true;
    QTableView::focusOutEvent(e);
}

void TDBGrid::keyPressEvent(QKeyEvent *e)
{
    int key = e->key();
    if (OnKeyDown) {
        auto h = OnKeyDown;
        Guard([&] { h(this, key, e->modifiers()); });
    }
    if (key == 0) {
        e->accept();
        return;
    }
    QTableView::keyPressEvent(e);
}

void TDBGrid::mouseDoubleClickEvent(QMouseEvent *e)
{
    QTableView::mouseDoubleClickEvent(e);
    if (OnDblClick) {
        auto h = OnDblClick;
        Guard([&] { h(this); });
    }
}

void TDBGrid::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QTableView::currentChanged(current, previous);
    if (m_syncing || !current.isValid() || !m_source || !m_source->DataSet())
        return;
    TClientDataSet *ds = m_source->DataSet();
    if (!ds->Active() || ds->RecNo() == current.row() + 1 || ds->ControlsDisabled())
        return;
    Guard([&] { ds->SetRecNo(current.row() + 1); });
}

void TDBGrid::syncSelectionToCursor()
{
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    if (!ds || !ds->Active() || ds->IsEmpty() || ds->ControlsDisabled())
        return;
    const int row = ds->RecNo() - 1;
    if (row < 0 || row >= m_model->rowCount())
        return;
    m_syncing = true;
    const int col = std::max(currentIndex().column(), 0);
    const QModelIndex idx = m_model->index(row, std::min(col, m_model->columnCount() - 1));
    if (idx.isValid()) {
        selectionModel()->setCurrentIndex(idx, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        scrollTo(idx);
    }
    m_syncing = false;
}
