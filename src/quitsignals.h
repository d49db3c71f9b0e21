#pragma once

class QWidget;

// Closes the window, which releases whatever the board holds, and ends the
// program when it is told to stop: SIGTERM, SIGINT or SIGHUP on Unix, or the
// desktop session ending.
void closeOnQuitRequests(QWidget *window);
