#pragma once
// Check digits of the fiscal numbers: CNPJ, CPF and the CT-e access key.
#include <QString>

namespace fiscal {

bool allDigits(const QString &s);
// A CNPJ base is 12 digits or upper-case letters (alphanumeric CNPJ); its two check
// digits are digits, computed on each character's code minus 48. A CPF is numeric.
bool cnpjBase(const QString &s);
// The legal registration as stored and compared: letters and digits only, letters in upper case.
QString normalRegistration(const QString &s);
// The two check digits for a 12-character CNPJ base / 9-digit CPF base.
QString cnpjWithDigits(const QString &base12);
QString cpfWithDigits(const QString &base9);
bool validCnpj(const QString &cnpj);
bool validCpf(const QString &cpf);
// Mod-11 digit over the first 43 characters (the issuer's CNPJ in them may carry letters) (weights 2..9 from the right; a remainder
// below 2 gives 0, otherwise 11 minus it).
int accessKeyDigit(const QString &first43);
bool validAccessKey(const QString &key);

} // namespace fiscal
