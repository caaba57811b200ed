#pragma once
// The toolkit's checking and text helpers.
#include "ToolkitApi.h"
#include <QDate>
#include <QString>
#include <functional>

class QWidget;

// Shows `text` as a modal error; with `abort` it then ends the running handler
// with the silent abort (clean-up blocks still run).
DFE_TOOLKIT_API void MensErro(const QString &text, bool abort = true);
// True when the text is empty or only blanks.
DFE_TOOLKIT_API bool EmptyString(const QString &text);
// The text trimmed and fitted to `size` characters: shorter texts are padded on the
// left with zeros, longer ones keep their last `size` characters.
DFE_TOOLKIT_API QString Ajusta(const QString &text, int size);
// Edit mask (QLineEdit syntax) for a legal registration of the given type:
// "J" a CNPJ, "F" a CPF; any other type no mask.
DFE_TOOLKIT_API QString PictPess(const QString &type);
// Key filter of a number field of at most `digits` whole digits and `decimals`
// decimals. A refused key is cleared (set to a null character) so the caller's
// edit never receives it. Returns whether the key was accepted.
DFE_TOOLKIT_API bool MaxNumber(const QString &text, int digits, int decimals, QChar &key, int selStart,
                               int selLength);
DFE_TOOLKIT_API QDate PriDiaMes(const QDate &date);
DFE_TOOLKIT_API QString Right(const QString &text, int count);
// `value` laid out under `mask` (QLineEdit syntax), for display.
DFE_TOOLKIT_API QString FormatMaskText(const QString &mask, const QString &value);
// `value` without the literal characters of `mask`.
DFE_TOOLKIT_API QString StripMaskLiterals(const QString &mask, const QString &value);

// Busy animation over a form until DeactiveShowAvi; a second stop is harmless.
DFE_TOOLKIT_API void ActiveShowAvi(QWidget *form, int kind);
DFE_TOOLKIT_API void DeactiveShowAvi();
DFE_TOOLKIT_API bool ShowAviActive();
// The animation's Cancelar button, or Esc, during a remote call: the call waiting for its
// reply is abandoned. A call registers what cancelling does while it waits (empty: none).
DFE_TOOLKIT_API void CancelBusyCall();
DFE_TOOLKIT_API void SetBusyCallCancel(std::function<void()> onCancel);
DFE_TOOLKIT_API bool BusyCallWaiting();

// Check digits of Brazilian registration numbers.
DFE_TOOLKIT_API bool ValidCNPJ(const QString &digits);
DFE_TOOLKIT_API bool ValidCPF(const QString &digits);
