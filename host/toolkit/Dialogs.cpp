#include "Dialogs.h"
#include "Bind.h"
#include "DataSet.h"
#include "Grid.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QRegularExpression>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

// Lookup window: the list's visible fields; typing finds the first row that starts
// with the text in any column; Enter or a double click chooses.
class LookupWindow : public QDialog {
public:
    LookupWindow(QWidget *parent, const QString &title, TClientDataSet &list) : QDialog(parent), m_list(list)
    {
        setWindowTitle(title);
        resize(560, 380);
        auto *lay = new QVBoxLayout(this);
        m_find = new QLineEdit(this);
        m_find->setPlaceholderText(QStringLiteral("Localizar..."));
        m_source.SetDataSet(&list);
        m_grid = new TDBGrid(this);
        m_grid->SetDataSource(&m_source);
        m_grid->setTabKeyNavigation(false);
        for (int i = 0; i < list.FieldCount(); ++i)
            if (list.Fields(i).Visible)
                m_grid->AddColumn(list.Fields(i).FieldName);
        m_grid->ApplyColumns();
        m_grid->horizontalHeader()->setStretchLastSection(true);
        auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        lay->addWidget(m_find);
        lay->addWidget(m_grid, 1);
        lay->addWidget(box);
        connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
        connect(m_grid, &QAbstractItemView::doubleClicked, this, &QDialog::accept);
        connect(m_find, &QLineEdit::textChanged, this, [this](const QString &t) { find(t); });
        m_find->installEventFilter(this);
        m_grid->setFocus();
    }
    ~LookupWindow() override { m_source.SetDataSet(nullptr); }
    int chosen() const { return m_list.RecNo() - 1; }

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (o == m_find && e->type() == QEvent::KeyPress) {
            const int k = static_cast<QKeyEvent *>(e)->key();
            if (k == Qt::Key_Down || k == Qt::Key_Up || k == Qt::Key_PageDown || k == Qt::Key_PageUp) {
                QApplication::sendEvent(m_grid, e);
                return true;
            }
        }
        return QDialog::eventFilter(o, e);
    }

private:
    void find(const QString &t)
    {
        if (t.isEmpty())
            return;
        for (int v = 0; v < m_list.RecordCount(); ++v) {
            const int row = m_list.RowAt(v);
            for (int i = 0; i < m_list.FieldCount(); ++i) {
                TField &f = m_list.Fields(i);
                if (f.Visible && f.DisplayTextAt(row).startsWith(t, Qt::CaseInsensitive)) {
                    m_list.SetRecNo(v + 1);
                    return;
                }
            }
        }
    }
    TClientDataSet &m_list;
    TDataSource m_source;
    TDBGrid *m_grid;
    QLineEdit *m_find;
};

class FolderChooser : public QDialog {
public:
    explicit FolderChooser(QWidget *parent) : QDialog(parent)
    {
        setWindowTitle(QStringLiteral("Selecionar pasta"));
        auto *lay = new QVBoxLayout(this);
        lay->addWidget(new QLabel(QStringLiteral("Pasta de destino dos arquivos:"), this));
        auto *row = new QHBoxLayout;
        m_path = new QLineEdit(this);
        m_path->setMinimumWidth(380);
        auto *browse = new QPushButton(QStringLiteral("Procurar..."), this);
        row->addWidget(m_path, 1);
        row->addWidget(browse);
        lay->addLayout(row);
        auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        lay->addWidget(box);
        connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
        connect(browse, &QPushButton::clicked, this, [this] {
            const QString d = QFileDialog::getExistingDirectory(this, windowTitle(), m_path->text(),
                                                                QFileDialog::DontUseNativeDialog);
            if (!d.isEmpty())
                m_path->setText(QDir::toNativeSeparators(d));
        });
    }
    QString path() const { return m_path->text().trimmed(); }

private:
    QLineEdit *m_path;
};

class RealDialogs : public IDialogs {
public:
    void Error(QWidget *parent, const QString &text) override
    {
        QMessageBox::critical(parent, QStringLiteral("Erro"), text);
    }
    void Information(QWidget *parent, const QString &text) override
    {
        QMessageBox::information(parent, QStringLiteral("Informação"), text, QMessageBox::Ok);
    }
    bool Confirm(QWidget *parent, const QString &text) override
    {
        return QMessageBox::question(parent, QStringLiteral("Confirmação"), text,
                                     QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    }
    std::optional<QString> ChooseFolder(QWidget *parent) override
    {
        for (;;) {
            FolderChooser dlg(parent);
            if (dlg.exec() != QDialog::Accepted || dlg.path().isEmpty())
                return std::nullopt;
            const QString p = dlg.path();
            if (QDir(p).exists())
                return p;
            if (!Confirm(parent, QStringLiteral("A pasta \"%1\" não existe. Deseja criá-la?").arg(p)))
                continue;
            if (QDir().mkpath(p))
                return p;
            Error(parent, QStringLiteral("Não foi possível criar a pasta \"%1\".").arg(p));
        }
    }
    int Lookup(QWidget *parent, const QString &title, TClientDataSet &list) override
    {
        LookupWindow w(parent, title, list);
        return w.exec() == QDialog::Accepted ? w.chosen() : -1;
    }
    std::optional<QString> ChooseSaveFile(QWidget *parent, const QString &title, const QString &suggested,
                                          const QString &filter) override
    {
        const QString path = QFileDialog::getSaveFileName(parent, title, suggested, filter);
        if (path.isEmpty())
            return std::nullopt;
        // The type the filter names, when the user typed none.
        const QRegularExpression ext(QStringLiteral("\\*(\\.[A-Za-z0-9]+)"));
        const auto m = ext.match(filter);
        if (m.hasMatch() && QFileInfo(path).suffix().isEmpty())
            return path + m.captured(1);
        return path;
    }
    void PrintPreview(QWidget *parent, const QString &title, QPageLayout::Orientation orientation,
                      const std::function<void(QPrinter &)> &paint) override
    {
        QPrinter printer(QPrinter::HighResolution);
        printer.setDocName(title);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setPageOrientation(orientation);
        QPrintPreviewDialog dlg(&printer, parent);
        dlg.setWindowTitle(title);
        dlg.resize(1000, 700);
        QObject::connect(&dlg, &QPrintPreviewDialog::paintRequested, &dlg, [&paint](QPrinter *p) { Guard([&] { paint(*p); }); });
        dlg.exec();
    }
    void Help(QWidget *parent, const QString &title, const QString &html) override
    {
        QDialog dlg(parent);
        dlg.setWindowTitle(title);
        dlg.resize(640, 520);
        auto *lay = new QVBoxLayout(&dlg);
        auto *text = new QTextBrowser(&dlg);
        text->setHtml(html);
        auto *box = new QDialogButtonBox(QDialogButtonBox::Close, &dlg);
        QObject::connect(box, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
        lay->addWidget(text, 1);
        lay->addWidget(box);
        dlg.exec();
    }
};

IDialogs *&current()
{
    static IDialogs *d = nullptr;
    return d;
}
} // namespace

IDialogs &Dialogs()
{
    static RealDialogs real;
    return current() ? *current() : real;
}

void SetDialogs(IDialogs *dialogs) { current() = dialogs; }
