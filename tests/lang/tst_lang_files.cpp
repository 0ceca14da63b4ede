// Files of the language library: the compiler's result file read back with
// its line count checked, and files replaced so that a crash of the host
// cannot leave a cut or empty one. The order of flushes and renames is seen
// through fsync and rename, which this test program defines over the C
// library's own.
#include "zenta/lang/compiler.hpp"
#include "zenta/lang/program.hpp"
#include "zenta/lang/text.hpp"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace zenta::lang;

namespace {

bool recording = false;
int failFsyncWith = 0;  // errno for the next fsync, 0 for none
int failFolderFsyncWith = 0;  // errno for every fsync of a folder, 0 for none
QStringList events;

QString pathOfFd(int fd)
{
    char buf[PATH_MAX];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
    return n > 0 ? QString::fromLocal8Bit(buf, n) : QStringLiteral("?");
}

}  // namespace

extern "C" int fsync(int fd)
{
    if (recording) {
        events << "fsync " + pathOfFd(fd);
        if (failFsyncWith) {
            errno = failFsyncWith;
            failFsyncWith = 0;
            return -1;
        }
        struct stat st {};
        if (failFolderFsyncWith && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            errno = failFolderFsyncWith;
            return -1;
        }
    }
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}

extern "C" int rename(const char *from, const char *to)
{
    if (recording)
        events << QStringLiteral("rename %1 %2").arg(QString::fromLocal8Bit(from), QString::fromLocal8Bit(to));
    static auto real = reinterpret_cast<int (*)(const char *, const char *)>(dlsym(RTLD_NEXT, "rename"));
    return real(from, to);
}

