#pragma once

#include "MotionHistory.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The plot's CSV export, written and read back in one place: a header line,
// then time, position, speed and state per line, CR LF after each.
namespace MotionCsv {

inline constexpr char kHeader[] = "time_s,position_steps,speed_steps_per_s,state";
// A file larger than this is not read: an export of the longest span is a
// few hundred kilobytes.
inline constexpr qint64 kMaxBytes = 16 * 1024 * 1024;
inline constexpr int kMaxSamples = 200'000;

QByteArray write(const QList<MotionSample> &samples);

struct Read {
    QList<MotionSample> samples;
    QString error;  // why the bytes are no export, naming the line; empty when they are
};
Read read(const QByteArray &bytes);
// The same from a file: only a regular file (a FIFO would wait for a
// writer), of at most kMaxBytes.
Read readFile(const QString &path);

}  // namespace MotionCsv
