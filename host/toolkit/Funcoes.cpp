#include "Funcoes.h"
#include "Dialogs.h"
#include "Exceptions.h"
#include "Fiscal.h"

#include <QApplication>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

void MensErro(const QString &text, bool abort)
{
    Dialogs().Error(QApplication::activeWindow(), text);
    if (abort)
        Abort();
}

bool EmptyString(const QString &text) { return text.trimmed().isEmpty(); }

QString Ajusta(const QString &text, int size)
{
    const QString t = text.trimmed();
    if (t.isEmpty() || size <= 0)
        return t;
    if (t.size() >= size)
        return t.right(size);
    return QString(size - t.size(), QLatin1Char('0')) + t;
}

QString PictPess(const QString &type)
{
    if (type == QLatin1String("J"))
        return QStringLiteral(">NN.NNN.NNN/NNNN-99;_"); // the base of an alphanumeric CNPJ takes letters too
    if (type == QLatin1String("F"))
        return QStringLiteral("999.999.999-99;_");
    return {};
}

bool MaxNumber(const QString &text, int digits, int decimals, QChar &key, int selStart, int selLength)
{
    if (key.isNull() || key.unicode() < 0x20)
        return true; // editing keys (backspace, ...) always pass
    auto refuse = [&] {
        key = QChar();
        return false;
    };
    const bool sep = key == QLatin1Char(',') || key == QLatin1Char('.');
    if (!key.isDigit() && !(sep && decimals > 0))
        return refuse();
    selStart = std::clamp(selStart, 0, int(text.size()));
    selLength = std::clamp(selLength, 0, int(text.size()) - selStart);
    const QString result = text.left(selStart) + key + text.mid(selStart + selLength);
    const qsizetype dot = std::max(result.indexOf(QLatin1Char(',')), result.indexOf(QLatin1Char('.')));
    if (sep && (result.count(QLatin1Char(',')) + result.count(QLatin1Char('.'))) > 1)
        return refuse();
    const QString whole = dot < 0 ? result : result.left(dot);
    const QString frac = dot < 0 ? QString() : result.mid(dot + 1);
    int wholeDigits = 0;
    for (QChar c : whole)
        wholeDigits += c.isDigit() ? 1 : 0;
    if (wholeDigits > digits || frac.size() > decimals)
        return refuse();
    return true;
}

QDate PriDiaMes(const QDate &date) { return date.isValid() ? QDate(date.year(), date.month(), 1) : date; }

QString Right(const QString &text, int count) { return count <= 0 ? QString() : text.right(count); }

namespace {
bool isInputChar(QChar c)
{
    static const QString input = QStringLiteral("AaNnXx90DdHhBb#");
    return input.contains(c);
}
// The mask's characters with case modifiers dropped and escapes resolved:
// pairs of (char, isInput).
std::vector<std::pair<QChar, bool>> maskPositions(const QString &mask, QChar *blank)
{
    QString body = mask;
    if (blank)
        *blank = QLatin1Char(' ');
    const qsizetype semi = mask.lastIndexOf(QLatin1Char(';'));
    if (semi >= 0 && semi == mask.size() - 2) {
        body = mask.left(semi);
        if (blank)
            *blank = mask.at(semi + 1);
    }
    std::vector<std::pair<QChar, bool>> out;
    for (qsizetype i = 0; i < body.size(); ++i) {
        const QChar c = body[i];
        if (c == QLatin1Char('>') || c == QLatin1Char('<') || c == QLatin1Char('!'))
            continue;
        if (c == QLatin1Char('\\') && i + 1 < body.size()) {
            out.emplace_back(body[++i], false);
            continue;
        }
        out.emplace_back(c, isInputChar(c));
    }
    return out;
}
} // namespace

QString FormatMaskText(const QString &mask, const QString &value)
{
    if (mask.isEmpty())
        return value;
    const auto pos = maskPositions(mask, nullptr);
    QString out;
    qsizetype v = 0;
    for (const auto &[c, input] : pos) {
        if (v >= value.size())
            break;
        if (input)
            out += value[v++];
        else
            out += c;
    }
    return out;
}

