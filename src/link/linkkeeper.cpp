#include "linkkeeper.h"

#include "portsharing.h"

#include <QTimer>

#include <utility>

LinkKeeper::LinkKeeper(SerialLink &link, QSettings *memory, QObject *parent)
    : QObject(parent), link(link), memory(memory), retry_timer(new QTimer(this))
{
    retry_timer->setSingleShot(true);
    retry_timer->setTimerType(Qt::PreciseTimer);
    connect(retry_timer, &QTimer::timeout, this, &LinkKeeper::reopen);
    connect(&link, &SerialLink::readNothing, this, &LinkKeeper::noticeOtherReader);
}

bool LinkKeeper::open(const LinkChoice &choice)
{
    close();
    chosen = choice;
    if (!link.open(chosen.port, chosen.baud.value_or(0)))
        return false;
    opened(identityOf(chosen.port));
    return true;
}

void LinkKeeper::keep(const LinkChoice &choice)
{
    close();
    chosen = choice;
    kept = true;
    // Asked just now: no need to wait as a retry would.
    last_attempt.invalidate();
    setState(State::Waiting);
    reopen();
}

void LinkKeeper::close()
{
    kept = false;
    retry_timer->stop();
    link.close();
    setState(State::Closed);
}

void LinkKeeper::setPorts(const QList<SerialPortEntry> &ports)
{
    this->ports = ports;
    learnBoard();
    reopen();
}

bool LinkKeeper::handleError(QSerialPort::SerialPortError error)
{
    if (current != State::Open || !link.isDeviceLoss(error))
        return false;
    link.close();
    if (!kept) {
        setState(State::Closed);
        return true;
    }
    // The device is gone for now: the next try waits like any retry.
    last_attempt.start();
    setState(State::Lost);
    retry_timer->start(RetryInterval);
    return true;
}

void LinkKeeper::reopen()
{
    if (!kept || current == State::Open)
        return;
    const int index = indexOfPort(ports, chosen.port);
    const BoardIdentity seen = index >= 0 ? ports.at(index).identity : BoardIdentity();
    // A device just plugged in may not be described yet: wait for it.
    if (index < 0 || (chosen.board.isKnown() && !seen.isKnown())) {
        setState(current == State::Lost ? State::Lost : State::Waiting);
        return;
    }
    if (!isSameBoard(chosen.board, seen)) {
        setState(State::OtherDevice);
        return;
    }
    const qint64 waited = last_attempt.isValid() ? last_attempt.elapsed() : RetryInterval;
    if (waited < RetryInterval) {
        retry_timer->start(static_cast<int>(RetryInterval - waited));
        return;
    }
    attempt(ports.at(index));
}

void LinkKeeper::attempt(const SerialPortEntry &port)
{
    last_attempt.start();
    if (link.open(chosen.port, chosen.baud.value_or(0))) {
        opened(port.identity);
        return;
    }
    open_failure = link.errorString();
    setState(State::Failing);
    retry_timer->start(RetryInterval);
}

void LinkKeeper::opened(const BoardIdentity &board)
{
    other_reader_told = false;
    remember(board);
    setState(State::Open);
}

void LinkKeeper::remember(const BoardIdentity &board)
{
    chosen.board = board;
    if (memory)
        rememberLinkChoice(*memory, chosen);
}

// A board opened the moment it appeared (a service that starts as root, an
// --open that wins the race with udev) is not described yet: it is known
// from the first listing that describes it, or any device under its name
// would be taken for it from then on.
void LinkKeeper::learnBoard()
{
    if (current != State::Open || chosen.board.isKnown())
        return;
    const BoardIdentity seen = identityOf(chosen.port);
    if (seen.isKnown())
        remember(seen);
}

void LinkKeeper::noticeOtherReader()
{
    if (current != State::Open || std::exchange(other_reader_told, true))
        return;
    const QStringList others = otherProgramsWith(link.devicePath());
    const QString who = others.isEmpty() ? tr("Another program") : others.join(QLatin1String(", "));
    emit notice(tr("%1 is also reading %2; some input may be lost").arg(who, link.portName()));
}

BoardIdentity LinkKeeper::identityOf(const QString &port) const
{
    const int index = indexOfPort(ports, port);
    return index >= 0 ? ports.at(index).identity : BoardIdentity();
}

void LinkKeeper::setState(State state)
{
    const QString before = describe();
    const State previous = std::exchange(current, state);
    if (state != previous || describe() != before)
        emit stateChanged(state);
}

QString LinkKeeper::describe() const
{
    switch (current) {
    case State::Closed:
        break;
    case State::Open:
        return tr("Reading %1 at %2 baud").arg(link.portName()).arg(link.baudRate());
    case State::Waiting:
        return tr("Waiting for %1").arg(chosen.port);
    case State::Lost:
        return tr("Lost %1 (reopening)").arg(chosen.port);
    case State::Failing:
        return tr("%1: %2 (retrying)").arg(chosen.port, open_failure);
    case State::OtherDevice:
        return tr("%1 is now another device").arg(chosen.port);
    }
    return tr("Closed");
}
