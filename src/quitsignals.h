#pragma once

#include <functional>

class MainWindow;
class QObject;

// Calls stop and ends the program when it is told to stop (SIGTERM, SIGINT or
// SIGHUP on Unix; a signal ignored at start stays ignored), for as long as
// context lives.
void stopOnQuitSignals(QObject *context, const std::function<void()> &stop);

// Closes the window, which releases whatever the board holds, and ends the
// program when it is told to stop (SIGTERM, SIGINT or SIGHUP on Unix). When
// the desktop session is about to end, closes the link and releases
// everything, but keeps running: the user may cancel the logout.
void closeOnQuitRequests(MainWindow *window);
