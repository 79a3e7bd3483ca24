#include "app/bar_chart.h"

#include <QDate>
#include <QEvent>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QLocale>
#include <QPainter>
#include <QToolTip>

#include <algorithm>

#include "settings/format.h"

namespace quillon::app {
namespace {

constexpr double kLabelGap = 4;

QDate dateOf(const std::string& key) {
    return QDate::fromString(QString::fromStdString(key), QStringLiteral("yyyy-MM-dd"));
}

} // namespace

BarChart::BarChart(std::vector<DayReport> days, std::int64_t budget, Colours colours, QFont labelFont,
                   QWidget* parent)
    : QWidget(parent), m_days(std::move(days)), m_budget(budget), m_colours(colours),
      m_labelFont(std::move(labelFont)) {
    for (const DayReport& d : m_days)
        m_max = std::max(m_max, d.tokens);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMouseTracking(true);
}

double BarChart::slotWidth() const {
    return m_days.empty() ? 0 : static_cast<double>(width()) / static_cast<double>(m_days.size());
}

int BarChart::labelHeight() const {
    return QFontMetrics(m_labelFont).height();
}

QRectF BarChart::barRect(int index) const {
    if (index < 0 || index >= count()) return {};
    const double slot = slotWidth();
    const double barWidth = std::min(slot * (m_days.size() > 10 ? 0.66 : 0.56), 30.0);
    const DayReport& d = m_days[static_cast<std::size_t>(index)];
    double h = m_max > 0 ? barArea * static_cast<double>(std::max<std::int64_t>(d.tokens, 0)) /
                               static_cast<double>(m_max)
                         : 0;
    h = std::clamp(h, 2.0, barArea);
    const double x = slot * index + (slot - barWidth) / 2;
    return QRectF(x, barArea - h, barWidth, h);
}

QColor BarChart::barColour(int index) const {
    if (index < 0 || index >= count()) return {};
    if (m_days[static_cast<std::size_t>(index)].tokens > m_budget) return m_colours.orange;
    QColor c = m_colours.accent;
    c.setAlphaF(0.7f);
    return c;
}

QString BarChart::toolTipText(int index) const {
    if (index < 0 || index >= count()) return {};
    const DayReport& d = m_days[static_cast<std::size_t>(index)];
    return QString::fromStdString(format("%s · %s tokens · %lld turns · $%.0f", d.day.c_str(),
                                         fmtTokens(d.tokens).c_str(), static_cast<long long>(d.turns),
                                         d.usd));
}

QString BarChart::dayLabel(int index) const {
    if (index < 0 || index >= count()) return {};
    const DayReport& d = m_days[static_cast<std::size_t>(index)];
    const QDate date = dateOf(d.day);
    if (m_days.size() <= 10) {
        if (!date.isValid())
            return QString::fromStdString(d.day.size() >= 2 ? d.day.substr(d.day.size() - 2) : d.day);
        return QLocale().dayName(date.dayOfWeek(), QLocale::ShortFormat);
    }
    if ((count() - 1 - index) % 3 != 0) return {};
    if (!date.isValid())
        return QString::fromStdString(d.day.size() >= 2 ? d.day.substr(d.day.size() - 2) : d.day);
    return QString::number(date.day());
}

int BarChart::barAt(QPointF point) const {
    const double slot = slotWidth();
    if (slot <= 0 || point.x() < 0 || point.y() < 0 || point.y() > height()) return -1;
    const int index = static_cast<int>(point.x() / slot);
    return index < count() ? index : -1;
}

QSize BarChart::sizeHint() const {
    return {width() > 0 ? width() : 360, static_cast<int>(barArea + kLabelGap) + labelHeight()};
}

QSize BarChart::minimumSizeHint() const {
    return {count() * 4, sizeHint().height()};
}

void BarChart::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < count(); ++i) {
        const QRectF r = barRect(i);
        const double radius = std::min(3.0, r.width() / 2);
        p.setBrush(barColour(i));
        p.drawRoundedRect(r, radius, std::min(radius, r.height() / 2));
    }
    p.setFont(m_labelFont);
    p.setPen(m_colours.secondary);
    const double slot = slotWidth();
    const double top = barArea + kLabelGap;
    for (int i = 0; i < count(); ++i) {
        const QString text = dayLabel(i);
        if (text.isEmpty()) continue;
        // Labels may spill over their slot (a month's slots are narrow); they stay inside the chart.
        const double textWidth = QFontMetrics(m_labelFont).horizontalAdvance(text);
        const double centre = slot * i + slot / 2;
        const double x = std::clamp(centre - textWidth / 2, 0.0, std::max(0.0, width() - textWidth));
        p.drawText(QRectF(x, top, textWidth + 1, labelHeight()), Qt::AlignLeft | Qt::AlignTop, text);
    }
}

bool BarChart::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const int index = barAt(help->pos());
        if (index >= 0) {
            QToolTip::showText(help->globalPos(), toolTipText(index), this, barRect(index).toRect());
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    return QWidget::event(event);
}

} // namespace quillon::app
