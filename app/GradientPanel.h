#pragma once

#include <QColor>
#include <QWidget>

namespace thg {

// A panel painted with a vertical three-colour gradient: the end colour along the top edge, the
// middle colour across the middle and the start colour along the bottom edge, each half blending
// evenly between its two colours.
class GradientPanel : public QWidget {
    Q_OBJECT
public:
    GradientPanel(const QColor& start, const QColor& middle, const QColor& end, QWidget* parent = nullptr);

    QColor startColor() const { return start_; }
    QColor middleColor() const { return middle_; }
    QColor endColor() const { return end_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor start_;
    QColor middle_;
    QColor end_;
};

} // namespace thg
