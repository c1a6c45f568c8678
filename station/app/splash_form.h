#pragma once
// The splash window fSplash: product name, version and logo (CorvaLogo.bmp beside the
// program). Its timer (500 ms, once) carries on the start; see Startup.
#include <QWidget>

class QFrame;
class QLabel;
class QTimer;

namespace corva::station {

class SplashForm : public QWidget {
    Q_OBJECT
public:
    explicit SplashForm(QWidget* parent = nullptr);

    QLabel* lblProductName() const { return product_; }
    QLabel* lblVersion() const { return version_; }
    QLabel* lblPlatform() const { return platform_; }
    QLabel* Image1() const { return image_; }
    QTimer* Timer1() const { return timer_; }

signals:
    // Frame1 was clicked.
    void frameClicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QFrame* frame_;
    QLabel* product_;
    QLabel* version_;
    QLabel* platform_;
    QLabel* image_;
    QTimer* timer_;
};

}  // namespace corva::station
