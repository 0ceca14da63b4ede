// The driver settings file: save and load through the main window's real
// controls, with scripted file dialogs; nothing reaches the device.
#include "FifoWriterLater.h"
#include "PanelFixture.h"
#include "config/DriverSettings.h"
#include "core/DownCommands.h"
#include "core/SettingsFile.h"
#include "config/SettingsFileControl.h"
#include "ui_MainControlForm.h"

#include <QtTest>

#include <sys/stat.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// Everything a load could change, as one comparable list.
QStringList controls(const Ui::MainControlForm &ui)
{
    QStringList out;
    for (const QComboBox *c : {ui.DeviceName, ui.Par6, ui.Par8, ui.Par9})
        out << c->objectName() + "=" + QString::number(c->currentIndex());
    for (const QAbstractButton *b : std::initializer_list<const QAbstractButton *>{
             ui.SelUSBControl, ui.SelJoyControl, ui.DOPolarity, ui.DIPolarity, ui.SLOAD0, ui.SLOAD1})
        out << b->objectName() + (b->isChecked() ? "=on" : "=off");
    out << "TimeOut=" + ui.TimeOut->text() + (ui.TimeOut->isEnabled() ? "" : " (disabled)");
    out << "DOBoot=" + ui.DOBoot->text();
    return out;
}

// The file the fixture's window saves after its upload.
const QByteArray fixtureFile = "[ZENTA-KDR-V3 driver settings, format 1]\r\n"
                               "DeviceName=05\r\n"
                               "RunCurrent=1.0\r\n"
                               "IdleCurrent=0.5\r\n"
                               "Microstep=16\r\n"
                               "ControlMode=USB\r\n"
                               "TimeOut=100\r\n"
                               "DOPolarity=0\r\n"
                               "DIPolarity=0\r\n"
                               "DOBoot=0\r\n"
                               "AutoRun0=0\r\n"
                               "AutoRun1=0\r\n";

}  // namespace

class SettingsFileTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    QString path(const QString &name) const { return dir.filePath(name); }

