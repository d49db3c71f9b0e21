#include "eventline.h"

#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <climits>
#include <optional>
#include <string>
#include <vector>

Q_DECLARE_METATYPE(std::optional<EventLine>)

namespace {

std::optional<EventLine> mouse(int event, int arg1 = 0, int arg2 = 0)
{
    return EventLine{MOUSE, event, arg1, arg2};
}

std::optional<EventLine> key(int event, int code)
{
    return EventLine{KEYBOARD, event, code, 0};
}

std::optional<EventLine> text(std::u32string_view characters)
{
    EventLine line{TEXT, 0};
    for (const char32_t character : characters)
        line.text.append(character);
    return line;
}

// The toolkit's reading of a line, for lines whose fields are all integers:
// the rules the decoder must keep for every such line.
std::optional<EventLine> referenceDecode(const QByteArray &raw)
{
    const QStringList fields = QString::fromUtf8(raw.trimmed()).split(QLatin1Char(' '));
    QVector<int> values;
    for (const QString &field : fields) {
        bool ok = false;
        values.append(field.toInt(&ok, 10));
        if (!ok)
            return std::nullopt;
    }
    const qsizetype n = values.size();
    if (n < 2)
        return std::nullopt;
    if (values[0] == KEYBOARD)
        return n < 3 ? std::nullopt : key(values[1] == 0 ? PRESS : RELEASE, values[2]);
    if (values[0] == TEXT) {
        std::optional<EventLine> line = text({});
        for (qsizetype i = 1; i < n; ++i) {
            if (values[i] < 0 || !isTypableCharacter(values[i]))
                return std::nullopt;
            line->text.append(static_cast<char32_t>(values[i]));
        }
        return line;
    }
    if (values[0] != MOUSE)
        return std::nullopt;
    const int event = values[1];
    if ((event == MOVE || event == POSITION) && n == 4)
        return mouse(event, values[2], values[3]);
    if ((event == SCROLL || event == HORIZONTAL_SCROLL) && n == 3)
        return mouse(event, values[2]);
    if (event >= RIGHT_PRESS && event <= FORWARD_RELEASE && event != SCROLL && event != POSITION && event != MOVE)
        return mouse(event);
    return std::nullopt;
}

QStringList framedLines(LineFramer &framer, const QByteArray &bytes)
{
    QStringList lines;
    framer.feed(std::string_view(bytes.constData(), bytes.size()),
                [&](std::string_view line) { lines << QString::fromLatin1(line.data(), line.size()); });
    return lines;
}

} // namespace

class TestEventLine : public QObject
{
    Q_OBJECT

private slots:
    void decodes_data();
    void decodes();
    void keepsTheToolkitsRulesForIntegerLines();
    void framesLinesAcrossDeliveries();
    void dropsOverlongLinesWhole();
};

