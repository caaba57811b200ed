// Fields: typed reads and writes of the current row, texts as shown, cells of any row.
#include "DataSetInternal.h"
#include "Exceptions.h"

#include <QLocale>
#include <cmath>

using namespace dataset;

namespace {
int decimalsOf(const QString &format)
{
    const int dot = format.indexOf(QLatin1Char('.'));
    return dot < 0 ? 0 : int(format.size() - dot - 1);
}
} // namespace

// ---- TField ---------------------------------------------------------------

QString TField::AsString() const
{
    if (Calculated)
        return DisplayText();
    if (m_ds->m_state == dsEdit || m_ds->m_state == dsInsert)
        return DataType == ftFloat ? QString::number(m_ds->bufferValue(*this).toDouble())
                                   : m_ds->bufferValue(*this).toString();
    const int row = m_ds->CurrentRow();
    return row < 0 ? QString() : (DataType == ftFloat ? QString::number(FloatAt(row)) : StringAt(row));
}

double TField::AsFloat() const
{
    if (m_ds->m_state == dsEdit || m_ds->m_state == dsInsert)
        return m_ds->bufferValue(*this).toDouble();
    const int row = m_ds->CurrentRow();
    return row < 0 ? 0.0 : FloatAt(row);
}

QByteArray TField::AsBytes() const
{
    if (m_ds->m_state == dsEdit || m_ds->m_state == dsInsert)
        return m_ds->bufferValue(*this).toByteArray();
    const int row = m_ds->CurrentRow();
    return row < 0 ? QByteArray() : BytesAt(row);
}

void TField::SetAsString(const QString &v)
{
    if (DataType == ftFloat) {
        bool ok = false;
        const double d = QLocale().toDouble(v, &ok);
        if (!ok && !v.isEmpty())
            throw Exception(QStringLiteral("'%1' não é um valor válido para o campo %2").arg(v, FieldName));
        m_ds->setBufferValue(*this, d);
    } else if (DataType == ftBlob) {
        m_ds->setBufferValue(*this, v.toUtf8());
    } else {
        m_ds->setBufferValue(*this, Size > 0 ? v.left(Size) : v);
    }
}

void TField::SetAsFloat(double v) { m_ds->setBufferValue(*this, v); }
void TField::SetAsBytes(const QByteArray &v) { m_ds->setBufferValue(*this, v); }

QString TField::DisplayText() const
{
    if (m_ds->m_state == dsEdit || m_ds->m_state == dsInsert) {
        if (OnGetText) {
            const int row = m_ds->CurrentRow();
            return OnGetText(const_cast<TField &>(*this), row);
        }
        return AsString();
    }
    return DisplayTextAt(m_ds->CurrentRow());
}

void TClientDataSet::requireRow(int row) const
{
    if (!Active() || row >= m_rowCount)
        throw Exception(QStringLiteral("%1: a linha %2 não existe (%3)")
                            .arg(Name)
                            .arg(row + 1)
                            .arg(Active() ? QStringLiteral("%1 linhas").arg(m_rowCount) : QStringLiteral("conjunto fechado")));
}

QString TField::StringAt(int row) const
{
    if (row < 0 || m_slot < 0)
        return {};
    m_ds->requireRow(row);
    if (DataType == ftFloat)
        return QString::number(FloatAt(row));
    if (DataType == ftBlob)
        return QString::fromUtf8(BytesAt(row));
    const QByteArrayView v = m_ds->textView(row, m_slot);
    return QString::fromUtf8(v.data(), v.size());
}

QByteArrayView TField::TextAt(int row) const
{
    if (row < 0 || m_slot < 0)
        return {};
    m_ds->requireRow(row);
    return IsText() ? m_ds->textView(row, m_slot) : QByteArrayView();
}

double TField::FloatAt(int row) const
{
    if (row < 0 || DataType != ftFloat)
        return 0.0;
    m_ds->requireRow(row);
    return m_ds->m_s.floats[size_t(row) * size_t(m_ds->m_floatCount) + size_t(m_slot)];
}

QByteArray TField::BytesAt(int row) const
{
    if (row < 0)
        return {};
    m_ds->requireRow(row);
    if (DataType == ftBlob)
        return m_ds->m_s.blobs[size_t(row) * size_t(m_ds->m_blobCount) + size_t(m_slot)];
    return StringAt(row).toUtf8();
}

QString TField::FormattedAt(int row) const
{
    if (row < 0)
        return {};
    if (DataType == ftFloat) {
        const double v = FloatAt(row);
        if (std::isnan(v))
            return {};
        if (DisplayFormat.isEmpty())
            return QString::number(v);
        QLocale loc;
        // "#,##0.00" groups thousands in the desktop's language; "###0.00" does not.
        if (!DisplayFormat.contains(QLatin1Char(',')))
            loc.setNumberOptions(QLocale::OmitGroupSeparator);
        return loc.toString(v, 'f', decimalsOf(DisplayFormat));
    }
    return StringAt(row);
}

QString TField::DisplayTextAt(int row) const
{
    if (OnGetText)
        return OnGetText(const_cast<TField &>(*this), row);
    if (Calculated)
        return {};
    return FormattedAt(row);
}
