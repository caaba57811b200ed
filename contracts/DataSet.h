#pragma once
// In-memory dataset with a cursor, one active index, a simple filter, edit states,
// read-only guard events and data packets; and the data source that binds
// data-aware controls to it.
#include "ToolkitApi.h"
#include "Packet.h"
#include "PodBlock.h"

#include <algorithm>
#include <cstring>
#include <QByteArray>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

enum TFieldType { ftFixedChar, ftString, ftFloat, ftBlob };
enum TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

class TClientDataSet;
class TDataSource;
namespace wire { class PacketReader; }

struct TFieldDef {
    QString Name;
    TFieldType Type = ftString;
    int Size = 0;
    QString DisplayLabel;
    QString DisplayFormat; // for floats, e.g. "###0.00"
    bool Visible = true;
    bool Calculated = false; // no stored value: only its display text exists
    int DisplayWidth = 0;    // characters; 0: from the size
};

class DFE_TOOLKIT_API TField {
public:
    QString FieldName;
    TFieldType DataType = ftString;
    int Size = 0;
    QString DisplayLabel;
    QString DisplayFormat;
    bool Visible = true;
    bool Calculated = false;
    int DisplayWidth = 0;
    // Display text of the field in a row (a physical row number, see TClientDataSet).
    std::function<QString(TField &sender, int row)> OnGetText;

    TClientDataSet *DataSet() const { return m_ds; }
    int Index() const { return m_index; }
    // The current row (the edit buffer while editing or inserting).
    QString AsString() const;
    double AsFloat() const;
    QByteArray AsBytes() const;
    void SetAsString(const QString &v);
    void SetAsFloat(double v);
    void SetAsBytes(const QByteArray &v);
    QString DisplayText() const;
    // Any row, by physical row number.
    QString StringAt(int row) const;
    // The stored UTF-8 bytes of a text field, without conversion (valid until the row changes).
    QByteArrayView TextAt(int row) const;
    double FloatAt(int row) const;
    QByteArray BytesAt(int row) const;
    QString DisplayTextAt(int row) const; // through OnGetText when set
    QString FormattedAt(int row) const;   // the stored value under DisplayFormat
    bool IsText() const { return DataType == ftString || DataType == ftFixedChar; }

private:
    friend class TClientDataSet;
    TClientDataSet *m_ds = nullptr;
    int m_index = 0;
    int m_slot = -1; // position within its kind's storage
};

// Receives the dataset's notifications through a data source.
class DFE_TOOLKIT_API TDataLink {
public:
    virtual ~TDataLink();
    void SetDataSource(TDataSource *ds);
    TDataSource *DataSource() const { return m_source; }
    TClientDataSet *DataSet() const;
    virtual void DataSetChanged() = 0;         // content, order or activity changed
    virtual void RecordChanged(int /*view*/) {} // one row's values changed
    // Values of any rows changed, neither order nor count (after suspended controls resume).
    virtual void RecordsChanged() { DataSetChanged(); }
    // One field's values changed in any rows (a tick-all), neither order nor count.
    virtual void FieldChanged(const TField & /*field*/) { RecordsChanged(); }
    // Rows joined the end of the visible ones, from view position `first` on; nothing
    // before them changed (a list's next part).
    virtual void RowsAppended(int /*first*/) { DataSetChanged(); }
    virtual void Scrolled() {}                 // the cursor moved
    virtual void StateChanged() {}
    virtual void ControlsSuspended(bool /*on*/) {} // DisableControls / EnableControls, outermost only

private:
    TDataSource *m_source = nullptr;
};

class DFE_TOOLKIT_API TDataSource {
public:
    TDataSource() = default;
    ~TDataSource();
    TDataSource(const TDataSource &) = delete;
    TDataSource &operator=(const TDataSource &) = delete;

    QString Name;
    void SetDataSet(TClientDataSet *ds);
    TClientDataSet *DataSet() const { return m_ds; }
    TDataSetState State() const;
    // The state-change notification (detachable: assign an empty function).
    std::function<void(TDataSource *sender)> OnStateChange;

private:
    friend class TClientDataSet;
    friend class TDataLink;
    TClientDataSet *m_ds = nullptr;
    std::vector<TDataLink *> m_links;
};

