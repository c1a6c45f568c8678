#include "app/startup.h"

#include <QApplication>
#include <QDialog>
#include <QScreen>
#include <QTimer>

#include "core/error.h"
#include "log/error_log.h"
#include "app/main_form.h"
#include "common/operator_seam.h"
#include "app/splash_form.h"
#include "config/option_form.h"
#include "settings/settings.h"

namespace corva::station {

bool screenLargeEnough(const QSize& screen) {
    return screen.width() >= MinimumScreen.width() && screen.height() >= MinimumScreen.height();
}

std::unique_ptr<QDialog> makeStartupOptions(QWidget*) {
    return std::make_unique<config::OptionForm>();
}

Startup::Startup(QObject* parent) : QObject(parent), optionsFactory_(makeStartupOptions) {}

Startup::~Startup() = default;

bool Startup::begin() {
    splash_ = std::make_unique<SplashForm>();
    connect(splash_->Timer1(), &QTimer::timeout, this, &Startup::splashTimer);
    // A click on the frame closes the splash once the start has gone on; earlier it
    // would end the program before any window opened.
    connect(splash_.get(), &SplashForm::frameClicked, this, [this] {
        if (timerRan_ && splash_) splash_->close();
    });
    splash_->show();
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize size = screen ? screen->size() : QSize();
    if (!screenLargeEnough(size)) {
        op().message(QString("ATTENTION!") + "\r\n" + "A screen resolution of 1024x768 pixel is " +
                         "required for this application!",
                     {}, MsgIcon::None, MsgButtons::OK);
        splash_->close();
        emit ended();
        return false;
    }
    splash_->Timer1()->start();
    return true;
}

void Startup::splashTimer() {
    if (timerRan_) return;
    timerRan_ = true;
    lock_ = std::make_unique<process::SingleInstanceLock>(InstanceLockKey);
    if (!lock_->acquired()) {
        lock_.reset();
        op().message(QString("Your can only run one instance of '") + "Corvalight" + "'", "Corvalight",
                     MsgIcon::Information, MsgButtons::OK);
        splash_->close();
        emit ended();
        return;
    }
    splash_->setCursor(Qt::WaitCursor);
    splash_->repaint();
    int code = 0;
    std::string text;
    try {
        main_ = std::make_unique<MainForm>();
        connect(main_.get(), &MainForm::programEnds, this, &Startup::ended);
        main_->Form_Load();
        const std::string activeBefore = settings::current().filterActive;
        options_ = optionsFactory_(main_.get());
        // OK of the options window has saved the settings; either way the main window shows.
        connect(options_.get(), &QDialog::finished, this, [this, activeBefore](int) {
            if (main_) {
                main_->optionsClosed(activeBefore);  // as after the options window from the menu
                main_->show();
                emit mainShown();
            }
        });
        options_->show();
        splash_->unsetCursor();
        splash_->close();
        return;
    } catch (const Error& e) {
        code = e.code();
        text = e.message();
    } catch (const std::exception& e) {
        code = errc::Generic;
        text = e.what();
    }
    // Without its windows the program cannot go on: say why, log it, and end.
    splash_->unsetCursor();
    showError(code, QString::fromStdString(text));
    log::LogError(code, text, "Splash_Timer");
    options_.reset();
    main_.reset();
    splash_->close();
    emit ended();
}

}  // namespace corva::station