QString StripMaskLiterals(const QString &mask, const QString &value)
{
    if (mask.isEmpty())
        return value;
    QChar blank;
    const auto pos = maskPositions(mask, &blank);
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const bool input = i < qsizetype(pos.size()) ? pos[size_t(i)].second : true;
        if (input && value[i] != blank && value[i] != QLatin1Char(' '))
            out += value[i];
    }
    return out;
}

bool ValidCNPJ(const QString &digits) { return fiscal::validCnpj(digits); }

bool ValidCPF(const QString &digits) { return fiscal::validCpf(digits); }

// ---- busy animation ---------------------------------------------------------

namespace {
std::function<void()> &busyCallCancel()
{
    static std::function<void()> f;
    return f;
}

// Translucent over the whole form, with an opaque box in the middle for the spinner, its
// text and Cancelar, so the text never sits on the grid's own.
class BusyOverlay : public QWidget {
public:
    explicit BusyOverlay(QWidget *form) : QWidget(form)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents, false);
        setFocusPolicy(Qt::NoFocus);
        setGeometry(form->rect());
        m_cancel = new QPushButton(QStringLiteral("Cancelar"), this);
        m_cancel->setObjectName(QStringLiteral("btnCancelarChamada"));
        m_cancel->setToolTip(QStringLiteral("Cancelar (Esc)"));
        m_cancel->setFocusPolicy(Qt::NoFocus);
        QObject::connect(m_cancel, &QPushButton::clicked, this, [] { CancelBusyCall(); });
        place();
        m_timer.setInterval(40);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            m_step = (m_step + 1) % 12;
            update(box());
        });
        m_timer.start();
        form->installEventFilter(this);
        raise();
        show();
    }
    int paints = 0;
    void showCancel(bool on) { m_cancel->setVisible(on); }

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (o == parent() && e->type() == QEvent::Resize) {
            setGeometry(static_cast<QWidget *>(o)->rect());
            place();
        }
        return false;
    }
    void paintEvent(QPaintEvent *) override
    {
        ++paints;
        QPainter p(this);
        p.fillRect(rect(), QColor(255, 255, 255, 110));
        p.setRenderHint(QPainter::Antialiasing);
        const QRect b = box();
        p.setPen(QColor(120, 140, 170));
        p.setBrush(palette().window());
        p.drawRoundedRect(b, 6, 6);
        const QPointF c(b.center().x(), b.top() + 36);
        for (int i = 0; i < 12; ++i) {
            const int age = (m_step - i + 12) % 12;
            QColor col(30, 90, 160);
            col.setAlpha(255 - age * 18);
            p.save();
            p.translate(c);
            p.rotate(i * 30.0);
            p.setPen(Qt::NoPen);
            p.setBrush(col);
            p.drawRoundedRect(QRectF(10, -3, 16, 6), 3, 3);
            p.restore();
        }
        p.setPen(palette().windowText().color());
        p.drawText(QRect(b.left(), b.top() + 68, b.width(), 20), Qt::AlignCenter, QStringLiteral("Processando..."));
    }

private:
    QRect box() const { return QRect(width() / 2 - 90, height() / 2 - 70, 180, 140); }
    void place()
    {
        const QRect b = box();
        m_cancel->setGeometry(b.center().x() - 45, b.bottom() - 38, 90, 26);
        m_cancel->setVisible(BusyCallWaiting());
    }
    QPushButton *m_cancel;
    QTimer m_timer;
    int m_step = 0;
};

QPointer<BusyOverlay> &overlay()
{
    static QPointer<BusyOverlay> o;
    return o;
}
} // namespace

void ActiveShowAvi(QWidget *form, int /*kind: one animation serves every kind*/)
{
    DeactiveShowAvi();
    if (form)
        overlay() = new BusyOverlay(form);
}

void DeactiveShowAvi()
{
    if (overlay())
        delete overlay().data();
    overlay() = nullptr;
}

bool ShowAviActive() { return !overlay().isNull(); }

void CancelBusyCall()
{
    if (auto cancel = busyCallCancel())
        cancel();
}

void SetBusyCallCancel(std::function<void()> onCancel)
{
    busyCallCancel() = std::move(onCancel);
    if (overlay())
        overlay()->showCancel(BusyCallWaiting());
}

bool BusyCallWaiting() { return bool(busyCallCancel()); }
