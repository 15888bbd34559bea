#include "portbox.h"

#include "remoteport.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QLineEdit>
#include <QPainter>
#include <QStyleOptionFrame>
#include <QToolTip>
#include <chrono>

namespace {

// Longer than the pause between two keys typed at a steady pace, short enough not to wait for.
constexpr std::chrono::milliseconds TypingPause{500};
// What QLineEdit leaves free on either side of its text.
constexpr int EditorMargin = 2;

// The box's editor. A device path or a network port is wider than the box: without the focus
// it shows from its start, elided in the middle, and whole when hovered.
class PortEdit : public QLineEdit
{
public:
    using QLineEdit::QLineEdit;

protected:
    bool event(QEvent *event) override
    {
        // What fits needs no tooltip of its own: the box's own then shows.
        if (event->type() == QEvent::ToolTip && shown() != text()) {
            QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), text(), this);
            return true;
        }
        return QLineEdit::event(event);
    }

    void paintEvent(QPaintEvent *event) override
    {
        const QString shownText = shown();
        if (shownText == text()) {
            QLineEdit::paintEvent(event);
            return;
        }
        QStyleOptionFrame panel;
        initStyleOption(&panel);
        QPainter painter(this);
        style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
        painter.setPen(palette().color(QPalette::Text));
        const QRect area = textArea();
        const int top = area.y() + (area.height() - fontMetrics().height() + 1) / 2;
        painter.drawText(area.x(), top, area.width(), fontMetrics().height(), 0, shownText);
    }

private:
    // Where QLineEdit puts its own text, so that nothing moves when the focus comes.
    QRect textArea() const
    {
        QStyleOptionFrame panel;
        initStyleOption(&panel);
        return style()
            ->subElementRect(QStyle::SE_LineEditContents, &panel, this)
            .marginsRemoved(textMargins())
            .adjusted(EditorMargin, 0, -EditorMargin, 0);
    }
    QString shown() const
    {
        return hasFocus() ? text()
                          : fontMetrics().elidedText(text(), Qt::ElideMiddle, textArea().width());
    }
};

// The port box as a screen reader takes it. On Linux Qt names a combo box by the text it shows
// and leaves what it is for to its label's relation, which a screen reader does not read when
// the box takes the focus: all it said was "1". Here the name is the box's own (its label's
// caption) and the whole port is its value.
class AccessiblePortBox : public QAccessibleWidget
{
public:
    explicit AccessiblePortBox(QComboBox *box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Value ? portBox()->currentText() : QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = portBox()->view()->isVisible();
        s.editable = true;
        return s;
    }
    QStringList actionNames() const override
    {
        return QAccessibleWidget::actionNames() << showMenuAction();
    }
    void doAction(const QString &action) override
    {
        if (action == showMenuAction())
            portBox()->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    QComboBox *portBox() const { return static_cast<QComboBox *>(widget()); }
};

QAccessibleInterface *accessibleFor(const QString &className, QObject *object)
{
    if (className == u"PortBox")
        return new AccessiblePortBox(static_cast<QComboBox *>(object));
    return nullptr;
}

} // namespace

PortBox::PortBox(QWidget *parent) : QComboBox(parent)
{
    // Before anything asks how to describe the box.
    QAccessible::installFactory(accessibleFor);
    // Qt ends an edit (Enter, Tab, leaving the box) whose text matches an entry by picking that
    // entry, which must not name the port the edit has named again. The editor is made here so
    // that its first listener sees the end of the edit before the box does and its last after.
    auto *edit = new PortEdit(this);
    connect(edit, &QLineEdit::editingFinished, this, [this] { m_finishingEdit = true; });
    setLineEdit(edit);
    connect(edit, &QLineEdit::editingFinished, this, [this] {
        m_finishingEdit = false;
        nameWaitingPort();
    });
    // No completion may turn a typed "1" into something else behind the user's back.
    setCompleter(nullptr);
    m_typingPause.setSingleShot(true);
    m_typingPause.setInterval(TypingPause);
    connect(&m_typingPause, &QTimer::timeout, this, &PortBox::portNamed);
    // Each complete text on the way to "rfc2217://board:4001" names a port of its own (4, 40,
    // 400), and over RFC 2217 connecting to one sets that display's line: a port on the network
    // typed at the keyboard waits until the typing pauses. Every other change names it at once.
    connect(this, &QComboBox::editTextChanged, this, [this](const QString &text) {
        if (lineEdit()->isModified() && RemotePort::names(text)) {
            m_typingPause.start();
        } else {
            m_typingPause.stop();
            emit portNamed();
        }
    });
    connect(this, &QComboBox::activated, this, [this] {
        if (!m_finishingEdit)
            emit portNamed();
    });
}

bool PortBox::nameWaitingPort()
{
    if (!m_typingPause.isActive())
        return false;
    m_typingPause.stop();
    emit portNamed();
    return true;
}

void PortBox::showPopup()
{
    // The box keeps the form's width; its list is as wide as its longest entry.
    view()->setMinimumWidth(view()->sizeHintForColumn(0) + 2 * view()->frameWidth());
    QComboBox::showPopup();
}
