#include "mainwindow.h"
#include "messageedit.h"
#include "pacedsender.h"
#include "ptydevice.h"
#include "sendsupport.h"

#include <QComboBox>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

// The whole road of an upload as a user takes it: the real window, the virtual RQ204 named by
// its path in the port box, a message typed with real keystrokes and Send clicked.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void uploadReachesTheVirtualDevice();
};

void TestEndToEnd::uploadReachesTheVirtualDevice()
{
    QTemporaryDir scratch;
    QProcess device;
    const QString path = startDevice(device, scratch.filePath(QStringLiteral("port")));
    QVERIFY2(!path.isEmpty(), device.readAllStandardError().constData());

    // No numbered ports: the host's own serial ports are never touched by a test.
    MainWindow window(portsAt({}));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto *selector = window.findChild<QComboBox *>("Combo1")->lineEdit();
    selector->setFocus();
    QTest::keyClicks(selector, path);
    QVERIFY(window.comm().portOpen());

    auto *text1 = window.findChild<MessageEdit *>("Text1");
    text1->setFocus();
    QTest::keyClicks(text1, QStringLiteral("Hi $"));
    QTest::keyClick(text1, Qt::Key_Return);
    QTest::keyClicks(text1, QStringLiteral("there"));
    QTest::mouseClick(window.findChild<QPushButton *>("Command2"), Qt::LeftButton);

    QTRY_VERIFY_WITH_TIMEOUT(device.state() == QProcess::NotRunning, 30000);
    QCOMPARE(device.exitStatus(), QProcess::NormalExit);
    QCOMPARE(device.exitCode(), 0);

    const QJsonObject summary = summaryOf(device.readAllStandardOutput());
    QCOMPARE(summary.value("complete").toBool(), true);
    QCOMPARE(summary.value("bytes").toString(),
             QStringLiteral("48 69 20 0B 0D 0A 74 68 65 72 65 0D"));
    QCOMPARE(summary.value("count").toInt(), 12);
    QCOMPARE(summary.value("baud").toInt(), 2400);
    QCOMPARE(summary.value("stop_bits").toInt(), 1);
    QCOMPARE(summary.value("flow").toString(), QStringLiteral("none"));
    QCOMPARE(summary.value("settings_ok").toBool(), true);
    QVERIFY(!window.pacedSender().isSending());
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
