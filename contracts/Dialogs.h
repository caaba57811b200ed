#pragma once
// The dialogs seam: every message box, folder chooser and lookup window goes
// through here, so that tests can replace them with scripted answers.
#include "ToolkitApi.h"
#include <QPageLayout>
#include <QString>
#include <functional>
#include <optional>

class QPrinter;
class QWidget;
class TClientDataSet;

class DFE_TOOLKIT_API IDialogs {
public:
    virtual ~IDialogs() = default;
    virtual void Error(QWidget *parent, const QString &text) = 0;
    virtual void Information(QWidget *parent, const QString &text) = 0;
    virtual bool Confirm(QWidget *parent, const QString &text) = 0;
    // A folder; one that does not exist yet is created after a prompt. Empty: cancelled.
    virtual std::optional<QString> ChooseFolder(QWidget *parent) = 0;
    // Lists the visible fields of `list`; the chosen row (0-based, in list order) or -1.
    virtual int Lookup(QWidget *parent, const QString &title, TClientDataSet &list) = 0;
    // A file to write, offered under `suggested` (a name or a path) with the file-type
    // `filter` ("Planilha (*.xlsx)"). Empty: cancelled.
    virtual std::optional<QString> ChooseSaveFile(QWidget *parent, const QString &title, const QString &suggested,
                                                  const QString &filter) = 0;
    // The print preview of what `paint` draws on pages of that orientation, with the
    // platform's print dialog (PDF included).
    virtual void PrintPreview(QWidget *parent, const QString &title, QPageLayout::Orientation orientation,
                              const std::function<void(QPrinter &)> &paint) = 0;
    // A screen's help, rich text.
    virtual void Help(QWidget *parent, const QString &title, const QString &html) = 0;
};

DFE_TOOLKIT_API IDialogs &Dialogs();
// nullptr puts the real dialogs back.
DFE_TOOLKIT_API void SetDialogs(IDialogs *dialogs);
