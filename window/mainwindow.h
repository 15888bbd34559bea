#pragma once

// form1, the program's one window, laid out in mainwindow.ui. It owns every control, the serial
// control `comm` (serial/) and the paced sender with the upload state (upload/). Each event
// handler here is where a failure turns into what the user sees; nothing escapes into the event
// loop.

#include "pacedsender.h"
#include "serialcontrol.h"

#include <QPointer>
#include <QWidget>
#include <memory>
#include <optional>

namespace Ui {
class MainWindow;
}

class QMessageBox;

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
    void keyPressEvent(QKeyEvent *event) override;

private:
    void fitCaptions();
    void keepMessageFixedPitch();
    void load();
    void shutDown();

    void updateCounter();
    void clearMessage();
    void startUpload();
    void selectPort();
    void selectPortAmong(const HostPorts &ports);
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
    bool m_portGiven = false; // a port to start with came from the command line
    // Why the port box's text has no open port, as the user reads it; empty while it has one.
    QString m_portProblem;
    // The report on show, what it reports and how often that happened in a row.
    QPointer<QMessageBox> m_report;
    QString m_reported;
    int m_reportRepeats = 0;
};
