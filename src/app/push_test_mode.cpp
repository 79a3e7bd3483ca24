#include <QCoreApplication>
#include <cstdio>

#include "app/desktop_modes.h"
#include "app/push_sender.h"

namespace quillon::app {

int runPushTest(const cli::Command& command) {
    // No display is needed: a console application object runs the network's event loop.
    int argc = 1;
    char name[] = "quillon";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    bool finished = false;
    Push::send(command.value, Push::testTitle, Push::testBody, [&finished](std::optional<std::string> error) {
        std::printf("%s\n", error ? error->c_str() : "sent");
        std::fflush(stdout);
        finished = true;
        QCoreApplication::quit();
    });
    // An address refused before any network activity has already been reported.
    if (!finished) app.exec();
    return 0;
}

} // namespace quillon::app
