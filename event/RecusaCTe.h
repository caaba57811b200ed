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
    QLabel *lblContador; // the reason's characters as the server counts them

    void FormShow(QObject *sender);
    void FormClose(QObject *sender, TCloseAction &action);
    void sbtConfirmaClick(QObject *sender);
    void sbtCancelClick(QObject *sender);
    void memMotivoRecusaCTeChange();
};

// Characters of a reason as the server counts them (line breaks and tabs as blanks,
// surrounding blanks left out).
int MotivoLength(const QString &reason);
// The reason with what word processors paste in its plain form, blanks kept.
QString MotivoDobrado(const QString &typed);

DFE_MODULE_EXPORT extern QPointer<TfrmRecusaCTe> frmRecusaCTe;
DFE_MODULE_EXPORT extern bool boIdCriado;
DFE_MODULE_EXPORT extern bool boConfirma;
DFE_MODULE_EXPORT extern QString stMotivoRecusaCTe;

} // namespace Cli_Dfe71200
