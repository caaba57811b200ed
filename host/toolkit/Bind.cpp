#include "Bind.h"
#include "Dialogs.h"
#include "Exceptions.h"

#include <QApplication>
#include <QWidget>

void Abort() { throw EAbort(); }

void ShowException(const std::exception &e) noexcept
{
    try {
        const auto *ex = dynamic_cast<const Exception *>(&e);
        const QString text = ex ? ex->Message : QString::fromUtf8(e.what());
        Dialogs().Error(QApplication::activeWindow(), text);
    } catch (...) {
        qWarning("erro ao mostrar uma mensagem de erro: %s", e.what());
    }
}

void Guard(const std::function<void()> &handler) noexcept
{
    try {
        handler();
    } catch (const EAbort &) {
    } catch (const std::exception &e) {
        ShowException(e);
    } catch (...) {
        ShowException(Exception(QStringLiteral("Erro inesperado.")));
    }
}