namespace {

std::string lines(std::initializer_list<const char *> ls)
{
    std::string s;
    for (const char *l : ls)
        s += std::string(l) + "\r\n";
    return s;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

struct Recording {
    Recording() { events.clear(), recording = true; }
    ~Recording() { recording = false, failFsyncWith = 0, failFolderFsyncWith = 0; }
};

}  // namespace

class LangFilesTest : public QObject {
    Q_OBJECT
private slots:
    void resultFileIsReadWithItsLineCount_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("count");      // compiled lines read, -1 when refused
        QTest::addColumn<QString>("reason");  // part of the refusal
        const QByteArray three = "1 X1\r\n2 X2\r\n3 WAITX\r\n";
        QTest::newRow("whole result file") << "COMPILE OK 3 lines\r\n" + three << 3 << "";
        QTest::newRow("bare compiled lines") << three << 3 << "";
        QTest::newRow("blank lines after the end") << "COMPILE OK 3 lines\r\n" + three + "\r\n  \r\n\t\n" << 3 << "";
        QTest::newRow("result line alone") << QByteArray("COMPILE OK 0 lines\r\n") << 0 << "";
        QTest::newRow("cut at a line end") << QByteArray("COMPILE OK 3 lines\r\n1 X1\r\n2 X2\r\n") << -1
                                           << "announces 3 compiled lines but 2 follow it; the file is cut short";
        QTest::newRow("cut to the result line") << QByteArray("COMPILE OK 3 lines\r\n") << -1 << "cut short";
        QTest::newRow("a line more") << "COMPILE OK 2 lines\r\n" + three << -1 << "announces 2 compiled lines but 3";
        QTest::newRow("no count") << "COMPILE OK\r\n" + three << -1 << "does not name the count";
        QTest::newRow("count not a number") << "COMPILE OK three lines\r\n" + three << -1 << "does not name the count";
        QTest::newRow("negative count") << "COMPILE OK -3 lines\r\n" + three << -1 << "does not name the count";
        QTest::newRow("huge count") << "COMPILE OK 99999999999999999999 lines\r\n" + three << -1
                                    << "does not name the count";
        QTest::newRow("failed report") << QByteArray("COMPILE FAILED\r\nbad\r\nLine: 2\r\n") << -1
                                       << "failed compile report";
    }
    void resultFileIsReadWithItsLineCount()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, count);
        QFETCH(QString, reason);
        const CompiledFile r = readCompiledFile(file.toStdString());
        QCOMPARE(r.ok, count >= 0);
        if (count >= 0) {
            QCOMPARE(int(r.lines.size()), count);
            if (count)
                QCOMPARE(r.lines.back(), std::string(count == 3 ? "3 WAITX" : ""));
        } else {
            QVERIFY2(QString::fromStdString(r.message).contains(reason), r.message.c_str());
            QVERIFY(r.lines.empty());
        }
    }

    // What the compiler writes reads back whole; what a cut leaves does not,
    // at every line boundary.
    void everyCutOfACompiledFileIsRefused()
    {
        const CompileResult c = compile(lines({"PRG 0", "V1=0", "loop: X1000", "WAITX", "V1=V1+1",
                                               "IF V1<5", "GOTO loop", "ENDIF", "PRG 1", "DO1=1"}));
        QVERIFY(c.ok);
        std::vector<std::string> file = formatCompiled(c.program.code);
        file.insert(file.begin(), "COMPILE OK " + std::to_string(c.program.code.size()) + " lines");
        const CompiledFile whole = readCompiledFile(joinLines(file));
        QVERIFY(whole.ok);
        QVERIFY(decompileLines(whole.lines).ok);
        for (std::size_t keep = 1; keep < file.size(); ++keep) {
            const std::vector<std::string> cut(file.begin(), file.begin() + std::ptrdiff_t(keep));
            QVERIFY2(!readCompiledFile(joinLines(cut)).ok, std::to_string(keep).c_str());
        }
    }

    // A file of blank lines in the middle keeps only what a device could hold.
    void manyLinesAreCountedNotKept()
    {
        const std::string file = "1 X1\r\n" + std::string(4 * 1024 * 1024, '\n') + "2 X2\r\n";
        const CompiledFile r = readCompiledFile(file);
        QVERIFY(r.lines.size() <= std::size_t(kMaxCompiledLines) + 1);
        QVERIFY(!parseCompiled(r.lines).ok);
        const std::string counted = "COMPILE OK 2 lines\r\n" + file;
        const CompiledFile c = readCompiledFile(counted);
        QVERIFY(!c.ok);
        QVERIFY2(c.message.find("but 4194306 follow") != std::string::npos, c.message.c_str());
    }

    void replacedFileIsFlushedBeforeTheRenameAndTheFolderAfter()
    {
        QTemporaryDir dir;
        const QString folder = QFileInfo(dir.path()).canonicalFilePath();
        const QString path = folder + "/CompileOut.txt";
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));

        std::string problem;
        {
            Recording r;
            problem = replaceFile(path.toStdString(), "new\r\n");
        }
        QCOMPARE(QString::fromStdString(problem), QString());
        QCOMPARE(readAll(path), QByteArray("new\r\n"));
        QCOMPARE(events.size(), 3);
        const QString temp = events[0].section(' ', 1);
        QVERIFY2(events[0].startsWith("fsync ") && temp.startsWith(path) && temp != path, qPrintable(events[0]));
        QCOMPARE(events[1], "rename " + temp + " " + path);
        QCOMPARE(events[2], "fsync " + folder);
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"CompileOut.txt"});
    }

    void failedReplaceKeepsTheOldFileAndLeavesNothing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("reason");
        QTest::newRow("flush fails") << "fsync" << "cannot flush";
        QTest::newRow("result path is a folder") << "folder" << "is not a plain file";
        QTest::newRow("no such folder") << "missing" << "cannot create";
    }
    void failedReplaceKeepsTheOldFileAndLeavesNothing()
    {
        QFETCH(QString, how);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString old = dir.filePath("CompileOut.txt");
        if (how == "folder") {
            QVERIFY(QDir(dir.path()).mkdir("CompileOut.txt"));
        } else {
            QFile f(old);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old\r\n");
        }
        const QString path = how == "missing" ? dir.filePath("gone/CompileOut.txt") : old;
        const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

        std::string problem;
        {
            Recording r;
            failFsyncWith = how == "fsync" ? EIO : 0;
            problem = replaceFile(path.toStdString(), "new\r\n");
        }
        QVERIFY2(QString::fromStdString(problem).contains(reason), problem.c_str());
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        if (how != "folder")
            QCOMPARE(readAll(old), QByteArray("old\r\n"));
        for (const QString &e : std::as_const(events))
            QVERIFY2(!e.startsWith("rename"), qPrintable(e));
    }

    // Once renamed, the new content is what the file holds: a folder that
    // cannot be flushed afterwards is a warning, never a failure that would
    // make the caller report the old content as kept.
    void folderFlushAfterTheRenameIsAWarning()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("dev.flash");
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old\r\n");
        }
        std::string problem, warning = "stale";
        {
            Recording r;
            failFolderFsyncWith = EIO;
            problem = replaceFile(path.toStdString(), "new\r\n", &warning);
        }
        QCOMPARE(QString::fromStdString(problem), QString());
        QVERIFY2(warning.find("replaced") != std::string::npos && warning.find("flush") != std::string::npos,
                 warning.c_str());
        QCOMPARE(readAll(path), QByteArray("new\r\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"dev.flash"});

        // A clean replace clears what the caller passed in.
        QCOMPARE(QString::fromStdString(replaceFile(path.toStdString(), "again\r\n", &warning)), QString());
        QCOMPARE(warning, std::string());
    }

    // New files of writers that died are removed; a living writer's and
    // other files stay.
    void staleNewFilesAreRemoved()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("dev.flash");
        // A process that has surely ended: one we started and waited for.
        const pid_t dead = fork();
        if (dead == 0)
            _exit(0);
        QVERIFY(dead > 0);
        int status = 0;
        QCOMPARE(waitpid(dead, &status, 0), dead);
        const QString deadPart = QString("dev.flash.%1-3.part").arg(dead);
        const QString livePart = QString("dev.flash.%1-1.part").arg(getppid());
        const QStringList keep{"dev.flash", livePart, "dev.flash.x-1.part", "other.flash." + QString::number(dead) +
                                                                              "-1.part", "dev.flash.part"};
        for (const QString &name : keep + QStringList{deadPart}) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QCOMPARE(removeStaleParts(path.toStdString()), 1);
        QStringList left = QDir(dir.path()).entryList(QDir::Files);
        QStringList expected = keep;
        left.sort();
        expected.sort();
        QCOMPARE(left, expected);
    }

    // A link is followed: the file it names is replaced, the link stays.
    void linkStaysALink()
    {
        QTemporaryDir dir;
        const QString real = dir.filePath("real.txt");
        const QString link = dir.filePath("link.txt");
        QVERIFY(QFile(real).open(QIODevice::WriteOnly));
        QVERIFY(QFile::link("real.txt", link));
        QCOMPARE(QString::fromStdString(replaceFile(link.toStdString(), "x\r\n")), QString());
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(readAll(real), QByteArray("x\r\n"));
    }
};

QTEST_GUILESS_MAIN(LangFilesTest)
#include "tst_lang_files.moc"
