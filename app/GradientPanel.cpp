#include "app/GradientPanel.h"

#include <QLinearGradient>
#include <QPainter>

namespace thg {

GradientPanel::GradientPanel(const QColor& start, const QColor& middle, const QColor& end, QWidget* parent)
    : QWidget(parent), start_(start), middle_(middle), end_(end) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void GradientPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0.0, end_);
    gradient.setColorAt(0.5, middle_);
    gradient.setColorAt(1.0, start_);
    painter.fillRect(rect(), gradient);
}

} // namespace thg
