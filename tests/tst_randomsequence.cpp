#include "mainwindow.h"
#include "messageedit.h"
#include "pacedsender.h"
#include "ptydevice.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>
#include <random>

// Seeded random sequences of what a user does, played on the real window against a small
// model of what each device must receive. RQ204_RANDOM_SEED and RQ204_RANDOM_ACTIONS choose
// the run (the defaults are CI's); a divergence names the seed and the step to replay it.
class TestRandomSequence : public QObject
{
    Q_OBJECT

private slots:
    void userActions();
};

namespace {

// What the model expects; written independently of the program's own helpers.
struct Model
{
    QString text; // the message, line breaks as CR LF
    int port = 1; // 0: none open
    bool sending = false;
    QByteArray upload; // the bytes of the upload in progress
    int sent = 0;
    QByteArray received[3]; // per port number 1 and 2
    int failures = 0;

    qsizetype room() const { return 124 - text.size(); }

    static QByteArray byteOf(QChar c)
    {
        switch (c.unicode()) {
        case u'$':
            return QByteArray(1, '\x0b');
        case 0x00e9:
            return QByteArray(1, '\xe9');
        case 0x20ac:
            return QByteArray(1, '\x80');
        default:
            return QByteArray(1, c.unicode() < 0x80 ? char(c.unicode()) : '?');
        }
    }

    void paste(const QString &clip)
    {
        QStringList units; // what can't be split: CR LF, a surrogate pair, or one character
        for (qsizetype i = 0; i < clip.size(); ++i) {
            const QChar c = clip.at(i);
            if (c == u'\r' || c == u'\n' || c == QChar::LineSeparator ||
                c == QChar::ParagraphSeparator) {
                if (c == u'\r' && i + 1 < clip.size() && clip.at(i + 1) == u'\n')
                    ++i;
                units.append(QStringLiteral("\r\n"));
            } else if (c.isHighSurrogate() && i + 1 < clip.size()) {
                units.append(clip.mid(i++, 2));
            } else {
                units.append(QString(c));
            }
        }
        for (const QString &unit : units) {
            if (unit.size() > room())
                break;
            text += unit;
        }
    }

    void tick()
    {
        if (!sending)
            return;
        if (port == 0) {
            sending = false;
            ++failures;
            return;
        }
        received[port] += upload.at(sent++);
        sending = sent < upload.size();
    }
};

const QString Alphabet = QStringLiteral("ab $Z9\u00e9\u20ac\u03a9.");

} // namespace

