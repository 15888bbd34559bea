#include "pacedsender.h"
#include "portselection.h"
#include "ptydevice.h"
#include "serialcontrol.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QThread>
#include <chrono>
#include <memory>
#include <vector>

// The upload stream as the device receives it, driven tick by tick or by the real timer.
class TestPacedSender : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void uploadStream_data();
    void uploadStream();
    void realTimerPacesTheUpload();
    void stalledLoopDelaysTheBytesAfterIt();
    void schedule_data();
    void schedule();
    void sendWithNoPortOpen();
    void byteDueWhileConnectingGoesOutWhenReady();
    void deviceVanishes_data();
    void deviceVanishes();

private:
    // Ticks until the upload ends, as the timer would.
    int tickToEnd();
    std::unique_ptr<PtyDevice> m_device;
    std::unique_ptr<SerialControl> m_comm;
    std::unique_ptr<PacedSender> m_sender;
};

void TestPacedSender::init()
{
    m_device = std::make_unique<PtyDevice>();
    m_comm = std::make_unique<SerialControl>();
    m_sender = std::make_unique<PacedSender>(*m_comm);
    Serial::selectPort(*m_comm, QStringLiteral("1"), hostWith({m_device->path()}));
}

void TestPacedSender::cleanup()
{
    m_sender.reset();
    m_comm.reset();
    m_device.reset();
}

int TestPacedSender::tickToEnd()
{
    int ticks = 0;
    while (m_sender->isSending() && ticks < 1000) {
        m_sender->sendNextChar();
        ++ticks;
    }
    return ticks;
}

void TestPacedSender::uploadStream_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty") << QString() << QByteArray("\x0d");
    QTest::newRow("one pause") << QStringLiteral("$") << QByteArray("\x0b\x0d");
    QTest::newRow("pause inside") << QStringLiteral("A$B") << QByteArray("\x41\x0b\x42\x0d");
    QTest::newRow("two lines") << QStringLiteral("AB\r\nC") << QByteArray("AB\r\nC\r");
    QTest::newRow("blanks and tab kept") << QStringLiteral(" a\tb ") << QByteArray(" a\tb \r");
    QTest::newRow("e acute") << QStringLiteral("\u00e9") << QByteArray("\xe9\x0d");
    QTest::newRow("euro") << QStringLiteral("\u20ac") << QByteArray("\x80\x0d");
    QTest::newRow("omega has no byte") << QStringLiteral("\u03a9") << QByteArray("?\x0d");
    QTest::newRow("emoji is two characters")
        << QStringLiteral("\U0001F600") << QByteArray("??\x0d");
    QTest::newRow("full") << QString(124, u'x') << QByteArray(124, 'x') + QByteArray("\x0d");
}

void TestPacedSender::uploadStream()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    m_sender->startUpload(text);
    QVERIFY(m_sender->isSending());
    QCOMPARE(m_device->take(), QByteArray()); // nothing at the click itself

    QCOMPARE(tickToEnd(), bytes.size());
    QCOMPARE(m_device->take(), bytes);
    QVERIFY(!m_sender->isSending());
    QCOMPARE(m_sender->nextCharPos(), bytes.size() + 1);
    QCOMPARE(m_sender->pendingMessage(), text + u'\r'); // "$" kept, translated on the way
}

void TestPacedSender::realTimerPacesTheUpload()
{
    const auto *timer1 = m_sender->findChild<QTimer *>(QStringLiteral("Timer1"));
    QVERIFY(timer1);
    QCOMPARE(timer1->interval(), 100);
    QCOMPARE(timer1->timerType(), Qt::PreciseTimer);

    QSignalSpy progress(m_sender.get(), &PacedSender::progressed);
    QVERIFY(progress.isValid());
    m_sender->startUpload(QStringLiteral("A$"));
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += m_device->take()).size() == 3, 5000);
    QCOMPARE(received, QByteArray("A\x0b\x0d"));
    QTRY_VERIFY(!m_sender->isSending());
    QCOMPARE(progress.count(), 4); // at Send and after each byte
    QCOMPARE(progress.last(), (QVariantList{3, 3}));
}

