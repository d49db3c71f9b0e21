// The line trace without a window: what the board sent, as received, and
// what it did or the rule that made it ignored.

#include "linetrace.h"

#include <QtTest>

#include <cstdio>

class TestLineTrace : public QObject
{
    Q_OBJECT

private slots:
    void tracesEachLineWithWhatItDid_data();
    void tracesEachLineWithWhatItDid();
};

void TestLineTrace::tracesEachLineWithWhatItDid_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("traced");
    QTest::newRow("move") << QByteArray("0 8 10 -5\r\n") << R"("0 8 10 -5\r" move by 10,-5)";
    QTest::newRow("place") << QByteArray("0 7 100 20\n") << R"("0 7 100 20" place at 100,20)";
    QTest::newRow("key") << QByteArray("1 0 65\n") << R"("1 0 65" press key 65)";
    QTest::newRow("key up") << QByteArray("1 1 65 x\n") << R"("1 1 65 x" release key 65)";
    QTest::newRow("text") << QByteArray("2 72 105\n") << R"("2 72 105" type 2 characters)";
    QTest::newRow("button") << QByteArray("0 2\n") << R"("0 2" left button down)";
    QTest::newRow("forward up") << QByteArray("0 12\n") << R"("0 12" forward button up)";
    QTest::newRow("wheel") << QByteArray("0 13 -120\n") << R"("0 13 -120" horizontal wheel -120)";
    QTest::newRow("device") << QByteArray("3 0\n") << R"("3 0" ignored: unknown device 3)";
    QTest::newRow("not a number") << QByteArray("0 8 1x 2\n") << R"("0 8 1x 2" ignored: field 3 is not a number)";
    QTest::newRow("wheel fields") << QByteArray("0 6 120 1\n")
                                  << R"("0 6 120 1" ignored: wheel needs exactly 3 fields)";
    QTest::newRow("untypable") << QByteArray("2 72 13\n") << R"("2 72 13" ignored: character 13 cannot be typed)";
    QTest::newRow("one field") << QByteArray("0\n") << R"("0" ignored: fewer than 2 fields)";
    QTest::newRow("empty") << QByteArray("\r\n") << R"("\r" ignored: empty line)";
    QTest::newRow("mouse event") << QByteArray("0 14\n") << R"("0 14" ignored: unknown mouse event 14)";
    QTest::newRow("key alone") << QByteArray("1 0\n") << R"("1 0" ignored: key needs 3 fields)";
    QTest::newRow("bytes") << QByteArray("\xff\x01\t\"\\ 0\n")
                           << R"("\xff\x01\t\"\\ 0" ignored: field 1 is not a number)";
    QTest::newRow("overlong") << QByteArray(300, '1') + "\n" << "... ignored: line longer than 256 bytes";
}

void TestLineTrace::tracesEachLineWithWhatItDid()
{
    QFETCH(QByteArray, sent);
    QFETCH(QString, traced);
    std::FILE *out = std::tmpfile();
    QVERIFY(out);
    {
        LineTrace trace(out);
        LineFramer framer;
        framer.feed(
            std::string_view(sent.constData(), sent.size()),
            [&](std::string_view line) { trace.traceLine(line, decodeEventLine(line)); },
            [&] { trace.traceDroppedLine(); });
    }
    std::rewind(out);
    char text[512] = {};
    const std::size_t size = std::fread(text, 1, sizeof text - 1, out);
    std::fclose(out);
    // Milliseconds since start, then the line.
    const QString written = QString::fromLatin1(text, static_cast<qsizetype>(size));
    QVERIFY2(written.contains(QRegularExpression(QStringLiteral("^ *\\d+\\.\\d{3} "))), qPrintable(written));
    QCOMPARE(written.mid(11), traced + '\n');
}

QTEST_GUILESS_MAIN(TestLineTrace)
#include "tst_linetrace.moc"
