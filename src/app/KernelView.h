#pragma once

#include <QWidget>
#include <vector>

namespace velkaro {

// A blur kernel drawn magnified: each weight a square of grey (the largest weight white) on black,
// scaled up by a whole factor without smoothing, centred in the view. Empty: black only.
class KernelView : public QWidget {
  public:
    explicit KernelView(QWidget* parent = nullptr) : QWidget(parent) {}

    // `weights` holds size × size values, row-major; size 0 clears the view.
    void setKernel(int size, std::vector<double> weights);
    int kernelSize() const { return mSize; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int mSize = 0;
    std::vector<double> mWeights;
};

}  // namespace velkaro