void TestPacedSender::stalledLoopDelaysTheBytesAfterIt()
{
    // The event loop stalls after the second byte (a large paste, a box opening): the third tick
    // comes late, and the fourth must still keep a whole interval from it.
    std::vector<std::chrono::steady_clock::time_point> sentAt;
    connect(m_sender.get(), &PacedSender::progressed, this, [&](int sent) {
        if (sent == 0)
            return;
        sentAt.push_back(std::chrono::steady_clock::now());
        if (sent == 2)
            QThread::msleep(185);
    });
    m_sender->startUpload(QStringLiteral("ABCDE"));
    QTRY_VERIFY_WITH_TIMEOUT(!m_sender->isSending(), 5000);
    QCOMPARE(m_device->take(), QByteArray("ABCDE\r"));
    QCOMPARE(sentAt.size(), size_t(6));
    for (size_t i = 1; i < sentAt.size(); ++i) {
        const auto gap =
            std::chrono::duration_cast<std::chrono::microseconds>(sentAt[i] - sentAt[i - 1]);
        // The clock is read here, after the signal, which a busy machine (wine above all) may
        // hold back for a few ms; a crowded byte would come some 15 ms after the late one.
        QVERIFY2(gap >= std::chrono::milliseconds(100 - 10),
                 qPrintable(QStringLiteral("gap %1 is %2 us").arg(i).arg(gap.count())));
    }
}

void TestPacedSender::schedule_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("resendAt");       // ms after Send when "XY" is sent; -1 never
    QTest::addColumn<QList<double>>("ticks");   // ms after Send when Timer1 fires
    QTest::addColumn<QList<QByteArray>>("out"); // what each tick writes
    QTest::addColumn<QList<int>>("armed");      // Timer1's wait after each tick, ms; -1 off

    QTest::newRow("on time") << QStringLiteral("AB") << -1.0 << QList<double>{100, 200, 300}
                             << QList<QByteArray>{"A", "B", "\r"} << QList<int>{100, 100, -1};
    QTest::newRow("early tick waits out the rest")
        << QStringLiteral("AB") << -1.0 << QList<double>{99.4, 100, 200, 300}
        << QList<QByteArray>{"", "A", "B", "\r"} << QList<int>{0, 100, 100, -1};
    QTest::newRow("early by milliseconds")
        << QStringLiteral("A") << -1.0 << QList<double>{97.5, 99.9, 100, 200}
        << QList<QByteArray>{"", "", "A", "\r"} << QList<int>{2, 0, 100, -1};
    // A late byte moves the schedule: the bytes after it keep a whole interval from it.
    QTest::newRow("late tick delays what follows")
        << QStringLiteral("ABC") << -1.0 << QList<double>{100, 245, 344.9, 345, 445}
        << QList<QByteArray>{"A", "B", "", "C", "\r"} << QList<int>{100, 100, 0, 100, -1};
    QTest::newRow("a fraction late is late")
        << QStringLiteral("AB") << -1.0 << QList<double>{100.3, 200, 200.3, 300.3}
        << QList<QByteArray>{"A", "", "B", "\r"} << QList<int>{100, 0, 100, -1};
    // The new upload's first byte comes when the old upload's next byte was due, not an
    // interval after the click.
    QTest::newRow("Send during an upload keeps the schedule")
        << QStringLiteral("ABC") << 150.0 << QList<double>{100, 200, 300, 400}
        << QList<QByteArray>{"A", "X", "Y", "\r"} << QList<int>{100, 100, 100, -1};
}