class DFE_TOOLKIT_API TClientDataSet {
public:
    TClientDataSet();
    virtual ~TClientDataSet();
    TClientDataSet(const TClientDataSet &) = delete;
    TClientDataSet &operator=(const TClientDataSet &) = delete;

    QString Name;

    // Field model (only while inactive).
    TField &AddField(const TFieldDef &def);
    void ClearFields();
    int FieldCount() const { return int(m_fields.size()); }
    TField &Fields(int i) { return *m_fields[size_t(i)]; }
    const TField &Fields(int i) const { return *m_fields[size_t(i)]; }
    TField *FindField(const QString &name) const;
    TField &FieldByName(const QString &name) const; // throws Exception when absent

    // The one index: rows are kept in ascending text order of its field.
    void AddIndex(const QString &name, const QString &fieldName);
    QString IndexName() const { return m_indexName; }
    QString IndexFieldName() const { return m_indexField; }
    // Orders the rows by another field, ascending or descending, the index's order
    // breaking ties; empty returns to the index's order. Dates written dd/mm/yyyy sort as
    // dates, text ignoring case and accents, numbers by value. New content (SetData,
    // Close) starts in the index's order again. The cursor stays on its row.
    void SetSortField(const QString &fieldName, bool descending = false);
    QString SortField() const { return m_sortField; }
    bool SortDescending() const { return m_sortDescending; }

    // Content.
    bool Active() const { return m_state != dsInactive; }
    TDataSetState State() const { return m_state; }
    void CreateDataSet();
    void Close();
    void EmptyDataSet();
    // Replaces the whole content; fields are matched by name. A packet that lacks a
    // field or carries it with another type is refused and nothing changes.
    void SetData(const TDataPacket &packet);
    // Adds the rows of a further packet of the same content (a list that comes in parts),
    // fields matched as SetData matches them; the cursor stays on its row. A packet that
    // is refused changes nothing.
    void AppendData(const TDataPacket &packet);
    TDataPacket Data() const;

    // Cursor, over the rows the filter lets through, in index order.
    int RecordCount() const { return int(m_view.size()); }
    bool IsEmpty() const { return m_view.empty(); }
    void First();
    void Last();
    void Next();
    void Prior();
    bool Eof() const { return m_eof; }
    bool Bof() const { return m_bof; }
    int RecNo() const { return m_cursor + 1; }       // 1-based, 0 when empty
    void SetRecNo(int recNo);
    bool Locate(const QString &fieldName, const QString &value); // exact match
    int CurrentRow() const;                          // physical row or -1
    int RowAt(int view) const { return m_view[size_t(view)]; }
    int ViewIndexOf(int row) const;                   // -1 when filtered out

    // Editing.
    void Edit();
    void Insert();
    void Post();
    void Cancel();
    void Delete();
    // Delete, asking `confirm` only once the guard has let the delete through.
    void Delete(const std::function<bool()> &confirm);

    // Writes `value` into the text field `fieldName` of every row the filter lets through,
    // in one pass and with one notification, without the editing events: a bulk change of
    // the dataset's own column. Neither the index's nor the filter's field; only in browse.
    void SetTextOfAllRows(const QString &fieldName, const QString &value);

    // Filter of the form FIELD = 'value'.
    QString Filter() const { return m_filter; }
    void SetFilter(const QString &text);
    bool Filtered() const { return m_filtered; }
    void SetFiltered(bool on);

    // Events; each may end the operation with the silent abort.
    std::function<void(TClientDataSet &)> BeforeEdit;
    std::function<void(TClientDataSet &)> BeforeInsert;
    std::function<void(TClientDataSet &)> BeforeDelete;
    std::function<void(TClientDataSet &)> BeforePost;

    // Suspends notifications to data-aware controls; nests.
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return m_disableCount > 0; }

    int PhysicalRowCount() const { return m_rowCount; }

protected:
    // For subclasses that fill rows themselves (queries).
    void beginLoad();
    void appendTextRow(const std::vector<QString> &values); // all fields are text
    void endLoad();

