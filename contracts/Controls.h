#pragma once
// The toolkit's controls: panels with enter/exit, masked and date edits, flat tool
// buttons, lookup buttons, pictures and the data-aware label, edit and navigator.
#include "DataSet.h"
#include "ToolkitApi.h"

#include <QDate>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QToolButton>
#include <functional>

using TNotifyEvent = std::function<void(QObject *sender)>;

// Focus enter/exit of a control or container: runs when focus moves between a
// control inside it and one outside it on the same screen. Focus taken by another
// window (a message box, a dialog) is neither.
DFE_TOOLKIT_API void SetOnEnter(QWidget *scope, TNotifyEvent handler);
DFE_TOOLKIT_API void SetOnExit(QWidget *scope, TNotifyEvent handler);
// Marks a widget as a screen for the rule above.
DFE_TOOLKIT_API void MarkAsForm(QWidget *form);

DFE_TOOLKIT_API void SetColor(QWidget *w, const QColor &background);
DFE_TOOLKIT_API void SetBold(QWidget *w, bool bold = true);
// Colours of the Windows palette the screens name.
DFE_TOOLKIT_API QColor clInfoBk();
DFE_TOOLKIT_API QColor clMenu();

class DFE_TOOLKIT_API TPanel : public QFrame {
public:
    explicit TPanel(QWidget *parent = nullptr);
};

class DFE_TOOLKIT_API TMaskEdit : public QLineEdit {
public:
    explicit TMaskEdit(QWidget *parent = nullptr);
    QString EditMask() const { return inputMask(); }
    void SetEditMask(const QString &mask);
    // The value without the mask's literals.
    QString Text() const;
    void SetText(const QString &text);
    void SetTabStop(bool on);
    void SetMaxLength(int n);
    int MaxLength = 32767;
    TNotifyEvent OnChange;
    // The typed character; a handler that sets it to a null character stops it.
    std::function<void(QObject *sender, QChar &key)> OnKeyPress;

protected:
    void keyPressEvent(QKeyEvent *e) override;
    void contextMenuEvent(QContextMenuEvent *e) override;

private:
    bool filterKey(QChar &key); // false: the handler stopped the key
    void pasteFiltered();
};

class DFE_TOOLKIT_API TDateEditPlus : public TMaskEdit {
public:
    explicit TDateEditPlus(QWidget *parent = nullptr);
    QDate GetDate() const; // invalid for an empty or unparsable text
    void SetDate(const QDate &date);
    // A filled text that is no valid date is reported and the edit keeps the focus.
    void CheckValidDate();
    bool SaveTime = false;
    QColor ValidDateColor = Qt::blue;
    QStringList NomeSemana;

private:
    void refreshLook();
};

class DFE_TOOLKIT_API TMemo : public QPlainTextEdit {
public:
    explicit TMemo(QWidget *parent = nullptr);
    bool WantReturns = true;
    QString Text() const; // line breaks as CR LF

protected:
    void keyPressEvent(QKeyEvent *e) override;
};

class DFE_TOOLKIT_API TButtonFlat : public QToolButton {
public:
    explicit TButtonFlat(QWidget *parent = nullptr);
    void SetHint(const QString &hint) { setToolTip(hint); }
    TNotifyEvent OnClick;
};

class DFE_TOOLKIT_API TBtnPesquisa : public TButtonFlat {
public:
    explicit TBtnPesquisa(QWidget *parent = nullptr);
    QPointer<TMaskEdit> Associate;
    QString Title;
    TClientDataSet *DataSource = nullptr;
    QString FieldCodigo;
    bool PesqChave = false; // F2 in the attached edit opens the lookup
    QString EmptyError;
    std::function<void(QObject *sender, bool &proceed)> OnBeforePesq;
    TNotifyEvent OnAfterPesq;
    void Execute();
    void SetAssociate(TMaskEdit *edit);

protected:
    bool eventFilter(QObject *o, QEvent *e) override;

private:
    QObject *m_watched = nullptr;
};

class DFE_TOOLKIT_API TImage : public QLabel {
public:
    explicit TImage(QWidget *parent = nullptr);
    QImage Picture;
    void SetPicture(const QImage &img);
};

class DFE_TOOLKIT_API TDBText : public QLabel, public TDataLink {
public:
    explicit TDBText(QWidget *parent = nullptr);
    QString DataField;
    void DataSetChanged() override { refresh(); }
    void RecordChanged(int) override { refresh(); }
    void Scrolled() override { refresh(); }
    void StateChanged() override { refresh(); }
    void refresh();
};

class DFE_TOOLKIT_API TDBEdit : public QLineEdit, public TDataLink {
public:
    explicit TDBEdit(QWidget *parent = nullptr);
    QString DataField;
    void DataSetChanged() override { refresh(); }
    void RecordChanged(int) override { refresh(); }
    void Scrolled() override { refresh(); }
    void StateChanged() override { refresh(); }
    void refresh();

protected:
    void keyPressEvent(QKeyEvent *e) override;
    void focusOutEvent(QFocusEvent *e) override;

private:
    bool m_refreshing = false;
};

class DFE_TOOLKIT_API TDBNavigator : public QWidget, public TDataLink {
public:
    enum Button { nbFirst, nbPrior, nbNext, nbLast, nbInsert, nbDelete, nbEdit, nbPost, nbCancel, nbRefresh };
    explicit TDBNavigator(QWidget *parent = nullptr);
    QToolButton *ButtonOf(Button b) const { return m_buttons[b]; }
    void Click(Button b);
    TNotifyEvent OnRefresh;
    // Asked before a delete; false keeps the row.
    std::function<bool()> ConfirmDelete;
    void DataSetChanged() override { refresh(); }
    void Scrolled() override { refresh(); }
    void StateChanged() override { refresh(); }
    void refresh();
    void changeEvent(QEvent *e) override;

private:
    QToolButton *m_buttons[10] = {};
};
