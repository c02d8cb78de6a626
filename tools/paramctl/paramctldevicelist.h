#pragma once

#include <QList>
#include <QString>

// The device argument of params, schedule and cancel: UOO numbers and ranges
// separated by commas ("4711,4712,4800-4899"), and "@FILE" items naming a file
// with one number or range a line (blank lines and lines starting with # are
// skipped). A device named twice is taken once, at its first place.
class ParamCtlDeviceList
{
public:
    // At most this many devices in one list, ranges counted device by device.
    static constexpr int MaxDevices = 10000;
    // A device list file larger than this is refused.
    static constexpr qint64 MaxFileBytes = 1024 * 1024;

    // Whether text is a list rather than one plain UOO number.
    static bool isList(const QString& text);

    // Expands text into uoos. With readFiles false, @FILE items are only checked
    // for a name (nothing is read). On failure error names the item, code is
    // ParamCtlExitCode::FileError (a file cannot be read) or BadDeviceList.
    static bool parse(const QString& text, bool readFiles, QList<quint32>* uoos, QString* error,
                      int* code);
};
