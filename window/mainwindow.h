#pragma once

// form1, the program's one window, laid out in mainwindow.ui. It owns every control, the serial
// control `comm` (serial/: port numbering, selection and start-up probing) and the paced sender
// with the upload state (upload/: message rules and the timer-driven byte stream). Each event
// handler here is where a failure turns into what the user sees; nothing escapes into the event
// loop.

#include "pacedsender.h"
#include "serialcontrol.h"

#include <QWidget>
#include <memory>
#include <optional>

namespace Ui {
class MainWindow;
}

class MainWindow : public QWidget
{
    Q_OBJECT

public:
    // `initialPort` is put into the port box instead of the first port found, as if typed.
    explicit MainWindow(PortLister listPorts = Serial::readHostPorts,
                        const std::optional<QString> &initialPort = std::nullopt,
                        QWidget *parent = nullptr);
    ~MainWindow() override;

    SerialControl &comm() { return m_comm; }
    PacedSender &pacedSender() { return m_sender; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    bool captionsFit(const QFont &font) const;
    void fitCaptions();
    void load();
    void shutDown();

    void updateCounter();
    void clearMessage();
    void startUpload();
    void selectPort();
    void probePorts();
    void showHelp();
    void showProgress(int sent, int total);
    void reportUploadFailure(const QString &reason);
    void portLost(const QString &reason);
    void markSelector(const QString &problem);
    void tell(const QString &message);
    void guarded(void (MainWindow::*operation)());

    std::unique_ptr<Ui::MainWindow> m_ui;
    PortLister m_listPorts;
    SerialControl m_comm;
    PacedSender m_sender{m_comm};
    // Why no port is open, as the user reads it; empty while one is.
    QString m_portProblem;
    // The selected port went away; Send tries the port box's text once more.
    bool m_portLost = false;
    // Set while the port box's text editor reports the end of an edit.
    bool m_finishingEdit = false;
};
