#pragma once

#include <QWidget>
#include <functional>
#include <memory>

namespace Ui {
class frmSelect;
}

// The first window: lists the attached drivers, opens the chosen one and
// hands over to the main window.
class frmSelect : public QWidget {
    Q_OBJECT
public:
    struct HandOver {
        std::function<void()> showMain;       // device open: show the main window
        std::function<void()> runMainModal;   // no device: main window, modal, until closed
    };

    explicit frmSelect(HandOver handOver, QWidget *parent = nullptr);
    ~frmSelect() override;

    // The load sequence; shows this window, or runs the no-device path.
    void Form_Load();
    bool FillDeviceList();
    void cmdOK_Click();
    void cmdCancel_Click();

    // Entry text to library index: the number after the last " , Index=".
    static std::optional<int16_t> indexOfEntry(const QString &entry);

    Ui::frmSelect *ui() const { return ui_.get(); }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    std::unique_ptr<Ui::frmSelect> ui_;
    HandOver handOver_;
};
