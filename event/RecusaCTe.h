#pragma once
// Unit Cli_Dfe71200: the reason dialog of the service-in-disagreement event.
#include "Forms.h"
#include "ModuleApi.h"

#include <QPointer>

namespace Cli_Dfe71200 {

class TfrmRecusaCTe : public TfrmRotiGeral {
public:
    explicit TfrmRecusaCTe(QWidget *owner = nullptr);
    ~TfrmRecusaCTe() override;

    QGroupBox *grbCte;
    QLabel *lblNrAcessoCTe, *lblEmitente;
    TDBEdit *dbeNrAcessoCTe, *dbeEmitente;
    QGroupBox *grbMotivo;
    TMemo *memMotivoRecusaCTe;

    void FormShow(QObject *sender);
    void FormClose(QObject *sender, TCloseAction &action);
    void sbtConfirmaClick(QObject *sender);
    void sbtCancelClick(QObject *sender);
};

// Characters of a reason as the server counts them (line breaks and tabs as blanks,
// surrounding blanks left out).
int MotivoLength(const QString &reason);

DFE_MODULE_EXPORT extern QPointer<TfrmRecusaCTe> frmRecusaCTe;
DFE_MODULE_EXPORT extern bool boIdCriado;
DFE_MODULE_EXPORT extern bool boConfirma;
DFE_MODULE_EXPORT extern QString stMotivoRecusaCTe;

} // namespace Cli_Dfe71200
