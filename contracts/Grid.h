#pragma once
// Data-aware grid over an in-memory dataset.
#include "DataSet.h"
#include "ToolkitApi.h"

#include <QAbstractTableModel>
#include <QFont>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QTableView>
#include <functional>
#include <vector>

class TDBGrid;

class DFE_TOOLKIT_API TColumn {
public:
    QString FieldName;
    struct {
        QString Caption;
        QFont Font;
        bool HasFont = false;
        Qt::Alignment Alignment = Qt::AlignLeft | Qt::AlignVCenter;
        // A caption in the symbol character set: shown as the tick glyph it stands for.
        bool SymbolCharset = false;
    } Title;
    int Width = 0; // 0: from the field's display width
    Qt::Alignment Alignment = Qt::AlignLeft | Qt::AlignVCenter;
    bool HasAlignment = false;
    TField *Field() const;
    TDBGrid *Grid = nullptr;
};

// The grid's drawing surface while a cell is drawn: the painter and the brush the
// grid painted the cell's background with (normal or selected).
struct DFE_TOOLKIT_API TCanvas {
    QPainter *Painter = nullptr;
    QBrush Brush;
    int Row = -1; // the physical row of the cell being drawn
};

// Table model over the dataset's visible rows, in cursor order.
class DFE_TOOLKIT_API TDataSetModel : public QAbstractTableModel, public TDataLink {
public:
    explicit TDataSetModel(QObject *parent = nullptr);
    // Columns by field name; empty: the dataset's visible fields.
    void SetColumns(const std::vector<TColumn> *columns) { m_columns = columns; reset(); }
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    void DataSetChanged() override { reset(); }
    void RowsAppended(int first) override;
    void RecordChanged(int view) override;
    void RecordsChanged() override;
    void FieldChanged(const TField &field) override;
    void Scrolled() override;
    void ControlsSuspended(bool on) override;
    std::function<void()> OnScrolled;
    std::function<void(bool)> OnSuspended;
    TField *FieldOfColumn(int col) const;
    void reset();

private:
    const std::vector<TColumn> *m_columns = nullptr;
    std::vector<TField *> m_autoFields;
    int m_rows = 0;
};

class DFE_TOOLKIT_API TDBGrid : public QTableView {
public:
    explicit TDBGrid(QWidget *parent = nullptr);
    void SetDataSource(TDataSource *ds);
    TDataSource *DataSource() const { return m_source; }
    std::vector<TColumn> Columns;
    void ApplyColumns(); // after changing Columns
    TColumn &AddColumn(const QString &fieldName);
    TCanvas &Canvas() { return m_canvas; }
    TDataSetModel *Model() const { return m_model; }

    std::function<void(TDBGrid *sender, const QRect &rect, int dataCol, TColumn &column, QStyle::State state)>
        OnDrawColumnCell;
    std::function<void(QObject *sender)> OnDblClick;
    std::function<void(QObject *sender, int &key, Qt::KeyboardModifiers shift)> OnKeyDown;
    std::function<void(TColumn &column)> OnTitleClick;

protected:
    void paintEvent(QPaintEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;
    void resizeEvent(QResizeEvent *e) override;
    void focusInEvent(QFocusEvent *e) override;
    void focusOutEvent(QFocusEvent *e) override;
    bool viewportEvent(QEvent *e) override;

private:
    friend class TGridDelegate;
    void syncSelectionToCursor();
    QPixmap shownPicture();
    TDataSource *m_source = nullptr;
    TDataSetModel *m_model = nullptr;
    TCanvas m_canvas;
    QPixmap m_frozen;
    bool m_syncing = false;
    bool m_unpainted = true; // something changed since the viewport last painted
};