void TestEventLine::decodes_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<std::optional<EventLine>>("expected");
    const std::optional<EventLine> none;

    QTest::newRow("relative move") << QByteArray("0 8 10 -5") << mouse(MOVE, 10, -5);
    QTest::newRow("absolute move") << QByteArray("0 7 0 0") << mouse(POSITION, 0, 0);
    QTest::newRow("wheel away") << QByteArray("0 6 120") << mouse(SCROLL, 120);
    QTest::newRow("wheel towards") << QByteArray("0 6 -240") << mouse(SCROLL, -240);
    QTest::newRow("each button") << QByteArray("0 5") << mouse(MIDDLE_RELEASE);
    QTest::newRow("extra field on a button") << QByteArray("0 2 999") << mouse(LEFT_PRESS);
    QTest::newRow("key down") << QByteArray("1 0 65") << key(PRESS, 65);
    QTest::newRow("key up") << QByteArray("1 1 65") << key(RELEASE, 65);
    QTest::newRow("any other key event is up") << QByteArray("1 7 65") << key(RELEASE, 65);
    QTest::newRow("extra field on a key") << QByteArray("1 0 13 4") << key(PRESS, 13);
    // Fields past the ones a button or key line uses may hold anything.
    QTest::newRow("text after a button") << QByteArray("0 2 abc") << mouse(LEFT_PRESS);
    QTest::newRow("text after a key") << QByteArray("1 0 65 note") << key(PRESS, 65);
    QTest::newRow("empty fields after a key") << QByteArray("1 1 65  x  ") << key(RELEASE, 65);
    QTest::newRow("CR LF") << QByteArray("0 2\r\n") << mouse(LEFT_PRESS);
    QTest::newRow("surrounding white space") << QByteArray(" \t0 7 5 6 \f") << mouse(POSITION, 5, 6);
    QTest::newRow("signs and zeros") << QByteArray("+0 08 -0 +7") << mouse(MOVE, 0, 7);
    QTest::newRow("32-bit limits") << QByteArray("0 7 2147483647 -2147483648")
                                   << mouse(POSITION, INT_MAX, INT_MIN);

    QTest::newRow("wheel with four fields") << QByteArray("0 6 120 1") << none;
    QTest::newRow("move with three fields") << QByteArray("0 8 10") << none;
    QTest::newRow("position with five fields") << QByteArray("0 7 5 5 5") << none;
    QTest::newRow("back and forward buttons") << QByteArray("0 12 x") << mouse(FORWARD_RELEASE);
    QTest::newRow("horizontal wheel") << QByteArray("0 13 -60") << mouse(HORIZONTAL_SCROLL, -60);
    QTest::newRow("horizontal wheel with two fields") << QByteArray("0 13") << none;
    QTest::newRow("unknown mouse event") << QByteArray("0 14") << none;
    QTest::newRow("text") << QByteArray("2 72 105 9 10 8364 128512") << text(U"Hi\t\n€😀");
    QTest::newRow("text, signs and zeros") << QByteArray("02 +065 0160") << text(U"A\u00a0");
    QTest::newRow("text naming nothing") << QByteArray("2") << none;
    QTest::newRow("text with a control character") << QByteArray("2 65 13") << none;
    QTest::newRow("text with DEL") << QByteArray("2 65 127") << none;
    QTest::newRow("text with a C1 control") << QByteArray("2 65 159") << none;
    QTest::newRow("text with a surrogate") << QByteArray("2 55357 56832") << none;
    QTest::newRow("text beyond Unicode") << QByteArray("2 1114112") << none;
    QTest::newRow("text, negative") << QByteArray("2 -65") << none;
    QTest::newRow("text with a word") << QByteArray("2 65 B") << none;
    QTest::newRow("text with an empty field") << QByteArray("2 65  66") << none;
    QTest::newRow("negative mouse event") << QByteArray("0 -1") << none;
    QTest::newRow("unknown device") << QByteArray("3 0 0") << none;
    QTest::newRow("one field") << QByteArray("0") << none;
    QTest::newRow("empty") << QByteArray("") << none;
    QTest::newRow("only white space") << QByteArray(" \r\n") << none;
    QTest::newRow("keyboard line naming no key") << QByteArray("1 0") << none;

    // Text that is not numbers must never become input, whatever the toolkit
    // would read into it: these all used to press the right button or a key.
    QTest::newRow("words") << QByteArray("hello world") << none;
    QTest::newRow("boot banner") << QByteArray("Booting v1.2 ...") << none;
    QTest::newRow("double space") << QByteArray("0  2") << none;
    QTest::newRow("letter as event") << QByteArray("1 x 65") << none;
    QTest::newRow("letters in the key field") << QByteArray("1 0 a") << none;
    QTest::newRow("letters in a move") << QByteArray("0 8 5 x") << none;
    QTest::newRow("letters in a wheel amount") << QByteArray("0 6 1e3") << none;
    QTest::newRow("beyond 32 bits") << QByteArray("0 7 2147483648 0") << none;
    QTest::newRow("below 32 bits") << QByteArray("0 8 -2147483649 0") << none;
    QTest::newRow("huge digits") << QByteArray("0 7 99999999999999999999999 1") << none;
    QTest::newRow("bare sign") << QByteArray("0 - 1") << none;
    QTest::newRow("hex") << QByteArray("0 0x2") << none;
    QTest::newRow("tab between fields") << QByteArray("0\t2") << none;
    QTest::newRow("tab beside the space") << QByteArray("0\t 2") << none;
    QTest::newRow("CR inside a line") << QByteArray("1 0 \r65") << none;
    QTest::newRow("trailing junk") << QByteArray("0 2x") << none;
    QTest::newRow("NUL byte") << QByteArray("0 2\0", 4) << none;
    QTest::newRow("high bytes") << QByteArray("0 \xff\xfe") << none;
}

