#include "app/splash_form.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <QVBoxLayout>

#include "core/paths.h"
#include "app/program_version.h"

namespace corva::station {

SplashForm::SplashForm(QWidget* parent) : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setObjectName("fSplash");
    const QString version = versionText(CurrentVersion, true);
    setWindowTitle(QString("Corvalight") + " Version " + version);
    auto* outer = new QVBoxLayout(this);
    frame_ = new QFrame(this);
    frame_->setObjectName("Frame1");
    frame_->setFrameShape(QFrame::Box);
    outer->addWidget(frame_);
    auto* layout = new QHBoxLayout(frame_);
    image_ = new QLabel(frame_);
    image_->setObjectName("Image1");
    // A missing logo leaves the picture empty; the start goes on.
    const QPixmap logo(QString::fromStdString((executableFolder() / "CorvaLogo.bmp").string()));
    if (!logo.isNull()) image_->setPixmap(logo);
    layout->addWidget(image_);
    auto* texts = new QVBoxLayout;
    QFont arial("Arial");
    product_ = new QLabel("Corvalight", frame_);
    product_->setObjectName("lblProductName");
    QFont big = arial;
    big.setPointSize(24);
    big.setBold(true);
    product_->setFont(big);
    version_ = new QLabel("Version " + version, frame_);
    version_->setObjectName("lblVersion");
    version_->setFont(arial);
    platform_ = new QLabel("for Windows 2000/XP", frame_);
    platform_->setObjectName("lblPlatform");
    platform_->setFont(arial);
    texts->addWidget(product_);
    texts->addWidget(version_);
    texts->addWidget(platform_);
    layout->addLayout(texts);
    timer_ = new QTimer(this);
    timer_->setObjectName("Timer1");
    timer_->setInterval(500);
    timer_->setSingleShot(true);
    frame_->installEventFilter(this);
}

bool SplashForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == frame_ && event->type() == QEvent::MouseButtonRelease) emit frameClicked();
    return QWidget::eventFilter(watched, event);
}

}  // namespace corva::station
