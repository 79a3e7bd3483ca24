#pragma once

#include <QColor>
#include <QFont>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

#include "report/snapshot.h"

namespace quillon::app {

// Tokens per day as bars, oldest first, bottom-aligned, with short day labels underneath and a
// tooltip per bar. A bar's height is 34 x its tokens / the largest day's tokens, at least 2; days
// above the budget are orange, the others the accent colour at 70% opacity.
class BarChart : public QWidget {
  public:
    struct Colours {
        QColor orange, accent, secondary;
    };

    BarChart(std::vector<DayReport> days, std::int64_t budget, Colours colours, QFont labelFont,
             QWidget* parent = nullptr);

    static constexpr double barArea = 34;

    int count() const { return static_cast<int>(m_days.size()); }
    QRectF barRect(int index) const;
    QColor barColour(int index) const;
    // The day key, its tokens, turns and whole dollars.
    QString toolTipText(int index) const;
    // The day's short label ("Tue"; in a month only every third day, counted back from the last,
    // shows its day of the month); empty when the bar goes unlabelled.
    QString dayLabel(int index) const;
    // The bar under a point (its whole column counts), or -1.
    int barAt(QPointF point) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

  private:
    double slotWidth() const;
    int labelHeight() const;

    std::vector<DayReport> m_days;
    std::int64_t m_budget;
    std::int64_t m_max = 0;
    Colours m_colours;
    QFont m_labelFont;
};

} // namespace quillon::app