void TestRandomSequence::userActions()
{
    const quint32 seed = qEnvironmentVariableIsSet("RQ204_RANDOM_SEED")
                             ? quint32(qEnvironmentVariableIntValue("RQ204_RANDOM_SEED"))
                             : 20261207u;
    const int actions = qEnvironmentVariableIsSet("RQ204_RANDOM_ACTIONS")
                            ? qEnvironmentVariableIntValue("RQ204_RANDOM_ACTIONS")
                            : 2000;
    std::mt19937 random(seed);
    const auto chance = [&](int n) { return int(random() % unsigned(n)); };

    PtyDevice port1, port2;
    MainWindow window(portsAt({port1.path(), port2.path()}));
    window.show();
    auto *text1 = window.findChild<MessageEdit *>("Text1");
    auto *combo1 = window.findChild<QComboBox *>("Combo1");
    auto *label2 = window.findChild<QLabel *>("Label2");
    PacedSender &sender = window.pacedSender();
    auto *timer1 = sender.findChild<QTimer *>(QStringLiteral("Timer1"));
    QVERIFY(timer1);
    // The test is the clock: the timer runs while an upload does, but its ticks never arrive.
    timer1->blockSignals(true);
    Model model;
    QByteArray received[3];

    for (int step = 0; step < actions; ++step) {
        QString action;
        switch (chance(9)) {
        case 0: { // type a few characters at the end
            text1->moveCursor(QTextCursor::End);
            const int count = 1 + chance(12);
            for (int i = 0; i < count; ++i) {
                if (chance(8) == 0) {
                    QTest::keyClick(text1, Qt::Key_Return);
                    if (model.room() >= 2)
                        model.text += QStringLiteral("\r\n");
                    action += u'\n';
                } else {
                    const QChar c = Alphabet.at(chance(Alphabet.size()));
                    // A key whose text is the character, as a keyboard layout would send it.
                    QTest::sendKeyEvent(QTest::Click, text1, Qt::Key_unknown, QString(c),
                                        Qt::NoModifier);
                    if (model.room() >= 1)
                        model.text += c;
                    action += c;
                }
            }
            action = QStringLiteral("type \"%1\"").arg(action);
            break;
        }
        case 1: { // paste
            QString clip;
            const int length = chance(4) == 0 ? 100 + chance(300) : chance(20);
            const QString pieces[] = {QStringLiteral("x"),     QStringLiteral("$"),
                                      QStringLiteral("\r\n"),  QStringLiteral("\r"),
                                      QStringLiteral("\n"),    QStringLiteral("\U0001F600"),
                                      QStringLiteral("\u00e9")};
            for (int i = 0; i < length; ++i)
                clip += pieces[chance(7)];
            text1->moveCursor(QTextCursor::End);
            QApplication::clipboard()->setText(clip);
            QTest::keySequence(text1, QKeySequence::Paste);
            model.paste(clip);
            action = QStringLiteral("paste %1 characters").arg(clip.size());
            break;
        }
        case 2: // backspace at the end
            text1->moveCursor(QTextCursor::End);
            QTest::keyClick(text1, Qt::Key_Backspace);
            if (model.text.endsWith(QStringLiteral("\r\n")) ||
                (model.text.size() >= 2 && model.text.back().isLowSurrogate()))
                model.text.chop(2);
            else
                model.text.chop(1);
            action = QStringLiteral("backspace");
            break;
        case 3:
            QTest::mouseClick(window.findChild<QPushButton *>("Command6"), Qt::LeftButton);
            model.text.clear();
            action = QStringLiteral("clear");
            break;
        case 4:
            QTest::mouseClick(window.findChild<QPushButton *>("Command2"), Qt::LeftButton);
            model.upload.clear();
            for (const QChar c : model.text + u'\r')
                model.upload += Model::byteOf(c);
            model.sent = 0;
            model.sending = true;
            action = QStringLiteral("send");
            break;
        case 5: { // type a port number: 1, 2 or one the host lacks
            const int choice = chance(3);
            combo1->lineEdit()->selectAll();
            QTest::keyClicks(combo1->lineEdit(),
                             choice == 2 ? QStringLiteral("7") : QString::number(choice + 1));
            model.port = choice == 2 ? 0 : choice + 1;
            action = QStringLiteral("type port %1").arg(choice == 2 ? 7 : choice + 1);
            break;
        }
        case 6: { // pick an entry of the list
            const int index = chance(2);
            combo1->setCurrentIndex(index);
            emit combo1->activated(index);
            model.port = index + 1;
            action = QStringLiteral("pick port %1").arg(index + 1);
            break;
        }
        case 7:
            // Closed from inside its own event loop, whatever it turns out to be.
            QTimer::singleShot(0, &window, [] {
                if (QWidget *box = QApplication::activeModalWidget())
                    box->close();
            });
            QTest::mouseClick(window.findChild<QPushButton *>("Command1"), Qt::LeftButton);
            action = QStringLiteral("help");
            break;
        default: {
            const int ticks = 1 + chance(6);
            for (int i = 0; i < ticks; ++i) {
                if (sender.isSending())
                    sender.sendNextChar();
                model.tick();
            }
            action = QStringLiteral("%1 ticks").arg(ticks);
            break;
        }
        }

        int boxes = 0;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible()) {
                ++boxes;
                box->done(QMessageBox::Ok);
            }
        }
        received[1] += port1.take();
        received[2] += port2.take();

        const QString where =
            QStringLiteral("seed %1, step %2 (%3)").arg(seed).arg(step).arg(action);
        QVERIFY2(text1->message() == model.text, qPrintable(where));
        QVERIFY2(label2->text() ==
                     QStringLiteral("%1  characters remaining").arg(124 - model.text.size()),
                 qPrintable(where));
        QVERIFY2(sender.isSending() == model.sending, qPrintable(where));
        QVERIFY2(window.comm().portOpen() == (model.port != 0), qPrintable(where));
        QVERIFY2(boxes == model.failures, qPrintable(where));
        QVERIFY2(received[1] == model.received[1], qPrintable(where));
        QVERIFY2(received[2] == model.received[2], qPrintable(where));
        model.failures = 0;
    }
}

QTEST_MAIN(TestRandomSequence)
#include "tst_randomsequence.moc"