private:
    friend class TField;
    friend class TDataSource;
    // Every text value in one block, each as its length (LEB128) and its bytes; a row holds,
    // per text field, where its value starts (0: empty). Values repeated down a column (the
    // company's registration, a carrier's name, a status) are kept once per packet and
    // shared; a value written later goes to the end, and the block is compacted when what
    // no row points to outweighs the rest.
    using TextArena = PodBlock<char>;
    struct Storage {
        int rows = 0;
        TextArena text;
        // Per text field, a column of rows: each value's start in `text`, kShared marking one
        // other cells may share. A column of its own, so that writing or reading one field
        // down the list (a tick-all, a sort, a filter) walks that field's cells alone.
        std::vector<PodBlock<quint32>> cells;
        PodBlock<double> floats;        // rows x floatFields
        std::vector<QByteArray> blobs;  // rows x blobFields
        qsizetype garbage = 0;          // bytes of unshared values no row points to any more
    };

    void requireActive() const;
    std::vector<const TField *> packetTargets(wire::PacketReader &in);
    void packetRows(wire::PacketReader &in, const std::vector<const TField *> &target, Storage &into) const;
    void resizeRows(Storage &st, int rows) const; // every kind of cell for `rows` rows (new ones empty)
    bool appendInOrder(int from);
    void rebuildOrder();
    void sortBySortField();
    void rebuildView(int keepRow);
    bool rowMatchesFilter(int row) const;
    QByteArray textBytes(int row, int slot) const;
    // Row `a` before row `b` by the bytes of text slot `slot` (the index's order).
    bool keyLess(int a, int b, int slot) const
    {
        const QByteArrayView ka = textView(a, slot), kb = textView(b, slot);
        const qsizetype n = std::min(ka.size(), kb.size());
        const int c = n > 0 ? std::memcmp(ka.data(), kb.data(), size_t(n)) : 0;
        return c != 0 ? c < 0 : ka.size() < kb.size();
    }
    struct ColumnValues;
    static constexpr quint32 kShared = 0x80000000u;
    static constexpr qsizetype kMaxText = 0x7fffffff;
    static QByteArrayView textAt(const char *entry)
    {
        const auto len = quint8(entry[0]);
        return len < 0x80 ? QByteArrayView(entry + 1, len) : longTextAt(entry);
    }
    static QByteArrayView longTextAt(const char *entry);
    QByteArrayView textView(int row, int slot) const
    {
        const quint32 at = m_s.cells[size_t(slot)][row] & ~kShared;
        return at ? textAt(m_s.text.data() + at) : QByteArrayView();
    }
    // Writes `bytes` at the arena's end (compacting first when worth it); where it starts.
    quint32 appendText(QByteArrayView bytes);
    void setCell(int row, int slot, QByteArrayView bytes);
    void dropCell(quint32 cell);
    void compactText();
    void requireRow(int row) const; // raises for a row the storage does not hold
    void setRowFromBuffer(int row);
    void notify(int event, int arg = -1);
    void suspendLinks(bool on);
    void setState(TDataSetState s);
    void setCursor(int view);
    void assignSlots();
    QVariant bufferValue(const TField &f) const;
    void setBufferValue(const TField &f, const QVariant &v);
    void ensureBrowseForMove();
    void dropBuffer();

    std::vector<std::unique_ptr<TField>> m_fields;
    int m_textCount = 0, m_floatCount = 0, m_blobCount = 0;
    Storage m_s;
    int m_rowCount = 0;
    std::vector<int> m_order;
    std::vector<int> m_view;
    int m_cursor = -1;
    bool m_eof = true, m_bof = true;
    TDataSetState m_state = dsInactive;
    QString m_indexName, m_indexField;
    int m_indexSlot = -1;
    QString m_sortField;
    bool m_sortDescending = false;
    QString m_filter;
    bool m_filtered = false;
    int m_filterSlot = -1;
    QByteArray m_filterValue;
    // Edit buffer: only the fields set since Edit are held; the others read through to the row.
    std::vector<QVariant> m_buffer;
    std::vector<char> m_dirty;
    std::vector<int> m_dirtyList; // the fields set since Edit, in the order set
    bool m_haveBuffer = false;
    int m_disableCount = 0;
    bool m_pendingChange = false;  // order, count or activity changed while suspended
    bool m_pendingRecords = false; // only values changed
    bool m_pendingScroll = false;
    TDataSetState m_stateAtDisable = dsInactive;
    std::vector<TDataSource *> m_sources;
};
