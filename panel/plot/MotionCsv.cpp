#include "MotionCsv.h"

#include "common/TextFile.h"
#include "zenta/lang/regularfile.hpp"

#include <QFile>

#include <cmath>
#include <cstring>
#include <limits>

namespace MotionCsv {

QByteArray write(const QList<MotionSample> &samples)
{
    QByteArray out = QByteArray(kHeader) + "\r\n";
    for (const MotionSample &s : samples)
        out += QByteArray::number(s.time, 'f', 3) + ',' + QByteArray::number(s.position) + ','
               + QByteArray::number(s.speed, 'f', 1) + ',' + motionStateText(s.state).toLatin1() + "\r\n";
    return out;
}

namespace {

bool finiteNumber(const QString &text, double &out)
{
    bool ok = false;
    out = text.toDouble(&ok);
    return ok && std::isfinite(out);
}

QString shown(const QString &field)
{
    return QStringLiteral("\"") + (field.size() > 24 ? field.left(24) + QStringLiteral("...") : field) +
           QStringLiteral("\"");
}

}  // namespace

namespace {

QString tooLarge()
{
    return QStringLiteral("the file is larger than an export can be (%1 MiB)").arg(kMaxBytes / (1024 * 1024));
}

}  // namespace

Read read(const QByteArray &bytes)
{
    Read r;
    if (bytes.size() > kMaxBytes) {
        r.error = tooLarge();
        return r;
    }
    const QStringList lines = TextFile::splitLines(bytes);
    auto fail = [&r](qsizetype index, const QString &why) {
        r.samples.clear();
        r.error = QStringLiteral("line %1: %2").arg(index + 1).arg(why);
        return r;
    };
    if (lines.isEmpty() || lines.first() != QLatin1String(kHeader))
        return fail(0, QStringLiteral("a plot export starts with the line %1").arg(kHeader));
    if (lines.size() - 1 > kMaxSamples)
        return fail(kMaxSamples + 1, QStringLiteral("an export holds at most %1 samples").arg(kMaxSamples));
    r.samples.reserve(lines.size() - 1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QStringList f = lines[i].split(u',');
        if (f.size() != 4)
            return fail(i, QStringLiteral("expected 4 values separated by commas, found %1").arg(f.size()));
        MotionSample s;
        if (!finiteNumber(f[0], s.time))
            return fail(i, QStringLiteral("the time %1 is not a number").arg(shown(f[0])));
        if (!r.samples.isEmpty() && s.time < r.samples.last().time)
            return fail(i, QStringLiteral("the time %1 is earlier than the line before").arg(shown(f[0])));
        bool ok = false;
        const qlonglong position = f[1].toLongLong(&ok);
        if (!ok || position < std::numeric_limits<int32_t>::min() || position > std::numeric_limits<int32_t>::max())
            return fail(i, QStringLiteral("the position %1 is not a whole number of steps").arg(shown(f[1])));
        s.position = int32_t(position);
        if (!finiteNumber(f[2], s.speed))
            return fail(i, QStringLiteral("the speed %1 is not a number").arg(shown(f[2])));
        const auto state = motionStateFromText(f[3]);
        if (!state)
            return fail(i, QStringLiteral("the state %1 is none of IDLE, ACCEL, CONST, DECEL").arg(shown(f[3])));
        s.state = *state;
        r.samples << s;
    }
    return r;
}

Read readFile(const QString &path)
{
    const zenta::lang::FileRead file =
        zenta::lang::readRegularFile(QFile::encodeName(path).toStdString(), std::size_t(kMaxBytes));
    Read r;
    switch (file.status) {
    case zenta::lang::FileStatus::Ok:
        return read(QByteArray::fromStdString(file.bytes));
    case zenta::lang::FileStatus::TooLarge:
        r.error = tooLarge();
        break;
    case zenta::lang::FileStatus::NotRegular:
        r.error = QStringLiteral("it is not a regular file");
        break;
    default:
        r.error = QString::fromLocal8Bit(std::strerror(file.error));
        break;
    }
    return r;
}

}  // namespace MotionCsv
