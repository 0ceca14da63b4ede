#pragma once

#include <QWidget>

// The main window: axis status, motion, configuration, program tooling.
class MainControlForm : public QWidget {
    Q_OBJECT
public:
    explicit MainControlForm(QWidget *parent = nullptr);
    ~MainControlForm() override;

    // The guarded exchange every main-window handler uses.
    QString SendReceive(const QString &command);

    bool PausePolling = false;
    int16_t PollPhase = 0;

    void Form_Load();

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
};