void TestPacedSender::schedule()
{
    QFETCH(QString, text);
    QFETCH(double, resendAt);
    QFETCH(QList<double>, ticks);
    QFETCH(QList<QByteArray>, out);
    QFETCH(QList<int>, armed);

    // The test is the clock; the timer is only looked at, never waited for.
    using Clock = PacedSender::Clock;
    const Clock::time_point clicked = Clock::time_point() + std::chrono::hours(1);
    Clock::time_point now = clicked;
    const auto at = [&](double ms) {
        return clicked +
               std::chrono::round<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
    };
    PacedSender sender(*m_comm, [&now] { return now; });
    const auto *timer1 = sender.findChild<QTimer *>(QStringLiteral("Timer1"));
    QVERIFY(timer1);

    sender.startUpload(text);
    QVERIFY(timer1->isActive());
    QCOMPARE(timer1->interval(), 100);
    for (qsizetype i = 0; i < ticks.size(); ++i) {
        if (resendAt >= 0 && ticks[i] > resendAt && now < at(resendAt)) {
            now = at(resendAt);
            sender.startUpload(QStringLiteral("XY"));
        }
        now = at(ticks[i]);
        sender.tick();
        const QString where = QStringLiteral("tick at %1 ms").arg(ticks[i]);
        QVERIFY2(m_device->take() == out[i], qPrintable(where));
        QVERIFY2((timer1->isActive() ? timer1->interval() : -1) == armed[i],
                 qPrintable(QStringLiteral("%1: armed %2 ms").arg(where).arg(timer1->interval())));
    }
}

void TestPacedSender::sendWithNoPortOpen()
{
    m_comm->setPortOpen(false);
    QSignalSpy failed(m_sender.get(), &PacedSender::failed);
    QVERIFY(failed.isValid());
    m_sender->startUpload(QStringLiteral("AB"));
    m_sender->sendNextChar();
    QVERIFY(!m_sender->isSending());
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.first().first().toString(), QStringLiteral("no serial port is open"));
    QCOMPARE(m_sender->nextCharPos(), 1); // the byte that failed is not counted as sent
    QCOMPARE(m_device->take(), QByteArray());
}

void TestPacedSender::byteDueWhileConnectingGoesOutWhenReady()
{
    // The byte waits for the port on the network, then goes out the moment it is ready, not at
    // the timer's next look an interval later.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    PacedSender::Clock::time_point now{};
    PacedSender sender(*m_comm, [&now] { return now; });
    Serial::selectPort(*m_comm, QStringLiteral("socket://127.0.0.1:%1").arg(server.serverPort()),
                       {});
    QVERIFY(m_comm->portOpening());
    sender.startUpload(QStringLiteral("A"));
    now += std::chrono::seconds(1);
    int sentWhenReady = -1;
    connect(m_comm.get(), &SerialControl::portOpened, this,
            [&] { sentWhenReady = sender.nextCharPos() - 1; });
    QTRY_VERIFY(sentWhenReady >= 0);
    QCOMPARE(sentWhenReady, 1);
}

void TestPacedSender::deviceVanishes_data()
{
    QTest::addColumn<bool>("atTick"); // found by the next byte's write, else by the port itself

    QTest::newRow("at a tick") << true;
    QTest::newRow("between ticks") << false;
}

void TestPacedSender::deviceVanishes()
{
    QFETCH(bool, atTick);

    QSignalSpy failed(m_sender.get(), &PacedSender::failed);
    QSignalSpy lost(m_comm.get(), &SerialControl::portLost);
    QVERIFY(failed.isValid() && lost.isValid());
    m_sender->startUpload(QStringLiteral("ABCDE"));
    m_sender->sendNextChar();
    m_sender->sendNextChar();
    QCOMPARE(m_device->take(), QByteArray("AB"));

    m_device->unplug();
    if (atTick)
        m_sender->sendNextChar();
    QTRY_COMPARE(failed.count(), 1);
    QVERIFY(!m_sender->isSending());
    QVERIFY(!m_comm->portOpen());
    QCOMPARE(failed.first().first().toString(),
             QStringLiteral("port 1 (%1) was disconnected").arg(m_device->path()));
    QCOMPARE(m_sender->nextCharPos(), 3);

    // One loss, told once: the closed port stays quiet.
    QTest::qWait(250);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(lost.count(), 1);
}

QTEST_GUILESS_MAIN(TestPacedSender)
#include "tst_pacedsender.moc"
