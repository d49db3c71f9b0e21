// The link while a second program reads the board's port too, as a serial
// monitor or ModemManager probing a new device does: some reads then find
// nothing, and none of them may be taken for the board going away.
//
// Prints rows for scripts/bench ("key<TAB>unit<TAB>value"): the losses the
// link saw, which are all false; the reads that found nothing, each of
// which was taken for a loss before; and the share of lines it still read.

#include "link/linkkeeper.h"
#include "pseudoterminal.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4;
    PluggableBoard board;
    board.plugIn();
    SerialLink link;
    LinkKeeper keeper(link);
    long long linesRead = 0;
    int losses = 0;
    int emptyReads = 0;
    QObject::connect(&link, &SerialLink::readNothing, [&] { ++emptyReads; });
    QObject::connect(&link, &SerialLink::errorOccurred, &keeper, &LinkKeeper::handleError);
    QObject::connect(&link, &SerialLink::readyRead,
                     [&] { link.readLines([&](std::string_view) { ++linesRead; }); });
    QObject::connect(&keeper, &LinkKeeper::stateChanged,
                     [&](LinkKeeper::State state) { losses += state == LinkKeeper::State::Lost; });
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, [&, list = board.lister()] { keeper.setPorts(list()); });
    refresh.start(50);
    keeper.keep({board.stableName(), 115200, {}});
    for (QDeadlineTimer deadline(5000); keeper.state() != LinkKeeper::State::Open && !deadline.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (keeper.state() != LinkKeeper::State::Open) {
        std::fprintf(stderr, "bench_sharedport: the link did not open\n");
        return 1;
    }

    QProcess other;
    other.setStandardOutputFile(QProcess::nullDevice());
    // A reader that waits for the port as the link does, so that both wake
    // for every write and one of them finds nothing.
    other.start(QStringLiteral("python3"),
                {QStringLiteral("-c"), QStringLiteral("import os, select, sys\n"
                                                      "fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)\n"
                                                      "while True:\n"
                                                      "    select.select([fd], [], [])\n"
                                                      "    try: os.read(fd, 4096)\n"
                                                      "    except BlockingIOError: pass\n"),
                 board.stableName()});
    if (!other.waitForStarted()) {
        std::fprintf(stderr, "bench_sharedport: python3 did not start\n");
        return 1;
    }
    long long linesSent = 0;
    for (QDeadlineTimer deadline(seconds * 1000); !deadline.hasExpired(); ++linesSent)
        board.send("0 8 1 1\n");
    other.terminate();
    other.waitForFinished();
    std::printf("sharedport.false_losses\tlosses\t%d\n", losses);
    std::printf("sharedport.empty_reads\treads\t%d\n", emptyReads);
    std::printf("sharedport.read_share\t%%\t%.1f\n", 100.0 * static_cast<double>(linesRead) / static_cast<double>(linesSent));
    std::printf("sharedport.open_at_end\tbool\t%d\n", keeper.state() == LinkKeeper::State::Open);
    return 0;
}
