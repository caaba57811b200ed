#include "Fiscal.h"

#include <algorithm>

namespace fiscal {

bool allDigits(const QString &s)
{
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

static bool digitOrUpper(QChar c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z'); }

bool cnpjBase(const QString &s)
{
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), digitOrUpper);
}

QString normalRegistration(const QString &s)
{
    QString out;
    for (QChar c : s) {
        if (c >= u'a' && c <= u'z')
            out += QChar(c.unicode() - 32);
        else if (digitOrUpper(c))
            out += c;
    }
    return out;
}

static int mod11(const QString &digits, int maxWeight)
{
    int sum = 0, w = 2;
    for (qsizetype i = digits.size() - 1; i >= 0; --i) {
        sum += (digits[i].unicode() - '0') * w;
        w = w == maxWeight ? 2 : w + 1;
    }
    const int r = sum % 11;
    return r < 2 ? 0 : 11 - r;
}

QString cnpjWithDigits(const QString &base12)
{
    QString s = base12;
    s += QChar('0' + mod11(s, 9));
    s += QChar('0' + mod11(s, 9));
    return s;
}

QString cpfWithDigits(const QString &base9)
{
    QString s = base9;
    s += QChar('0' + mod11(s, 11));
    s += QChar('0' + mod11(s, 11));
    return s;
}

static bool repeated(const QString &s) { return s.count(s[0]) == s.size(); }

bool validCnpj(const QString &c)
{
    return c.size() == 14 && cnpjBase(c.left(12)) && allDigits(c.mid(12)) && !repeated(c) &&
           cnpjWithDigits(c.left(12)) == c;
}

bool validCpf(const QString &c)
{
    return c.size() == 11 && allDigits(c) && !repeated(c) && cpfWithDigits(c.left(9)) == c;
}

int accessKeyDigit(const QString &first43) { return mod11(first43, 9); }

bool validAccessKey(const QString &key)
{
    // cUF, AAMM, the issuer's CNPJ or CPF (positions 7 to 20), then numbers only.
    return key.size() == 44 && allDigits(key.left(6)) && cnpjBase(key.mid(6, 14)) && allDigits(key.mid(20)) &&
           accessKeyDigit(key.left(43)) == key[43].unicode() - '0';
}

} // namespace fiscal