void TestEventLine::decodes()
{
    QFETCH(QByteArray, line);
    QFETCH(std::optional<EventLine>, expected);
    const auto decoded = decodeEventLine(std::string_view(line.constData(), line.size()));
    QCOMPARE(decoded.has_value(), expected.has_value());
    // A reason is given for every line ignored, and only for those.
    QCOMPARE(explainIgnoredLine(std::string_view(line.constData(), line.size())).empty(), expected.has_value());
    if (expected)
        QVERIFY(*decoded == *expected);
}

void TestEventLine::keepsTheToolkitsRulesForIntegerLines()
{
    // Random lines of integers, decoded both ways, must agree exactly.
    QRandomGenerator random(20261207);
    const QList<QByteArray> pieces = {"0", "1", "2", "6", "7", "8", "-3", "+4", "65", "2147483647",
                                      "-2147483648", "009", "9", "10", "11", "13", "127", "160"};
    for (int i = 0; i < 20000; ++i) {
        QByteArray line;
        const int count = random.bounded(1, 7);
        for (int f = 0; f < count; ++f) {
            if (f)
                line += ' ';
            line += pieces.at(random.bounded(pieces.size()));
        }
        const auto decoded = decodeEventLine(std::string_view(line.constData(), line.size()));
        const auto reference = referenceDecode(line);
        QVERIFY2(decoded.has_value() == reference.has_value(), line.constData());
        QVERIFY2(explainIgnoredLine(std::string_view(line.constData(), line.size())).empty() == decoded.has_value(),
                 line.constData());
        if (reference)
            QVERIFY2(*decoded == *reference, line.constData());
    }
}

void TestEventLine::framesLinesAcrossDeliveries()
{
    LineFramer framer;
    QCOMPARE(framedLines(framer, "0 8 1"), QStringList());
    QCOMPARE(framedLines(framer, "0 -5\n0 2\r\n1 0"), QStringList({"0 8 10 -5", "0 2\r"}));
    QCOMPARE(framedLines(framer, " 65\n\n"), QStringList({"1 0 65", ""}));
    QCOMPARE(framedLines(framer, ""), QStringList());
}

void TestEventLine::dropsOverlongLinesWhole()
{
    LineFramer framer;
    const QByteArray longest(LineFramer::MaxLineLength, 'x');
    QCOMPARE(framedLines(framer, longest + "\n"), QStringList({QString(longest)}));

    // Too long in one piece, and too long across pieces with no line feed for
    // a long time: nothing of it comes out, and the next line is whole.
    QCOMPARE(framedLines(framer, longest + "y\n0 2\n"), QStringList({"0 2"}));
    QCOMPARE(framedLines(framer, "0 7 1 1"), QStringList());
    for (int i = 0; i < 10000; ++i)
        QCOMPARE(framedLines(framer, QByteArray(100, '7')), QStringList());
    QCOMPARE(framedLines(framer, "\n0 3\n"), QStringList({"0 3"}));

    QCOMPARE(framedLines(framer, QByteArray(200, 'x')), QStringList());
    QCOMPARE(framedLines(framer, QByteArray(57, 'x') + "\n1 1 65\n"), QStringList({"1 1 65"}));
}

QTEST_APPLESS_MAIN(TestEventLine)
#include "tst_eventline.moc"
