#include "offscreen_application.h"

namespace corva::station::test {

OffscreenApplication::OffscreenApplication(std::string name, QByteArray screenConfig)
    : name_(std::move(name)), screenConfig_(std::move(screenConfig)) {
    argv_[0] = name_.data();
}

void OffscreenApplication::SetUp() {
    home_ = std::make_unique<corva::test::TempDir>(name_ + "-home");
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home_->path() / "config").string()));
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(home_->path().string()));
    qputenv("QT_QPA_PLATFORM",
            screenConfig_.isEmpty() ? QByteArray("offscreen") : "offscreen:configfile=" + screenConfig_);
    app_ = std::make_unique<QApplication>(argc_, argv_);
    QApplication::setQuitOnLastWindowClosed(false);
}

void OffscreenApplication::TearDown() {
    app_.reset();
    home_.reset();
}

}  // namespace corva::station::test
