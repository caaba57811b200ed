#include "Writers.h"

#include <QDate>
#include <QFile>
#include <xlsxwriter.h>

namespace listexport {

namespace {

QString partPath(const QString &path) { return path + QStringLiteral(".part"); }

bool fail(QString *error, const QString &why, const QString &part)
{
    QFile::remove(part);
    if (error)
        *error = why;
    return false;
}

lxw_datetime excelDate(const QDate &d) { return lxw_datetime{d.year(), d.month(), d.day(), 0, 0, 0.0}; }

void writeRow(lxw_worksheet *sheet, lxw_row_t r, const Table &t, const std::vector<QVariant> &row,
              const std::vector<lxw_format *> &formats)
{
    for (size_t i = 0; i < t.columns.size() && i < row.size(); ++i) {
        const QVariant &v = row[i];
        const lxw_col_t c = lxw_col_t(i);
        if (v.isNull())
            continue;
        switch (t.columns[i].type) {
        case Type::Number:
            worksheet_write_number(sheet, r, c, v.toDouble(), formats[i]);
            break;
        case Type::Date: {
            const lxw_datetime d = excelDate(v.toDate());
            worksheet_write_datetime(sheet, r, c, const_cast<lxw_datetime *>(&d), formats[i]);
            break;
        }
        case Type::Text:
            worksheet_write_string(sheet, r, c, v.toString().toUtf8().constData(), nullptr);
            break;
        }
    }
}

} // namespace

bool writeXlsx(const QString &path, const Table &t, QString *error)
{
    const QString part = partPath(path);
    const QByteArray file = QFile::encodeName(part);
    lxw_workbook *book = workbook_new(file.constData());
    if (!book)
        return fail(error, QStringLiteral("não foi possível criar %1").arg(path), part);
    lxw_worksheet *sheet = workbook_add_worksheet(book, "CT-e");
    lxw_format *bold = workbook_add_format(book);
    format_set_bold(bold);
    std::vector<lxw_format *> formats;
    for (size_t i = 0; i < t.columns.size(); ++i) {
        const Column &c = t.columns[i];
        lxw_format *f = nullptr;
        if (c.type == Type::Number) {
            f = workbook_add_format(book);
            const QByteArray num = c.decimals > 0 ? "#,##0." + QByteArray(c.decimals, '0') : QByteArray("#,##0");
            format_set_num_format(f, num.constData());
        } else if (c.type == Type::Date) {
            f = workbook_add_format(book);
            format_set_num_format(f, "dd/mm/yyyy");
        }
        formats.push_back(f);
        worksheet_write_string(sheet, 0, lxw_col_t(i), c.title.toUtf8().constData(), bold);
    }
    for (size_t r = 0; r < t.rows.size(); ++r)
        writeRow(sheet, lxw_row_t(r + 1), t, t.rows[r], formats);
    worksheet_freeze_panes(sheet, 1, 0);
    if (const lxw_error e = workbook_close(book); e != LXW_NO_ERROR)
        return fail(error, QString::fromUtf8(lxw_strerror(e)), part);
    QFile::remove(path);
    if (!QFile::rename(part, path))
        return fail(error, QStringLiteral("não foi possível gravar %1").arg(path), part);
    return true;
}

} // namespace listexport
