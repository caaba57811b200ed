#include "Fiscal.h"

#include <QList>
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

// The plain form of a character that word processors put in place of a keyboard one;
// null when it has none.
static QLatin1StringView plainForm(char16_t c)
{
    switch (c) {
    case u'\r': case u'\n': case u'\t':
    case 0x00a0: case 0x2002: case 0x2003: case 0x2007: case 0x2009: case 0x200a: case 0x202f:
        return QLatin1StringView(" ");
    case 0x2018: case 0x2019: case 0x201a: case 0x201b: case 0x2032:
        return QLatin1StringView("'");
    case 0x201c: case 0x201d: case 0x201e: case 0x201f: case 0x2033:
        return QLatin1StringView("\"");
    case 0x2010: case 0x2011: case 0x2012: case 0x2013: case 0x2014: case 0x2015: case 0x2212:
        return QLatin1StringView("-");
    case 0x2026:
        return QLatin1StringView("...");
    default:
        return {};
    }
}

QString plainReason(const QString &typed)
{
    QString out;
    out.reserve(typed.size());
    for (qsizetype i = 0; i < typed.size(); ++i) {
        const char16_t c = typed[i].unicode();
        if (c == u'\r' && i + 1 < typed.size() && typed[i + 1] == u'\n')
            continue; // one blank for a Windows line break
        const QLatin1StringView plain = plainForm(c);
        if (plain.isNull())
            out += QChar(c);
        else
            out += plain;
    }
    qsizetype from = 0, to = out.size();
    while (from < to && out[from] == u' ')
        ++from;
    while (to > from && out[to - 1] == u' ')
        --to;
    return out.mid(from, to - from);
}

std::optional<char32_t> refusedReasonChar(const QString &text)
{
    for (const char32_t c : text.toUcs4())
        if (c < 0x20 || (c >= 0x7f && c < 0xa0) || c > 0xff)
            return c;
    return std::nullopt;
}

QString describeChar(char32_t c)
{
    const QString code = QStringLiteral("U+") + QString::number(uint(c), 16).toUpper().rightJustified(4, u'0');
    if (c < 0x20 || (c >= 0x7f && c < 0xa0))
        return code;
    return QStringLiteral("\"%1\" (%2)").arg(QString::fromUcs4(&c, 1), code);
}

} // namespace fiscal
