#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class ViewCompiledForm;
}

// Shows the output of the last compile and saves it as a compiled program
// file. The opener sets txt before showing it; it is loaded afresh each time.
class ViewCompiledForm : public QDialog {
    Q_OBJECT
public:
    explicit ViewCompiledForm(QWidget *parent = nullptr);
    ~ViewCompiledForm() override;

    Ui::ViewCompiledForm *ui() const { return ui_.get(); }

    QString txt;

    void Form_Load();
    void Save_Click();
    void Close_Click();

protected:
    void showEvent(QShowEvent *event) override;

private:
    std::unique_ptr<Ui::ViewCompiledForm> ui_;
    bool loaded_ = false;
};
