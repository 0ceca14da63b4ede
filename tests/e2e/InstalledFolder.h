// The panel's folder as installed, for the tests that run the real tools: the
// device library at the top and the tools in EXE/, copied from the build.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>

// Lays the folder out in `installDir` (empty, EXE/ not yet there). Each copy
// keeps its permissions, so the tools stay executable. Returns what could not
// be laid out, empty when everything was.
inline QString layOutInstalled(const QString &installDir)
{
    if (!QDir(installDir).mkdir("EXE"))
        return "EXE/";
    const QString bin = qEnvironmentVariable("ZENTA_BIN_DIR");
    for (const QString name : {"libTollanCom.so", "EXE/Vorlag", "EXE/Merrow"}) {
        const QString from = bin + "/" + name, to = installDir + "/" + name;
        if (!QFile::copy(from, to))
            return name;
        if (!QFile::setPermissions(to, QFile::permissions(from)))
            return name + " (permissions)";
    }
    return {};
}
