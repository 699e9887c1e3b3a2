#pragma once

class QCoreApplication;

// SIGINT and SIGTERM quit the application through its event loop, so the program's normal
// shutdown path runs. False when the signal channel could not be set up.
bool quitOnTerminationSignals(QCoreApplication &app);
