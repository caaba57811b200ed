// The dataset's life: fields, open and close, states, links to its sources and the
// notifications they get.
#include "DataSetInternal.h"
#include "Exceptions.h"

using namespace dataset;

// ---- data links and sources --------------------------------------------------

TDataLink::~TDataLink()
{
    // No notification from here: the derived part is already gone.
    if (m_source) {
        auto &v = m_source->m_links;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
}

void TDataLink::SetDataSource(TDataSource *ds)
{
    if (m_source == ds)
        return;
    if (m_source) {
        auto &v = m_source->m_links;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
    m_source = ds;
    if (m_source)
        m_source->m_links.push_back(this);
    DataSetChanged();
}

TClientDataSet *TDataLink::DataSet() const { return m_source ? m_source->DataSet() : nullptr; }

TDataSource::~TDataSource()
{
    SetDataSet(nullptr);
    for (TDataLink *l : std::vector<TDataLink *>(m_links))
        l->SetDataSource(nullptr);
}

void TDataSource::SetDataSet(TClientDataSet *ds)
{
    if (m_ds == ds)
        return;
    if (m_ds) {
        auto &v = m_ds->m_sources;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
    m_ds = ds;
    if (m_ds)
        m_ds->m_sources.push_back(this);
    for (TDataLink *l : std::vector<TDataLink *>(m_links))
        l->DataSetChanged();
}

TDataSetState TDataSource::State() const { return m_ds ? m_ds->State() : dsInactive; }

// ---- TClientDataSet ------------------------------------------------------------

TClientDataSet::TClientDataSet() = default;

TClientDataSet::~TClientDataSet()
{
    for (TDataSource *s : std::vector<TDataSource *>(m_sources))
        s->SetDataSet(nullptr);
}

TField &TClientDataSet::AddField(const TFieldDef &def)
{
    if (Active())
        throw Exception(QStringLiteral("%1: campos só podem ser definidos com o conjunto fechado").arg(Name));
    auto f = std::make_unique<TField>();
    f->FieldName = def.Name;
    f->DataType = def.Type;
    f->Size = def.Size;
    f->DisplayLabel = def.DisplayLabel.isEmpty() ? def.Name : def.DisplayLabel;
    f->DisplayFormat = def.DisplayFormat;
    f->Visible = def.Visible;
    f->Calculated = def.Calculated;
    f->DisplayWidth = def.DisplayWidth > 0 ? def.DisplayWidth : (def.Type == ftFloat ? 10 : std::max(def.Size, 1));
    f->m_ds = this;
    f->m_index = int(m_fields.size());
    m_fields.push_back(std::move(f));
    assignSlots();
    return *m_fields.back();
}

void TClientDataSet::ClearFields()
{
    if (Active())
        Close();
    m_fields.clear();
    m_indexSlot = -1;
    assignSlots();
}

void TClientDataSet::assignSlots()
{
    m_textCount = m_floatCount = m_blobCount = 0;
    for (auto &f : m_fields) {
        if (f->Calculated)
            f->m_slot = -1;
        else if (f->IsText())
            f->m_slot = m_textCount++;
        else if (f->DataType == ftFloat)
            f->m_slot = m_floatCount++;
        else
            f->m_slot = m_blobCount++;
    }
    m_indexSlot = -1;
    if (!m_indexField.isEmpty())
        if (TField *f = FindField(m_indexField); f && f->IsText())
            m_indexSlot = f->m_slot;
}

TField *TClientDataSet::FindField(const QString &name) const
{
    for (auto &f : m_fields)
        if (f->FieldName.compare(name, Qt::CaseInsensitive) == 0)
            return f.get();
    return nullptr;
}

TField &TClientDataSet::FieldByName(const QString &name) const
{
    if (TField *f = FindField(name))
        return *f;
    throw Exception(QStringLiteral("%1: campo '%2' não encontrado").arg(Name, name));
}

void TClientDataSet::requireActive() const
{
    if (!Active())
        throw Exception(QStringLiteral("%1: operação não permitida com o conjunto de dados fechado").arg(Name));
}

void TClientDataSet::CreateDataSet()
{
    if (m_fields.empty())
        throw Exception(QStringLiteral("%1: não há campos definidos").arg(Name));
    m_s = Storage{};
    m_rowCount = 0;
    m_order.clear();
    m_view.clear();
    m_cursor = -1;
    m_eof = m_bof = true;
    setState(dsBrowse);
    notify(evChanged);
}

void TClientDataSet::Close()
{
    if (!Active())
        return;
    m_s = Storage{};
    m_rowCount = 0;
    m_order.clear();
    m_view.clear();
    m_sortField.clear();
    m_sortDescending = false;
    dropBuffer();
    m_cursor = -1;
    m_eof = m_bof = true;
    setState(dsInactive);
    notify(evChanged);
}

void TClientDataSet::EmptyDataSet()
{
    requireActive();
    if (m_state != dsBrowse)
        Cancel();
    m_s = Storage{};
    m_rowCount = 0;
    m_order.clear();
    m_view.clear();
    m_cursor = -1;
    m_eof = m_bof = true;
    notify(evChanged);
}
void TClientDataSet::setState(TDataSetState s)
{
    if (s == m_state)
        return;
    m_state = s;
    notify(evState);
}

void TClientDataSet::DisableControls()
{
    if (m_disableCount++ == 0) {
        m_pendingChange = m_pendingRecords = m_pendingScroll = false;
        m_stateAtDisable = m_state;
        suspendLinks(true);
    }
}

void TClientDataSet::suspendLinks(bool on)
{
    for (TDataSource *src : std::vector<TDataSource *>(m_sources))
        for (TDataLink *l : std::vector<TDataLink *>(src->m_links))
            l->ControlsSuspended(on);
}

void TClientDataSet::EnableControls()
{
    if (m_disableCount == 0)
        return;
    if (--m_disableCount > 0)
        return;
    suspendLinks(false);
    const bool changed = m_pendingChange, records = m_pendingRecords, scrolled = m_pendingScroll;
    m_pendingChange = m_pendingRecords = m_pendingScroll = false;
    // Values alone changed (a tick-all): the controls redraw what they show, no more.
    if (changed) {
        notify(evChanged);
    } else {
        if (records)
            notify(evRecords);
        if (scrolled)
            notify(evScroll);
    }
    if (m_state != m_stateAtDisable)
        notify(evState);
}

void TClientDataSet::notify(int event, int arg)
{
    if (m_disableCount > 0) {
        if (event == evChanged || event == evAppended)
            m_pendingChange = true;
        else if (event == evRecord || event == evRecords || event == evField)
            m_pendingRecords = true;
        else if (event == evScroll)
            m_pendingScroll = true;
        return;
    }
    for (TDataSource *src : std::vector<TDataSource *>(m_sources)) {
        for (TDataLink *l : std::vector<TDataLink *>(src->m_links)) {
            switch (event) {
            case evChanged: l->DataSetChanged(); break;
            case evRecord: l->RecordChanged(arg); break;
            case evScroll: l->Scrolled(); break;
            case evState: l->StateChanged(); break;
            case evRecords: l->RecordsChanged(); break;
            case evField: l->FieldChanged(*m_fields[size_t(arg)]); break;
            case evAppended: l->RowsAppended(arg); break;
            }
        }
        if (event == evState && src->OnStateChange) {
            auto handler = src->OnStateChange; // the handler may detach itself
            handler(src);
        }
    }
}

