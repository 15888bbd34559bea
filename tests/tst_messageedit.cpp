#include "mainwindow.h"
#include "messageedit.h"
#include "pacedsender.h"
#include "ptydevice.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <memory>

namespace {
// What the RQ204 holds; a line break counts two.
constexpr qsizetype Capacity = 124;
} // namespace

// The message text box and its counter under real keystrokes and clipboard operations.
class TestMessageEdit : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void counterFollowsTyping_data();
    void counterFollowsTyping();
    void typingAtTheLimitIsRefused();
    void lineBreakReachesTheDeviceAsCrLf();
    void paste_data();
    void paste();
    void undoAfterClippedPaste();
    void textSetByTheProgramIsHeldToTheLimit();
    void clearOnEmptyChangesNothing();
    void clearDuringUploadKeepsTheUpload();
    void keystrokeAtTheLimit_data();
    void keystrokeAtTheLimit();
    void inputMethodReplacement_data();
    void inputMethodReplacement();

private:
    QString counter() const { return m_window->findChild<QLabel *>("Label2")->text(); }
    // Checks the one rule that must hold after every change.
    void verifyWithinLimit();

    std::unique_ptr<PtyDevice> m_device;
    std::unique_ptr<MainWindow> m_window;
    MessageEdit *m_text1 = nullptr;
};

void TestMessageEdit::init()
{
    m_device = std::make_unique<PtyDevice>();
    m_window = std::make_unique<MainWindow>(portsAt({m_device->path()}));
    m_text1 = m_window->findChild<MessageEdit *>("Text1");
    QVERIFY(m_text1);
    m_window->show();
    m_text1->setFocus();
}

void TestMessageEdit::cleanup()
{
    m_window.reset();
    m_device.reset();
}

void TestMessageEdit::verifyWithinLimit()
{
    const QString message = m_text1->message();
    QVERIFY2(message.size() <= Capacity, qPrintable(QString::number(message.size())));
    QCOMPARE(counter(), QStringLiteral("%1  characters remaining").arg(Capacity - message.size()));
    // Breaks only ever as whole CR LF pairs.
    QCOMPARE(message.count(u'\r'), message.count(QStringLiteral("\r\n")));
    QCOMPARE(message.count(u'\n'), message.count(QStringLiteral("\r\n")));
}

void TestMessageEdit::counterFollowsTyping_data()
{
    QTest::addColumn<QString>("keys"); // "\n" is the Enter key
    QTest::addColumn<QString>("caption");

    QTest::newRow("nothing") << ""
                             << "124  characters remaining";
    QTest::newRow("three characters") << "abc"
                                      << "121  characters remaining";
    QTest::newRow("line break counts two") << "a\nb"
                                           << "120  characters remaining";
    QTest::newRow("pause marker counts one") << "$"
                                             << "123  characters remaining";
}

void TestMessageEdit::counterFollowsTyping()
{
    QFETCH(QString, keys);
    QFETCH(QString, caption);

    for (const QChar key : keys) {
        if (key == u'\n')
            QTest::keyClick(m_text1, Qt::Key_Return);
        else
            QTest::keyClicks(m_text1, QString(key));
    }
    QCOMPARE(counter(), caption);
}

void TestMessageEdit::typingAtTheLimitIsRefused()
{
    QTest::keyClicks(m_text1, QString(Capacity - 1, u'a'));
    QCOMPARE(counter(), QStringLiteral("1  characters remaining"));
    QSignalSpy changes(m_text1, &QPlainTextEdit::textChanged);
    QVERIFY(changes.isValid());
    QTest::keyClick(m_text1, Qt::Key_Return); // needs two
    QCOMPARE(changes.count(), 0);
    QTest::keyClicks(m_text1, QStringLiteral("b"));
    QCOMPARE(counter(), QStringLiteral("0  characters remaining"));
    QTest::keyClicks(m_text1, QStringLiteral("c"));
    QTest::keyClick(m_text1, Qt::Key_Return);
    QCOMPARE(changes.count(), 1);
    QCOMPARE(m_text1->message(), QString(Capacity - 1, u'a') + u'b');

    // With a character selected there is room for exactly one in its place.
    QTest::keyClick(m_text1, Qt::Key_Left, Qt::ShiftModifier);
    QTest::keyClicks(m_text1, QStringLiteral("z"));
    QCOMPARE(m_text1->message(), QString(Capacity - 1, u'a') + u'z');
    // Deleting makes room again.
    QTest::keyClick(m_text1, Qt::Key_Backspace);
    QCOMPARE(counter(), QStringLiteral("1  characters remaining"));
}