private slots:
    void savesEveryShownSettingAndLoadsItBack()
    {
        PanelFixture f;
        f.load();
        auto &ui = *f.main->ui();
        const QStringList uploaded = controls(ui);
        f.dialogs.fileNames = {path("fixture.ini")};
        f.main->settingsFile().SaveSettings_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{});
        QCOMPARE(readAll(path("fixture.ini")), fixtureFile);

        ui.DeviceName->setCurrentText("42");
        ui.Par6->setCurrentIndex(14);  // 1.5
        ui.Par8->setCurrentIndex(20);  // 0
        ui.Par9->setCurrentIndex(1);   // 2
        ui.SelJoyControl->setChecked(true);
        ui.TimeOut->setText(" 25 x");  // free text keeps its blanks
        ui.DOPolarity->setChecked(true);
        ui.DOBoot->setText("Text3");
        ui.SLOAD1->setChecked(true);
        const QStringList changed = controls(ui);
        f.dialogs.fileNames = {path("changed.ini")};
        f.main->settingsFile().SaveSettings_Click();
        const QByteArray changedFile = readAll(path("changed.ini"));
        QVERIFY(changedFile.contains("\r\nTimeOut= 25 x\r\n"));
        QVERIFY(changedFile.contains("\r\nIdleCurrent=0\r\nMicrostep=2\r\nControlMode=Analog\r\n"));

        f.dialogs.fileNames = {path("fixture.ini")};
        f.main->settingsFile().LoadSettings_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{});
        QCOMPARE(controls(ui), uploaded);

        f.dialogs.fileNames = {path("changed.ini")};
        f.main->settingsFile().LoadSettings_Click();
        QCOMPARE(controls(ui), changed);
        // Loading sends nothing: the operator reviews, then presses "Down".
        QVERIFY(f.dev.log.isEmpty());
        f.main->settings().DownloadDrv_Click();
        QVERIFY(f.dev.log.contains("P6=15"));
        QVERIFY(f.dev.log.contains("PB= 25 x"));
    }

    // What each setting sends is built once (core/DownCommands.h), for the
    // panel's "Down" and zentactl's "settings set" alike, in the panel's
    // order: the device ID first, then the settings.
    void oneListOfWhatEachSettingSends()
    {
        const auto parsed = SettingsFile::parse(fixtureFile.toStdString(), SettingsFile::rules());
        const auto &entries = std::get<std::vector<SettingsFile::Entry>>(parsed);
        QStringList built;
        for (const DownCommands::Command &c : DownCommands::build(entries))
            built << QString::fromStdString(c.text());
        QCOMPARE(built, (QStringList{"DN=CFG05", "P1=", "P2=", "P6=10", "P7=", "P8=5", "P9=4", "PA=1", "PB=100",
                                     "POL= 0", "DOBOOT=0", "SLOAD= 0"}));

        // The panel with that file loaded sends exactly that list, in that
        // order, the new ID on a Yes.
        PanelFixture f;
        f.load();
        writeFile(path("down.ini"), QByteArray(fixtureFile).replace("DeviceName=05", "DeviceName=12"));
        f.dialogs.fileNames = {path("down.ini")};
        f.main->settingsFile().LoadSettings_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{});
        f.dialogs.answers = {true};
        f.main->settings().DownloadDrv_Click();
        built.first() = "DN=CFG12";
        QCOMPARE(f.dev.log, QStringList{"DN"} + built);

        // With neither control option shown, "PA=" does not go: the device
        // keeps its mode; a list with nothing selected goes as position 0.
        f.main->ui()->SelUSBControl->setAutoExclusive(false);
        f.main->ui()->SelUSBControl->setChecked(false);
        f.main->ui()->Par6->setCurrentIndex(-1);
        f.dev.clearLog();
        f.main->settings().DownloadDrv_Click();
        QVERIFY(!f.dev.log.join(' ').contains("PA="));
        QVERIFY(f.dev.log.contains("P6=0"));
    }

    void badFilesAreRefusedWhole_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("message");
        auto with = [](const QByteArray &from, const QByteArray &to) {
            QByteArray b = fixtureFile;
            b.replace(from, to);
            return b;
        };
        const QString at = "The settings were not loaded from %1: ";
        QTest::newRow("unknown key") << with("DOBoot=0\r\n", "DOBoot=0\r\nSpeed=100\r\n")
                                     << at + "line 11, key \"Speed\": no such setting.";
        QTest::newRow("run current above the list")
            << with("RunCurrent=1.0", "RunCurrent=2.1")
            << at + "line 3, key \"RunCurrent\": \"2.1\" is not one of the values offered (0.1 to 2.0).";
        QTest::newRow("run current zero") << with("RunCurrent=1.0", "RunCurrent=0")
                                          << at + "line 3, key \"RunCurrent\": \"0\" is not one of the values "
                                                  "offered (0.1 to 2.0).";
        QTest::newRow("run current spelt differently")
            << with("RunCurrent=1.0", "RunCurrent=1") << at + "line 3, key \"RunCurrent\": \"1\" is not one of the "
                                                               "values offered (0.1 to 2.0).";
        QTest::newRow("idle current out of the list")
            << with("IdleCurrent=0.5", "IdleCurrent=0.0")
            << at + "line 4, key \"IdleCurrent\": \"0.0\" is not one of the values offered (0.1 to 0).";
        QTest::newRow("microstep 8") << with("Microstep=16", "Microstep=8")
                                     << at + "line 5, key \"Microstep\": \"8\" is not one of the values offered "
                                             "(1, 2, 4, 16).";
        QTest::newRow("device name 100") << with("DeviceName=05", "DeviceName=100")
                                         << at + "line 2, key \"DeviceName\": \"100\" is not one of the values "
                                                 "offered (00 to 99).";
        QTest::newRow("device name with a blank")
            << with("DeviceName=05", "DeviceName=05 ")
            << at + "line 2, key \"DeviceName\": \"05 \" is not one of the values offered (00 to 99).";
        QTest::newRow("control mode in other case")
            << with("ControlMode=USB", "ControlMode=usb")
            << at + "line 6, key \"ControlMode\": \"usb\" is not one of the values offered (USB, Analog).";
        QTest::newRow("flag 2") << with("DIPolarity=0", "DIPolarity=2")
                                << at + "line 9, key \"DIPolarity\": \"2\" is not one of the values offered (0, 1).";
        QTest::newRow("flag yes") << with("AutoRun1=0", "AutoRun1=yes")
                                  << at + "line 12, key \"AutoRun1\": \"yes\" is not one of the values offered "
                                          "(0, 1).";
        QTest::newRow("blank before the equals sign")
            << with("Microstep=16", "Microstep =16") << at + "line 5, key \"Microstep \": no such setting.";
        QTest::newRow("missing key") << with("DOBoot=0\r\n", "")
                                     << at + "line 11, key \"DOBoot\": missing (the file ends at line 11 without "
                                             "it).";
        QTest::newRow("key twice") << with("AutoRun1=0\r\n", "AutoRun1=0\r\nMicrostep=4\r\n")
                                   << at + "line 13, key \"Microstep\": given a second time (first on line 5).";
        QTest::newRow("not key=value") << with("DOBoot=0\r\n", "DOBoot=0\r\nhello\r\n")
                                       << at + "line 11: \"hello\" is not a key=value line.";
        QTest::newRow("another format version")
            << with("format 1]", "format 2]")
            << at + "line 1: format 2 is not one this panel reads (it reads format 1).";
        QTest::newRow("another format")
            << with("[ZENTA-KDR-V3 driver settings, format 1]", "[General]")
            << at + "line 1: this is not a driver settings file (its first line must be \"[ZENTA-KDR-V3 driver "
                    "settings, format 1]\").";
        QTest::newRow("empty file") << QByteArray()
                                    << at + "line 1: this is not a driver settings file (its first line must be "
                                            "\"[ZENTA-KDR-V3 driver settings, format 1]\").";
        QTest::newRow("a whole file that is not ours")
            << QByteArray("PRG 0\r\nX1000\r\nEND\r\n")
            << at + "line 1: this is not a driver settings file (its first line must be \"[ZENTA-KDR-V3 driver "
                    "settings, format 1]\").";
        // Free text goes to the device as written, so it must fit one command.
        QTest::newRow("time-out longer than one command holds")
            << with("TimeOut=100", "TimeOut=" + QByteArray(62, '1'))
            << at + "line 7, key \"TimeOut\": longer than the 61 characters that fit one command after \"PB=\".";
        QTest::newRow("output pattern longer than one command holds")
            << with("DOBoot=0", "DOBoot=" + QByteArray(58, '0'))
            << at + "line 10, key \"DOBoot\": longer than the 57 characters that fit one command after "
                    "\"DOBOOT=\".";
        QTest::newRow("bad value after good ones")
            << with("AutoRun1=0", "AutoRun1=3")
            << at + "line 12, key \"AutoRun1\": \"3\" is not one of the values offered (0, 1).";
    }
    void badFilesAreRefusedWhole()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, message);
        PanelFixture f;
        f.load();
        auto &ui = *f.main->ui();
        // Differs from the file in every control, so any partial load shows.
        ui.DeviceName->setCurrentText("42");
        ui.Par6->setCurrentIndex(14);
        ui.Par8->setCurrentIndex(20);
        ui.Par9->setCurrentIndex(1);
        ui.SelJoyControl->setChecked(true);
        ui.TimeOut->setText("7");
        ui.DOPolarity->setChecked(true);
        ui.DIPolarity->setChecked(true);
        ui.DOBoot->setText("3");
        ui.SLOAD0->setChecked(true);
        ui.SLOAD1->setChecked(true);
        const QStringList before = controls(ui);
        const QString file = path("bad.ini");
        writeFile(file, bytes);
        f.dialogs.fileNames = {file};
        f.main->settingsFile().LoadSettings_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{message.arg(file)});
        QCOMPARE(controls(ui), before);
        QVERIFY(f.dev.log.isEmpty());
    }

    void commentsBlankLinesAndAnyLineEndsAreRead()
    {
        PanelFixture f;
        f.load();
        QByteArray bytes = fixtureFile;
        bytes.replace("\r\n", "\n");
        bytes.replace("Microstep=16\n", "; chosen for the long axis\n\n# and kept\nMicrostep=2\n");
        bytes.chop(1);  // no line end after the last line
        writeFile(path("commented.ini"), bytes);
        f.dialogs.fileNames = {path("commented.ini")};
        f.main->settingsFile().LoadSettings_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{});
        QCOMPARE(f.main->ui()->Par9->currentText(), QString("2"));
    }

    void unreadableOddOrHugeFilesAreRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");  // "@" stands for the size of the file
        QTest::newRow("missing") << "missing" << "the file cannot be read.";
        QTest::newRow("folder") << "folder" << "it is not a regular file.";
        QTest::newRow("fifo") << "fifo" << "it is not a regular file.";
        QTest::newRow("huge") << "huge" << "at @ bytes it is too large to be a settings file.";
    }

    void unreadableOddOrHugeFilesAreRefused()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        PanelFixture f;
        f.load();
        const QStringList before = controls(*f.main->ui());
        const QString name = path(kind + ".ini");
        if (kind == "folder")
            QVERIFY(QDir().mkdir(name));
        if (kind == "fifo")
            QCOMPARE(mkfifo(QFile::encodeName(name).constData(), 0600), 0);
        if (kind == "huge") {
            const QByteArray huge = fixtureFile + QByteArray(70 * 1024, ';');
            writeFile(name, huge);
            reason.replace("@", QString::number(huge.size()));
        }
        // A load that waits on the FIFO is given a writer at last, so the
        // test fails instead of hanging.
        FifoWriterLater rescue(kind == "fifo" ? name : QString());
        f.dialogs.fileNames = {name};
        f.main->settingsFile().LoadSettings_Click();
        rescue.cancel();
        QCOMPARE(f.dialogs.notices(), QStringList{"The settings were not loaded from " + name + ": " + reason});
        QCOMPARE(controls(*f.main->ui()), before);
    }

    void saveRefusesWhatTheFileCannotHold_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("typed");  // put into the control, where it is a text box
        QTest::addColumn<QString>("message");
        const QString no = "The settings were not saved: ";
        QTest::newRow("list without selection") << "Par9" << QString() << no + "key \"Microstep\": the window shows no value for it.";
        QTest::newRow("no control mode") << "mode" << QString() << no + "key \"ControlMode\": the window shows no value for it.";
        QTest::newRow("text beyond Latin-1")
            << "TimeOut" << "100\u20ac"
            << no + "key \"TimeOut\": the value holds \"\u20ac\", which the file's Latin-1 text cannot keep.";
        QTest::newRow("a character beyond 16 bits")
            << "TimeOut" << "1\U0001F600"
            << no + "key \"TimeOut\": the value holds \"\U0001F600\", which the file's Latin-1 text cannot keep.";
        QTest::newRow("line break in a reply")
            << "DOBoot" << QString() << no + "key \"DOBoot\": the value holds a line break, which the file cannot keep.";
    }
    void saveRefusesWhatTheFileCannotHold()
    {
        QFETCH(QString, control);
        QFETCH(QString, typed);
        QFETCH(QString, message);
        PanelFixture f;
        f.load();
        auto &ui = *f.main->ui();
        if (control == "Par9")
            ui.Par9->setCurrentIndex(-1);
        else if (control == "mode") {
            ui.SelUSBControl->setAutoExclusive(false);
            ui.SelUSBControl->setChecked(false);
        } else if (control == "TimeOut")
            ui.TimeOut->setText(typed);
        else {
            f.dev.replies["DOBOOT"] = "1\r\n2";
            f.main->settings().UploadDriver_Click();
        }
        const QString file = path("refused.ini");
        writeFile(file, "old");
        f.dialogs.fileNames = {file};
        f.main->settingsFile().SaveSettings_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{message});
        QCOMPARE(f.dialogs.shown.size(), 1);  // refused before any file dialog
        QCOMPARE(readAll(file), QByteArray("old"));
    }

    void saveAsksBeforeReplacingAndSaysWhenItFails()
    {
        PanelFixture f;
        f.load();
        QDir(dir.path()).mkpath("replace");
        const QString file = path("replace/existing.ini");
        writeFile(file, "old");
        f.dialogs.fileNames = {file, file};
        f.dialogs.answers = {false, true};
        f.main->settingsFile().SaveSettings_Click();
        QCOMPARE(readAll(file), QByteArray("old"));
        f.main->settingsFile().SaveSettings_Click();
        QCOMPARE(readAll(file), fixtureFile);
        QCOMPARE(f.dialogs.shown[1].kind, QString("question"));
        QCOMPARE(f.dialogs.shown[1].title, QString("Save Settings"));
        QCOMPARE(f.dialogs.shown[1].text, QString("existing.ini already exists. Replace it?"));

        const QString nowhere = path("replace/no-such-folder/s.ini");
        f.dialogs.shown.clear();
        f.dialogs.fileNames = {nowhere};
        f.main->settingsFile().SaveSettings_Click();
        QCOMPARE(f.dialogs.notices(), QStringList{"The settings were not saved: " + nowhere + " could not be written."});
        // Nothing left behind: no folder made, no temporary file.
        QCOMPARE(QDir(path("replace")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{"existing.ini"}));
    }

    void dialogsOfferTheFilterAndRememberTheFolder()
    {
        PanelFixture f;
        f.load();
        QDir(dir.path()).mkpath("a");
        QDir(dir.path()).mkpath("b");
        SettingsFileControl &file = f.main->settingsFile();
        file.LoadSettings_Click();  // cancelled
        file.SaveSettings_Click();  // cancelled
        f.dialogs.fileNames = {path("a/s.ini")};
        file.SaveSettings_Click();
        file.LoadSettings_Click();
        writeFile(path("b/t.ini"), fixtureFile);
        f.dialogs.fileNames = {path("b/t.ini")};
        file.LoadSettings_Click();
        file.SaveSettings_Click();
        QStringList seen;
        for (const auto &s : f.dialogs.shown)
            seen << s.kind + " " + s.title + " | " + s.text + " | " + s.initialName;
        const QString filter = "Driver settings (*.ini)|*.ini";
        QCOMPARE(seen, (QStringList{"open Load Settings | " + filter + " | ",
                                    "save Save Settings | " + filter + " | CFG05.ini",
                                    "save Save Settings | " + filter + " | CFG05.ini",
                                    "open Load Settings | " + filter + " | " + path("a"),
                                    "open Load Settings | " + filter + " | " + path("a"),
                                    "save Save Settings | " + filter + " | " + path("b/CFG05.ini")}));
        QCOMPARE(f.dialogs.notices(), QStringList{});
    }
};

QTEST_MAIN(SettingsFileTest)
#include "tst_settings_file.moc"
