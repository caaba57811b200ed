#pragma once
// Check digits of the fiscal numbers (CNPJ, CPF, the CT-e access key) and the text rule
// of the event reason.
#include <QString>
#include <optional>

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

// The reason of the disagreement event (xObs) as the authority admits it: one line of
// characters from U+0020 to U+00FF. Line breaks and tabs become one blank each; what word
// processors paste (typographic quotes, dashes, the ellipsis, no-break and thin spaces)
// becomes its plain form; then blanks at either end are dropped.
QString plainReason(const QString &typed);
// The first character of `text` the authority refuses (outside U+0020..U+007E and
// U+00A0..U+00FF), as a code point; none when every one is admitted (a NUL is refused too).
std::optional<char32_t> refusedReasonChar(const QString &text);
// How a message names a character: "€" (U+20AC).
QString describeChar(char32_t c);

} // namespace fiscal
