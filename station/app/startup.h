#pragma once
// The start of Corvalight: the splash checks the screen, its timer refuses a second
// running copy, loads the main window hidden and shows the start-up options window;
// the main window is shown when that window closes.
#include <QObject>
#include <QPointer>
#include <QSize>
#include <functional>
#include <memory>

#include "process/process.h"

class QDialog;
class QWidget;

namespace corva::station {

class MainForm;
class SplashForm;

// The smallest screen the windows fit on.
inline constexpr QSize MinimumScreen{1024, 768};
bool screenLargeEnough(const QSize& screen);

// The lock that keeps one running copy per user.
inline constexpr const char* InstanceLockKey = "Corvalight";

class Startup : public QObject {
    Q_OBJECT
public:
    // Creates the start-up options window; by default the options window OptionForm.
    using OptionsFactory = std::function<std::unique_ptr<QDialog>(QWidget* mainWindow)>;

    explicit Startup(QObject* parent = nullptr);
    ~Startup() override;

    void setOptionsFactory(OptionsFactory f) { optionsFactory_ = std::move(f); }

    // Shows the splash and checks the screen. False when the screen is refused: the
    // message was shown and ended() emitted.
    bool begin();
    // The splash timer's work (also run by the timer).
    void splashTimer();

    MainForm* mainForm() const { return main_.get(); }
    SplashForm* splash() const { return splash_.get(); }
    QDialog* optionsWindow() const { return options_.get(); }

signals:
    // The program ends: no window is left.
    void ended();
    // The main window was shown.
    void mainShown();

private:
    OptionsFactory optionsFactory_;
    std::unique_ptr<SplashForm> splash_;
    std::unique_ptr<process::SingleInstanceLock> lock_;
    std::unique_ptr<MainForm> main_;
    std::unique_ptr<QDialog> options_;
    bool timerRan_ = false;
};

// The start-up options window: OptionForm.
std::unique_ptr<QDialog> makeStartupOptions(QWidget* mainWindow);

}  // namespace corva::station