void TestMessageEdit::lineBreakReachesTheDeviceAsCrLf()
{
    QTest::keyClicks(m_text1, QStringLiteral("AB"));
    QTest::keyClick(m_text1, Qt::Key_Return);
    QTest::keyClick(m_text1, Qt::Key_Enter, Qt::ShiftModifier); // keypad Enter, with Shift too
    QTest::keyClicks(m_text1, QStringLiteral("C"));
    QCOMPARE(m_text1->message(), QStringLiteral("AB\r\n\r\nC"));
    // Whatever the modifier, Enter at the limit inserts nothing.
    m_text1->setMessage(QString(Capacity - 1, u'a'));
    m_text1->moveCursor(QTextCursor::End);
    for (const Qt::KeyboardModifiers modifiers :
         {Qt::NoModifier, Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier}) {
        QTest::keyClick(m_text1, Qt::Key_Return, modifiers);
        QCOMPARE(m_text1->message(), QString(Capacity - 1, u'a'));
    }
    m_text1->setMessage(QStringLiteral("AB\r\n\r\nC"));

    QTest::mouseClick(m_window->findChild<QPushButton *>("Command2"), Qt::LeftButton);
    while (m_window->pacedSender().isSending())
        m_window->pacedSender().sendNextChar();
    QCOMPARE(m_device->take(), QByteArray("AB\r\n\r\nC\r"));
}

void TestMessageEdit::paste_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("after");

    const QString megabyte(1 << 20, u'x');
    QTest::newRow("1 MB into an empty box") << QString() << megabyte << QString(124, u'x');
    QTest::newRow("1 MB into 120 characters")
        << QString(120, u'a') << megabyte << QString(120, u'a') + QString(4, u'x');
    QTest::newRow("LF, CR and CR LF breaks")
        << QString() << QStringLiteral("a\nb\rc\r\nd") << QStringLiteral("a\r\nb\r\nc\r\nd");
    QTest::newRow("Unicode separators")
        << QString() << QStringLiteral("a\u2028b\u2029c") << QStringLiteral("a\r\nb\r\nc");
    QTest::newRow("CR LF would be split at the limit")
        << QString(122, u'a') << QStringLiteral("b\r\nc") << QString(122, u'a') + u'b';
    QTest::newRow("CR LF fits exactly") << QString(122, u'a') << QStringLiteral("\r\nc")
                                        << QString(122, u'a') + QStringLiteral("\r\n");
    QTest::newRow("surrogate pair not split")
        << QString(123, u'a') << QStringLiteral("\U0001F600") << QString(123, u'a');
    QTest::newRow("nothing fits") << QString(124, u'a') << QStringLiteral("b")
                                  << QString(124, u'a');
    QTest::newRow("frame markers dropped")
        << QString() << QStringLiteral("a\ufdd0b\ufdd1c") << QStringLiteral("abc");
}

void TestMessageEdit::paste()
{
    QFETCH(QString, before);
    QFETCH(QString, clipboard);
    QFETCH(QString, after);

    m_text1->setMessage(before);
    m_text1->moveCursor(QTextCursor::End);
    QApplication::clipboard()->setText(clipboard);
    QTest::keySequence(m_text1, QKeySequence::Paste);
    QCOMPARE(m_text1->message(), after);
    verifyWithinLimit();
    QCOMPARE(m_text1->textCursor().position(), m_text1->document()->characterCount() - 1);
}

