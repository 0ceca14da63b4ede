#include "Dialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace {

QString qtFilter(const QString &filter)
{
    const qsizetype bar = filter.indexOf(u'|');
    if (bar < 0)
        return filter;
    const QString description = filter.left(bar);
    const QString pattern = filter.mid(bar + 1);
    return description.contains(u'(') ? description : description + " (" + pattern + ")";
}

class WidgetDialogs final : public Dialogs {
public:
    void notice(QWidget *parent, const QString &text) override
    {
        QMessageBox box(QMessageBox::NoIcon, applicationTitle(), text, QMessageBox::Ok, parent);
        box.exec();
    }

    bool question(QWidget *parent, const QString &title, const QString &text) override
    {
        QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes;
    }

    std::optional<QString> openFileName(QWidget *parent, const QString &title, const QString &filter,
                                        const QString &initialName) override
    {
        // Any name is accepted, so a mistyped one reaches the caller's own message.
        return run(parent, title, filter, initialName, QFileDialog::AcceptOpen);
    }

    std::optional<QString> saveFileName(QWidget *parent, const QString &title, const QString &filter,
                                        const QString &initialName) override
    {
        return run(parent, title, filter, initialName, QFileDialog::AcceptSave);
    }

private:
    static std::optional<QString> run(QWidget *parent, const QString &title, const QString &filter,
                                      const QString &initialName, QFileDialog::AcceptMode mode)
    {
        QFileDialog dialog(parent, title, QString(), qtFilter(filter));
        dialog.setAcceptMode(mode);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
        // A folder as the initial name opens the dialog there, with no name chosen.
        if (QFileInfo(initialName).isDir())
            dialog.setDirectory(initialName);
        else if (!initialName.isEmpty())
            dialog.selectFile(initialName);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        const QStringList files = dialog.selectedFiles();
        return files.isEmpty() ? QString() : files.first();
    }
};

Dialogs *installed = nullptr;

}  // namespace

Dialogs &Dialogs::get()
{
    static WidgetDialogs production;
    return installed ? *installed : production;
}

void Dialogs::install(Dialogs *dialogs)
{
    installed = dialogs;
}

QString applicationTitle()
{
    return QStringLiteral("ZENTA-KDR-V3");
}
