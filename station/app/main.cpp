// Corvalight: the operator's program. Starts with the splash, which checks the screen
// and the running copies, loads the main window and shows the options window first.
#include <QApplication>

#include "app/startup.h"
#include "viewer/loaded_image.h"
#include "process/private_files.h"

int main(int argc, char** argv) {
    corva::process::usePrivateFileModes();  // patient data: for the station's user and group only
    QApplication app(argc, argv);
    QApplication::setApplicationName("Corvalight");
    // Made after the application object and ended before it: the decodes finish first.
    corva::station::DecodePoolOwner decoding;
    corva::station::Startup startup;
    bool ended = false;
    QObject::connect(&startup, &corva::station::Startup::ended, &app, [&] {
        ended = true;
        QCoreApplication::exit(0);
    });
    if (!startup.begin() || ended) return 0;
    return QApplication::exec();
}