void TestMessageEdit::undoAfterClippedPaste()
{
    QTest::keyClicks(m_text1, QStringLiteral("abc"));
    QApplication::clipboard()->setText(QString(500, u'y'));
    QTest::keySequence(m_text1, QKeySequence::Paste);
    QCOMPARE(m_text1->message(), QStringLiteral("abc") + QString(121, u'y'));
    QTest::keyClick(m_text1, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(m_text1->message(), QStringLiteral("abc"));
    verifyWithinLimit();
    QTest::keyClick(m_text1, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(m_text1->message(), QStringLiteral("abc") + QString(121, u'y'));
    verifyWithinLimit();
}

void TestMessageEdit::textSetByTheProgramIsHeldToTheLimit()
{
    m_text1->setMessage(QString(60, u'a') + QStringLiteral("\n") + QString(100, u'b'));
    QCOMPARE(m_text1->message(), QString(60, u'a') + QStringLiteral("\r\n") + QString(62, u'b'));
    verifyWithinLimit();
}

void TestMessageEdit::clearOnEmptyChangesNothing()
{
    const QString before = counter();
    QTest::mouseClick(m_window->findChild<QPushButton *>("Command6"), Qt::LeftButton);
    QCOMPARE(m_text1->message(), QString());
    QCOMPARE(counter(), before);
}

void TestMessageEdit::clearDuringUploadKeepsTheUpload()
{
    QTest::keyClicks(m_text1, QStringLiteral("SEND$ME"));
    QTest::mouseClick(m_window->findChild<QPushButton *>("Command2"), Qt::LeftButton);
    m_window->pacedSender().sendNextChar();
    QTest::mouseClick(m_window->findChild<QPushButton *>("Command6"), Qt::LeftButton);
    QCOMPARE(m_text1->message(), QString());
    QCOMPARE(counter(), QStringLiteral("124  characters remaining"));
    QVERIFY(m_window->pacedSender().isSending());
    while (m_window->pacedSender().isSending())
        m_window->pacedSender().sendNextChar();
    QCOMPARE(m_device->take(), QByteArray("SEND\x0bME\r"));
}

void TestMessageEdit::keystrokeAtTheLimit_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("typed"); // the key's text
    QTest::addColumn<int>("key");       // 0: none of its own
    QTest::addColumn<QString>("after");

    const QString full(Capacity, u'a');
    const QString oneShort(Capacity - 1, u'a');
    const QString twoShort(Capacity - 2, u'a');
    QTest::newRow("tab at the limit") << full << "\t" << int(Qt::Key_Tab) << full;
    QTest::newRow("tab with room") << oneShort << "\t" << int(Qt::Key_Tab) << oneShort + u'\t';
    QTest::newRow("line separator one short") << oneShort << "\u2028" << 0 << oneShort;
    QTest::newRow("paragraph separator one short") << oneShort << "\u2029" << 0 << oneShort;
    QTest::newRow("line separator with room") << twoShort << "\u2028" << 0 << twoShort + "\r\n";
    QTest::newRow("keypad Enter one short") << oneShort << "\r" << int(Qt::Key_Enter) << oneShort;
    QTest::newRow("keypad Enter with room")
        << twoShort << "\r" << int(Qt::Key_Enter) << twoShort + "\r\n";
    QTest::newRow("zero-width joiner at the limit") << full << "\u200d" << 0 << full;
    QTest::newRow("private use at the limit") << full << "\ue000" << 0 << full;
}

void TestMessageEdit::keystrokeAtTheLimit()
{
    QFETCH(QString, before);
    QFETCH(QString, typed);
    QFETCH(int, key);
    QFETCH(QString, after);

    // On its own, with no other widget to take the focus, a tab reaches the text.
    MessageEdit edit;
    edit.setMessage(before);
    edit.moveCursor(QTextCursor::End);
    QTest::sendKeyEvent(QTest::Click, &edit, key ? Qt::Key(key) : Qt::Key_unknown, typed,
                        key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    QCOMPARE(edit.message(), after);
}

void TestMessageEdit::inputMethodReplacement_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<QString>("commit");
    QTest::addColumn<int>("replaceFrom"); // relative to the cursor
    QTest::addColumn<int>("replaceLength");
    QTest::addColumn<QString>("after");

    const QString full(Capacity, u'a');
    QTest::newRow("within the text") << "abc" << 3 << "X" << -1 << 1 << "abX";
    QTest::newRow("past the end, at the limit")
        << full << int(full.size()) << "'M-" << 3 << 3 << full;
    QTest::newRow("before the start") << "\U0001F600x" << 0 << "y" << -1 << 1 << "y\U0001F600x";
    QTest::newRow("reaching past the end") << "ab" << 1 << "Z" << 0 << 5 << "aZb";
}

void TestMessageEdit::inputMethodReplacement()
{
    QFETCH(QString, before);
    QFETCH(int, cursor);
    QFETCH(QString, commit);
    QFETCH(int, replaceFrom);
    QFETCH(int, replaceLength);
    QFETCH(QString, after);

    // An input method's range that strays outside the text replaces nothing, and the room is
    // not counted as if it did.
    MessageEdit edit;
    edit.setMessage(before);
    QTextCursor position = edit.textCursor();
    position.setPosition(cursor);
    edit.setTextCursor(position);
    QInputMethodEvent event;
    event.setCommitString(commit, replaceFrom, replaceLength);
    QApplication::sendEvent(&edit, &event);
    QCOMPARE(edit.message(), after);
    QVERIFY(edit.message().size() <= Capacity);
}

QTEST_MAIN(TestMessageEdit)
#include "tst_messageedit.moc"
