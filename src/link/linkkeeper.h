#pragma once

#include "linkchoice.h"
#include "portlist.h"
#include "seriallink.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>

class QSettings;
class QTimer;

// Opens the link to a board, and when asked to keep it, opens it again
// whenever that board comes back after a reset or a replug: that board and
// no other device that takes its port's name meanwhile.
class LinkKeeper : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Closed,      // neither open nor kept
        Open,        // reading the board
        Waiting,     // kept: the port is not there (yet)
        Lost,        // kept: the board went away while open
        Failing,     // kept: the port is there but does not open
        OtherDevice, // kept: another device has the port's name now
    };
    Q_ENUM(State)

    // A port that does not open is tried again at most this often (ms).
    static constexpr int RetryInterval = 1000;

    // memory: where every link that opens is remembered, or null. Both must
    // outlive the keeper.
    explicit LinkKeeper(SerialLink &link, QSettings *memory = nullptr, QObject *parent = nullptr);

    // Opens choice.port once; a loss closes the link. False when the port
    // does not open: the link's errorString() says why.
    bool open(const LinkChoice &choice);
    // Opens choice.port as soon as it is there, and again after every loss,
    // until close(). Only the board choice names is opened; when choice
    // names none, the first device opened is the one kept, known by the
    // identity the port list gives it, be it only once it is open.
    void keep(const LinkChoice &choice);
    void close();

    // The ports present now, among which the kept board is looked for.
    void setPorts(const QList<SerialPortEntry> &ports);
    // True when error ended the link: the device went away.
    bool handleError(QSerialPort::SerialPortError error);

    State state() const { return current; }
    // Open, or kept open: Close is what the user can do.
    bool isEngaged() const { return current != State::Closed; }
    // The port, rate and board of the link opened or kept last.
    const LinkChoice &choice() const { return chosen; }
    // One short line for the status bar, e.g. "Reading ttyACM0 at 115200 baud".
    QString describe() const;

signals:
    void stateChanged(LinkKeeper::State state);
    // Something the user should hear of once, e.g. that another program
    // also reads the port.
    void notice(const QString &text);

private:
    void reopen();
    void attempt(const SerialPortEntry &port);
    void opened(const BoardIdentity &board);
    void remember(const BoardIdentity &board);
    void learnBoard();
    void noticeOtherReader();
    void setState(State state);
    BoardIdentity identityOf(const QString &port) const;

    SerialLink &link;
    QSettings *memory;
    State current = State::Closed;
    bool kept = false;
    LinkChoice chosen;
    QList<SerialPortEntry> ports;
    QString open_failure;
    bool other_reader_told = false;
    QElapsedTimer last_attempt;
    QTimer *retry_timer;
};
