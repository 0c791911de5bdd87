#pragma once
// A small pie chart with a legend, for the drive page's properties panel.
#include <QColor>
#include <QString>
#include <QWidget>
#include <vector>

namespace brenix::gui {

class PieChart : public QWidget {
  Q_OBJECT
 public:
  struct Slice {
    double value = 0;
    QColor colour;
    QString label;
  };
  explicit PieChart(QWidget* parent = nullptr);
  void setSlices(std::vector<Slice> slices);
  const std::vector<Slice>& slices() const { return slices_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::vector<Slice> slices_;
};

}  // namespace brenix::gui
