#pragma once

// form1, the program's one window. It owns every control, the serial control `comm` (serial/:
// port numbering, selection and start-up probing) and the paced sender with the upload state
// (upload/: message rules and the timer-driven byte stream). Each event handler here is the
// place where a failure turns into what the user sees; nothing escapes into the event loop.

#include "serialcontrol.h"

#include <QWidget>

class MessageEdit;
class PacedSender;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

class MainWindow : public QWidget
{
    Q_OBJECT

public:
    explicit MainWindow(SerialControl::PortResolver resolver = hostPortDevice,
                        QWidget *parent = nullptr);
    ~MainWindow() override;

    SerialControl &comm() { return m_comm; }
    PacedSender &pacedSender() { return *m_sender; }

    static const QString Caption;
    static const QString HelpText;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    bool captionsFit(const QFont &font) const;
    void fitCaptions();
    void load();
    void shutDown();

    void updateCounter();
    void clearMessage();
    void startUpload();
    void selectPort();
    void showProbedPorts();
    void showHelp();
    void showProgress(int sent, int total);
    void markSelector(const QString &problem);
    void tell(const QString &message);
    template <typename Handler> void guarded(Handler &&handler);

    SerialControl m_comm;
    PacedSender *m_sender = nullptr;
    QLabel *m_label1 = nullptr;
    QComboBox *m_combo1 = nullptr;
    QLabel *m_label2 = nullptr;
    QLabel *m_label3 = nullptr;
    MessageEdit *m_text1 = nullptr;
    QPushButton *m_command1 = nullptr;
    QPushButton *m_command6 = nullptr;
    QPushButton *m_command2 = nullptr;
    QProgressBar *m_progress = nullptr;
};
